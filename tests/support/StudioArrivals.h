#pragma once
#include "ByteArrivals.h"

#include <QString>

#include <atomic>
#include <thread>

class StudioProcess;

// Follows the byte count of one "#speedtest" stream in the studio's /status
// from a thread of its own: the studio's view of a transfer.
class StudioArrivals
{
public:
    StudioArrivals(const StudioProcess &studio, const QString &id);
    ~StudioArrivals();
    StudioArrivals(const StudioArrivals &) = delete;
    StudioArrivals &operator=(const StudioArrivals &) = delete;

    const ByteArrivals &arrivals() const { return m_arrivals; }

private:
    void follow();

    const StudioProcess &m_studio;
    const QString m_id;
    ByteArrivals m_arrivals;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
