#pragma once
#include <QString>

#include <atomic>
#include <memory>

struct pa_context;
struct pa_threaded_mainloop;

namespace mf {

// Tells when a sound-server source of a given name appears: a headset
// plugged in again. While it was away the server moved the recordings from
// it to another source, and they stay there unless opened on it again.
// Watches on a thread of the sound server library's own; asks nothing of
// the caller's thread. Without a server it never fires, and the recording's
// own reopening takes over.
class MFSourceWatch
{
public:
    explicit MFSourceWatch(const QString &sourceName);
    ~MFSourceWatch();
    MFSourceWatch(const MFSourceWatch &) = delete;
    MFSourceWatch &operator=(const MFSourceWatch &) = delete;

    // True once the source appeared since the watch began; any thread.
    bool appeared() const { return m_appeared; }

private:
    struct LoopDeleter { void operator()(pa_threaded_mainloop *loop) const; };
    struct WatchContextDeleter { void operator()(pa_context *context) const; };

    static void onState(pa_context *context, void *self);
    static void onEvent(pa_context *context, unsigned type, unsigned index, void *self);

    QByteArray m_sourceName;
    std::atomic<bool> m_appeared{false};
    std::unique_ptr<pa_threaded_mainloop, LoopDeleter> m_loop;
    std::unique_ptr<pa_context, WatchContextDeleter> m_context; // touched under the loop's lock
};

} // namespace mf
