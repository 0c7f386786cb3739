#include "media/engine/MFPulse.h"

#include <QDebug>
#include <QElapsedTimer>

#include <pulse/pulseaudio.h>

#include <memory>

namespace mf {

namespace {

struct PulseMainloopDeleter { void operator()(pa_mainloop *m) const { pa_mainloop_free(m); } };
struct PulseContextDeleter
{
    void operator()(pa_context *c) const
    {
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};
struct PulseOperationDeleter { void operator()(pa_operation *o) const { pa_operation_unref(o); } };

void onSource(pa_context *, const pa_source_info *info, int eol, void *userdata)
{
    if (eol || !info)
        return;
    auto *list = static_cast<QList<MFPulse::Source> *>(userdata);
    list->append({QString::fromUtf8(info->name),
                  QString::fromUtf8(info->description ? info->description : info->name)});
}

// Runs the loop until done() or the deadline, each turn waiting in poll() on
// the server's socket for what comes next, never past the deadline.
template<typename Done>
bool iterateUntil(pa_mainloop *loop, const QElapsedTimer &clock, int timeoutMs, Done done)
{
    while (!done()) {
        const qint64 leftMs = timeoutMs - clock.elapsed();
        if (leftMs <= 0 || pa_mainloop_prepare(loop, int(leftMs * 1000)) < 0 || pa_mainloop_poll(loop) < 0
            || pa_mainloop_dispatch(loop) < 0)
            return false;
    }
    return true;
}

} // namespace

MFPulse::Inventory MFPulse::inventory(int timeoutMs)
{
    Inventory result;
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<pa_mainloop, PulseMainloopDeleter> loop(pa_mainloop_new());
    if (!loop)
        return result;
    std::unique_ptr<pa_context, PulseContextDeleter> context(
        pa_context_new(pa_mainloop_get_api(loop.get()), "Orvanta"));
    if (!context || pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return result;
    auto state = [&] { return pa_context_get_state(context.get()); };
    const bool ready = iterateUntil(loop.get(), clock, timeoutMs, [&] {
        const auto s = state();
        return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
    });
    if (!ready || state() != PA_CONTEXT_READY)
        return result;
    result.serverReachable = true;

    std::unique_ptr<pa_operation, PulseOperationDeleter> op(
        pa_context_get_source_info_list(context.get(), &onSource, &result.sources));
    if (!op)
        return result;
    if (!iterateUntil(loop.get(), clock, timeoutMs,
                      [&] { return pa_operation_get_state(op.get()) != PA_OPERATION_RUNNING; }))
        qWarning() << "MFPulse: the sound server did not list its sources in time";
    return result;
}

} // namespace mf
