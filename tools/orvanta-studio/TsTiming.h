#pragma once
#include <QString>
#include <QtGlobal>

#include <vector>

class QIODevice;

// When each byte of an MPEG-TS file is due if the file is played at its own
// pace, found by reading the file once. Files whose program clock references
// (PCR) cover most of it follow them; otherwise the file goes at one byte rate,
// its size over the duration its PCR or decoding time stamps show, or a fixed
// rate when it has no usable timing at all.
class TsTiming
{
public:
    enum Source { ClockReferences, ByteRateFromClockReferences, ByteRateFromTimeStamps, FallbackByteRate };

    // Reads the whole device from the start; false when it holds no packet.
    bool scan(QIODevice *device);
    // Microseconds from the start of the file to the byte at offset.
    qint64 timeAtUs(qint64 offset) const;
    qint64 durationUs() const { return m_anchors.empty() ? 0 : m_anchors.back().timeUs; }
    Source source() const { return m_source; }
    // A line for the console, e.g. "1.25 Mbit/s from its PCR, 4.00 s per loop".
    QString describe() const;

    static constexpr double kFallbackBitsPerSecond = 5e6;

private:
    struct Sample {
        qint64 offset;
        qint64 timeUs;
    };
    struct Rate {
        qint64 bytes = 0;
        qint64 timeUs = 0;
        bool isKnown() const { return bytes > 0 && timeUs > 0; }
        double bytesPerUs() const { return double(bytes) / double(timeUs); }
    };

    void collectSamples(QIODevice *device);
    void inspectPacket(const uchar *packet, qint64 offset);
    static Rate rateOf(const std::vector<Sample> &samples);
    void followClockReferences(double bytesPerUs);
    void useByteRate(double bytesPerUs, Source source);

    qint64 m_size = 0;
    int m_pcrPid = -1;
    int m_timeStampPid = -1;
    std::vector<Sample> m_pcrSamples;
    std::vector<Sample> m_timeStampSamples;
    // Increasing in offset and time, from (0, 0) to (size, duration).
    std::vector<Sample> m_anchors;
    Source m_source = FallbackByteRate;
};
