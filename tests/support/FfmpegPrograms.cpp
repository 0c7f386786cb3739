#include "FfmpegPrograms.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryFile>
#include <QtDebug>

#include <memory>
#include <vector>

namespace {
constexpr int kRunMs = 120000;

// What ffprobe prints; null when it did not finish.
QByteArray ffprobe(const QStringList &arguments)
{
    QProcess ffprobe;
    ffprobe.start(QStringLiteral("ffprobe"), QStringList{"-v", "error"} + arguments);
    return ffprobe.waitForFinished(kRunMs) ? ffprobe.readAllStandardOutput() : QByteArray();
}
}

bool makeClips(const QList<QPair<QString, QStringList>> &clips)
{
    std::vector<std::unique_ptr<QProcess>> running;
    for (const auto &clip : clips) {
        running.push_back(std::make_unique<QProcess>());
        running.back()->start(QStringLiteral("ffmpeg"), QStringList{"-v", "error", "-y"} + clip.second + QStringList{clip.first});
    }
    bool made = true;
    for (const auto &ffmpeg : running) {
        if (!ffmpeg->waitForFinished(kRunMs) || ffmpeg->exitStatus() != QProcess::NormalExit || ffmpeg->exitCode() != 0) {
            qWarning() << "ffmpeg failed:" << ffmpeg->readAllStandardError();
            ffmpeg->kill();
            ffmpeg->waitForFinished(5000);
            made = false;
        }
    }
    return made;
}

QByteArray makeClip(const QString &path, const QStringList &arguments)
{
    QFile file(path);
    return makeClips({{path, arguments}}) && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QJsonObject probe(const QString &file, bool countFrames)
{
    QStringList args{"-show_streams", "-show_format", "-of", "json"};
    if (countFrames)
        args << "-count_frames";
    return QJsonDocument::fromJson(ffprobe(args << file)).object();
}

QJsonObject streamOfType(const QJsonObject &probed, const QString &type)
{
    for (const auto &value : probed.value("streams").toArray()) {
        if (value.toObject().value("codec_type").toString() == type)
            return value.toObject();
    }
    return {};
}

QString probeFields(const QJsonObject &stream, const QStringList &keys)
{
    QStringList values;
    for (const QString &key : keys)
        values << stream.value(key).toVariant().toString();
    return values.join(' ');
}

QString decodeErrors(const QString &file)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), {"-v", "error", "-nostdin", "-i", file, "-f", "null", "-"});
    if (!ffmpeg.waitForFinished(kRunMs))
        return QStringLiteral("ffmpeg did not finish");
    const QString errors = QString::fromUtf8(ffmpeg.readAllStandardError()).trimmed();
    if (ffmpeg.exitStatus() != QProcess::NormalExit || ffmpeg.exitCode() != 0)
        return QStringLiteral("ffmpeg failed (%1): %2").arg(ffmpeg.exitCode()).arg(errors);
    return errors;
}

QStringList decodeErrorLines(const QByteArray &stream)
{
    QTemporaryFile file;
    if (!file.open())
        return {QStringLiteral("no temporary file")};
    file.write(stream);
    file.close();
    return decodeErrors(file.fileName()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QByteArray recordingBetween(const QString &file, double fromSeconds, double toSeconds)
{
    const QByteArray packets =
        ffprobe({"-select_streams", "v", "-show_entries", "packet=pts_time,pos,flags", "-of", "csv=p=0", file});
    constexpr qint64 kPacket = 188;
    double first = -1;
    qint64 start = -1;
    qint64 end = -1;
    for (const QByteArray &line : packets.split('\n')) {
        const QList<QByteArray> fields = line.trimmed().split(',');
        if (fields.size() < 3)
            continue;
        const double pts = fields.at(0).toDouble();
        if (first < 0)
            first = pts;
        if (!fields.at(2).startsWith('K'))
            continue;
        const qint64 pos = qMax<qint64>(0, fields.at(1).toLongLong() / kPacket * kPacket - 2 * kPacket);
        if (start < 0 && pts - first >= fromSeconds) {
            start = pos;
        } else if (start >= 0 && toSeconds >= 0 && pts - first >= toSeconds) {
            end = pos;
            break;
        }
    }
    QFile recording(file);
    if (start < 0 || !recording.open(QIODevice::ReadOnly))
        return {};
    return recording.readAll().mid(int(start), end > start ? int(end - start) : -1);
}

QVector<qint64> videoPacketSizes(const QString &file)
{
    QVector<qint64> sizes;
    for (const QByteArray &line :
         ffprobe({"-select_streams", "v", "-show_entries", "packet=size", "-of", "csv=p=0", file}).split('\n')) {
        if (!line.trimmed().isEmpty())
            sizes.append(line.trimmed().split(',').first().toLongLong());
    }
    return sizes;
}

double pictureSeconds(const QString &file)
{
    double first = 0, last = 0;
    int pictures = 0;
    for (const QByteArray &line :
         ffprobe({"-select_streams", "v", "-show_entries", "packet=pts_time", "-of", "csv=p=0", file}).split('\n')) {
        bool ok = false;
        const double at = line.trimmed().split(',').first().toDouble(&ok);
        if (!ok)
            continue;
        first = pictures ? qMin(first, at) : at;
        last = pictures ? qMax(last, at) : at;
        ++pictures;
    }
    return pictures > 1 ? last - first : -1;
}

QString saveBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? path : QString();
}
