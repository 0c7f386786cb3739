#include "media/engine/RecordingClock.h"

namespace mf {

RecordingClock::RecordingClock(std::chrono::microseconds frameDuration) : m_frameDuration(frameDuration) {}

// Each read bounds where frame 0 began: no later than the read less the
// frames since. The smallest such bound over the window is kept with a
// monotonic queue.
RecordingClock::Clock::time_point RecordingClock::frameRead(Clock::time_point readAt)
{
    const long long frame = m_frames++;
    const Clock::time_point start = readAt - m_frameDuration * (frame + 1);
    while (!m_earliest.empty() && m_earliest.back().at >= start)
        m_earliest.pop_back();
    m_earliest.push_back({frame, start});
    while (m_earliest.front().frame <= frame - kWindowFrames)
        m_earliest.pop_front();
    return m_earliest.front().at + m_frameDuration * frame;
}

} // namespace mf
