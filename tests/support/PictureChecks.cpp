#include "tests/support/PictureChecks.h"

#include <QProcess>

bool coloursNear(const QColor &a, const QColor &b, int tolerance)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
           && qAbs(a.blue() - b.blue()) <= tolerance;
}

QString describePixel(const QImage &picture, const QPoint &at)
{
    if (!picture.valid(at))
        return QStringLiteral("(%1,%2) outside %3x%4").arg(at.x()).arg(at.y()).arg(picture.width()).arg(picture.height());
    return QStringLiteral("(%1,%2) is %3").arg(at.x()).arg(at.y()).arg(QColor(picture.pixel(at)).name());
}

bool colourAt(const QImage &picture, const QPoint &at, const QColor &expected)
{
    return picture.valid(at) && coloursNear(QColor(picture.pixel(at)), expected);
}

QImage lastPicture(const QString &recording)
{
    const QString png = recording + ".last.png";
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), {"-v", "error", "-y", "-i", recording, "-update", "1", png});
    if (!ffmpeg.waitForFinished(120000) || ffmpeg.exitStatus() != QProcess::NormalExit || ffmpeg.exitCode() != 0)
        return {};
    return QImage(png).convertToFormat(QImage::Format_RGB32);
}
