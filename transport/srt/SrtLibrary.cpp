#include "transport/srt/SrtLibrary.h"

#include <srt/srt.h>

#include <cstdlib>
#include <mutex>

void startSrtLibrary()
{
    static std::once_flag started;
    std::call_once(started, [] {
        srt_startup();
        // libsrt's collector thread must be stopped before the library's own
        // statics are destroyed at exit, or the process crashes on its way out.
        std::atexit([] { srt_cleanup(); });
    });
}
