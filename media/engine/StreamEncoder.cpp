#include "StreamEncoder.h"

#include "CodecProbe.h"
#include "FFmpegVideoEncoder.h"
#include "OpenH264Encoder.h"
#include "Yuv420Converter.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}
#include <QDebug>

namespace mf {

StreamEncoder::StreamEncoder() = default;
StreamEncoder::~StreamEncoder() = default;

int StreamEncoder::interruptCallback(void *opaque)
{
    auto *self = static_cast<StreamEncoder *>(opaque);
    return self->m_interrupt && self->m_interrupt() ? 1 : 0;
}

bool StreamEncoder::open(const QString &url, const WriterConfiguration &config,
                         std::function<bool()> interrupt)
{
    m_config = config;
    m_interrupt = std::move(interrupt);
    if (!config.hasVideo() && !config.hasAudio()) {
        qWarning() << "MFWriter: neither video nor audio configured";
        return false;
    }
    if (config.hasVideo() && !CodecProbe::isKnown(config.videoCodec)) {
        qWarning() << "MFWriter: unknown video codec" << config.videoCodec;
        return false;
    }
    if (config.hasAudio() && config.audioCodec != QLatin1String("aac")) {
        qWarning() << "MFWriter: unsupported audio codec" << config.audioCodec;
        return false;
    }

    const QByteArray format = config.format.toUtf8();
    const QByteArray target = url.toUtf8();
    AVFormatContext *raw = nullptr;
    int result = avformat_alloc_output_context2(&raw, nullptr, format.constData(), target.constData());
    if (result < 0 || !raw) {
        qWarning() << "MFWriter: cannot create muxer" << config.format << ffmpegError(result);
        return false;
    }
    OutputFormatPtr output(raw);
    output->interrupt_callback = AVIOInterruptCB{&StreamEncoder::interruptCallback, this};
    // Packets go out as soon as they are muxed: the relay forwards them live.
    output->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    output->max_delay = 0;

    AVDictionary *options = nullptr;
    av_dict_set(&options, "timeout", "3000000", 0);
    av_dict_set(&options, "tcp_nodelay", "1", 0);
    result = avio_open2(&output->pb, target.constData(), AVIO_FLAG_WRITE,
                        &output->interrupt_callback, &options);
    av_dict_free(&options);
    if (result < 0) {
        qWarning() << "MFWriter: cannot open" << url << ffmpegError(result);
        return false;
    }
    m_output = std::move(output);
    return true;
}

std::unique_ptr<VideoEncoder> StreamEncoder::openVideoEncoder() const
{
    VideoEncoderSettings settings;
    settings.width = m_videoSize.width();
    settings.height = m_videoSize.height();
    settings.frameRate = kFrameRate;
    settings.gopSize = m_config.gopSize;
    settings.bitRate = m_config.videoBitRate;
    settings.maxRate = m_config.videoMaxRate;
    settings.profile = m_config.videoProfile;

    if (CodecProbe::isOpenH264(m_config.videoCodec)) {
        auto encoder = std::make_unique<OpenH264Encoder>();
        if (!encoder->open(settings))
            return nullptr;
        return encoder;
    }
    auto encoder = std::make_unique<FFmpegVideoEncoder>();
    if (!encoder->open(CodecProbe::ffmpegEncoder(m_config.videoCodec), settings))
        return nullptr;
    return encoder;
}

bool StreamEncoder::addVideoStream(const QSize &size)
{
    m_videoSize = QSize(size.width() & ~1, size.height() & ~1);
    m_video = openVideoEncoder();
    if (!m_video)
        return false;
    m_videoStream = avformat_new_stream(m_output.get(), nullptr);
    if (!m_videoStream)
        return false;
    m_video->fillParameters(m_videoStream->codecpar);
    m_videoStream->time_base = m_video->timeBase();
    m_videoStream->avg_frame_rate = AVRational{kFrameRate, 1};
    m_videoStream->r_frame_rate = AVRational{kFrameRate, 1};

    m_videoFrame = makeFrame();
    m_videoFrame->format = m_video->inputFormat();
    m_videoFrame->width = m_videoSize.width();
    m_videoFrame->height = m_videoSize.height();
    return av_frame_get_buffer(m_videoFrame.get(), 0) >= 0;
}

void StreamEncoder::setVideoBitRate(qint64 bitRate)
{
    if (bitRate <= 0 || bitRate == m_config.videoBitRate)
        return;
    m_config.videoBitRate = bitRate;
    m_config.videoMaxRate = bitRate;
    if (m_video && !m_video->changeBitRate(bitRate, bitRate))
        m_videoReopenDue = true;
}

// The old encoder's last packets go out before the new one's first, a key
// frame that starts the group: a reader sees one stream with a new rate.
bool StreamEncoder::reopenVideoEncoder()
{
    m_videoReopenDue = false;
    std::vector<AVPacketPtr> packets;
    const bool drained = m_video->encode(nullptr, packets);
    if (!writePackets(packets, m_videoStream, m_video->timeBase()) || !drained)
        return false;
    std::unique_ptr<VideoEncoder> encoder = openVideoEncoder();
    if (!encoder) {
        qWarning() << "MFWriter: cannot open the video encoder again at" << m_config.videoBitRate << "bit/s";
        return false;
    }
    m_video = std::move(encoder);
    ++m_videoReopens;
    return true;
}

bool StreamEncoder::addAudioStream()
{
    const AVCodec *codec = avcodec_find_encoder_by_name("aac");
    if (!codec)
        return false;
    m_audio.reset(avcodec_alloc_context3(codec));
    AVCodecContext *c = m_audio.get();
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->sample_rate = kSampleRate;
    av_channel_layout_default(&c->ch_layout, kChannels);
    c->bit_rate = m_config.audioBitRate > 0 ? m_config.audioBitRate : 128000;
    c->time_base = AVRational{1, kSampleRate};
    const int result = avcodec_open2(c, codec, nullptr);
    if (result < 0) {
        qWarning() << "MFWriter: cannot open the AAC encoder" << ffmpegError(result);
        return false;
    }
    m_audioStream = avformat_new_stream(m_output.get(), nullptr);
    if (!m_audioStream)
        return false;
    avcodec_parameters_from_context(m_audioStream->codecpar, c);
    m_audioStream->time_base = c->time_base;
    m_fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, kChannels, kSampleRate));
    return bool(m_fifo);
}

