#pragma once
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

// What tests do with the ffmpeg and ffprobe programs: make clips, look into
// files, decode them. Each call is bounded in time.

// Runs "ffmpeg -v error -y ARGUMENTS PATH" (inputs such as a lavfi test
// source, codec and muxer options) and returns the file's bytes; empty when
// ffmpeg failed.
QByteArray makeClip(const QString &path, const QStringList &arguments);
// Several clips at once (path, arguments as for makeClip); false when one failed.
bool makeClips(const QList<QPair<QString, QStringList>> &clips);
// ffprobe -show_streams -show_format (and -count_frames) as JSON.
QJsonObject probe(const QString &file, bool countFrames = false);
QJsonObject streamOfType(const QJsonObject &probed, const QString &type);
// What the ffmpeg program reports while decoding every stream of the file;
// empty when all of it decodes cleanly.
QString decodeErrors(const QString &file);
// decodeErrors of bytes in memory, a line each.
QStringList decodeErrorLines(const QByteArray &stream);
// A recording's part from its first key frame `fromSeconds` or more after its
// first picture (with the tables just before it, so that a decoder starts
// where a receiver joining then would) to the first key frame `toSeconds` or
// more after it, or to its end; empty when there is no such key frame.
QByteArray recordingBetween(const QString &file, double fromSeconds, double toSeconds = -1);
// ffmpeg inputs for a clip of `seconds`: the lavfi picture `picture` (such as
// "testsrc=size=320x240") at 25 fps and a 440 Hz tone.
QStringList testPictureAndTone(const QString &picture, double seconds, int sampleRate = 44100);
// The sizes of the file's video packets, in order.
QVector<qint64> videoPacketSizes(const QString &file);
// Writes bytes to path and returns path; empty when that failed.
QString saveBytes(const QString &path, const QByteArray &bytes);
