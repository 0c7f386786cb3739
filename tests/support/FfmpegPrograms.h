#pragma once
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

// The ffmpeg and ffprobe programs for tests; each call is bounded in time.

// "ffmpeg -v error -y ARGUMENTS PATH"; the file's bytes, empty when ffmpeg failed.
QByteArray makeClip(const QString &path, const QStringList &arguments);
// Several at once (path, arguments as for makeClip); false when one failed.
bool makeClips(const QList<QPair<QString, QStringList>> &clips);
// ffprobe -show_streams -show_format (and -count_frames) as JSON.
QJsonObject probe(const QString &file, bool countFrames = false);
QJsonObject streamOfType(const QJsonObject &probed, const QString &type);
// Fields of a probed stream, space-separated.
QString probeFields(const QJsonObject &stream, const QStringList &keys);
// What ffmpeg reports while decoding every stream; empty when all decodes cleanly.
QString decodeErrors(const QString &file);
QStringList decodeErrorLines(const QByteArray &stream);  // a line each
// From the first key frame `fromSeconds` or more after the first picture
// (with the tables just before it, where a receiver joining then would start)
// to the first key frame `toSeconds` or more after it, or to the end; empty
// without such a key frame.
QByteArray recordingBetween(const QString &file, double fromSeconds, double toSeconds = -1);
QVector<qint64> videoPacketSizes(const QString &file);  // in order
// The span of the video pictures' time stamps in a file, also in one still being written;
// -1 without two pictures.
double pictureSeconds(const QString &file);
// Writes bytes to path; path, or empty when that failed.
QString saveBytes(const QString &path, const QByteArray &bytes);
