#include "TsDecoder.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
}
#include <QDebug>
#include <algorithm>
#include <chrono>

namespace mf {

namespace {

constexpr int kIoBufferSize = 32 * 1024;
// Sound waiting for a picture is kept for at most this long.
constexpr size_t kMaxPendingSamples = TsDecoder::kSampleRate * TsDecoder::kChannels;
constexpr size_t kSoundAloneSamples = size_t(TsDecoder::kSampleRate) * TsDecoder::kChannels * TsDecoder::kSoundAloneMs / 1000;
constexpr qint64 kNoPictureSamples = qint64(TsDecoder::kSampleRate) * TsDecoder::kNoPictureMs / 1000;
// What the resampler accepts as input (its own limit is 64 channels).
constexpr int kMaxInputChannels = 64;
constexpr int kMaxInputRate = 768000;

qint64 nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

QSize TsDecoder::deliveredSize(int width, int height)
{
    const QSize size(width, height);
    if (width <= kMaxWidth && height <= kMaxHeight)
        return size;
    const QSize fitted = size.scaled(kMaxWidth, kMaxHeight, Qt::KeepAspectRatio);
    return QSize(std::max(fitted.width(), 1), std::max(fitted.height(), 1));
}

void TsDecoder::AVIOContextDeleter::operator()(AVIOContext *p) const
{
    av_freep(&p->buffer);
    avio_context_free(&p);
}

TsDecoder::TsDecoder(Source source, bool lowDelay) : m_source(std::move(source)), m_lowDelay(lowDelay) {}

TsDecoder::~TsDecoder()
{
    m_input.reset();  // before the I/O context it reads from
    av_channel_layout_uninit(&m_resamplerLayout);
}

int TsDecoder::readPacket(void *opaque, uint8_t *buffer, int size)
{
    auto *self = static_cast<TsDecoder *>(opaque);
    // A stream of garbage may never give the demuxer a packet: the check
    // runs as bytes arrive.
    self->checkNothingDecoded();
    const int count = self->m_source(buffer, size);
    if (count == 0)
        return AVERROR_EXIT;
    return count < 0 ? AVERROR_EOF : count;
}

int TsDecoder::interrupted(void *opaque)
{
    auto *self = static_cast<TsDecoder *>(opaque);
    return self->m_stop && *self->m_stop ? 1 : 0;
}

bool TsDecoder::openInput()
{
    auto *buffer = static_cast<unsigned char *>(av_malloc(kIoBufferSize));
    if (!buffer)
        return false;
    m_io.reset(avio_alloc_context(buffer, kIoBufferSize, 0, this, &TsDecoder::readPacket, nullptr, nullptr));
    if (!m_io) {
        av_free(buffer);
        return false;
    }
    AVFormatContext *context = avformat_alloc_context();
    if (!context)
        return false;
    context->pb = m_io.get();
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    context->interrupt_callback = AVIOInterruptCB{&TsDecoder::interrupted, this};
    // Low delay: packets go to the decoders as the demuxer cuts them. The
    // parsers would hold each picture until the next one begins; a PES that
    // carries its length ends with its picture.
    if (m_lowDelay)
        context->flags |= AVFMT_FLAG_NOBUFFER | AVFMT_FLAG_NOPARSE | AVFMT_FLAG_NOFILLIN;
    const AVInputFormat *format = av_find_input_format("mpegts");
    const int result = avformat_open_input(&context, nullptr, format, nullptr);
    if (result < 0) {
        qDebug() << "MFReader: cannot open the stream:" << ffmpegError(result);
        return false;  // avformat_open_input frees the context on failure
    }
    m_input.reset(context);
    return true;
}

bool TsDecoder::openDecoder(int streamIndex)
{
    const AVStream *stream = m_input->streams[streamIndex];
    const AVMediaType type = stream->codecpar->codec_type;
    if ((type == AVMEDIA_TYPE_VIDEO && m_video) || (type == AVMEDIA_TYPE_AUDIO && m_audio))
        return false;
    if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO)
        return false;
    const AVCodec *codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) {
        if (type == AVMEDIA_TYPE_VIDEO)
            noteVideoFailure(QStringLiteral("no decoder for %1").arg(avcodec_get_name(stream->codecpar->codec_id)));
        return false;
    }
    AVCodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context || avcodec_parameters_to_context(context.get(), stream->codecpar) < 0)
        return false;
    context->pkt_timebase = stream->time_base;
    if (type == AVMEDIA_TYPE_VIDEO) {
        if (m_lowDelay) {
            context->flags |= AV_CODEC_FLAG_LOW_DELAY;
            context->thread_type = FF_THREAD_SLICE;
        }
        context->thread_count = 0;
        context->opaque = this;
        context->get_buffer2 = &TsDecoder::pictureBuffer;
        // The decoder's own tables grow with the size it is told; far beyond
        // the refused sizes it does not even set them up.
        context->max_pixels = 4 * kMaxDecodedPixels;
    }
    const int opened = avcodec_open2(context.get(), codec, nullptr);
    if (opened < 0) {
        if (type == AVMEDIA_TYPE_VIDEO)
            noteVideoFailure(QStringLiteral("the %1 decoder did not open: %2").arg(codec->name, ffmpegError(opened)));
        return false;
    }
    if (type == AVMEDIA_TYPE_VIDEO) {
        m_video = std::move(context);
        m_videoIndex = streamIndex;
    } else {
        m_audio = std::move(context);
        m_audioIndex = streamIndex;
    }
    return true;
}

