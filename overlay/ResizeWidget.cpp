#include "overlay/ResizeWidget.h"

#include "ui_ResizeWidget.h"

#include <QMouseEvent>
#include <QPainter>

ResizeWidget::ResizeWidget(QWidget *parent) : QWidget(parent), ui(std::make_unique<Ui::ResizeWidget>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::WindowStaysOnTopHint | Qt::FramelessWindowHint);
}

ResizeWidget::~ResizeWidget() = default;

void ResizeWidget::mousePressEvent(QMouseEvent *)
{
    emit click(true);
    pressed = true;
}

void ResizeWidget::mouseMoveEvent(QMouseEvent *event)
{
    if (locked || !pressed)
        return;
    emit mouseMove(event->pos());
    move(pos() + event->pos());
}

void ResizeWidget::mouseReleaseEvent(QMouseEvent *)
{
    emit click(false);
    pressed = false;
    emit resizeFinished();
}

void ResizeWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), Qt::magenta);
}
