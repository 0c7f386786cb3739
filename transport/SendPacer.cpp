#include "transport/SendPacer.h"

#include <algorithm>

SendPacer::SendPacer(int latencyMs)
    : m_periodUs(qint64(std::max(latencyMs / kLatencyShare, kMinPeriodMs)) * 1000)
{
}

void SendPacer::noteAcknowledged(qint64 nowUs, qint64 acknowledgedBytes)
{
    if (!m_started) {
        m_started = true;
        m_periodStartUs = nowUs;
        m_periodStartBytes = acknowledgedBytes;
    }
    // Periods without a note in them count as acknowledging nothing.
    while (nowUs - m_periodStartUs >= m_periodUs)
        closePeriod(acknowledgedBytes);
    m_acknowledgedBytes = acknowledgedBytes;
}

void SendPacer::closePeriod(qint64 acknowledgedBytes)
{
    m_periods[m_next] = acknowledgedBytes - m_periodStartBytes;
    m_next = (m_next + 1) % m_periods.size();
    m_periodStartUs += m_periodUs;
    m_periodStartBytes = acknowledgedBytes;
}

qint64 SendPacer::window() const
{
    const qint64 best = std::max(*std::max_element(m_periods.begin(), m_periods.end()),
                                 m_acknowledgedBytes - m_periodStartBytes);
    return std::clamp(2 * best, kMinWindow, kMaxWindow);
}
