#include "tests/support/GuiHeartbeat.h"

GuiHeartbeat::GuiHeartbeat(QObject *parent) : QObject(parent)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(kPeriodMs);
    connect(&m_timer, &QTimer::timeout, this, &GuiHeartbeat::tick);
    restart();
}

void GuiHeartbeat::restart()
{
    m_longest = 0;
    m_sinceTick.start();
    m_timer.start();
}

qint64 GuiHeartbeat::longestStallMs() const
{
    return qMax(m_longest, m_sinceTick.elapsed() - kPeriodMs);
}

void GuiHeartbeat::tick()
{
    m_longest = qMax(m_longest, m_sinceTick.elapsed() - kPeriodMs);
    m_sinceTick.start();
}
