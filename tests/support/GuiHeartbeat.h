#pragma once
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// A timer on the thread that creates it (the GUI thread in the tests) whose
// lateness is recorded: any call that blocks that thread shows up as a tick
// that came later than its period. The time the thread was ready to run but
// waited for a processor (a busy machine, not a blocking call) is left out.
class GuiHeartbeat : public QObject
{
    Q_OBJECT
public:
    static constexpr int kPeriodMs = 10;

    explicit GuiHeartbeat(QObject *parent = nullptr);

    void restart();
    // The largest lateness of a tick since the last restart, in ms, the time
    // since the last tick included. Called on the heartbeat's thread.
    qint64 longestStallMs() const;

private:
    void tick();
    qint64 lateness() const;

    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_waitedAtTickNs = 0;
    qint64 m_longest = 0;
};
