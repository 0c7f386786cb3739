#include "tests/support/GuiHeartbeat.h"

#include <fstream>

namespace {
// How long the calling thread has waited on a run queue, in ns (the
// scheduler's statistics: running time, waiting time, time slices); 0 where
// the kernel keeps none.
qint64 waitedForProcessorNs()
{
    std::ifstream stats("/proc/thread-self/schedstat");
    long long running = 0, waiting = 0;
    return stats >> running >> waiting ? qint64(waiting) : 0;
}
}

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
    m_waitedAtTickNs = waitedForProcessorNs();
    m_timer.start();
}

qint64 GuiHeartbeat::lateness() const
{
    const qint64 waitedMs = (waitedForProcessorNs() - m_waitedAtTickNs) / 1000000;
    return m_sinceTick.elapsed() - kPeriodMs - qMax<qint64>(waitedMs, 0);
}

qint64 GuiHeartbeat::longestStallMs() const
{
    return qMax(m_longest, lateness());
}

void GuiHeartbeat::tick()
{
    m_longest = qMax(m_longest, lateness());
    m_sinceTick.start();
    m_waitedAtTickNs = waitedForProcessorNs();
}
