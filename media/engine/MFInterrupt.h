#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace mf {

// A flag raised once from any thread to end the work of the thread that
// reads a source or records: its checks see it at once, and its waits for
// a pace or a retry end when it is raised instead of running their time.
class MFInterrupt
{
public:
    void raise();
    bool isRaised() const { return m_raised.load(); }
    // Whether raised, after waiting for it until `deadline` at most.
    bool waitUntil(std::chrono::steady_clock::time_point deadline);
    bool waitFor(std::chrono::milliseconds limit) { return waitUntil(std::chrono::steady_clock::now() + limit); }

private:
    std::atomic<bool> m_raised{false};
    std::mutex m_mutex;
    std::condition_variable m_changed;
};

} // namespace mf
