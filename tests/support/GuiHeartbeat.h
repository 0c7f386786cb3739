#pragma once
#include <QElapsedTimer>
#include <QTimer>

#include <fstream>

// A timer on its creator's thread (the GUI thread) whose lateness is
// recorded: a call that blocks the thread shows up as a late tick. Time spent
// waiting for a processor (a busy machine, not a blocking call) is left out.
class GuiHeartbeat : public QObject
{
public:
    static constexpr int kPeriodMs = 10;

    explicit GuiHeartbeat(QObject *parent = nullptr) : QObject(parent)
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(kPeriodMs);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_longest = qMax(m_longest, lateness());
            m_sinceTick.start();
            m_waitedAtTickNs = waitedForProcessorNs();
        });
        restart();
    }

    void restart()
    {
        m_longest = 0;
        m_sinceTick.start();
        m_waitedAtTickNs = waitedForProcessorNs();
        m_timer.start();
    }
    // The largest lateness since restart(), the running one included (ms).
    qint64 longestStallMs() const { return qMax(m_longest, lateness()); }

private:
    // How long this thread has waited on a run queue (ns); 0 where the kernel
    // keeps no scheduler statistics.
    static qint64 waitedForProcessorNs()
    {
        std::ifstream stats("/proc/thread-self/schedstat");
        long long running = 0, waiting = 0;
        return stats >> running >> waiting ? qint64(waiting) : 0;
    }
    qint64 lateness() const
    {
        const qint64 waitedMs = (waitedForProcessorNs() - m_waitedAtTickNs) / 1000000;
        return m_sinceTick.elapsed() - kPeriodMs - qMax<qint64>(waitedMs, 0);
    }

    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_waitedAtTickNs = 0;
    qint64 m_longest = 0;
};
