#include "CodecProbe.h"

#include "FFmpegLogMute.h"
#include "OpenH264Encoder.h"
#include "VideoEncoder.h"
#include "FFmpegVideoEncoder.h"

#include <QDebug>
#include <mutex>

namespace mf {

namespace {

struct CodecEntry
{
    const char *identifier;
    const char *ffmpegName;
};

const CodecEntry kCodecs[] = {
    {"libx264", "libx264"},
    {"libopenh264", ""},
    {"mpeg2video", "mpeg2video"},
    {"q264hw", "h264_qsv"},
    {"c264", "h264_nvenc"},
    {"n264", "h264_nvenc"},
    {"hevc_qsv", "hevc_qsv"},
    {"q265hw", "hevc_qsv"},
    {"n265", "hevc_nvenc"},
};

} // namespace

QStringList CodecProbe::knownIdentifiers()
{
    QStringList ids;
    for (const auto &entry : kCodecs)
        ids << QString::fromLatin1(entry.identifier);
    return ids;
}

QString CodecProbe::ffmpegEncoder(const QString &identifier)
{
    for (const auto &entry : kCodecs) {
        if (identifier == QLatin1String(entry.identifier))
            return QString::fromLatin1(entry.ffmpegName);
    }
    return QString();
}

bool CodecProbe::isOpenH264(const QString &identifier)
{
    return identifier == QLatin1String("libopenh264");
}

bool CodecProbe::isKnown(const QString &identifier)
{
    return knownIdentifiers().contains(identifier);
}

bool CodecProbe::probe(const QString &identifier)
{
    const FFmpegLogMute mute;
    VideoEncoderSettings settings;
    settings.width = 640;
    settings.height = 360;
    settings.bitRate = 500000;
    settings.maxRate = 500000;
    settings.profile = QStringLiteral("Main");
    if (isOpenH264(identifier)) {
        OpenH264Encoder encoder;
        return encoder.open(settings);
    }
    const QString name = ffmpegEncoder(identifier);
    if (name.isEmpty())
        return false;
    FFmpegVideoEncoder encoder;
    return encoder.open(name, settings);
}

QStringList CodecProbe::available()
{
    static std::once_flag once;
    static QStringList found;
    std::call_once(once, [] {
        for (const QString &id : knownIdentifiers()) {
            if (probe(id))
                found << id;
        }
        qDebug() << "MFWriter: video codecs available:" << found;
    });
    return found;
}

} // namespace mf
