#include "transport/BitRateGovernor.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {
// The send buffer holding more than this share of the latency: packets wait
// in it for the path, close to being dropped as too late.
constexpr double kBufferShareOfLatency = 0.5;
// Too-late drops beyond stray ones: more than this share of the packets sent.
constexpr double kDropShare = 0.01;
constexpr qint64 kStrayDrops = 2;
// A round trip this much above its quiet value is a queue filling up.
constexpr double kRttFactor = 2.0;
constexpr double kRttMarginMs = 20.0;
// Retransmissions this far above the losses are retransmissions lost again
// or sent on time-outs: the path does not keep up.
constexpr double kRetransmitFactor = 2.0;
constexpr qint64 kRetransmitMargin = 10;
constexpr double kRetransmitShare = 0.02;
// libsrt's path estimate under the send rate supports the other signs.
constexpr double kBandwidthShare = 0.9;
// The quiet round trip is the least of this many samples without congestion.
constexpr size_t kQuietRttSamples = 30;
// After a change, the next decision waits for samples taken at the new rate.
constexpr int kHoldSamples = 2;
// Lowering less than this is left to the queue draining.
constexpr double kLeastCut = 0.95;
// Without an acknowledged rate to go by, a cut to this share.
constexpr double kBlindCut = 0.7;
constexpr int kLowestFloorKbps = 128;
constexpr int kFloorDivisor = 8;

double kbps(qint64 bytes, double intervalMs)
{
    return intervalMs > 0 ? double(bytes) * 8.0 / intervalMs : 0.0;
}
}

BitRateGovernor::BitRateGovernor(int ceilingKbps, int latencyMs)
    : m_ceilingKbps(qMax(ceilingKbps, 1)),
      m_floorKbps(qMin(m_ceilingKbps, qMax(kLowestFloorKbps, m_ceilingKbps / kFloorDivisor))),
      m_latencyMs(qMax(latencyMs, 1)),
      m_videoKbps(m_ceilingKbps)
{
}

double BitRateGovernor::quietRtt() const
{
    if (m_quietRtts.empty())
        return 0;
    return *std::min_element(m_quietRtts.begin(), m_quietRtts.end());
}

BitRateGovernor::Judged BitRateGovernor::judge(const Sample &sample)
{
    Judged judged;
    judged.sample = sample;
    const qint64 bufferGrowth =
        m_previousBufferBytes >= 0 ? sample.sendBufferBytes - m_previousBufferBytes : sample.sendBufferBytes;
    m_previousBufferBytes = sample.sendBufferBytes;
    // What left the send buffer and was not dropped, the receiver acknowledged.
    const qint64 acknowledged = qMax<qint64>(sample.bytesHanded - bufferGrowth - sample.bytesDropped, 0);
    judged.acknowledgedKbps = kbps(acknowledged, sample.intervalMs);
    judged.handedKbps = kbps(sample.bytesHanded, sample.intervalMs);

    QStringList signs;
    if (sample.sendBufferMs > kBufferShareOfLatency * m_latencyMs)
        signs << QStringLiteral("send buffer %1 ms").arg(qRound(sample.sendBufferMs));
    if (sample.packetsDropped > qMax<qint64>(kStrayDrops, qint64(kDropShare * double(sample.packetsSent))))
        signs << QStringLiteral("%1 packets dropped").arg(sample.packetsDropped);
    const double quiet = quietRtt();
    if (quiet > 0 && sample.rttMs > qMax(kRttFactor * quiet + kRttMarginMs, quiet + m_latencyMs / 4.0))
        signs << QStringLiteral("RTT %1 ms, quiet %2 ms").arg(qRound(sample.rttMs)).arg(qRound(quiet));
    if (double(sample.packetsRetransmitted) > kRetransmitFactor * double(sample.packetsLost) + kRetransmitMargin
        && double(sample.packetsRetransmitted) > kRetransmitShare * double(sample.packetsSent))
        signs << QStringLiteral("%1 retransmitted for %2 lost").arg(sample.packetsRetransmitted).arg(sample.packetsLost);
    judged.congested = !signs.isEmpty();
    if (judged.congested && sample.bandwidthKbps > 0 && sample.bandwidthKbps < kBandwidthShare * sample.sendKbps)
        signs << QStringLiteral("path estimate %1 kbit/s").arg(qRound(sample.bandwidthKbps));
    judged.signs = signs.join(QStringLiteral(", "));

    if (!judged.congested && sample.rttMs > 0) {
        m_quietRtts.push_back(sample.rttMs);
        if (m_quietRtts.size() > kQuietRttSamples)
            m_quietRtts.pop_front();
    }
    return judged;
}

bool BitRateGovernor::addSample(const Sample &sample)
{
    m_history.push_back(judge(sample));
    if (m_history.size() > size_t(kWindow))
        m_history.pop_front();
    const int congestedSamples =
        int(std::count_if(m_history.begin(), m_history.end(), [](const Judged &j) { return j.congested; }));
    m_congested = congestedSamples >= kCongestedSamples;
    ++m_samplesSinceChange;

    if (!m_congested) {
        m_quietSamples = m_history.back().congested ? 0 : m_quietSamples + 1;
        if (m_videoKbps < m_ceilingKbps && m_quietSamples >= m_upWaitSeconds
            && m_samplesSinceChange >= m_upWaitSeconds)
            return raise();
        return false;
    }
    m_quietSamples = 0;
    double acknowledged = 0;
    for (const Judged &judged : m_history) {
        if (judged.congested)
            acknowledged += judged.acknowledgedKbps / congestedSamples;
    }
    m_carriedKbps = m_carriedKbps > 0 ? 0.5 * (m_carriedKbps + acknowledged) : acknowledged;
    // A step up that ran into congestion: wait longer before the next one.
    if (m_lastChangeWasUp) {
        m_lastChangeWasUp = false;
        m_upWaitSeconds = qMin(2 * m_upWaitSeconds, kLongestUpWaitSeconds);
    }
    if (m_samplesSinceChange < kHoldSamples)
        return false;
    return lower();
}

bool BitRateGovernor::lower()
{
    const size_t recent = qMin<size_t>(m_history.size(), 2);
    double handed = 0;
    for (size_t i = m_history.size() - recent; i < m_history.size(); ++i)
        handed += m_history[i].handedKbps / double(recent);
    // The video's share of what the relay handed on shrinks in proportion.
    const double proposed = handed > 0 && m_carriedKbps > 0 ? m_videoKbps * kTargetShare * m_carriedKbps / handed
                                                             : m_videoKbps * kBlindCut;
    const int target = qBound(m_floorKbps, int(std::lround(proposed)), m_ceilingKbps);
    if (target >= kLeastCut * m_videoKbps)
        return false;
    setRate(target, m_history.back().signs);
    return true;
}

bool BitRateGovernor::raise()
{
    // A step that held: the next may come sooner again.
    if (m_lastChangeWasUp)
        m_upWaitSeconds = qMax(kUpWaitSeconds, m_upWaitSeconds / 2);
    const int target = qMin(m_ceilingKbps, int(std::lround(m_videoKbps * (1.0 + kUpStep))) + 1);
    setRate(target, QStringLiteral("no congestion for %1 s").arg(m_quietSamples));
    m_lastChangeWasUp = true;
    return true;
}

void BitRateGovernor::setRate(int kbps, const QString &reason)
{
    m_videoKbps = kbps;
    m_reason = reason;
    m_samplesSinceChange = 0;
    m_quietSamples = 0;
    m_lastChangeWasUp = false;
}
