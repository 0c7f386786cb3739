#include "app/widgets/TLabel.h"

#include <QMouseEvent>

TLabel::TLabel(QWidget *parent)
    : QLabel(parent)
{
}

void TLabel::mouseReleaseEvent(QMouseEvent *event)
{
    // The release is consumed here so a preview frame never starts a text
    // selection or drag in QLabel.
    if (event->button() == Qt::LeftButton)
        emit clicked();
    event->accept();
}
