#pragma once

// ThreadSanitizer follows std::mutex, std::thread, atomics and the pthread
// calls, but not the locks inside the Qt library, which is not instrumented.
// So when one thread learns through Qt that another has finished its work
// (QThread::wait(), isRunning() or finished(), a queued call or a deferred
// delete), Qt's own lock orders the two, yet the sanitizer sees two threads
// touching the same data unordered. These two calls state that order: the
// thread whose work is done calls release(token) as its last step, the one
// that learned of it through Qt calls acquire(token) before touching the
// data. The token is any address both agree on, usually the object itself.
// Outside a ThreadSanitizer build both compile to nothing.

#if defined(__SANITIZE_THREAD__)
#define ORVANTA_TSAN_ANNOTATIONS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORVANTA_TSAN_ANNOTATIONS 1
#endif
#endif

#ifdef ORVANTA_TSAN_ANNOTATIONS
#include <sanitizer/tsan_interface.h>
#endif

namespace HappensBefore {

inline void release(const void *token)
{
#ifdef ORVANTA_TSAN_ANNOTATIONS
    __tsan_release(const_cast<void *>(token));
#else
    (void)token;
#endif
}

inline void acquire(const void *token)
{
#ifdef ORVANTA_TSAN_ANNOTATIONS
    __tsan_acquire(const_cast<void *>(token));
#else
    (void)token;
#endif
}

} // namespace HappensBefore
