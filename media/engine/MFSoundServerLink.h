#pragma once
#include <chrono>

namespace mf {

// One recording or playing stream's tie to the sound server: it tells
// MFSoundServerEvents when a stream that was connected loses the server and
// when it has it again, and paces the attempts to reconnect. A stream that
// never got through (no server at all, a microphone not plugged in) keeps
// trying without calling the server lost. Used on the stream's own thread.
class MFSoundServerLink
{
public:
    // Often enough that sound is back well within 3 s of the server's return.
    static constexpr std::chrono::milliseconds kRetryInterval{300};

    MFSoundServerLink() = default;
    ~MFSoundServerLink();
    MFSoundServerLink(const MFSoundServerLink &) = delete;
    MFSoundServerLink &operator=(const MFSoundServerLink &) = delete;

    void connected();
    void failed();
    // Whether the next attempt to open is due.
    bool mayRetry() const;
    // When the next attempt is due.
    std::chrono::steady_clock::time_point nextAttempt() const { return m_lastFailure + kRetryInterval; }
    bool isLost() const { return m_lost; }

private:
    bool m_everConnected = false;
    bool m_lost = false;
    std::chrono::steady_clock::time_point m_lastFailure{};
};

} // namespace mf
