#include "media/engine/MFCatalog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <iterator>

namespace mf {

namespace {

// Streams MPEG-TS carries; its muxer answers "don't know" for most of them.
bool transportStreamCarries(AVCodecID id)
{
    static const AVCodecID ids[] = {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC, AV_CODEC_ID_MPEG2VIDEO,
                                    AV_CODEC_ID_MPEG1VIDEO, AV_CODEC_ID_MPEG4, AV_CODEC_ID_AAC,
                                    AV_CODEC_ID_MP2, AV_CODEC_ID_MP3, AV_CODEC_ID_AC3, AV_CODEC_ID_EAC3,
                                    AV_CODEC_ID_OPUS};
    return std::find(std::begin(ids), std::end(ids), id) != std::end(ids);
}

QStringList encoders(const QString &container, AVMediaType type)
{
    QStringList names;
    const AVOutputFormat *format = av_guess_format(container.toUtf8().constData(), nullptr, nullptr);
    if (!format)
        return names;
    void *it = nullptr;
    while (const AVCodec *codec = av_codec_iterate(&it)) {
        if (!av_codec_is_encoder(codec) || codec->type != type)
            continue;
        const int known = avformat_query_codec(format, codec->id, FF_COMPLIANCE_NORMAL);
        const bool unknown = known < 0 && container == QLatin1String("mpegts");
        if (known == 1 || (unknown && transportStreamCarries(codec->id)))
            names << QString::fromUtf8(codec->name);
    }
    return names;
}

} // namespace

QStringList MFCatalog::containers()
{
    // The writer produces MPEG transport streams only.
    return {QStringLiteral("mpegts")};
}

QStringList MFCatalog::videoCodecs(const QString &container) { return encoders(container, AVMEDIA_TYPE_VIDEO); }

QStringList MFCatalog::audioCodecs(const QString &container) { return encoders(container, AVMEDIA_TYPE_AUDIO); }

} // namespace mf
