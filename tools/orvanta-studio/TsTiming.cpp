#include "TsTiming.h"

#include <QIODevice>

#include <algorithm>

namespace {
constexpr int kPacket = 188;
constexpr qint64 kReadBlock = kPacket * 4096;
// A clock step longer than this, or going backwards, is a discontinuity
// (MPEG-TS asks for a PCR at least every 100 ms).
constexpr qint64 kMaxStepUs = 2 * 1000 * 1000;
// Faster than this is broken timing, not a feedback stream.
constexpr double kMaxBitsPerSecond = 400e6;
// To be followed step by step, the PCR must span this share of the file, and
// its plausible steps this share of the span: their rate stands in for the
// rest, and a sample of steps can be far from the whole (the steps with key
// frames are the big ones).
constexpr double kMinPcrSpan = 0.5;
constexpr double kMinPcrCoverage = 0.9;

qint64 ninetyKHzToUs(qint64 ticks)
{
    return ticks * 100 / 9;
}

// The packet's PCR in microseconds, or -1.
qint64 pcrUs(const uchar *p)
{
    const bool hasAdaptation = (p[3] & 0x20) && p[4] >= 7;
    if (!hasAdaptation || !(p[5] & 0x10))
        return -1;
    const qint64 base = (qint64(p[6]) << 25) | (qint64(p[7]) << 17) | (qint64(p[8]) << 9) | (qint64(p[9]) << 1)
                        | (p[10] >> 7);
    return ninetyKHzToUs(base);
}

qint64 timeStampAt(const uchar *p)
{
    return (qint64((p[0] >> 1) & 0x07) << 30) | (qint64(p[1]) << 22) | (qint64(p[2] >> 1) << 15)
           | (qint64(p[3]) << 7) | (p[4] >> 1);
}

// The decoding time (DTS, else PTS) of a PES packet starting in this TS
// packet, in microseconds, or -1.
qint64 decodingTimeUs(const uchar *p)
{
    const bool startsPayload = (p[1] & 0x40) && (p[3] & 0x10);
    const int payload = 4 + ((p[3] & 0x20) ? 1 + p[4] : 0);
    if (!startsPayload || payload + 19 > kPacket)
        return -1;
    const uchar *pes = p + payload;
    const bool isPes = pes[0] == 0 && pes[1] == 0 && pes[2] == 1 && (pes[6] & 0xC0) == 0x80;
    const int flags = pes[7] >> 6;
    if (!isPes || !(flags & 2))
        return -1;
    return ninetyKHzToUs(timeStampAt(pes + (flags == 3 ? 14 : 9)));
}

bool isPlausibleStep(qint64 bytes, qint64 timeUs)
{
    return timeUs > 0 && timeUs <= kMaxStepUs && double(bytes) * 8.0 <= kMaxBitsPerSecond * double(timeUs) / 1e6;
}
}

bool TsTiming::scan(QIODevice *device)
{
    m_size = device->size();
    if (m_size < kPacket || !device->seek(0))
        return false;
    collectSamples(device);
    device->seek(0);

    const Rate pcrRate = rateOf(m_pcrSamples);
    const Rate stampRate = rateOf(m_timeStampSamples);
    const qint64 pcrSpan = m_pcrSamples.empty() ? 0 : m_pcrSamples.back().offset - m_pcrSamples.front().offset;
    const bool pcrCoversFile = double(pcrSpan) >= kMinPcrSpan * double(m_size)
                               && double(pcrRate.bytes) >= kMinPcrCoverage * double(pcrSpan);
    if (pcrRate.isKnown() && pcrCoversFile) {
        followClockReferences(pcrRate.bytesPerUs());
    } else if (pcrRate.isKnown() || stampRate.isKnown()) {
        // The slower of the two: a file is never played faster than it lasts.
        const bool useStamps = stampRate.isKnown()
                               && (!pcrRate.isKnown() || stampRate.bytesPerUs() < pcrRate.bytesPerUs());
        useByteRate(useStamps ? stampRate.bytesPerUs() : pcrRate.bytesPerUs(),
                    useStamps ? ByteRateFromTimeStamps : ByteRateFromClockReferences);
    } else {
        useByteRate(kFallbackBitsPerSecond / 8.0 / 1e6, FallbackByteRate);
    }
    return true;
}

