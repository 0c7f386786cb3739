#pragma once
#include <QPoint>
#include <QRect>
#include <QTimer>
#include <QWidget>

#include <memory>

namespace Ui {
class WCapture;
}
class DrawingForm;
class WidgetGlue;

// The capture frame's tool bar (Draw, Clear, Pointer, display selector, Lock).
// It leads the frame window below it, which leads the resize handle; the
// three move, show and hide as one. Whenever the frame comes to rest at a new
// place or size it reports the captured rectangle: the frame's geometry
// without its border, in desktop coordinates.
class WCapture : public QWidget
{
    Q_OBJECT
public:
    explicit WCapture(bool closable, QWidget *parent = nullptr);
    ~WCapture() override;

    QRect captureRect() const;
    void showFrame();
    void selectScreen(int index);

    int screenIndex = 0;

    // True once the window manager has placed the shown tool bar and the
    // frame stands exposed at its real place; false while hidden or before.
    bool isPlaced() const { return placed; }

    DrawingForm *frameWindow() const { return drawingForm.get(); }
    Ui::WCapture *form() const { return ui; }

signals:
    void onNewPosition(QRect rect);
    // false when the frame is shown or hidden; true when it has its real
    // place on screen, and again after every move or resize that did not
    // come from a drag of the user (those report at their release). Each
    // true follows an onNewPosition with that place.
    void placementChanged(bool placed);

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void on_drawButton_clicked();
    void on_clearButton_clicked();
    void on_cmdLock_toggled(bool checked);
    void on_cmdClose_clicked();
    void on_cmbScreens_currentIndexChanged(int index);

private:
    void fillScreens();
    void reportPosition(const QRect &rect);
    void setPlaced(bool now);
    void checkPlacement();
    void reportSettledPlace();
    bool userIsMovingFrame() const;

    Ui::WCapture *ui;
    QPoint dragOffset;
    WidgetGlue *glue = nullptr;
    // A top-level window of its own; deleted with this one (not later: the
    // event loop may already have ended).
    std::unique_ptr<DrawingForm> drawingForm;
    bool movable = true;
    bool placed = false;
    QRect reportedRect;
    // Coalesces the moves and resizes of one pass of the event loop.
    QTimer settleTimer;
};
