#include "app/widgets/TImageWidget.h"

#include <QPainter>
#include <QPixmap>

TImageWidget::TImageWidget(QWidget *parent)
    : QWidget(parent)
{
}

void TImageWidget::paintEvent(QPaintEvent *event)
{
    const QPixmap background(QStringLiteral(":/background"));
    if (!background.isNull()) {
        QPainter painter(this);
        painter.drawPixmap(0, 0, background.scaled(size(), Qt::KeepAspectRatioByExpanding,
                                                   Qt::FastTransformation));
    }
    QWidget::paintEvent(event);
}
