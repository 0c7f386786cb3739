#include "WriterConfiguration.h"

#include "MFOptions.h"

#include <QDebug>

#include <limits>

namespace mf {

qint64 WriterConfiguration::parseRate(const QString &value)
{
    QString digits = value.trimmed();
    qint64 factor = 1;
    if (digits.endsWith(QLatin1Char('K'), Qt::CaseInsensitive)) {
        factor = 1000;
        digits.chop(1);
    } else if (digits.endsWith(QLatin1Char('M'), Qt::CaseInsensitive)) {
        factor = 1000 * 1000;
        digits.chop(1);
    }
    bool ok = false;
    const qint64 number = digits.toLongLong(&ok);
    if (!ok || number < 0 || number > std::numeric_limits<qint64>::max() / factor)
        return -1;
    return number * factor;
}

namespace {

bool setRate(qint64 &field, const QString &key, const QString &value)
{
    const qint64 rate = WriterConfiguration::parseRate(value);
    if (rate < 0) {
        qWarning() << "MFWriter: ignoring" << key << "with value" << value;
        return false;
    }
    field = rate;
    return true;
}

} // namespace

WriterConfiguration WriterConfiguration::parse(const QString &text)
{
    WriterConfiguration config;
    for (const auto &pair : MFOptions::pairs(text)) {
        const QString &key = pair.first;
        const QString &value = pair.second;
        if (key == QLatin1String("format")) {
            config.format = value;
        } else if (key == QLatin1String("play_while_rec")) {
            config.playWhileRecording = value == QLatin1String("true");
        } else if (key == QLatin1String("video::codec")) {
            config.videoCodec = value;
        } else if (key == QLatin1String("video::profile")) {
            config.videoProfile = value;
        } else if (key == QLatin1String("video::g")) {
            bool ok = false;
            const int gop = value.toInt(&ok);
            if (ok && gop > 0)
                config.gopSize = gop;
            else
                qWarning() << "MFWriter: ignoring" << key << "with value" << value;
        } else if (key == QLatin1String("video::b")) {
            setRate(config.videoBitRate, key, value);
        } else if (key == QLatin1String("video::maxrate")) {
            setRate(config.videoMaxRate, key, value);
        } else if (key == QLatin1String("audio::codec")) {
            config.audioCodec = value;
        } else if (key == QLatin1String("audio::b")) {
            setRate(config.audioBitRate, key, value);
        } else if (key == QLatin1String("audio::minrate")) {
            setRate(config.audioMinRate, key, value);
        } else if (key == QLatin1String("audio::maxrate")) {
            setRate(config.audioMaxRate, key, value);
        } else {
            qWarning() << "MFWriter: unknown configuration key" << key << "ignored";
        }
    }
    return config;
}

} // namespace mf
