#pragma once
#include "app/session/BroadcastPlan.h"
#include "app/session/BroadcastWorker.h"
#include "app/session/LinkHealth.h"
#include "app/session/SessionStatus.h"
#include "transport/LatencyFollower.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>

class Mixer;
class PlayerWorker;

// One broadcast from Start to Stop, as a state machine the window only shows:
// Idle -> Connecting -> Live -> Reconnecting -> Live ... -> Stopped, or
// Connecting -> Failed when the first attempt does not get through. Every
// step that can block runs on the session's thread (BroadcastWorker); here,
// on the GUI thread, only the feedback player, the arrows and the texts are
// handled. Once live, a broken media connection is retried with growing
// pauses (1, 2, 4, 8, then every 10 s) until it comes back or Stop is pressed;
// each new connection gets a fresh writer, so its stream begins with a key
// frame. When the latency follows the path, a round trip grown beyond what
// the latency in use can repair is reconnected at once with a larger one the
// same way (LatencyFollower), and the return stream with it.
class BroadcastSession : public QObject
{
    Q_OBJECT
public:
    enum class State { Idle, Connecting, Live, Reconnecting, Stopped, Failed };
    Q_ENUM(State)

    static constexpr int kHealthPeriodMs = 1000;

    BroadcastSession(Mixer *mixer, PlayerWorker *player, QObject *parent = nullptr);
    ~BroadcastSession() override;

    // Starts the feedback player into feedbackWindow and the first attempt.
    void start(const BroadcastPlan &plan, quint64 feedbackWindow);
    // Ends the broadcast at once for the user; what is open is closed on the
    // session's thread (the stream's tail still goes out).
    void stop();

    State state() const { return m_state; }
    bool isActive() const;
    // What the window shows for the current state: once live, a lost
    // server reads as reconnecting (with the pause left and the attempt's
    // number) until the broadcast is live again or stopped; a failed first
    // attempt shows its cause alone.
    SessionStatus status() const;
    // Where the copy of the broadcast goes, or why it does not; empty
    // without one.
    QString copyNote() const;
    // The same in one line.
    QString statusText() const { return status().fullText(); }
    // "00:12:31": how long the broadcast has been going since it first got live.
    static QString clockText(qint64 ms);
    // Whether work is still running on the session's thread.
    bool isWinding() const { return m_pendingJobs > 0; }

    // Seconds before reconnect attempt number `attempt` (0 = first).
    static int reconnectDelaySeconds(int attempt);

signals:
    void stateChanged(BroadcastSession::State state);
    // The status changed (text: status().fullText()); warning: it is shown
    // in a warning colour.
    void statusChanged(const QString &text, bool warning);
    void arrowsAvailable(bool available);
    // The first connection of this broadcast is up.
    void started();
    // The first attempt did not get through; the broadcast is over.
    void failed(const QString &reason);

private:
    void setState(State state);
    void announce();
    void beginAttempt();
    void post(std::function<void(BroadcastWorker *)> job);
    void cancelAttempt();
    void closeLink();
    void onOpened(int attempt, int controlSocket);
    void onOpenFailed(int attempt, const QString &reason);
    void onBroken(int attempt, const QString &reason);
    void onHealth(int attempt, const LinkHealth &health);
    void onLatencyChosen(int attempt, int latencyMs);
    void followPath(const LinkHealth &health);
    void raiseLatency(int latencyMs, double rttMs);
    void dropLink();
    void scheduleReconnect(const QString &reason);
    void countDown();
    void startFeedback(quint64 window);
    void stopFeedback();
    void startFeedbackWhenFree(quint64 window, int round, int triesLeft);
    void sampleHealth();

    Mixer *m_mixer = nullptr;
    PlayerWorker *m_player = nullptr;
    QThread m_thread;
    std::unique_ptr<BroadcastWorker> m_worker;  // lives on m_thread, deleted after it ended
    BroadcastPlan m_plan;
    quint64 m_feedbackWindow = 0;
    State m_state = State::Idle;
    QString m_failure;
    QString m_figures;
    bool m_figuresWarning = false;
    QElapsedTimer m_lastAnswer;     // since a health sample last showed the server answering
    bool m_samplePending = false;   // a health sample asked for and not yet back
    QElapsedTimer m_liveClock;
    int m_attempt = 0;
    BroadcastWorker::CancelFlag m_cancel;
    bool m_hasBeenLive = false;
    int m_retry = 0;
    int m_secondsLeft = 0;
    QString m_breakReason;
    int m_pendingJobs = 0;
    int m_feedbackRound = 0;
    quint64 m_framesDroppedBefore = 0;
    int m_latencyMs = 0;       // asked for by the current attempt's connections
    int m_leastLatencyMs = 0;  // the plan's, or more once raised; never less
    LatencyFollower m_follower;
    QElapsedTimer m_followClock;
    QString m_raise;           // what the last raise said, while it reconnects
    QTimer m_retryTimer;
    QTimer m_healthTimer;
};
