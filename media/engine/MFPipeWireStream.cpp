#include "media/engine/MFPipeWireStream.h"

#include <QDateTime>
#include <QDebug>
#include <QPainter>

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

#include <unistd.h>

namespace mf {

namespace {

void initPipeWire()
{
    static const bool done = [] {
        pw_init(nullptr, nullptr);
        return true;
    }();
    Q_UNUSED(done)
}

constexpr int kCursorMax = 256; // largest cursor bitmap asked for, in pixels per side

int cursorMetaSize()
{
    return int(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + kCursorMax * kCursorMax * 4);
}

// QImage layout of a PipeWire video format, or Invalid.
QImage::Format imageFormat(quint32 format)
{
    switch (format) {
    case SPA_VIDEO_FORMAT_BGRx: return QImage::Format_RGB32;
    case SPA_VIDEO_FORMAT_BGRA: return QImage::Format_ARGB32;
    case SPA_VIDEO_FORMAT_RGBx: return QImage::Format_RGBX8888;
    case SPA_VIDEO_FORMAT_RGBA: return QImage::Format_RGBA8888;
    default: return QImage::Format_Invalid;
    }
}

// An RGB32 copy of pixels that belong to PipeWire: BGRx and BGRA are RGB32 in
// memory already and are copied row by row; the RGB orders are converted.
QImage rgb32Copy(const QImage &wrapped)
{
    if (wrapped.format() == QImage::Format_RGB32)
        return wrapped.copy();
    if (wrapped.format() == QImage::Format_ARGB32) {
        QImage copy = wrapped.copy();
        copy.reinterpretAsFormat(QImage::Format_RGB32); // alpha of a screen carries nothing
        return copy;
    }
    return wrapped.convertToFormat(QImage::Format_RGB32);
}

const spa_pod *formatParam(spa_pod_builder *b)
{
    spa_pod_frame f;
    const spa_rectangle minSize = SPA_RECTANGLE(1, 1), defSize = SPA_RECTANGLE(1920, 1080),
                        maxSize = SPA_RECTANGLE(16384, 16384);
    const spa_fraction minRate = SPA_FRACTION(0, 1), defRate = SPA_FRACTION(25, 1), maxRate = SPA_FRACTION(240, 1);
    spa_pod_builder_push_object(b, &f, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), 0);
    spa_pod_builder_add(b, SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), 0);
    spa_pod_builder_add(b, SPA_FORMAT_VIDEO_format,
                        SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                                               SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
                        0);
    spa_pod_builder_add(b, SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize), 0);
    spa_pod_builder_add(b, SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&defRate, &minRate, &maxRate),
                        0);
    return static_cast<const spa_pod *>(spa_pod_builder_pop(b, &f));
}

const spa_pod *buffersParam(spa_pod_builder *b)
{
    spa_pod_frame f;
    spa_pod_builder_push_object(b, &f, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    spa_pod_builder_add(b, SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 16), 0);
    spa_pod_builder_add(b, SPA_PARAM_BUFFERS_dataType,
                        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)), 0);
    return static_cast<const spa_pod *>(spa_pod_builder_pop(b, &f));
}

const spa_pod *metaParam(spa_pod_builder *b, quint32 type, int size)
{
    spa_pod_frame f;
    spa_pod_builder_push_object(b, &f, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_add(b, SPA_PARAM_META_type, SPA_POD_Id(type), 0);
    spa_pod_builder_add(b, SPA_PARAM_META_size, SPA_POD_Int(size), 0);
    return static_cast<const spa_pod *>(spa_pod_builder_pop(b, &f));
}

struct LoopDeleter { void operator()(pw_thread_loop *l) const { pw_thread_loop_destroy(l); } };
struct ContextDeleter { void operator()(pw_context *c) const { pw_context_destroy(c); } };
struct CoreDeleter { void operator()(pw_core *c) const { pw_core_disconnect(c); } };
struct RegistryDeleter { void operator()(pw_registry *r) const { pw_proxy_destroy(reinterpret_cast<pw_proxy *>(r)); } };
struct StreamDeleter { void operator()(pw_stream *s) const { pw_stream_destroy(s); } };

} // namespace

// Declared in destruction order's reverse: the stream goes first, the loop last.
struct MFPipeWireStream::Handles
{
    std::unique_ptr<pw_thread_loop, LoopDeleter> loop;
    std::unique_ptr<pw_context, ContextDeleter> context;
    std::unique_ptr<pw_core, CoreDeleter> core;
    std::unique_ptr<pw_registry, RegistryDeleter> registry;
    std::unique_ptr<pw_stream, StreamDeleter> stream;
};

struct MFPipeWireStream::Listeners
{
    spa_hook core{};
    spa_hook registry{};
    spa_hook stream{};
    pw_core_events coreEvents{};
    pw_registry_events registryEvents{};
    pw_stream_events streamEvents{};
};

