#include "transport/LongerRouteWatch.h"

#include <algorithm>

bool LongerRouteWatch::addSample(bool congested, double rttMs, qint64 packetsSent, qint64 packetsLost)
{
    m_window.push_back({rttMs, packetsSent, packetsLost});
    if (m_window.size() > size_t(kSteadySamples))
        m_window.pop_front();
    if (!congested) {
        m_congestedSamples = 0;
        return true;
    }
    ++m_congestedSamples;
    return m_congestedSamples >= kLastingSamples && steady() && littleLost();
}

bool LongerRouteWatch::steady() const
{
    if (m_window.size() < size_t(kSteadySamples))
        return false;
    const auto byRtt = [](const Interval &a, const Interval &b) { return a.rttMs < b.rttMs; };
    const auto range = std::minmax_element(m_window.begin(), m_window.end(), byRtt);
    return range.second->rttMs - range.first->rttMs <= kSteadyShare * range.first->rttMs + kJitterMs;
}

bool LongerRouteWatch::littleLost() const
{
    qint64 sent = 0;
    qint64 lost = 0;
    for (const Interval &interval : m_window) {
        sent += interval.sent;
        lost += interval.lost;
    }
    return 100.0 * double(lost) <= kMostLossPercent * double(qMax<qint64>(sent, 1));
}
