#include "media/engine/MFSourceWatch.h"

#include <pulse/pulseaudio.h>

namespace mf {

void MFSourceWatch::LoopDeleter::operator()(pa_threaded_mainloop *loop) const
{
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
}

void MFSourceWatch::WatchContextDeleter::operator()(pa_context *context) const
{
    pa_context_disconnect(context);
    pa_context_unref(context);
}

MFSourceWatch::MFSourceWatch(const QString &sourceName)
    : m_sourceName(sourceName.toUtf8()), m_loop(pa_threaded_mainloop_new())
{
    if (!m_loop)
        return;
    pa_threaded_mainloop_lock(m_loop.get());
    m_context.reset(pa_context_new(pa_threaded_mainloop_get_api(m_loop.get()), "Orvanta"));
    if (m_context) {
        pa_context_set_state_callback(m_context.get(), &MFSourceWatch::onState, this);
        pa_context_set_subscribe_callback(
            m_context.get(),
            [](pa_context *context, pa_subscription_event_type_t type, uint32_t index, void *self) {
                onEvent(context, unsigned(type), unsigned(index), self);
            },
            this);
        if (pa_context_connect(m_context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            m_context.reset();
    }
    pa_threaded_mainloop_unlock(m_loop.get());
    if (m_context)
        pa_threaded_mainloop_start(m_loop.get());
}

MFSourceWatch::~MFSourceWatch()
{
    if (!m_loop)
        return;
    // The context goes while the loop's thread still runs, under its lock,
    // so no callback can reach a half-destroyed watch.
    pa_threaded_mainloop_lock(m_loop.get());
    if (m_context) {
        pa_context_set_state_callback(m_context.get(), nullptr, nullptr);
        pa_context_set_subscribe_callback(m_context.get(), nullptr, nullptr);
    }
    m_context.reset();
    pa_threaded_mainloop_unlock(m_loop.get());
}

void MFSourceWatch::onState(pa_context *context, void *)
{
    if (pa_context_get_state(context) != PA_CONTEXT_READY)
        return;
    if (pa_operation *subscribing = pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SOURCE, nullptr, nullptr))
        pa_operation_unref(subscribing);
}

void MFSourceWatch::onEvent(pa_context *context, unsigned type, unsigned index, void *self)
{
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SOURCE
        || (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_NEW)
        return;
    auto onInfo = [](pa_context *, const pa_source_info *info, int eol, void *watch) {
        auto *me = static_cast<MFSourceWatch *>(watch);
        if (!eol && info && info->name && me->m_sourceName == info->name)
            me->m_appeared = true;
    };
    if (pa_operation *asking = pa_context_get_source_info_by_index(context, index, onInfo, self))
        pa_operation_unref(asking);
}

} // namespace mf
