#pragma once
#include <chrono>
#include <deque>

namespace mf {

// When each frame of a recording was recorded, from when it was read.
//
// A frame can be read only once its last sample is in, and a reading thread
// is often late (a busy machine), never early: so among the last few
// seconds of frames the one read soonest after its end shows where the
// frames lie on the clock, and each frame is placed at that pace from it.
// The window moves on, so a sound card's clock that drifts from the
// computer's is followed.
class RecordingClock
{
public:
    using Clock = std::chrono::steady_clock;

    explicit RecordingClock(std::chrono::microseconds frameDuration);

    // The frame just read, at readAt; returns when its first sample was recorded.
    Clock::time_point frameRead(Clock::time_point readAt);

    static constexpr int kWindowFrames = 300;  // three seconds of 10 ms frames

private:
    struct Start {
        long long frame;
        Clock::time_point at;  // the latest its first sample can have been recorded
    };
    std::chrono::microseconds m_frameDuration;
    long long m_frames = 0;
    std::deque<Start> m_earliest;  // increasing in frame and in start: a sliding minimum
};

} // namespace mf
