#pragma once
#include <atomic>
#include <thread>

class Mixer;

// Puts a moving picture into the mixer's active writer at 25 frames a second
// from a thread of its own, as the mix loop does while writing is on.
class FramePump
{
public:
    explicit FramePump(Mixer &mixer);
    ~FramePump();
    FramePump(const FramePump &) = delete;
    FramePump &operator=(const FramePump &) = delete;

private:
    void run();

    Mixer &m_mixer;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
