#include "ByteArrivals.h"

#include <QtTest>

#include <chrono>

void ByteArrivals::note(qint64 totalBytes)
{
    const qint64 nowNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (totalBytes > 0 && m_firstNs < 0) {
        m_firstBytes = totalBytes;
        m_firstNs = nowNs;
    }
    if (totalBytes > m_bytes) {
        m_lastNs = nowNs;
        m_bytes = totalBytes;
    }
}

qint64 ByteArrivals::bytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}

double ByteArrivals::kbitsPerSecond() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 spanNs = m_lastNs - m_firstNs;
    return spanNs > 0 ? (m_bytes - m_firstBytes) * 8.0 / 1000.0 / (spanNs / 1e9) : 0.0;
}

bool ByteArrivals::waitForBytes(qint64 count, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return bytes() >= count; }, timeoutMs);
}