MFPipeWireStream::MFPipeWireStream(int remoteFd, quint32 node)
    : m_fd(remoteFd), m_node(node), m_handles(std::make_unique<Handles>()), m_listeners(std::make_unique<Listeners>())
{
}

MFPipeWireStream::~MFPipeWireStream()
{
    if (m_handles->loop)
        pw_thread_loop_stop(m_handles->loop.get());
    if (m_handles->stream)
        spa_hook_remove(&m_listeners->stream);
    if (m_handles->registry)
        spa_hook_remove(&m_listeners->registry);
    if (m_handles->core)
        spa_hook_remove(&m_listeners->core);
    m_handles.reset();
    if (m_fd >= 0)
        ::close(m_fd); // never handed to PipeWire
}

bool MFPipeWireStream::start(QString *error)
{
    initPipeWire();
    Handles &h = *m_handles;
    h.loop.reset(pw_thread_loop_new("orvanta-screen", nullptr));
    if (h.loop)
        h.context.reset(pw_context_new(pw_thread_loop_get_loop(h.loop.get()), nullptr, 0));
    if (!h.context) {
        *error = QStringLiteral("PipeWire could not be set up");
        return false;
    }
    if (pw_thread_loop_start(h.loop.get()) < 0) {
        *error = QStringLiteral("PipeWire's thread could not start");
        return false;
    }
    pw_thread_loop_lock(h.loop.get());
    const int fd = m_fd;
    m_fd = -1; // PipeWire closes it from here on, also when connecting fails
    h.core.reset(pw_context_connect_fd(h.context.get(), fd, nullptr, 0));
    bool ok = bool(h.core);
    if (ok) {
        Listeners &l = *m_listeners;
        l.coreEvents.version = PW_VERSION_CORE_EVENTS;
        l.coreEvents.error = [](void *self, uint32_t id, int, int res, const char *message) {
            if (id == PW_ID_CORE && res == -EPIPE)
                static_cast<MFPipeWireStream *>(self)->end(QString::fromUtf8(message ? message : "disconnected"));
        };
        pw_core_add_listener(h.core.get(), &l.core, &l.coreEvents, this);

        h.registry.reset(pw_core_get_registry(h.core.get(), PW_VERSION_REGISTRY, 0));
        l.registryEvents.version = PW_VERSION_REGISTRY_EVENTS;
        l.registryEvents.global_remove = [](void *self, uint32_t id) {
            static_cast<MFPipeWireStream *>(self)->onGlobalRemoved(id);
        };
        if (h.registry)
            pw_registry_add_listener(h.registry.get(), &l.registry, &l.registryEvents, this);

        pw_properties *props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                 PW_KEY_MEDIA_ROLE, "Screen", nullptr);
        h.stream.reset(pw_stream_new(h.core.get(), "orvanta-screen", props));
        ok = bool(h.stream);
    }
    if (ok) {
        Listeners &l = *m_listeners;
        l.streamEvents.version = PW_VERSION_STREAM_EVENTS;
        l.streamEvents.state_changed = [](void *self, pw_stream_state, pw_stream_state state, const char *err) {
            static_cast<MFPipeWireStream *>(self)->onStateChanged(int(state), err);
        };
        l.streamEvents.param_changed = [](void *self, uint32_t id, const spa_pod *param) {
            static_cast<MFPipeWireStream *>(self)->onParamChanged(id, param);
        };
        l.streamEvents.process = [](void *self) { static_cast<MFPipeWireStream *>(self)->onProcess(); };
        pw_stream_add_listener(h.stream.get(), &l.stream, &l.streamEvents, this);
        uint8_t storage[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod *params[1] = {formatParam(&b)};
        const int rc = pw_stream_connect(h.stream.get(), PW_DIRECTION_INPUT, m_node,
                                         pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                                         params, 1);
        ok = rc >= 0;
    }
    pw_thread_loop_unlock(h.loop.get());
    if (!ok)
        *error = QStringLiteral("PipeWire did not accept the portal's stream");
    return ok;
}

void MFPipeWireStream::onParamChanged(quint32 id, const void *param)
{
    if (!param || id != SPA_PARAM_Format)
        return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(static_cast<const spa_pod *>(param), &info) < 0)
        return;
    m_format = info.format;
    m_width = int(info.size.width);
    m_height = int(info.size.height);
    uint8_t storage[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod *params[3] = {
        buffersParam(&b),
        metaParam(&b, SPA_META_VideoCrop, int(sizeof(spa_meta_region))),
        metaParam(&b, SPA_META_Cursor, cursorMetaSize()),
    };
    pw_stream_update_params(m_handles->stream.get(), params, 3);
}

