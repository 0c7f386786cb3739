#pragma once
#include <QImage>
#include <QObject>
#include <QPoint>
#include <QRect>

#include <memory>

class QSocketNotifier;
class QWidget;

// An invisible X window (InputOnly) laid over a shaped window, so that the
// whole of it takes the pointer at once even where its shape has holes: the
// X server never lets a window's input reach beyond its shape. Presses,
// moves and releases on it reach the covered widget as Qt mouse events in
// its own coordinates; while a button is held the server keeps sending them
// here, as it does for any window. GUI thread only; X11 only.
class InputCover : public QObject
{
    Q_OBJECT
public:
    explicit InputCover(QWidget *covered);
    ~InputCover() override;

    static bool isAvailable();

    // Covers the widget's window where it stands, just above it in the
    // stacking order; again after every move or resize.
    void cover();
    void uncover();
    bool isCovering() const { return covering; }
    // The pointer over the cover: the given image with its hot spot, or the
    // arrow when the image is null.
    void setCursorImage(const QImage &image, const QPoint &hotSpot);

private:
    struct Connection;
    void readEvents();
    void deliver(int type, int x, int y, unsigned int button, unsigned int state);

    QWidget *covered;
    std::unique_ptr<Connection> m_x;
    QSocketNotifier *notifier = nullptr;
    bool covering = false;
    QRect coveredRect;
};
