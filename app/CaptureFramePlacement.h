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

    // Display under a rectangle: displays ordered by their left edge, the
    // last one whose left edge is at or left of rect.left(). Returns its
    // position in that order and its left edge; (0, 0) when there is one
    // display or none lies left of the rectangle.
    static QPair<int, int> displayOfRect(const QList<int> &displayLefts, const QRect &rect);

    // The frame's new rectangle in global Qt coordinates.
    void frameMoved(const QRect &frameRect);

private:
    WCapture *m_frame;
    Mixer *m_mixer;
};