bool TsDecoder::run(const std::atomic<bool> &stop, const Sink &sink)
{
    m_stop = &stop;
    m_quietSinceMs = nowMs();
    if (!openInput())
        return false;
    if (!hasStream(AVMEDIA_TYPE_VIDEO) && hasStream(AVMEDIA_TYPE_AUDIO))
        giveNotice(QStringLiteral("the stream carries no picture"), true);
    AVPacketPtr packet = makePacket();
    while (!stop) {
        const int result = av_read_frame(m_input.get(), packet.get());
        if (result == AVERROR(EAGAIN))
            continue;
        if (result < 0)
            break;
        const int index = packet->stream_index;
        if (index != m_videoIndex && index != m_audioIndex)
            openDecoder(index);
        decodePacket(packet.get(), sink);
        av_packet_unref(packet.get());
        checkNothingDecoded();
    }
    if (!m_gotPicture && !stop)
        giveNotice(soundCame() ? QStringLiteral("no picture came out") : nothingDecodes(), soundCame());
    return true;
}

void TsDecoder::decodePacket(const AVPacket *packet, const Sink &sink)
{
    const bool isVideo = packet->stream_index == m_videoIndex;
    AVCodecContext *context = isVideo ? m_video.get() : packet->stream_index == m_audioIndex ? m_audio.get() : nullptr;
    if (!context)
        return;
    const int sent = avcodec_send_packet(context, packet);
    if (sent < 0) {
        if (isVideo)
            noteVideoFailure(ffmpegError(sent));
        if (const quint64 tooLarge = m_tooLarge.load())
            refuseSize(int(tooLarge >> 32), int(tooLarge & 0xFFFFFFFFu));
        return;
    }
    AVFramePtr frame = makeFrame();
    int received = 0;
    while ((received = avcodec_receive_frame(context, frame.get())) >= 0) {
        if (isVideo)
            handleVideo(frame.get(), sink);
        else
            handleAudio(frame.get(), sink);
        av_frame_unref(frame.get());
    }
    if (isVideo && received != AVERROR(EAGAIN) && received != AVERROR_EOF)
        noteVideoFailure(ffmpegError(received));
    if (const quint64 tooLarge = m_tooLarge.load())
        refuseSize(int(tooLarge >> 32), int(tooLarge & 0xFFFFFFFFu));
}

// Pictures too large to decode are refused before their buffers exist.
int TsDecoder::pictureBuffer(AVCodecContext *context, AVFrame *frame, int flags)
{
    // May run on a decoder thread: the reader's thread says it.
    auto *self = static_cast<TsDecoder *>(context->opaque);
    if (qint64(frame->width) * frame->height > kMaxDecodedPixels) {
        self->m_tooLarge = quint64(quint32(frame->width)) << 32 | quint32(frame->height);
        return AVERROR(EINVAL);
    }
    return avcodec_default_get_buffer2(context, frame, flags);
}

bool TsDecoder::hasStream(AVMediaType type) const
{
    for (unsigned i = 0; m_input && i < m_input->nb_streams; ++i) {
        if (m_input->streams[i]->codecpar->codec_type == type)
            return true;
    }
    return false;
}

bool TsDecoder::soundCame() const
{
    return m_soundAloneSamples > 0 || !m_pendingSound.empty();
}

void TsDecoder::noteVideoFailure(const QString &reason)
{
    if (!m_sizeRefused)
        m_videoFailure = reason;
}

void TsDecoder::refuseSize(int width, int height)
{
    if (m_sizeRefused)
        return;
    m_sizeRefused = true;
    m_videoFailure = QStringLiteral("its pictures of %1x%2 are larger than %3 pixels").arg(width).arg(height).arg(kMaxDecodedPixels);
    qWarning().noquote() << "MFReader: refusing the stream's pictures:" << m_videoFailure;
}

void TsDecoder::giveNotice(const QString &reason, bool soundPlays)
{
    if (m_noticeGiven || !m_notice)
        return;
    m_noticeGiven = true;
    m_notice(reason, soundPlays);
}

// Garbage, or a stream whose every packet fails: neither a picture nor sound
// for a while. Said once; the wait never blocks on the source.
void TsDecoder::checkNothingDecoded()
{
    if (m_noticeGiven || m_gotPicture || nowMs() - m_quietSinceMs < kNoPictureMs)
        return;
    giveNotice(nothingDecodes(), false);
}

QString TsDecoder::nothingDecodes() const
{
    return m_videoFailure.isEmpty() ? QStringLiteral("nothing in it decodes")
                                    : QStringLiteral("nothing in it decodes (%1)").arg(m_videoFailure);
}

