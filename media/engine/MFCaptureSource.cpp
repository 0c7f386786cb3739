#include "media/engine/MFCaptureSource.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
}

namespace mf {

namespace {

// One frame interval at 25 frames per second.
constexpr std::chrono::milliseconds kNoInputPace(40);
// A device with nothing ready yet is asked again after this pause, this
// often, before the turn gives up: a quarter of a second in all.
constexpr std::chrono::milliseconds kAgainPause(5);
constexpr int kReadAttempts = 50;

QString avError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

void registerDevices()
{
    static const bool done = [] {
        avdevice_register_all();
        return true;
    }();
    Q_UNUSED(done)
}

} // namespace

void MFCaptureSource::FormatDeleter::operator()(AVFormatContext *c) const { avformat_close_input(&c); }
void MFCaptureSource::CodecDeleter::operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
void MFCaptureSource::FrameDeleter::operator()(AVFrame *f) const { av_frame_free(&f); }
void MFCaptureSource::PacketDeleter::operator()(AVPacket *p) const { av_packet_free(&p); }

MFCaptureSource::MFCaptureSource(const MFCaptureSettings &settings) : m_settings(settings)
{
    registerDevices();
}

MFCaptureSource::~MFCaptureSource() = default;

int MFCaptureSource::interruptCallback(void *opaque)
{
    return static_cast<MFCaptureSource *>(opaque)->m_interrupted.isRaised() ? 1 : 0;
}

bool MFCaptureSource::open()
{
    close();
    const AVInputFormat *format = av_find_input_format(m_settings.inputFormat.toUtf8().constData());
    if (!format) {
        qWarning() << "MFCaptureSource: no input format" << m_settings.inputFormat;
        return false;
    }
    AVDictionary *options = nullptr;
    for (auto it = m_settings.options.cbegin(); it != m_settings.options.cend(); ++it)
        av_dict_set(&options, it.key().toUtf8().constData(), it.value().toUtf8().constData(), 0);
    AVFormatContext *ctx = avformat_alloc_context();
    if (!ctx) {
        av_dict_free(&options);
        return false;
    }
    ctx->interrupt_callback.callback = &MFCaptureSource::interruptCallback;
    ctx->interrupt_callback.opaque = this;
    const int rc = avformat_open_input(&ctx, m_settings.url.toUtf8().constData(), format, &options);
    av_dict_free(&options);
    if (rc < 0) { // avformat_open_input frees ctx on failure
        if (m_failedOpens++ % 100 == 0)
            qWarning() << "MFCaptureSource: cannot open" << m_settings.inputFormat << m_settings.url << avError(rc);
        return false;
    }
    // Devices describe their stream when opened; probing would only cost a
    // frame interval at every reopen.
    m_input.reset(ctx);
    m_streamIndex = av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (m_streamIndex < 0)
        return false;
    const AVCodecParameters *par = ctx->streams[m_streamIndex]->codecpar;
    const AVCodec *codec = avcodec_find_decoder(par->codec_id);
    if (!codec)
        return false;
    m_decoder.reset(avcodec_alloc_context3(codec));
    if (!m_decoder || avcodec_parameters_to_context(m_decoder.get(), par) < 0
        || avcodec_open2(m_decoder.get(), codec, nullptr) < 0) {
        m_decoder.reset();
        return false;
    }
    m_frame.reset(av_frame_alloc());
    m_packet.reset(av_packet_alloc());
    m_failedOpens = 0;
    return m_frame && m_packet;
}

void MFCaptureSource::close()
{
    m_decoder.reset();
    m_input.reset();
    m_streamIndex = -1;
}

MFFramePtr MFCaptureSource::read(const QSize &target)
{
    if (!m_input && !open()) {
        close();
        // Nothing to capture (no display, camera gone): keep the caller's pace
        // instead of letting it spin.
        m_interrupted.waitFor(kNoInputPace);
        return nullptr;
    }
    for (int attempts = 0; attempts < kReadAttempts && !m_interrupted.isRaised(); ++attempts) {
        const int rc = av_read_frame(m_input.get(), m_packet.get());
        if (rc == AVERROR(EAGAIN)) {
            m_interrupted.waitFor(kAgainPause);
            continue;
        }
        if (rc < 0) {
            // A window that is unmapped fails every read; say so once per streak.
            if (m_failedReads++ % 100 == 0)
                qWarning() << "MFCaptureSource: read failed" << avError(rc);
            close(); // reopened at the next read (a window may have changed size)
            return nullptr;
        }
        const bool ours = m_packet->stream_index == m_streamIndex;
        const int sent = ours ? avcodec_send_packet(m_decoder.get(), m_packet.get()) : -1;
        av_packet_unref(m_packet.get());
        if (sent < 0)
            continue;
        if (avcodec_receive_frame(m_decoder.get(), m_frame.get()) == 0) {
            MFFramePtr frame = convert(m_frame.get(), target);
            av_frame_unref(m_frame.get());
            if (frame)
                frame->setTimestampUs(QDateTime::currentMSecsSinceEpoch() * 1000);
            m_failedReads = 0;
            return frame;
        }
    }
    return nullptr;
}

MFFramePtr MFCaptureSource::convert(const AVFrame *picture, const QSize &target)
{
    const QSize size = target.isEmpty() ? m_settings.frameSize : target;
    return m_converter.convert(picture->data, picture->linesize, AVPixelFormat(picture->format),
                               picture->width, picture->height, size, m_settings.backgroundArgb);
}

QList<MFCaptureSource::Camera> MFCaptureSource::cameras()
{
    QList<Camera> found;
    const QStringList nodes = QDir("/dev").entryList({"video*"}, QDir::System, QDir::Name);
    QList<QPair<int, QString>> ordered;
    for (const QString &node : nodes)
        ordered.append({node.mid(5).toInt(), "/dev/" + node});
    std::sort(ordered.begin(), ordered.end());
    for (const auto &entry : ordered) {
        const int fd = ::open(entry.second.toUtf8().constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        v4l2_capability cap{};
        if (::ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0) {
            const quint32 caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
            if (caps & V4L2_CAP_VIDEO_CAPTURE)
                found.append({QString::fromUtf8(reinterpret_cast<const char *>(cap.card)), entry.second});
        }
        ::close(fd);
    }
    return found;
}

} // namespace mf
