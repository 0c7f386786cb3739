#include "transport/LatencyFollower.h"

#include "transport/LatencyAdvisor.h"

LatencyFollower::LatencyFollower(int ceilingMs)
    : m_ceilingMs(qMin(ceilingMs, LatencyAdvisor::kLibraryMaxLatencyMs))
{
}

int LatencyFollower::targetMs(const Sample &sample) const
{
    if (sample.advisedMs <= 0 || LatencyAdvisor::neededLatencyMs(0, sample.adviceRttMs) < kLeastRaise * sample.latencyMs)
        return 0;
    const int now = LatencyAdvisor::neededLatencyMs(0, sample.rttMs);
    return qMin(qMax(sample.advisedMs, now), m_ceilingMs);
}

int LatencyFollower::addSample(const Sample &sample, qint64 nowMs)
{
    const int target = targetMs(sample);
    if (target < kLeastRaise * sample.latencyMs) {
        m_shortSamples = 0;
        return 0;
    }
    if (++m_shortSamples < kSustainedSamples)
        return 0;
    if (m_raised && nowMs - m_raisedAtMs < kLeastIntervalMs)
        return 0;
    m_raised = true;
    m_raisedAtMs = nowMs;
    m_shortSamples = 0;
    return target;
}
