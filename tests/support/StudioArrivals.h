#pragma once
#include <QString>

#include <atomic>
#include <mutex>
#include <thread>

class StudioProcess;

// Follows the byte count of one "#speedtest" stream in the studio's /status
// from a thread of its own and notes when the first bytes and when the last
// bytes arrived: the studio's view of a transfer.
class StudioArrivals
{
public:
    StudioArrivals(const StudioProcess &studio, const QString &id);
    ~StudioArrivals();
    StudioArrivals(const StudioArrivals &) = delete;
    StudioArrivals &operator=(const StudioArrivals &) = delete;

    qint64 bytes() const;
    // Bytes after the first seen over the time from then to the last change.
    double kbitsPerSecond() const;
    // Waits (running the event loop) until at least count bytes arrived.
    bool waitForBytes(qint64 count, int timeoutMs) const;

private:
    void follow();
    void note(qint64 bytes, qint64 nowNs);

    const StudioProcess &m_studio;
    const QString m_id;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;  // the figures below change together
    qint64 m_bytes = 0;
    qint64 m_firstBytes = 0;
    qint64 m_firstNs = -1;
    qint64 m_lastNs = -1;
    std::thread m_thread;
};