void MFPipeWireStream::onStateChanged(int state, const char *error)
{
    switch (pw_stream_state(state)) {
    case PW_STREAM_STATE_STREAMING:
        m_streaming = true;
        break;
    case PW_STREAM_STATE_ERROR:
        end(QString::fromUtf8(error ? error : "stream error"));
        break;
    case PW_STREAM_STATE_UNCONNECTED:
        end(QStringLiteral("stream disconnected"));
        break;
    case PW_STREAM_STATE_PAUSED:
        if (m_streaming)
            end(QStringLiteral("stream paused"));
        break;
    default:
        break;
    }
}

void MFPipeWireStream::onGlobalRemoved(quint32 id)
{
    if (id == m_node)
        end(QStringLiteral("the screen's stream is gone"));
}

void MFPipeWireStream::end(const QString &reason)
{
    if (m_ended.exchange(true))
        return;
    if (m_onEnded)
        m_onEnded(reason);
}

void MFPipeWireStream::onProcess()
{
    pw_stream *stream = m_handles->stream.get();
    pw_buffer *newest = nullptr;
    // Only the newest picture counts; older ones go straight back.
    while (pw_buffer *b = pw_stream_dequeue_buffer(stream)) {
        if (newest)
            pw_stream_queue_buffer(stream, newest);
        newest = b;
    }
    if (!newest)
        return;
    takePicture(newest->buffer);
    pw_stream_queue_buffer(stream, newest);
}

void MFPipeWireStream::takePicture(const void *buffer)
{
    auto *buf = const_cast<spa_buffer *>(static_cast<const spa_buffer *>(buffer));
    const QImage::Format format = imageFormat(m_format);
    QImage picture;
    const spa_data &d = buf->datas[0];
    if (format != QImage::Format_Invalid && d.data && d.chunk && d.chunk->size > 0
        && !(d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) && m_width > 0 && m_height > 0) {
        const int stride = d.chunk->stride > 0 ? d.chunk->stride : m_width * 4;
        QRect area(0, 0, m_width, m_height);
        if (auto *crop = static_cast<spa_meta_region *>(spa_buffer_find_meta_data(buf, SPA_META_VideoCrop, sizeof(spa_meta_region)))) {
            if (spa_meta_region_is_valid(crop))
                area &= QRect(crop->region.position.x, crop->region.position.y, int(crop->region.size.width),
                              int(crop->region.size.height));
        }
        const qint64 needed = qint64(d.chunk->offset) + qint64(stride) * m_height;
        if (!area.isEmpty() && stride >= m_width * 4 && needed <= qint64(d.maxsize)) {
            const auto *base = static_cast<const uchar *>(d.data) + d.chunk->offset;
            const QImage wrapped(base + area.y() * stride + area.x() * 4, area.width(), area.height(), stride, format);
            picture = rgb32Copy(wrapped);
        }
    }
    QImage cursor;
    QPoint cursorPos;
    bool cursorSeen = false, cursorVisible = false;
    spa_meta *meta = spa_buffer_find_meta(buf, SPA_META_Cursor);
    if (meta && meta->data && meta->size >= sizeof(spa_meta_cursor)) {
        auto *mc = static_cast<spa_meta_cursor *>(meta->data);
        cursorSeen = true;
        cursorVisible = spa_meta_cursor_is_valid(mc);
        cursorPos = QPoint(mc->position.x - mc->hotspot.x, mc->position.y - mc->hotspot.y);
        // The bitmap must lie inside the metadata the producer filled.
        const quint64 headerEnd = quint64(mc->bitmap_offset) + sizeof(spa_meta_bitmap);
        if (cursorVisible && mc->bitmap_offset >= sizeof(spa_meta_cursor) && headerEnd <= meta->size) {
            auto *bm = SPA_PTROFF(mc, mc->bitmap_offset, spa_meta_bitmap);
            const QImage::Format cf = imageFormat(bm->format);
            const quint64 bitsEnd = quint64(mc->bitmap_offset) + bm->offset + quint64(bm->stride) * bm->size.height;
            if (cf != QImage::Format_Invalid && bm->size.width > 0 && bm->size.height > 0
                && bm->size.width <= kCursorMax && bm->size.height <= kCursorMax
                && bm->stride >= int(bm->size.width * 4) && bitsEnd <= meta->size) {
                const QImage w(SPA_PTROFF(bm, bm->offset, const uchar), int(bm->size.width), int(bm->size.height),
                               bm->stride, cf);
                cursor = w.convertToFormat(QImage::Format_ARGB32_Premultiplied);
            }
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!picture.isNull()) {
        m_latest.image = picture;
        ++m_latest.serial;
        m_latest.arrivedUs = QDateTime::currentMSecsSinceEpoch() * 1000;
    }
    if (cursorSeen) {
        m_latest.cursorVisible = cursorVisible;
        m_latest.cursorPos = cursorPos;
        if (!cursor.isNull())
            m_latest.cursor = cursor; // a cursor that did not change comes without its bitmap
    }
}

MFPipeWireStream::Picture MFPipeWireStream::latest() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_latest;
}

} // namespace mf
