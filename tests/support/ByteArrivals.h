#pragma once
#include <QtTest>

#include <chrono>
#include <mutex>

// A receiver's byte count and when its first and last bytes came; noted
// from the receiving thread, read from the test's.
class ByteArrivals
{
public:
    void note(qint64 totalBytes)  // the running total, whenever known
    {
        const qint64 nowNs = std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
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
    qint64 bytes() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bytes;
    }
    // Bytes after the first noted, over the time from then to the last change.
    double kbitsPerSecond() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const qint64 spanNs = m_lastNs - m_firstNs;
        return spanNs > 0 ? (m_bytes - m_firstBytes) * 8.0 / 1000.0 / (spanNs / 1e9) : 0.0;
    }
    bool waitForBytes(qint64 count, int timeoutMs) const
    {
        return QTest::qWaitFor([&] { return bytes() >= count; }, timeoutMs);
    }

private:
    mutable std::mutex m_mutex;  // the figures change together
    qint64 m_bytes = 0;
    qint64 m_firstBytes = 0;
    qint64 m_firstNs = -1;
    qint64 m_lastNs = -1;
};
