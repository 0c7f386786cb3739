#include "transport/BitRateGovernor.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {
// The send buffer holding more than this share of the latency: packets wait
// in it for the path, close to being dropped as too late.
constexpr double kBufferShareOfLatency = 0.5;
// Too-late drops beyond stray ones: more than this share of the packets sent.
constexpr double kDropShare = 0.01;
constexpr qint64 kStrayDrops = 2;
// A round trip this much above its quiet value, and by half the latency, is a
// queue filling up (a key frame alone queues for a moment).
constexpr double kRttFactor = 2.0;
constexpr double kRttMarginMs = 20.0;
// A round trip this much above its quiet value, by the same margin, is a
// queue growing.
constexpr double kRttRisingFactor = 1.5;
// Retransmissions this far above the losses are retransmissions lost again
// or sent on time-outs: the path does not keep up.
constexpr double kRetransmitFactor = 2.0;
constexpr qint64 kRetransmitMargin = 10;
constexpr double kRetransmitShare = 0.02;
// libsrt's path estimate under the send rate supports the other signs.
// Payload in a message on the wire (1316 bytes in 1360 with the IPv4, UDP and
// SRT headers), as libsrt's rates count them.
constexpr double kPayloadShare = 1316.0 / 1360.0;
constexpr double kBandwidthShare = 0.9;
// The quiet round trip is the least of this many samples without congestion.
constexpr size_t kQuietRttSamples = 30;
// After a change, the next decision waits for samples taken at the new rate.
constexpr int kHoldSamples = 2;
// Lowering less than this is left to the queue draining.
constexpr double kLeastCut = 0.95;
// Without an acknowledged rate to go by, a cut to this share.
constexpr double kBlindCut = 0.7;
// The send buffer shrinking to this share within one sample is draining; so
// are retransmissions shrinking so, for this many samples after a cut.
constexpr int kBacklogSamples = 5;
constexpr double kDrainShare = 0.75;
// A rate that did not fit is remembered for this many samples; steps up
// towards it go half the way, by at least this share of the ceiling.
constexpr int kFailureMemorySamples = 30;
constexpr int kLeastProbeSteps = 24;
// After a step up that did not fit, back to at most this share of it.
constexpr double kProbeBackShare = 0.8;
// Beyond what the path was seen to carry, steps up are this small, unless
// libsrt's estimate of the path (the median of the last few) has this much
// room above the step: a large step over a path's limit fills its router's
// queue within the second before the next sample shows it.
constexpr int kLeastCarefulSteps = 24;
constexpr double kPathRoomShare = 1.25;
constexpr size_t kPathEstimates = 5;
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

// Before the first quiet sample, the least round trip seen stands in: a
// receiver that acknowledges late from the start must not keep every sample
// congested, and so the quiet value unknown, for good.
double BitRateGovernor::quietRtt() const
{
    if (m_quietRtts.empty())
        return m_leastRtt;
    return *std::min_element(m_quietRtts.begin(), m_quietRtts.end());
}

double BitRateGovernor::pathEstimate() const
{
    if (m_pathEstimates.size() < kPathEstimates)
        return 0;
    std::vector<double> sorted(m_pathEstimates.begin(), m_pathEstimates.end());
    std::nth_element(sorted.begin(), sorted.begin() + long(sorted.size() / 2), sorted.end());
    return sorted[sorted.size() / 2];
}

