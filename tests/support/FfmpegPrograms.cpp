#include "FfmpegPrograms.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QtDebug>

#include <memory>
#include <vector>

namespace {
constexpr int kRunMs = 120000;
}

QByteArray makeClip(const QString &path, const QStringList &arguments)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), QStringList{"-v", "error", "-y"} + arguments + QStringList{path});
    if (!ffmpeg.waitForFinished(kRunMs) || ffmpeg.exitStatus() != QProcess::NormalExit || ffmpeg.exitCode() != 0) {
        qWarning() << "ffmpeg failed:" << ffmpeg.readAllStandardError();
        return QByteArray();
    }
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

QJsonObject probe(const QString &file, bool countFrames)
{
    QStringList args{"-v", "error", "-show_streams", "-show_format", "-of", "json"};
    if (countFrames)
        args << "-count_frames";
    args << file;
    QProcess ffprobe;
    ffprobe.start(QStringLiteral("ffprobe"), args);
    if (!ffprobe.waitForFinished(kRunMs))
        return {};
    return QJsonDocument::fromJson(ffprobe.readAllStandardOutput()).object();
}

QJsonObject streamOfType(const QJsonObject &probed, const QString &type)
{
    for (const auto &value : probed.value("streams").toArray()) {
        if (value.toObject().value("codec_type").toString() == type)
            return value.toObject();
    }
    return {};
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
