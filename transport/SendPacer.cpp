#include "transport/SendPacer.h"

#include <algorithm>

SendPacer::SendPacer(int latencyMs)
    : m_periodUs(qint64(std::max(latencyMs / kLatencyShare, kMinPeriodMs)) * 1000)
{
}

void SendPacer::noteAcknowledged(qint64 nowUs, qint64 acknowledgedBytes)
{
    // The newest sample moves on until it is a spacing past the one before.
    const size_t count = m_samples.size();
    if (count >= 2 && m_samples.back().timeUs - m_samples[count - 2].timeUs < kSampleSpacingUs)
        m_samples.back() = {nowUs, acknowledgedBytes};
    else
        m_samples.push_back({nowUs, acknowledgedBytes});
    while (m_samples.size() > 1 && m_samples[1].timeUs <= nowUs - m_periodUs)
        m_samples.pop_front();
}

qint64 SendPacer::window() const
{
    if (m_samples.empty())
        return kMinWindow;
    const qint64 recent = m_samples.back().bytes - m_samples.front().bytes;
    return std::clamp(2 * recent, kMinWindow, kMaxWindow);
}