bool StreamEncoder::start(const QSize &pictureSize)
{
    m_started = true;
    if (m_config.hasVideo() && !addVideoStream(pictureSize))
        return false;
    if (m_config.hasAudio() && !addAudioStream())
        return false;
    // Without a fixed mux rate the muxer puts PCRs only into packets of the
    // PCR stream (the video), by default at most every second picture. One
    // frame interval makes every picture carry one, so the PCR spacing is the
    // picture spacing, which the repeats keep within two frame intervals.
    AVDictionary *rawOptions = nullptr;
    av_dict_set_int(&rawOptions, "pcr_period", 1000 / kFrameRate, 0);
    // A picture's PES carries its length, so a reader can hand the picture on
    // as soon as its last byte is in instead of when the next one begins.
    av_dict_set_int(&rawOptions, "omit_video_pes_length", 0, 0);
    std::unique_ptr<AVDictionary *, void (*)(AVDictionary **)> options(&rawOptions, av_dict_free);
    // Interleaving waits at most this long for the other stream: without a
    // bound it would hold each picture until the sound encoder, which runs
    // behind by its own delay, has caught up.
    m_output->max_interleave_delta = kMaxInterleaveDeltaUs;
    const int result = avformat_write_header(m_output.get(), &rawOptions);
    if (result < 0) {
        qWarning() << "MFWriter: cannot write the stream header" << ffmpegError(result);
        return false;
    }
    return true;
}

bool StreamEncoder::writeFrame(qint64 frameIndex, const QImage &picture,
                               const std::vector<Sound> &sound)
{
    if (!m_output || m_failed)
        return false;
    if (!m_started) {
        if (m_config.hasVideo() && picture.isNull())
            return true;  // the picture size is not known yet
        if (!start(picture.size())) {
            m_failed = true;
            return false;
        }
    }
    bool ok = true;
    if (m_audio) {
        int samples = 0;
        for (const Sound &part : sound) {
            if (part.sampleCount > 0 && part.channels > 0 && part.sampleRate > 0) {
                ok = queueSound(part) && ok;
                samples += part.sampleCount;
            }
        }
        // A frame without sound still advances the sound clock.
        if (samples == 0)
            ok = queueSilence(kSampleRate / kFrameRate) && ok;
        ok = encodeQueuedSound(false) && ok;
    }
    if (m_video && !picture.isNull())
        ok = encodePicture(frameIndex, picture) && ok;
    return ok;
}

bool StreamEncoder::encodePicture(qint64 frameIndex, const QImage &picture)
{
    // The gap is filled with the previous picture, before it is replaced.
    if (!fillVideoGap(frameIndex))
        return false;
    return convertPicture(picture) && encodeVideoFrame(frameIndex);
}

