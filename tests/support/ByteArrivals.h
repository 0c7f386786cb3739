#pragma once
#include <QtGlobal>

#include <mutex>

// What arrived at a receiver: the byte count so far, and when the first and
// the last bytes came. Noted from the receiving thread, read from the test's.
class ByteArrivals
{
public:
    // The receiver's running total, noted whenever it is known.
    void note(qint64 totalBytes);

    qint64 bytes() const;
    // Bytes after the first noted, over the time from then to the last change.
    double kbitsPerSecond() const;
    // Waits (running the event loop) until at least count bytes arrived.
    bool waitForBytes(qint64 count, int timeoutMs) const;

private:
    mutable std::mutex m_mutex;  // the figures change together
    qint64 m_bytes = 0;
    qint64 m_firstBytes = 0;
    qint64 m_firstNs = -1;
    qint64 m_lastNs = -1;
};
