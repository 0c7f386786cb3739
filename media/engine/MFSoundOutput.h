#pragma once
#include <QString>

#include <cstdint>
#include <memory>
#include <mutex>

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

    // Any thread; neither waits for the sound server.
    void start();
    void stop();
    bool isStarted() const;

    // Interleaved stereo samples; frames = samples per channel.
    void push(const int16_t *samples, int frames);

private:
    struct Feed;
    static void run(const std::shared_ptr<Feed> &feed);

    mutable std::mutex m_lifeMutex;  // guards m_feed: start, stop and push may come from different threads
    // The ring and stop flag of the running thread, shared with it: a stopped
    // thread finishes on its own (the sound server may take a while to open
    // or close a stream) while a new one may already play.
    std::shared_ptr<Feed> m_feed;
};

} // namespace mf
