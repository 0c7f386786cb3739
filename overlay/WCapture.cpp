#include "overlay/WCapture.h"

#include "overlay/DrawingForm.h"
#include "overlay/WidgetGlue.h"
#include "ui_WCapture.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>

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
    connect(drawingForm.get(), &DrawingForm::newSize, this, [this] { emit onNewPosition(captureRect()); },
            Qt::DirectConnection);
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
    return drawingForm->geometry().adjusted(5, 5, -5, -5);
}

void WCapture::showFrame()
{
    show();
    emit onNewPosition(QRect());
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
    emit onNewPosition(captureRect());
}

void WCapture::moveEvent(QMoveEvent *event)
{
    glue->onMove(event->pos());
}

void WCapture::closeEvent(QCloseEvent *)
{
    glue->onClose();
}

void WCapture::showEvent(QShowEvent *)
{
    glue->onShow();
}

void WCapture::hideEvent(QHideEvent *)
{
    glue->onHide();
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
    emit onNewPosition(captureRect());
}
