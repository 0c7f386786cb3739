#include "overlay/WCapture.h"

#include "overlay/DrawingForm.h"
#include "overlay/ResizeWidget.h"
#include "overlay/ServerGeometry.h"
#include "overlay/WidgetGlue.h"
#include "ui_WCapture.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QWindow>


WCapture::WCapture(bool closable, QWidget *parent) : QWidget(parent), ui(new Ui::WCapture)
{
    // Built before anything can emit currentIndexChanged: the combo box stays
    // empty until fillScreens(), after the frame exists.
    ui->setupUi(this);
    movable = true;
    drawingForm = std::make_unique<DrawingForm>(ui->ckbPointer, nullptr);
    glue = new WidgetGlue(this, drawingForm.get(), QPoint(0, height()));
    setAttribute(Qt::WA_StyledBackground);
    setFocusPolicy(Qt::ClickFocus);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    connect(drawingForm.get(), &DrawingForm::newSize, this, [this] { reportPosition(captureRect()); },
            Qt::DirectConnection);
    // The frame's real place is known only once the window manager has
    // placed the tool bar it hangs from and both stand exposed.
    drawingForm->installEventFilter(this);
    settleTimer.setSingleShot(true);
    settleTimer.setInterval(0);
    connect(&settleTimer, &QTimer::timeout, this, &WCapture::reportSettledPlace);
    fillScreens();
    screenIndex = 0;
    if (!closable)
        ui->cmdClose->hide();
}

WCapture::~WCapture()
{
    drawingForm.reset();
    delete ui;
}

void WCapture::fillScreens()
{
    const auto screens = QGuiApplication::screens();
    if (screens.size() < 2) {
        ui->cmbScreens->hide();
        return;
    }
    const QSignalBlocker quiet(ui->cmbScreens);
    for (int i = 0; i < screens.size(); ++i)
        ui->cmbScreens->addItem(tr("Screen %1").arg(i), i);
}

QRect WCapture::captureRect() const
{
    const int border = DrawingForm::kBorder;
    return drawingForm->geometry().adjusted(border, border, -border, -border);
}

void WCapture::showFrame()
{
    show();
    reportPosition(QRect());
}

void WCapture::reportPosition(const QRect &rect)
{
    reportedRect = rect;
    emit onNewPosition(rect);
}

void WCapture::setPlaced(bool now)
{
    placed = now;
    emit placementChanged(now);
}

void WCapture::checkPlacement()
{
    if (placed || !isVisible() || !drawingForm->isVisible())
        return;
    const QWindow *bar = windowHandle();
    const QWindow *frame = drawingForm->windowHandle();
    if (!bar || !frame || !bar->isExposed() || !frame->isExposed())
        return;
    // A move still on its way comes with an event that checks again.
    if (!ServerGeometry::agrees(this) || !ServerGeometry::agrees(drawingForm.get()))
        return;
    reportPosition(captureRect());
    setPlaced(true);
}

bool WCapture::userIsMovingFrame() const
{
    return !dragOffset.isNull() || drawingForm->resizeHandle()->isPressed();
}

void WCapture::reportSettledPlace()
{
    if (!placed || userIsMovingFrame())
        return;
    if (captureRect() == reportedRect)
        return;
    reportPosition(captureRect());
    setPlaced(true);
}

bool WCapture::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == drawingForm.get()) {
        switch (event->type()) {
        case QEvent::Show:
            // The native window exists from here on (it may be a new one).
            if (QWindow *frame = drawingForm->windowHandle())
                frame->installEventFilter(this);
            break;
        case QEvent::Move:
        case QEvent::Resize:
            if (!placed)
                QTimer::singleShot(0, this, &WCapture::checkPlacement);
            else if (!userIsMovingFrame())
                settleTimer.start();
            break;
        default:
            break;
        }
    } else if (event->type() == QEvent::Expose) {
        // Handled after the window's own expose handling has updated it.
        QTimer::singleShot(0, this, &WCapture::checkPlacement);
    }
    return QWidget::eventFilter(watched, event);
}

void WCapture::selectScreen(int index)
{
    ui->cmbScreens->setCurrentIndex(index);
}

void WCapture::mouseMoveEvent(QMouseEvent *event)
{
    if (!movable)
        return;
    if (dragOffset.isNull())
        dragOffset = mapFromGlobal(QCursor::pos());
    move(pos() - dragOffset + event->pos());
}

void WCapture::mouseReleaseEvent(QMouseEvent *)
{
    if (!movable)
        return;
    dragOffset = QPoint(0, 0);
    reportPosition(captureRect());
}

void WCapture::moveEvent(QMoveEvent *event)
{
    glue->onMove(event->pos());
    if (!placed && isVisible())
        QTimer::singleShot(0, this, &WCapture::checkPlacement);
}

void WCapture::closeEvent(QCloseEvent *)
{
    glue->onClose();
}

void WCapture::showEvent(QShowEvent *)
{
    if (QWindow *bar = windowHandle())
        bar->installEventFilter(this);
    setPlaced(false);
    glue->onShow();
}

void WCapture::hideEvent(QHideEvent *)
{
    glue->onHide();
    settleTimer.stop();
    setPlaced(false);
}

void WCapture::on_drawButton_clicked()
{
    drawingForm->toggleDrawing();
    if (!drawingForm->isVisible())
        drawingForm->show();
}

void WCapture::on_clearButton_clicked()
{
    drawingForm->clearImage();
}

void WCapture::on_cmdLock_toggled(bool checked)
{
    movable = !checked;
    drawingForm->setLocked(checked);
}

void WCapture::on_cmdClose_clicked()
{
    hide();
}

void WCapture::on_cmbScreens_currentIndexChanged(int index)
{
    screenIndex = index;
    reportPosition(captureRect());
}
