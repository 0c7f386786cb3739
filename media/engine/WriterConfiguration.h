#pragma once
#include <QString>

namespace mf {

// The writer's settings as read from its "key='value' key='value'" text.
struct WriterConfiguration
{
    QString format = QStringLiteral("mpegts");
    bool playWhileRecording = false;
    QString videoCodec;          // empty or "null": no video stream
    QString videoProfile;
    int gopSize = 50;
    qint64 videoBitRate = 0;     // bit/s, 0 = encoder default
    qint64 videoMaxRate = 0;
    QString audioCodec;          // empty or "null": no audio stream
    qint64 audioBitRate = 0;
    qint64 audioMinRate = 0;
    qint64 audioMaxRate = 0;

    bool hasVideo() const { return !videoCodec.isEmpty() && videoCodec != QLatin1String("null"); }
    bool hasAudio() const { return !audioCodec.isEmpty() && audioCodec != QLatin1String("null"); }

    // Read with MFOptions. Unknown keys and values that do not parse are
    // logged and skipped: the setting keeps its default.
    static WriterConfiguration parse(const QString &text);
    // "1024K" -> 1024000, "2M" -> 2000000, "96000" -> 96000; -1 when not a
    // rate, negative, or more bit/s than a qint64 holds (a rate key with such
    // a value is skipped, so the encoder keeps its own rate).
    static qint64 parseRate(const QString &value);
};

} // namespace mf
