#include "transport/LatencyAdvisor.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {
constexpr double kShortestRttMs = 20.0;
constexpr int kLeastMultiplier = 4;
// Advice in steps of this many milliseconds.
constexpr int kStepMs = 10;

// Loss rate (percent, up to) and round-trip multiplier of the rule.
struct Step
{
    double lossPercent;
    int multiplier;
};
constexpr Step kSteps[] = {{1, 3},   {3, 4},   {7, 6},   {10, 8},  {12, 8},  {14, 10}, {16, 12},
                           {18, 14}, {20, 16}, {25, 18}, {27, 20}, {30, 22}, {34, 24}};
}

LatencyAdvisor::LatencyAdvisor(int latencyMs) : m_latencyMs(latencyMs) {}

int LatencyAdvisor::rttMultiplier(double lossPercent)
{
    int multiplier = kSteps[sizeof kSteps / sizeof kSteps[0] - 1].multiplier;
    for (const Step &step : kSteps) {
        if (lossPercent <= step.lossPercent) {
            multiplier = step.multiplier;
            break;
        }
    }
    return qMax(multiplier, kLeastMultiplier);
}

int LatencyAdvisor::neededLatencyMs(double lossPercent, double rttMs, double rttSpreadMs)
{
    const double needed = rttMultiplier(lossPercent) * qMax(rttMs, kShortestRttMs) + qMax(rttSpreadMs, 0.0);
    return int(std::ceil(needed / kStepMs)) * kStepMs;
}

int LatencyAdvisor::latencyForPath(int leastMs, double rttMs, int ceilingMs)
{
    const int ceiling = qMin(ceilingMs, kLibraryMaxLatencyMs);
    return qMax(leastMs, qMin(neededLatencyMs(0, rttMs), ceiling));
}

int LatencyAdvisor::neededNow() const
{
    qint64 sent = 0;
    qint64 lost = 0;
    double rtt = 0;
    for (const Interval &interval : m_window) {
        sent += interval.sent;
        lost += interval.lost;
        rtt += interval.rttMs / double(m_window.size());
    }
    // The spread as the mean deviation, as libsrt keeps its own: one odd
    // sample does not count as much as a round trip that keeps varying.
    double spread = 0;
    for (const Interval &interval : m_window)
        spread += qAbs(interval.rttMs - rtt) / double(m_window.size());
    const double lossPercent = sent > 0 ? 100.0 * double(lost) / double(sent) : 0.0;
    return neededLatencyMs(lossPercent, rtt, spread);
}

double LatencyAdvisor::typicalRoundTripMs() const
{
    if (m_window.empty())
        return 0;
    std::vector<double> rtts;
    for (const Interval &interval : m_window)
        rtts.push_back(interval.rttMs);
    const auto middle = rtts.begin() + std::ptrdiff_t(rtts.size() / 2);
    std::nth_element(rtts.begin(), middle, rtts.end());
    return *middle;
}

void LatencyAdvisor::addSample(qint64 packetsSent, qint64 packetsLost, double rttMs)
{
    m_window.push_back({packetsSent, packetsLost, rttMs});
    if (m_window.size() > size_t(kWindow))
        m_window.pop_front();
    const int needed = neededNow();
    if (needed > m_latencyMs) {
        m_enoughSamples = 0;
        ++m_shortSamples;
        if (m_advisedMs > 0 || m_shortSamples >= kSamplesToShow)
            m_advisedMs = qMax(m_advisedMs, needed);
        return;
    }
    m_shortSamples = 0;
    if (m_advisedMs > 0 && ++m_enoughSamples >= kSamplesToHide) {
        m_advisedMs = 0;
        m_enoughSamples = 0;
    }
}
