#include "media/engine/FFmpegLogMute.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <mutex>

namespace mf {

namespace {

thread_local bool t_muted = false;

void logUnlessMuted(void *context, int level, const char *format, va_list arguments)
{
    if (!t_muted)
        av_log_default_callback(context, level, format, arguments);
}

} // namespace

FFmpegLogMute::FFmpegLogMute() : m_wasMuted(t_muted)
{
    // Installed once and for good: FFmpeg's callback is process-wide, and
    // swapping it back and forth would race with other threads' lines.
    static std::once_flag installed;
    std::call_once(installed, [] { av_log_set_callback(logUnlessMuted); });
    t_muted = true;
}

FFmpegLogMute::~FFmpegLogMute()
{
    t_muted = m_wasMuted;
}

} // namespace mf