bool StreamEncoder::convertPicture(const QImage &picture)
{
    AVFrame *frame = m_videoFrame.get();
    if (Yuv420Converter::applies(picture, frame)) {
        if (av_frame_make_writable(frame) < 0)
            return false;
        Yuv420Converter::convert(picture, frame);
        return true;
    }
    const QImage rgb = picture.format() == QImage::Format_RGB32 || picture.format() == QImage::Format_ARGB32
        ? picture : picture.convertToFormat(QImage::Format_RGB32);
    m_scaler.reset(sws_getCachedContext(m_scaler.release(), rgb.width(), rgb.height(), AV_PIX_FMT_BGRA,
                                        frame->width, frame->height, AVPixelFormat(frame->format),
                                        SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!m_scaler || av_frame_make_writable(frame) < 0)
        return false;
    const uint8_t *src[1] = {rgb.constBits()};
    const int srcStride[1] = {int(rgb.bytesPerLine())};
    sws_scale(m_scaler.get(), src, srcStride, 0, rgb.height(), frame->data, frame->linesize);
    return true;
}

// Repeats the last picture (already converted: a repeat costs only its
// encoding, mostly skipped blocks) into the indices before nextIndex.
bool StreamEncoder::fillVideoGap(qint64 nextIndex)
{
    if (m_lastVideoIndex < 0)
        return true;  // nothing to repeat yet
    for (qint64 index = nextRepeatIndex(nextIndex); index >= 0; index = nextRepeatIndex(nextIndex)) {
        if (!encodeVideoFrame(index))
            return false;
        ++m_repeatedPictures;
    }
    return true;
}

// The index of the next repeat needed before nextIndex, or -1: a group's
// first index if one falls into the gap, else the farthest index that keeps
// the picture step.
qint64 StreamEncoder::nextRepeatIndex(qint64 nextIndex) const
{
    qint64 index = m_lastVideoIndex + kMaxPictureStep;
    const int group = m_config.gopSize;
    if (group > 0)
        index = qMin(index, (m_lastVideoIndex / group + 1) * group);
    return index < nextIndex ? index : -1;
}

bool StreamEncoder::startsGroup(qint64 frameIndex) const
{
    if (m_lastVideoIndex < 0)
        return true;
    const int group = m_config.gopSize;
    return group > 0 && frameIndex / group != m_lastVideoIndex / group;
}

bool StreamEncoder::encodeVideoFrame(qint64 frameIndex)
{
    AVFrame *frame = m_videoFrame.get();
    const bool groupStart = startsGroup(frameIndex);
    if (groupStart && m_videoReopenDue && !reopenVideoEncoder())
        return false;
    frame->pts = frameIndex;
    frame->pict_type = groupStart ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    m_lastVideoIndex = frameIndex;
    std::vector<AVPacketPtr> packets;
    const bool encoded = m_video->encode(frame, packets);
    return writePackets(packets, m_videoStream, m_video->timeBase()) && encoded;
}

bool StreamEncoder::queueSound(const Sound &sound)
{
    if (!sound.samples)
        return queueSilence(int(qint64(sound.sampleCount) * kSampleRate / sound.sampleRate));
    if (!m_resampler || sound.channels != m_resamplerChannels || sound.sampleRate != m_resamplerRate) {
        AVChannelLayout inLayout, outLayout;
        av_channel_layout_default(&inLayout, sound.channels);
        av_channel_layout_default(&outLayout, kChannels);
        SwrContext *raw = nullptr;
        swr_alloc_set_opts2(&raw, &outLayout, AV_SAMPLE_FMT_FLTP, kSampleRate,
                            &inLayout, AV_SAMPLE_FMT_S16, sound.sampleRate, 0, nullptr);
        m_resampler.reset(raw);
        if (!m_resampler || swr_init(m_resampler.get()) < 0) {
            m_resampler.reset();
            return false;
        }
        m_resamplerChannels = sound.channels;
        m_resamplerRate = sound.sampleRate;
    }
    const int capacity = swr_get_out_samples(m_resampler.get(), sound.sampleCount);
    AVFramePtr converted = makeFrame();
    converted->format = AV_SAMPLE_FMT_FLTP;
    converted->nb_samples = capacity;
    av_channel_layout_default(&converted->ch_layout, kChannels);
    if (av_frame_get_buffer(converted.get(), 0) < 0)
        return false;
    const uint8_t *in[1] = {reinterpret_cast<const uint8_t *>(sound.samples)};
    const int produced = swr_convert(m_resampler.get(), converted->data, capacity, in, sound.sampleCount);
    if (produced < 0)
        return false;
    return av_audio_fifo_write(m_fifo.get(), reinterpret_cast<void **>(converted->data), produced) == produced;
}

bool StreamEncoder::queueSilence(int sampleCount)
{
    std::vector<float> zeros(size_t(sampleCount), 0.f);
    void *planes[kChannels] = {zeros.data(), zeros.data()};
    return av_audio_fifo_write(m_fifo.get(), planes, sampleCount) == sampleCount;
}

bool StreamEncoder::encodeQueuedSound(bool flush)
{
    const int frameSize = m_audio->frame_size > 0 ? m_audio->frame_size : 1024;
    while (av_audio_fifo_size(m_fifo.get()) >= frameSize
           || (flush && av_audio_fifo_size(m_fifo.get()) > 0)) {
        const int count = qMin(frameSize, av_audio_fifo_size(m_fifo.get()));
        AVFramePtr frame = makeFrame();
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->nb_samples = count;
        frame->sample_rate = kSampleRate;
        av_channel_layout_default(&frame->ch_layout, kChannels);
        if (av_frame_get_buffer(frame.get(), 0) < 0)
            return false;
        av_audio_fifo_read(m_fifo.get(), reinterpret_cast<void **>(frame->data), count);
        frame->pts = m_audioSamples;
        m_audioSamples += count;
        if (!drainAudio(frame.get()))
            return false;
    }
    return true;
}

bool StreamEncoder::drainAudio(const AVFrame *frame)
{
    int result = avcodec_send_frame(m_audio.get(), frame);
    if (result < 0 && result != AVERROR_EOF)
        return false;
    std::vector<AVPacketPtr> packets;
    for (;;) {
        AVPacketPtr packet = makePacket();
        result = avcodec_receive_packet(m_audio.get(), packet.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            break;
        if (result < 0)
            return false;
        packets.push_back(std::move(packet));
    }
    return writePackets(packets, m_audioStream, m_audio->time_base);
}

bool StreamEncoder::writePackets(std::vector<AVPacketPtr> &packets, AVStream *stream, AVRational timeBase)
{
    const bool video = stream == m_videoStream;
    for (AVPacketPtr &packet : packets) {
        packet->stream_index = stream->index;
        av_packet_rescale_ts(packet.get(), timeBase, stream->time_base);
        if (!mux(packet.get()))
            return false;
        if (video)
            ++m_videoPackets;
        else
            m_soundWritten = true;
    }
    const bool pictureWritten = video && !packets.empty();
    packets.clear();
    // Interleaving alone would hold each picture until the next frame's sound
    // comes, a frame interval later. The sound written before it went out in
    // order; once the muxer has seen the first sound packet (the earliest
    // time, which sets its start offset), the picture may go at once.
    if (pictureWritten && (!m_audioStream || m_soundWritten))
        return mux(nullptr);
    return true;
}

// nullptr flushes the muxer's interleaving queue.
bool StreamEncoder::mux(AVPacket *packet)
{
    const int result = av_interleaved_write_frame(m_output.get(), packet);
    noteBytesWritten();
    if (result < 0) {
        qWarning() << "MFWriter: write failed" << ffmpegError(result);
        m_failed = true;
        return false;
    }
    return true;
}

// Counts what reached the output: the muxer flushes after every packet, and
// the I/O context counts only what its write call accepted.
void StreamEncoder::noteBytesWritten()
{
    if (m_output && m_output->pb)
        m_bytesWritten = m_output->pb->bytes_written;
}

bool StreamEncoder::finish(qint64 endIndex)
{
    if (!m_output)
        return false;
    bool ok = !m_failed;
    if (m_started && !m_failed) {
        if (m_video) {
            // The pictures reach as far as the sound: up to the last index.
            ok = fillVideoGap(endIndex) && ok;
            if (ok && m_lastVideoIndex >= 0 && m_lastVideoIndex < endIndex - 1) {
                ok = encodeVideoFrame(endIndex - 1) && ok;
                ++m_repeatedPictures;
            }
            std::vector<AVPacketPtr> packets;
            ok = m_video->encode(nullptr, packets) && ok;
            ok = writePackets(packets, m_videoStream, m_video->timeBase()) && ok;
        }
        if (m_audio) {
            ok = encodeQueuedSound(true) && ok;
            ok = drainAudio(nullptr) && ok;
        }
        const int result = av_write_trailer(m_output.get());
        if (result < 0) {
            qWarning() << "MFWriter: cannot write the trailer" << ffmpegError(result);
            ok = false;
        }
    }
    // Whatever the muxer still buffers goes out (or fails) now, counted.
    if (m_output->pb)
        avio_flush(m_output->pb);
    noteBytesWritten();
    m_output.reset();
    m_video.reset();
    m_audio.reset();
    return ok;
}

} // namespace mf
