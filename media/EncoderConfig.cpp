#include "media/EncoderConfig.h"

#include "diagnostics/LogLine.h"
#include "media/engine/MFWriter.h"

#include <QDebug>
#include <new>

QVector<EncoderConfig::Encoder> EncoderConfig::encoderTable()
{
    return {
        {QStringLiteral("Intel Quick Sync (Hardware)"), QStringLiteral("q264hw")},
        {QStringLiteral("Intel Quick Sync (Sofware)"), QStringLiteral("q264sw")},
        {QStringLiteral("Cuda 264 (Hardware)"), QStringLiteral("c264")},
        {QStringLiteral("Nvidia NVEncoder (Hardware)"), QStringLiteral("n264")},
        // Offered ahead of openh264 so that a machine without hardware
        // encoders starts with the better software H.264.
        {QStringLiteral("x264 (Software)"), QStringLiteral("libx264")},
        {QStringLiteral("Open h264 (Software)"), QStringLiteral("libopenh264")},
        {QStringLiteral("mpeg-2"), QStringLiteral("mpeg2video")},
        {QStringLiteral("HEVC Intel Quick Sync (Hardware) EXPERIMENTAL"), QStringLiteral("hevc_qsv")},
        {QStringLiteral("HEVC Intel Quick Sync (Hardware) EXPERIMENTAL"), QStringLiteral("q265hw")},
        {QStringLiteral("HEVC Nvidia (Hardware) EXPERIMENTAL"), QStringLiteral("n265")},
    };
}

QVector<EncoderConfig::Encoder> EncoderConfig::offeredEncoders(const QStringList &available)
{
    QVector<Encoder> offered;
    for (const Encoder &row : encoderTable()) {
        if (available.contains(row.codec, Qt::CaseSensitive))
            offered.append(row);
    }
    return offered;
}

QString EncoderConfig::writerConfiguration(int videoKbps, int audioKbps, const QString &codec)
{
    QString config = QStringLiteral("format='mpegts' play_while_rec='false' ");
    if (videoKbps < 1) {
        config += QStringLiteral(" video::codec='null' ");
    } else {
        config += QStringLiteral(" video::codec='%1' video::profile='Main' ").arg(codec);
        config += QStringLiteral(" video::g='%1'").arg(kGopSize);
        config += QStringLiteral(" video::b='%1K' video::maxrate='%1K' ").arg(videoKbps);
    }
    if (audioKbps != 0)
        config += QStringLiteral(" audio::codec='aac'  audio::b='%1K'  audio::minrate='%1K' audio::maxrate='%1K' ").arg(audioKbps);
    else
        config += QStringLiteral(" audio::codec='null' ");
    return config;
}

QString EncoderConfig::writerTarget(int port)
{
    return QStringLiteral("tcp://127.0.0.1:") + QString::number(port);
}

std::shared_ptr<mf::MFWriter> EncoderConfig::createWriter(int videoKbps, int audioKbps, int port,
                                                          const QString &codec)
{
    std::shared_ptr<mf::MFWriter> writer;
    try {
        writer = std::make_shared<mf::MFWriter>();
    } catch (const std::bad_alloc &) {
        logLine(QStringLiteral("ERROR 10: Can't create MFWriter instance"));
        return nullptr;
    }
    const QString config = writerConfiguration(videoKbps, audioKbps, codec);
    const QString target = writerTarget(port);
    qDebug() << "URL:" << target;
    logLine(QStringLiteral("INTERNAL URL:") + target);
    const bool opened = writer->open(target, config);
    qDebug() << "setup config 20:" << config;
    qDebug() << "setup config 30:" << opened;
    logLine(QStringLiteral("CONFIGURATION:") + config);
    return writer;
}
