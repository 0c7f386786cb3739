#pragma once
#include "media/engine/MFFrame.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace mf {

// What the program hands the sound server to play (the return stream's
// sound), kept for the echo cancellers of its recordings: each recording
// reads the frame that was leaving the speaker when it recorded, found from
// when the last write was made and the output's latency then. A
// process-wide ring; the playing thread writes, recording threads read.
class EchoReference
{
public:
    static constexpr int kSampleRate = 44100;
    static constexpr int kChannels = 2;
    static constexpr int kFrameLength = kSampleRate / 100;  // samples per channel in 10 ms
    // A reader further behind than this has missed the oldest and goes on from the oldest kept.
    static constexpr int kKeptMs = 5000;

    // The one reference of the process. Playing and recording threads hold it
    // while they run: a sound thread that is still stopping when the program
    // exits must not write into a reference destroyed with the statics.
    static std::shared_ptr<EchoReference> shared();
    static MFAudioFormat format() { return {kChannels, kSampleRate, 16}; }

    // The playing thread: interleaved samples as written to the sound server,
    // and how long the server takes to play what it was just given
    // (negative: not known).
    void played(const int16_t *interleaved, int length, qint64 latencyUs);
    // The sample the speaker gives out at the moment `at`, from the last
    // write and its latency; may be negative before anything played.
    double heardAt(std::chrono::steady_clock::time_point at) const;
    // kFrameLength samples from position on into frame (interleaved);
    // silence for those not written yet or no longer kept.
    void frameAt(qint64 position, int16_t *frame) const;

private:
    EchoReference();

    mutable std::mutex m_mutex;  // guards every member below
    std::vector<int16_t> m_ring;
    quint64 m_written = 0;  // samples per channel since the start
    qint64 m_latencyUs = 0;  // of the last write whose latency was known
    quint64 m_writtenThen = 0;
    std::chrono::steady_clock::time_point m_writtenAt;
};

} // namespace mf