void TsTiming::collectSamples(QIODevice *device)
{
    qint64 offset = 0;
    for (QByteArray block = device->read(kReadBlock); block.size() >= kPacket; block = device->read(kReadBlock)) {
        const auto *bytes = reinterpret_cast<const uchar *>(block.constData());
        for (int at = 0; at + kPacket <= block.size(); at += kPacket) {
            if (bytes[at] == 0x47)
                inspectPacket(bytes + at, offset + at);
        }
        offset += block.size();
    }
}

void TsTiming::inspectPacket(const uchar *packet, qint64 offset)
{
    const int pid = ((packet[1] & 0x1F) << 8) | packet[2];
    const qint64 pcr = pcrUs(packet);
    if (pcr >= 0 && m_pcrPid < 0)
        m_pcrPid = pid;
    if (pcr >= 0 && pid == m_pcrPid)
        m_pcrSamples.push_back({offset, pcr});
    const qint64 stamp = decodingTimeUs(packet);
    if (stamp >= 0 && m_timeStampPid < 0)
        m_timeStampPid = pid;
    if (stamp >= 0 && pid == m_timeStampPid)
        m_timeStampSamples.push_back({offset, stamp});
}

// Bytes and time over the plausible steps between consecutive samples.
TsTiming::Rate TsTiming::rateOf(const std::vector<Sample> &samples)
{
    Rate rate;
    for (size_t i = 1; i < samples.size(); ++i) {
        const qint64 bytes = samples[i].offset - samples[i - 1].offset;
        const qint64 timeUs = samples[i].timeUs - samples[i - 1].timeUs;
        if (isPlausibleStep(bytes, timeUs)) {
            rate.bytes += bytes;
            rate.timeUs += timeUs;
        }
    }
    const double bitsPerSecond = rate.isKnown() ? rate.bytesPerUs() * 8e6 : 0.0;
    return bitsPerSecond > kMaxBitsPerSecond ? Rate() : rate;
}

// Each plausible PCR step lasts as the PCR says; the rest of the file (before
// the first PCR, after the last, across discontinuities) goes at the average rate.
void TsTiming::followClockReferences(double bytesPerUs)
{
    m_source = ClockReferences;
    m_anchors.clear();
    m_anchors.push_back({0, 0});
    const Sample *previous = nullptr;
    for (const Sample &sample : m_pcrSamples) {
        const qint64 bytes = sample.offset - (previous ? previous->offset : 0);
        const qint64 pcrStep = previous ? sample.timeUs - previous->timeUs : -1;
        const qint64 step = isPlausibleStep(bytes, pcrStep) ? pcrStep : qint64(double(bytes) / bytesPerUs);
        m_anchors.push_back({sample.offset, m_anchors.back().timeUs + step});
        previous = &sample;
    }
    const qint64 tail = m_size - m_anchors.back().offset;
    m_anchors.push_back({m_size, m_anchors.back().timeUs + qint64(double(tail) / bytesPerUs) + 1});
}

void TsTiming::useByteRate(double bytesPerUs, Source source)
{
    m_source = source;
    m_anchors = {{0, 0}, {m_size, qMax<qint64>(1, qint64(double(m_size) / bytesPerUs))}};
}

qint64 TsTiming::timeAtUs(qint64 offset) const
{
    if (m_anchors.size() < 2)
        return 0;
    offset = qBound<qint64>(0, offset, m_size);
    auto after = std::upper_bound(m_anchors.begin(), m_anchors.end(), offset,
                                  [](qint64 value, const Sample &anchor) { return value < anchor.offset; });
    if (after == m_anchors.end())
        return m_anchors.back().timeUs;
    const Sample &before = *(after - 1);
    const double share = double(offset - before.offset) / double(after->offset - before.offset);
    return before.timeUs + qint64(share * double(after->timeUs - before.timeUs));
}

QString TsTiming::describe() const
{
    static const char *const kSources[] = {"its PCR", "the byte rate of its PCR", "the byte rate of its time stamps",
                                           "a fixed byte rate (no usable timing)"};
    const double seconds = double(durationUs()) / 1e6;
    return QStringLiteral("%1 Mbit/s from %2, %3 s per loop")
        .arg(seconds > 0 ? double(m_size) * 8.0 / seconds / 1e6 : 0.0, 0, 'f', 2)
        .arg(QLatin1String(kSources[m_source]))
        .arg(seconds, 0, 'f', 2);
}
