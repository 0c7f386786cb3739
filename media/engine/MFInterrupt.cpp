#include "media/engine/MFInterrupt.h"

namespace mf {

void MFInterrupt::raise()
{
    {
        // Under the lock: a waiter that has just found the flag down is
        // already waiting when the notification comes.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_raised = true;
    }
    m_changed.notify_all();
}

bool MFInterrupt::waitUntil(std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_until(lock, deadline, [this] { return m_raised.load(); });
}

} // namespace mf
