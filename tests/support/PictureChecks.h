#pragma once
#include <QColor>
#include <QImage>
#include <QPoint>
#include <QString>

// What desktop tests check in recorded pictures: colours at points, with
// room for the encoder's changes.

bool coloursNear(const QColor &a, const QColor &b, int tolerance = 45);
// A point's colour as a failure message says it.
QString describePixel(const QImage &picture, const QPoint &at);
bool colourAt(const QImage &picture, const QPoint &at, const QColor &expected);
#define CHECK_COLOUR(picture, point, colour) \
    QVERIFY2(colourAt((picture), (point), (colour)), qPrintable(describePixel((picture), (point))))
// The last picture of a recording, decoded by the ffmpeg program into a file
// beside it; null when that failed.
QImage lastPicture(const QString &recording);
