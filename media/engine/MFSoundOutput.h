#pragma once
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

namespace mf {

// Plays 16-bit stereo sound at 44100 Hz through the sound server on a thread
// of its own, pulling from a bounded ring that push() fills from any thread.
// Nothing on the GUI thread feeds it, so a busy window never starves the
// output. Without a reachable sound server the sound is dropped, once logged.
class MFSoundOutput
{
public:
    static constexpr int kSampleRate = 44100;
    static constexpr int kChannels = 2;
    // What the ring keeps at most; beyond it the oldest sound goes, so the
    // output never falls behind the picture by more than this.
    static constexpr int kMaxQueuedMs = 400;
    // What the sound server holds ahead of the speaker: the cushion that
    // rides out a late picture (its sound comes with it) or a busy machine.
    static constexpr int kServerBufferMs = 150;
    // After running dry, playing resumes once this much is back.
    static constexpr int kRestartMs = 60;

    MFSoundOutput();
    ~MFSoundOutput();
    MFSoundOutput(const MFSoundOutput &) = delete;
    MFSoundOutput &operator=(const MFSoundOutput &) = delete;

    // Any thread.
    void start();
    void stop();
    bool isStarted() const { return m_running; }

    // Interleaved stereo samples; frames = samples per channel.
    void push(const int16_t *samples, int frames);
    // Sample frames written to the sound server so far.
    quint64 framesPlayed() const { return m_played; }

private:
    void run();
    size_t takeChunk(int16_t *buffer, size_t maxSamples);

    std::mutex m_lifeMutex;  // guards m_thread: start and stop may come from two threads
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
    std::atomic<quint64> m_played{0};
    std::mutex m_mutex;  // guards m_ring
    std::condition_variable m_wake;
    std::deque<int16_t> m_ring;
};

} // namespace mf