BitRateGovernor::Judged BitRateGovernor::judge(const Sample &sample)
{
    m_pathEstimates.push_back(sample.bandwidthKbps * kPayloadShare);
    if (m_pathEstimates.size() > kPathEstimates)
        m_pathEstimates.pop_front();
    Judged judged;
    judged.sample = sample;
    const qint64 bufferGrowth =
        m_previousBufferBytes >= 0 ? sample.sendBufferBytes - m_previousBufferBytes : sample.sendBufferBytes;
    judged.draining = m_previousBufferBytes > 0 && double(sample.sendBufferBytes) < kDrainShare * m_previousBufferBytes
                      && (m_history.empty() || sample.rttMs <= m_history.back().sample.rttMs);
    // After a cut, what the old rate left queued and lost is resent and
    // dropped for some seconds: signs that shrink from sample to sample are
    // that backlog going, not the new rate overflowing the path.
    if (!m_history.empty() && m_lastChangeWasCut && m_samplesSinceChange < kBacklogSamples) {
        const Sample &previous = m_history.back().sample;
        judged.draining = judged.draining
                          || (previous.packetsRetransmitted > 0
                              && double(sample.packetsRetransmitted) < kDrainShare * double(previous.packetsRetransmitted)
                              && sample.packetsDropped <= previous.packetsDropped
                              && sample.sendBufferBytes <= m_previousBufferBytes && sample.rttMs <= previous.rttMs);
    }
    m_previousBufferBytes = sample.sendBufferBytes;
    // What left the send buffer and was not dropped, the receiver acknowledged.
    const qint64 acknowledged = qMax<qint64>(sample.bytesHanded - bufferGrowth - sample.bytesDropped, 0);
    judged.acknowledgedKbps = kbps(acknowledged, sample.intervalMs);
    // A live receiver also acknowledges what it gave up on, so what got
    // through is bounded by the packets sent less those reported lost, and
    // by libsrt's estimate of the path (packet pairs, which a full queue
    // spaces at the path's rate); payload only.
    if (sample.packetsSent > 0 && sample.sendKbps > 0) {
        const double through = 1.0 - qBound(0.0, double(sample.packetsLost) / double(sample.packetsSent), 1.0);
        judged.acknowledgedKbps = qMin(judged.acknowledgedKbps, sample.sendKbps * through * kPayloadShare);
    }
    if (sample.bandwidthKbps > 0)
        judged.acknowledgedKbps = qMin(judged.acknowledgedKbps, sample.bandwidthKbps * kPayloadShare);
    judged.handedKbps = kbps(sample.bytesHanded, sample.intervalMs);

    if (sample.rttMs > 0 && (m_leastRtt <= 0 || sample.rttMs < m_leastRtt))
        m_leastRtt = sample.rttMs;
    QStringList signs;
    // A send buffer holding half the
    // latency counts only with the round trip growing beside it (a queue on
    // the path); alone it may be the receiver's acknowledgements coming late
    // on a busy machine, and counts from the whole latency on.
    const double quiet = quietRtt();
    const bool queueGrowing = sample.rttMs > kRttRisingFactor * quiet + kRttMarginMs;
    judged.queueGrowing = queueGrowing && quiet > 0;
    if (sample.sendBufferMs > (queueGrowing ? kBufferShareOfLatency : 1.0) * m_latencyMs)
        signs << QStringLiteral("send buffer %1 ms").arg(qRound(sample.sendBufferMs));
    if (sample.packetsDropped > qMax<qint64>(kStrayDrops, qint64(kDropShare * double(sample.packetsSent))))
        signs << QStringLiteral("%1 packets dropped").arg(sample.packetsDropped);
    if (!m_quietRtts.empty() && sample.rttMs > qMax(kRttFactor * quiet + kRttMarginMs, quiet + m_latencyMs / 2.0))
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
    // A step up is taken back at its first sign: the rate before it is known
    // to fit, and each second above the path costs messages. Right after the
    // step, a queue forming counts already: by the time the send buffer or
    // drops show it, the router's queue is full and messages are lost.
    Judged &last = m_history.back();
    const bool probing = m_lastChangeWasUp && m_samplesSinceChange < kProbeSamples;
    if (probing && last.queueGrowing && !last.congested) {
        last.congested = true;
        last.signs = QStringLiteral("RTT %1 ms, quiet %2 ms").arg(qRound(last.sample.rttMs)).arg(qRound(quietRtt()));
    }
    const bool probeHit = m_lastChangeWasUp && last.congested;
    m_congested = congestedSamples >= kCongestedSamples || probeHit;
    ++m_samplesSinceChange;
    ++m_samplesSinceFailure;

    if (!m_congested) {
        m_quietSamples = m_history.back().congested ? 0 : m_quietSamples + 1;
        if (m_quietSamples >= kGoodSamples)
            noteGoodRate();
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
    m_throughKbps = acknowledged;
    // A step up that ran into congestion: back to the rate before it, and a
    // longer wait before the next step.
    if (m_lastChangeWasUp) {
        m_lastChangeWasUp = false;
        m_probeFailed = true;
        m_upWaitSeconds = qMin(2 * m_upWaitSeconds, kLongestUpWaitSeconds);
    }
    // A cut needs the last sample congested and the buffer not draining yet.
    if ((!probeHit && m_samplesSinceChange < kHoldSamples) || !m_history.back().congested || m_history.back().draining)
        return false;
    return lower();
}

bool BitRateGovernor::lower()
{
    const size_t recent = qMin<size_t>(m_history.size(), 2);
    double handed = 0;
    // Whatever was handed on in a congested second is more than the path
    // carries: the least such rate bounds the estimate (the first second
    // after a cut may still bring the encoder's output at the old rate).
    double leastCongestedHanded = 0;
    for (size_t i = m_history.size() - recent; i < m_history.size(); ++i) {
        handed += m_history[i].handedKbps / double(recent);
        if (m_history[i].congested && (leastCongestedHanded <= 0 || m_history[i].handedKbps < leastCongestedHanded))
            leastCongestedHanded = m_history[i].handedKbps;
    }
    const bool probeFailed = m_probeFailed;
    m_probeFailed = false;
    const QString signs = m_history.back().signs;
    m_failedHandedKbps = handed;
    if (probeFailed && m_goodKbps >= m_floorKbps && m_goodKbps < m_videoKbps) {
        m_carriedKbps = m_goodHandedKbps;
        // The rate that fitted may leave the path too little room to drain
        // what the step queued: a little under it, then.
        const int back = qMax(m_floorKbps, qMin(m_goodKbps, int(std::lround(kProbeBackShare * m_videoKbps))));
        m_failedKbps = m_videoKbps;
        m_samplesSinceFailure = 0;
        setRate(back, QStringLiteral("%1 kbit/s did not fit: %2").arg(m_videoKbps).arg(signs));
        m_lastChangeWasCut = true;
        return true;
    }
    // The video's share of what the relay handed on shrinks with what got
    // through, by a good cut at least: a live receiver's figures flatter
    // what reached it (it stops reporting what it has given up on).
    double cut = kBlindCut;
    if (handed > 0 && m_throughKbps > 0)
        cut = qMin(cut, kTargetShare * m_throughKbps / handed);
    const int target = qBound(m_floorKbps, int(std::lround(m_videoKbps * cut)), m_ceilingKbps);
    if (target >= kLeastCut * m_videoKbps)
        return false;
    m_carriedKbps = leastCongestedHanded > 0 ? qMin(m_throughKbps, leastCongestedHanded) : m_throughKbps;
    if (m_goodKbps >= target)
        m_goodKbps = 0;  // the path has narrowed since
    setRate(target, signs);
    m_lastChangeWasCut = true;
    return true;
}

// The rate has run for some seconds without congestion.
void BitRateGovernor::noteGoodRate()
{
    const double handed = m_history.back().handedKbps;
    m_goodHandedKbps = m_goodKbps == m_videoKbps ? 0.5 * (m_goodHandedKbps + handed) : handed;
    m_goodKbps = m_videoKbps;
    if (m_videoKbps >= m_failedKbps)
        m_failedKbps = 0;  // what did not fit then fits now
    // What the path carries lies between what fits and what did not.
    if (m_videoKbps < m_ceilingKbps && m_carriedKbps > 0) {
        m_carriedKbps = m_failedHandedKbps > m_goodHandedKbps
            ? qBound(m_goodHandedKbps, m_carriedKbps, m_failedHandedKbps)
            : m_goodHandedKbps;
    }
}

bool BitRateGovernor::raise()
{
    // A step that held: the next comes after the short wait again.
    if (m_lastChangeWasUp)
        m_upWaitSeconds = kUpWaitSeconds;
    const double step = qMax(m_videoKbps * kUpStep, double(m_ceilingKbps) / kLeastUpSteps);
    int target = qMin(m_ceilingKbps, int(std::lround(m_videoKbps + step)));
    // Near a rate that did not fit a little while ago, half the way to it:
    // the path's limit lies between, and every try above it costs messages.
    if (m_failedKbps > m_videoKbps && m_samplesSinceFailure < kFailureMemorySamples) {
        const double halfway =
            m_videoKbps + qMax((m_failedKbps - m_videoKbps) / 2.0, double(m_ceilingKbps) / kLeastProbeSteps);
        target = qMin(target, int(std::lround(halfway)));
    }
    if (m_carriedKbps > 0 && m_goodKbps > 0 && m_goodHandedKbps > 0) {
        const double handedAtTarget = m_goodHandedKbps * target / m_goodKbps;
        if (handedAtTarget > m_carriedKbps && pathEstimate() < kPathRoomShare * handedAtTarget)
            target = qMin(target, int(std::lround(m_videoKbps + double(m_ceilingKbps) / kLeastCarefulSteps)));
    }
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
    m_lastChangeWasCut = false;
}
