#include "ImpairedLink.h"

#include <algorithm>

namespace {
// Burst allowance of the rate limit: 10 ms worth of data, at least a few datagrams.
double burstBytes(int64_t rate)
{
    return std::max(double(rate) / 100.0, 6000.0);
}
}

ImpairedLink::ImpairedLink(const Settings &settings) : m_settings(settings), m_random(settings.seed)
{
    m_tokens = burstBytes(settings.rateBytesPerSecond);
}

void ImpairedLink::push(const char *data, size_t size, int64_t nowNs, uint32_t flow)
{
    if (inBlackout(nowNs) || m_uniform(m_random) < m_settings.lossRatio) {
        ++m_counters.lost;
        return;
    }
    if (m_queue.size() >= m_settings.maxQueued || m_queuedBytes + size > bufferBytes()) {
        ++m_counters.overflowed;
        return;
    }
    // A shorter delay than before still leaves after what was queued earlier.
    const int64_t due = std::max(nowNs + m_settings.delayNs, m_queue.empty() ? int64_t(0) : m_queue.back().dueNs);
    m_queue.push_back({due, std::vector<char>(data, data + size), flow});
    m_queuedBytes += size;
}

bool ImpairedLink::inBlackout(int64_t nowNs)
{
    if (m_settings.blackoutNs <= 0 || ++m_pushed <= m_settings.blackoutAfter)
        return false;
    if (m_blackoutStartNs < 0)
        m_blackoutStartNs = nowNs;
    return nowNs - m_blackoutStartNs < m_settings.blackoutNs;
}

size_t ImpairedLink::bufferBytes() const
{
    if (m_settings.bufferNs <= 0 || m_settings.rateBytesPerSecond <= 0)
        return SIZE_MAX;
    return size_t(double(m_settings.rateBytesPerSecond) * double(m_settings.bufferNs) * 1e-9);
}

void ImpairedLink::setRate(int64_t bytesPerSecond, int64_t nowNs)
{
    refill(nowNs);
    m_settings.rateBytesPerSecond = bytesPerSecond;
    m_lastRefillNs = nowNs;
}

void ImpairedLink::refill(int64_t nowNs)
{
    if (m_settings.rateBytesPerSecond <= 0)
        return;
    const double earned = double(nowNs - m_lastRefillNs) * 1e-9 * double(m_settings.rateBytesPerSecond);
    m_tokens = std::min(m_tokens + earned, burstBytes(m_settings.rateBytesPerSecond));
    m_lastRefillNs = nowNs;
}

const std::vector<char> *ImpairedLink::ready(int64_t nowNs)
{
    if (m_queue.empty() || m_queue.front().dueNs > nowNs)
        return nullptr;
    refill(nowNs);
    const std::vector<char> &bytes = m_queue.front().bytes;
    if (m_settings.rateBytesPerSecond > 0 && m_tokens < double(bytes.size()))
        return nullptr;
    return &bytes;
}

void ImpairedLink::pop()
{
    if (m_settings.rateBytesPerSecond > 0)
        m_tokens -= double(m_queue.front().bytes.size());
    m_queuedBytes -= m_queue.front().bytes.size();
    m_queue.pop_front();
    ++m_counters.forwarded;
}

int64_t ImpairedLink::waitNs(int64_t nowNs)
{
    if (m_queue.empty())
        return -1;
    int64_t wait = std::max<int64_t>(m_queue.front().dueNs - nowNs, 0);
    if (wait == 0 && m_settings.rateBytesPerSecond > 0) {
        refill(nowNs);
        const double missing = double(m_queue.front().bytes.size()) - m_tokens;
        if (missing > 0)
            wait = int64_t(missing * 1e9 / double(m_settings.rateBytesPerSecond)) + 1;
    }
    return wait;
}
