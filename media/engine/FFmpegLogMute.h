#pragma once

namespace mf {

// While one lives, FFmpeg's log lines from the thread that made it are
// dropped: trying encoders the machine may lack (hardware ones without their
// driver) makes FFmpeg print errors that mean nothing to the user. Lines from
// other threads, and all lines once it is gone, go to FFmpeg's usual output.
class FFmpegLogMute
{
public:
    FFmpegLogMute();
    ~FFmpegLogMute();
    FFmpegLogMute(const FFmpegLogMute &) = delete;
    FFmpegLogMute &operator=(const FFmpegLogMute &) = delete;

private:
    bool m_wasMuted;
};

} // namespace mf
