#pragma once
#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QString>
#include <QVector>

// Reads an MPEG transport stream the way a strict receiver would and reports
// what it would stumble over: lost packet sync, continuity-counter breaks,
// the spacing of program clock references and of the video's key frames.
//
// Continuity follows ISO/IEC 13818-1: the counter advances only on packets
// that carry payload, one duplicate of a packet is allowed, a set
// discontinuity_indicator restarts counting, the null PID is not counted.
// Key frames are found in the video elementary stream itself (H.264 IDR,
// HEVC IRAP, MPEG-2 I pictures), so the check does not trust the muxer's
// random_access_indicator; other video types fall back to that flag.
// Tables (PAT, PMT) are expected to fit one packet, as muxers write them.
class TsChecker
{
public:
    static constexpr int kPacketSize = 188;

    explicit TsChecker(const QByteArray &stream);
    // An unreadable file reads as an empty stream.
    static TsChecker fromFile(const QString &path);

    int packetCount() const { return m_packets; }
    // Places where the sync byte was not where it belonged (each counted once
    // until sync is found again), and bytes left over after the last packet.
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

    // Presentation times (90 kHz) of the video's access units and of those
    // that start a key frame, in stream order.
    QVector<qint64> videoPts() const { return m_videoPts; }
    QVector<qint64> keyFramePts() const { return m_keyFramePts; }
    // Longest stretch of video without a key frame: the largest distance
    // between consecutive key frames, or from the last key frame to the last
    // picture when that is longer. 0 without video.
    double largestKeyFrameSpacingMs() const;
    // Largest step between consecutive video presentation times.
    double largestVideoGapMs() const;

    // One line for test messages.
    QString summary() const;

private:
    struct PidState
    {
        bool seen = false;
        int lastCounter = 0;
        bool duplicateSeen = false;
        QByteArray lastPayload;
    };
    struct Packet
    {
        int pid = 0;
        bool unitStart = false;
        bool hasPayload = false;
        int counter = 0;
        bool discontinuity = false;
        bool randomAccess = false;
        bool hasPcr = false;
        qint64 pcr = 0;
        QByteArray payload;
    };

    void parse(const QByteArray &stream);
    int resync(const QByteArray &stream, int from) const;
    static bool readPacket(const char *bytes, Packet &packet);
    void checkContinuity(const Packet &packet);
    void checkPcr(const Packet &packet);
    void readTables(const Packet &packet);
    void readPat(const QByteArray &section);
    void readPmt(const QByteArray &section);
    void collectVideo(const Packet &packet);
    void finishVideoUnit();
    bool parsesPictureTypes() const;
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
    bool m_havePcr = false;
    qint64 m_lastPcr = 0;
    qint64 m_largestPcrGap = 0;

    QByteArray m_videoUnit;
    bool m_videoUnitRandomAccess = false;
    QVector<qint64> m_videoPts;
    QVector<qint64> m_keyFramePts;
};
