#pragma once
#include "tests/support/FfmpegPrograms.h"

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QString>

// Colours at points of recorded pictures, with room for the encoder's changes.

inline bool coloursNear(const QColor &a, const QColor &b, int tolerance = 45)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
           && qAbs(a.blue() - b.blue()) <= tolerance;
}
inline QString describePixel(const QImage &picture, const QPoint &at)
{
    if (!picture.valid(at))
        return QStringLiteral("(%1,%2) outside %3x%4").arg(at.x()).arg(at.y()).arg(picture.width()).arg(picture.height());
    return QStringLiteral("(%1,%2) is %3").arg(at.x()).arg(at.y()).arg(QColor(picture.pixel(at)).name());
}
inline bool colourAt(const QImage &picture, const QPoint &at, const QColor &expected)
{
    return picture.valid(at) && coloursNear(QColor(picture.pixel(at)), expected);
}
#define CHECK_COLOUR(picture, point, colour) \
    QVERIFY2(colourAt((picture), (point), (colour)), qPrintable(describePixel((picture), (point))))

// The last picture of a recording, decoded by ffmpeg into a file beside it; null on failure.
inline QImage lastPicture(const QString &recording)
{
    const QByteArray png = makeClip(recording + ".last.png", {"-i", recording, "-update", "1"});
    return QImage::fromData(png, "PNG").convertToFormat(QImage::Format_RGB32);
}
