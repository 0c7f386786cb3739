#pragma once
#include <srt/srt.h>

#include <cstdlib>
#include <mutex>

// Starts libsrt once for the whole process, from any thread, any number of
// times. Header-only so that the media engine shares the one start without
// linking the transport library.
inline void startSrtLibrary()
{
    static std::once_flag started;
    std::call_once(started, [] {
        srt_startup();
        // libsrt's collector thread must be stopped before the library's own
        // statics are destroyed at exit, or the process crashes on its way out.
        std::atexit([] { srt_cleanup(); });
    });
}
