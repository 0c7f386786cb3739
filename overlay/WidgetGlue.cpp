#include "overlay/WidgetGlue.h"

#include <QWidget>

WidgetGlue::WidgetGlue(QWidget *leader, QWidget *follower, QPoint offset)
    : QObject(leader), leader(leader), follower(follower), m_offset(offset)
{
    // Queued: the leader is placed by the window manager only after its show
    // event has been handled, and the follower is placed relative to that.
    connect(this, SIGNAL(sigShow()), this, SLOT(afterShow()), Qt::QueuedConnection);
}

void WidgetGlue::onShow()
{
    emit sigShow();
}

void WidgetGlue::afterShow()
{
    if (!leader->isVisible())
        return; // hidden again before the queued call ran
    follower->move(leader->mapToGlobal(m_offset));
    follower->show();
}

void WidgetGlue::onHide()
{
    follower->hide();
}

void WidgetGlue::onMove(QPoint pos)
{
    follower->move(pos + m_offset);
}

void WidgetGlue::onClose()
{
    follower->close();
}