void TsDecoder::deliverSoundAlone(const Sink &sink)
{
    m_soundAloneSamples += qint64(m_pendingSound.size() / kChannels);
    sink(QImage(), std::move(m_pendingSound));
    m_pendingSound.clear();
    if (m_soundAloneSamples < kNoPictureSamples)
        return;
    if (!hasStream(AVMEDIA_TYPE_VIDEO))
        giveNotice(QStringLiteral("the stream carries no picture"), true);
    else
        giveNotice(QStringLiteral("its picture cannot be decoded (%1)")
                       .arg(m_videoFailure.isEmpty() ? QStringLiteral("no picture came out") : m_videoFailure),
                   true);
}

void TsDecoder::handleVideo(const AVFrame *frame, const Sink &sink)
{
    if (frame->width <= 0 || frame->height <= 0)
        return;
    if (qint64(frame->width) * frame->height > kMaxDecodedPixels) {
        refuseSize(frame->width, frame->height);
        return;
    }
    const QSize size = deliveredSize(frame->width, frame->height);
    const bool scaled = size != QSize(frame->width, frame->height);
    m_scaler.reset(sws_getCachedContext(m_scaler.release(), frame->width, frame->height,
                                        AVPixelFormat(frame->format), size.width(), size.height(),
                                        AV_PIX_FMT_BGRA, scaled ? SWS_FAST_BILINEAR : SWS_POINT, nullptr, nullptr,
                                        nullptr));
    if (!m_scaler)
        return;
    QImage picture(size, QImage::Format_RGB32);
    if (picture.isNull())
        return;
    uint8_t *destination[1] = {picture.bits()};
    const int stride[1] = {int(picture.bytesPerLine())};
    sws_scale(m_scaler.get(), frame->data, frame->linesize, 0, frame->height, destination, stride);
    sink(std::move(picture), std::move(m_pendingSound));
    m_pendingSound.clear();
    m_soundAloneSamples = 0;
    m_gotPicture = true;
    m_quietSinceMs = nowMs();
}

// A new resampler for every change of rate, channels, layout or sample
// format: one made for another format reads past the frame's planes.
bool TsDecoder::prepareResampler(const AVFrame *frame)
{
    const AVChannelLayout &layout = frame->ch_layout;
    if (layout.nb_channels <= 0 || layout.nb_channels > kMaxInputChannels || frame->sample_rate <= 0
        || frame->sample_rate > kMaxInputRate || frame->format < 0)
        return false;
    if (m_resampler && frame->sample_rate == m_resamplerRate && frame->format == m_resamplerFormat
        && av_channel_layout_compare(&layout, &m_resamplerLayout) == 0)
        return true;
    m_resampler.reset();
    av_channel_layout_uninit(&m_resamplerLayout);
    if (av_channel_layout_copy(&m_resamplerLayout, &layout) < 0)
        return false;
    AVChannelLayout outLayout;
    av_channel_layout_default(&outLayout, kChannels);
    SwrContext *raw = nullptr;
    const int made = swr_alloc_set_opts2(&raw, &outLayout, AV_SAMPLE_FMT_S16, kSampleRate, &m_resamplerLayout,
                                         AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr);
    m_resampler.reset(raw);
    if (made < 0 || !m_resampler || swr_init(m_resampler.get()) < 0) {
        m_resampler.reset();
        av_channel_layout_uninit(&m_resamplerLayout);
        return false;
    }
    m_resamplerRate = frame->sample_rate;
    m_resamplerFormat = frame->format;
    return true;
}

void TsDecoder::handleAudio(const AVFrame *frame, const Sink &sink)
{
    if (frame->nb_samples <= 0 || !prepareResampler(frame))
        return;
    // In passes of a bounded size: the resampler keeps what does not fit
    // and hands it out in the next pass.
    const uint8_t **input = const_cast<const uint8_t **>(frame->extended_data);
    int inputSamples = frame->nb_samples;
    for (;;) {
        const int capacity = std::min(swr_get_out_samples(m_resampler.get(), inputSamples), kMaxSoundChunk);
        if (capacity <= 0)
            break;
        const size_t start = m_pendingSound.size();
        m_pendingSound.resize(start + size_t(capacity) * kChannels);
        uint8_t *out[1] = {reinterpret_cast<uint8_t *>(m_pendingSound.data() + start)};
        const int produced = swr_convert(m_resampler.get(), out, capacity, input, inputSamples);
        m_pendingSound.resize(start + size_t(std::max(produced, 0)) * kChannels);
        input = nullptr;
        inputSamples = 0;
        appendSound(produced, sink);
        if (produced < capacity)
            break;
    }
}

void TsDecoder::appendSound(int produced, const Sink &sink)
{
    if (produced > 0)
        m_quietSinceMs = nowMs();
    if (m_pendingSound.size() > kMaxPendingSamples)
        m_pendingSound.erase(m_pendingSound.begin(), m_pendingSound.end() - kMaxPendingSamples);
    if (m_pendingSound.size() >= kSoundAloneSamples)
        deliverSoundAlone(sink);
}

} // namespace mf
