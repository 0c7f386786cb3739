#pragma once
#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QString>
#include <QVector>

// Reads an MPEG transport stream as a strict receiver would: packet sync,
// continuity (ISO/IEC 13818-1: only payload packets advance, one duplicate
// allowed, discontinuity_indicator restarts, null PID not counted), PCR
// spacing, and key frames found in the elementary stream itself (H.264 IDR,
// HEVC IRAP, MPEG-1/2 I pictures; other types trust random_access_indicator).
// PAT and PMT are expected to fit one packet, as muxers write them.
class TsChecker
{
public:
    static constexpr int kPacketSize = 188;

    explicit TsChecker(const QByteArray &stream);

    int packetCount() const { return m_packets; }
    // Sync losses (each once until sync is found again); bytes after the last packet.
    int syncErrors() const { return m_syncErrors; }
    int trailingBytes() const { return m_trailingBytes; }

    int continuityErrors() const;
    QMap<int, int> continuityErrorsByPid() const { return m_ccErrors; }

    // From the program map; -1 when the stream has none.
    int pcrPid() const { return m_pcrPid; }
    int videoPid() const { return m_videoPid; }
    int videoStreamType() const { return m_videoStreamType; }

    int pcrCount() const { return m_pcrCount; }
    // Largest step between consecutive PCRs of the PCR PID (0 with fewer than two).
    double largestPcrGapMs() const { return m_largestPcrGap / 27000.0; }

    // Presentation times (90 kHz) of the video's access units and key frames, in stream order.
    QVector<qint64> videoPts() const { return m_videoPts; }
    QVector<qint64> keyFramePts() const { return m_keyFramePts; }
    // Longest stretch without a key frame, the one after the last included; 0 without video.
    double largestKeyFrameSpacingMs() const;
    double largestVideoGapMs() const;  // between consecutive presentation times
    QString summary() const;           // one line for test messages

private:
    struct Packet;
    struct PidState
    {
        int lastCounter = -1;  // none since the start or a discontinuity
        bool duplicateSeen = false;
        QByteArray lastPayload;
    };

    void checkContinuity(const Packet &packet);
    void checkPcr(const Packet &packet);
    void readTables(const Packet &packet);
    void collectVideo(const Packet &packet);
    void finishVideoUnit();
    bool startsKeyFrame(const QByteArray &elementary) const;

    int m_packets = 0;
    int m_syncErrors = 0;
    int m_trailingBytes = 0;
    QMap<int, int> m_ccErrors;
    QHash<int, PidState> m_pidStates;

    int m_pmtPid = -1;
    int m_pcrPid = -1;
    int m_videoPid = -1;
    int m_videoStreamType = 0;

    int m_pcrCount = 0;
    qint64 m_lastPcr = -1;  // none since the start or a discontinuity
    qint64 m_largestPcrGap = 0;

    QByteArray m_videoUnit;
    bool m_videoUnitRandomAccess = false;
    QVector<qint64> m_videoPts;
    QVector<qint64> m_keyFramePts;
};
