#pragma once
#include <QList>
#include <QObject>
#include <QPair>
#include <QRect>

class Mixer;
class WCapture;

// Follows the on-screen capture frame: where it stands becomes the screen
// source's area on its display, or the frame is moved over to the display
// it was dragged onto; until it stands at its real place nothing new of the
// desktop goes out.
class CaptureFramePlacement : public QObject
{
    Q_OBJECT
public:
    CaptureFramePlacement(WCapture *frame, Mixer *mixer, QObject *parent = nullptr);

    // Display under a rectangle: of the displays ordered by their left edge,
    // the last one whose left edge is at or left of rect.left(), the leftmost
    // when none is. Returns its index in the list as given, which is Qt's
    // screen order: the order the capture frame's screenIndex and the screen
    // source's displays follow, whatever the displays' places. 0 for one
    // display or none.
    static int displayOfRect(const QList<QRect> &displays, const QRect &rect);

    // The frame's new rectangle in global Qt coordinates.
    void frameMoved(const QRect &frameRect);

private:
    WCapture *m_frame;
    Mixer *m_mixer;
};
