#include "FFmpegVideoEncoder.h"

extern "C" {
#include <libavutil/opt.h>
}
#include <QDebug>

namespace mf {

namespace {

AVPixelFormat choosePixelFormat(const AVCodec *codec)
{
    if (!codec->pix_fmts)
        return AV_PIX_FMT_YUV420P;
    for (const AVPixelFormat *f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f) {
        if (*f == AV_PIX_FMT_YUV420P)
            return *f;
    }
    for (const AVPixelFormat *f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f) {
        if (*f == AV_PIX_FMT_NV12)
            return *f;
    }
    return codec->pix_fmts[0];
}

} // namespace

void FFmpegVideoEncoder::applyProfile(const QString &encoderName, const QString &profile,
                                      AVDictionary **options)
{
    if (profile.isEmpty())
        return;
    if (encoderName == QLatin1String("mpeg2video")) {
        if (profile.compare(QLatin1String("Main"), Qt::CaseInsensitive) == 0)
            m_context->profile = FF_PROFILE_MPEG2_MAIN;
        return;
    }
    // libx264, QSV and NVENC all take the lower-case profile name.
    av_dict_set(options, "profile", profile.toLower().toUtf8().constData(), 0);
}

bool FFmpegVideoEncoder::open(const QString &encoderName, const VideoEncoderSettings &settings)
{
    const AVCodec *codec = avcodec_find_encoder_by_name(encoderName.toUtf8().constData());
    if (!codec) {
        qWarning() << "MFWriter: no encoder" << encoderName;
        return false;
    }
    m_context.reset(avcodec_alloc_context3(codec));
    if (!m_context)
        return false;
    AVCodecContext *c = m_context.get();
    c->width = settings.width;
    c->height = settings.height;
    c->pix_fmt = choosePixelFormat(codec);
    c->time_base = AVRational{1, settings.frameRate};
    c->framerate = AVRational{settings.frameRate, 1};
    c->sample_aspect_ratio = AVRational{1, 1};
    c->gop_size = settings.gopSize;
    c->max_b_frames = 0;
    if (settings.bitRate > 0)
        applyRate(c, settings.bitRate, settings.maxRate);
    m_liveRateChange = encoderName == QLatin1String("libx264") && settings.bitRate > 0;

    AVDictionary *rawOptions = nullptr;
    applyProfile(encoderName, settings.profile, &rawOptions);
    // A picture sent as AV_PICTURE_TYPE_I must become an IDR picture: the
    // stream's groups are placed by stream time, not by the encoder's count.
    // The groups are fixed: no extra key frames where the encoder sees a
    // scene change (x264 finds one every few frames in a noisy picture).
    if (encoderName == QLatin1String("libx264")) {
        av_dict_set(&rawOptions, "preset", "veryfast", 0);
        av_dict_set(&rawOptions, "tune", "zerolatency", 0);
        av_dict_set(&rawOptions, "forced-idr", "1", 0);
        av_dict_set(&rawOptions, "sc_threshold", "0", 0);  // x264: 0 switches scene cuts off
    } else if (encoderName == QLatin1String("mpeg2video")) {
        av_dict_set(&rawOptions, "sc_threshold", "1000000000", 0);  // any score above it starts a group
    } else if (encoderName.endsWith(QLatin1String("_nvenc"))) {
        av_dict_set(&rawOptions, "zerolatency", "1", 0);
        av_dict_set(&rawOptions, "rc-lookahead", "0", 0);
        av_dict_set(&rawOptions, "forced-idr", "1", 0);
    } else if (encoderName.endsWith(QLatin1String("_qsv"))) {
        av_dict_set(&rawOptions, "look_ahead", "0", 0);
        av_dict_set(&rawOptions, "async_depth", "1", 0);
        av_dict_set(&rawOptions, "forced_idr", "1", 0);
    }
    std::unique_ptr<AVDictionary *, void (*)(AVDictionary **)> options(&rawOptions, av_dict_free);

    const int result = avcodec_open2(c, codec, &rawOptions);
    if (result < 0) {
        // Expected while the machine's encoders are tried; a broadcast that
        // cannot open its encoder says so itself.
        qDebug() << "MFWriter: cannot open encoder" << encoderName << ffmpegError(result);
        m_context.reset();
        return false;
    }
    return true;
}

// A one-second rate buffer at the peak rate.
void FFmpegVideoEncoder::applyRate(AVCodecContext *c, qint64 bitRate, qint64 maxRate)
{
    if (maxRate <= 0)
        maxRate = bitRate;
    c->bit_rate = bitRate;
    c->rc_max_rate = maxRate;
    c->rc_buffer_size = int(qMin<qint64>(maxRate, INT_MAX));
}

bool FFmpegVideoEncoder::changeBitRate(qint64 bitRate, qint64 maxRate)
{
    if (!m_liveRateChange || !m_context || bitRate <= 0)
        return false;
    applyRate(m_context.get(), bitRate, maxRate);
    return true;
}

AVPixelFormat FFmpegVideoEncoder::inputFormat() const
{
    return m_context->pix_fmt;
}

AVRational FFmpegVideoEncoder::timeBase() const
{
    return m_context->time_base;
}

void FFmpegVideoEncoder::fillParameters(AVCodecParameters *par) const
{
    avcodec_parameters_from_context(par, m_context.get());
}

bool FFmpegVideoEncoder::encode(const AVFrame *frame, std::vector<AVPacketPtr> &packets)
{
    int result = avcodec_send_frame(m_context.get(), frame);
    if (result < 0 && result != AVERROR_EOF)
        return false;
    for (;;) {
        AVPacketPtr packet = makePacket();
        result = avcodec_receive_packet(m_context.get(), packet.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return true;
        if (result < 0)
            return false;
        packets.push_back(std::move(packet));
    }
}

} // namespace mf
