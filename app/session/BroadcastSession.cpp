#include "app/session/BroadcastSession.h"

#include "transport/StreamCopy.h"

#include "diagnostics/HappensBefore.h"
#include "diagnostics/LogLine.h"
#include "media/PlayerWorker.h"
#include "transport/ArrowSender.h"
#include "transport/srt/SrtSocket.h"

#include <QMetaObject>

namespace {
const int kReconnectDelays[] = {1, 2, 4, 8};
constexpr int kReconnectDelayLimit = 10;
// How often and how long a feedback restart waits for the previous run.
constexpr int kFeedbackRetryMs = 100;
constexpr int kFeedbackRetries = 50;
// The server counts as silent once this much time has passed since a health
// sample last showed it answering: two quiet samples in a row, as one quiet
// second alone may be a busy machine.
constexpr qint64 kSilentShownMs = BroadcastSession::kHealthPeriodMs * 3 / 2;
}

BroadcastSession::BroadcastSession(Mixer *mixer, PlayerWorker *player, QObject *parent)
    : QObject(parent), m_mixer(mixer), m_player(player)
{
    qRegisterMetaType<BroadcastSession::State>("BroadcastSession::State");
    m_thread.setObjectName(QStringLiteral("broadcast session"));
    // Owned here and deleted after the thread ended; a parent would tie it to this thread.
    m_worker = std::make_unique<BroadcastWorker>(mixer);
    m_worker->moveToThread(&m_thread);
    connect(m_worker.get(), &BroadcastWorker::opened, this, &BroadcastSession::onOpened);
    connect(m_worker.get(), &BroadcastWorker::openFailed, this, &BroadcastSession::onOpenFailed);
    connect(m_worker.get(), &BroadcastWorker::broken, this, &BroadcastSession::onBroken);
    connect(m_worker.get(), &BroadcastWorker::healthSampled, this, &BroadcastSession::onHealth);
    connect(m_worker.get(), &BroadcastWorker::latencyChosen, this, &BroadcastSession::onLatencyChosen);
    connect(m_worker.get(), &BroadcastWorker::jobDone, this, [this] {
        HappensBefore::acquire(m_worker.get());
        --m_pendingJobs;
    });
    m_thread.start();

    m_retryTimer.setInterval(1000);
    connect(&m_retryTimer, &QTimer::timeout, this, &BroadcastSession::countDown);
    m_healthTimer.setInterval(kHealthPeriodMs);
    connect(&m_healthTimer, &QTimer::timeout, this, &BroadcastSession::sampleHealth);
}

BroadcastSession::~BroadcastSession()
{
    if (isActive())
        stop();
    // Pending jobs are dropped with the event loop; the worker's destructor
    // closes whatever is still open, after its thread has ended.
    m_thread.quit();
    m_thread.wait();
    HappensBefore::acquire(m_worker.get());
    m_worker.reset();
}

bool BroadcastSession::isActive() const
{
    return m_state == State::Connecting || m_state == State::Live || m_state == State::Reconnecting;
}

int BroadcastSession::reconnectDelaySeconds(int attempt)
{
    if (attempt >= 0 && attempt < int(sizeof kReconnectDelays / sizeof kReconnectDelays[0]))
        return kReconnectDelays[attempt];
    return kReconnectDelayLimit;
}

void BroadcastSession::start(const BroadcastPlan &plan, quint64 feedbackWindow)
{
    if (isActive())
        return;
    m_plan = plan;
    m_plan.copy.reset();
    if (plan.keepCopy)
        m_plan.copy = std::make_shared<StreamCopy>(StreamCopy::defaultFolder(), plan.endpoint.streamId);
    m_feedbackWindow = feedbackWindow;
    m_hasBeenLive = false;
    m_retry = 0;
    m_failure.clear();
    m_figures.clear();
    m_figuresWarning = false;
    m_liveClock.invalidate();
    m_latencyMs = plan.endpoint.latencyMs;
    m_leastLatencyMs = plan.endpoint.latencyMs;
    m_follower = LatencyFollower(plan.latencyCeilingMs);
    m_followClock.start();
    m_raise.clear();
    setState(State::Connecting);
    // The return stream starts once the attempt has chosen its latency.
    beginAttempt();
}

void BroadcastSession::stop()
{
    if (!isActive())
        return;
    m_retryTimer.stop();
    m_healthTimer.stop();
    cancelAttempt();
    m_player->closeControl();
    emit arrowsAvailable(false);
    closeLink();
    stopFeedback();
    // The relay lets go of the copy once the stream's tail is in it.
    m_plan.copy.reset();
    setState(State::Stopped);
}

void BroadcastSession::beginAttempt()
{
    m_cancel = std::make_shared<std::atomic<bool>>(false);
    const int attempt = ++m_attempt;
    const bool first = !m_hasBeenLive && m_retry == 0;
    const BroadcastPlan plan = m_plan;
    const int least = m_leastLatencyMs;
    const BroadcastWorker::CancelFlag cancel = m_cancel;
    post([plan, attempt, first, least, cancel](BroadcastWorker *worker) {
        worker->open(plan, attempt, first, least, cancel);
    });
}

void BroadcastSession::post(std::function<void(BroadcastWorker *)> job)
{
    ++m_pendingJobs;
    m_worker->enqueue(std::move(job));
    QMetaObject::invokeMethod(m_worker.get(), "runNextJob", Qt::QueuedConnection);
}

void BroadcastSession::cancelAttempt()
{
    if (m_cancel)
        *m_cancel = true;
    // Results of the cancelled attempt no longer match.
    ++m_attempt;
}

void BroadcastSession::closeLink()
{
    post([](BroadcastWorker *worker) { worker->close(); });
}

void BroadcastSession::onOpened(int attempt, int controlSocket)
{
    HappensBefore::acquire(m_worker.get());
    SrtSocket control(controlSocket);
    if (attempt != m_attempt || !isActive())
        return;  // stale: the link is closed by the job queued behind it
    const bool reconnected = m_hasBeenLive;
    m_hasBeenLive = true;
    m_retry = 0;
    if (control.isValid()) {
        m_player->arrowSender()->adoptControl(std::move(control));
        emit arrowsAvailable(true);
    }
    if (reconnected) {
        logLine(QStringLiteral("BROADCAST RECONNECTED"));
        startFeedback(m_player->window() != 0 ? m_player->window() : m_feedbackWindow);
    }
    m_framesDroppedBefore = 0;
    m_raise.clear();
    m_figures.clear();
    m_figuresWarning = false;
    m_lastAnswer.start();
    m_samplePending = false;
    if (!m_liveClock.isValid())
        m_liveClock.start();
    setState(State::Live);
    m_healthTimer.start();
    if (!reconnected)
        emit started();
}

void BroadcastSession::onOpenFailed(int attempt, const QString &reason)
{
    HappensBefore::acquire(m_worker.get());
    if (attempt != m_attempt || !isActive() || reason.isEmpty())
        return;
    if (m_hasBeenLive) {
        scheduleReconnect(reason);
        return;
    }
    m_player->closeControl();
    stopFeedback();
    m_failure = reason;
    setState(State::Failed);
    emit failed(reason);
}

void BroadcastSession::onBroken(int attempt, const QString &reason)
{
    HappensBefore::acquire(m_worker.get());
    if (attempt != m_attempt || m_state != State::Live)
        return;
    logLine(QStringLiteral("*** BROADCAST INTERRUPTED: ") + reason);
    dropLink();
    scheduleReconnect(reason);
}

// What is open goes, the tail of the stream included, and the next attempt
// starts afresh: its writer begins with a key frame, its return stream
// between two pictures.
void BroadcastSession::dropLink()
{
    m_healthTimer.stop();
    cancelAttempt();
    m_player->closeControl();
    emit arrowsAvailable(false);
    stopFeedback();
    closeLink();
    m_retry = 0;
}

void BroadcastSession::scheduleReconnect(const QString &reason)
{
    m_raise.clear();
    m_breakReason = reason;
    m_secondsLeft = reconnectDelaySeconds(m_retry);
    ++m_retry;
    setState(State::Reconnecting);
    m_retryTimer.start();
}

void BroadcastSession::countDown()
{
    if (m_state != State::Reconnecting) {
        m_retryTimer.stop();
        return;
    }
    if (--m_secondsLeft > 0) {
        announce();
        return;
    }
    m_retryTimer.stop();
    announce();
    beginAttempt();
}

void BroadcastSession::stopFeedback()
{
    ++m_feedbackRound;
    m_player->stopPlay();
}

// The player's previous run ends within about a second of stopPlay; it is
// waited for here with a timer, never by blocking (startPlay would wait).
void BroadcastSession::startFeedback(quint64 window)
{
    const int round = ++m_feedbackRound;
    startFeedbackWhenFree(window, round, kFeedbackRetries);
}

void BroadcastSession::startFeedbackWhenFree(quint64 window, int round, int triesLeft)
{
    if (!isActive() || round != m_feedbackRound)
        return;
    if (m_player->isRunning()) {
        if (triesLeft > 0) {
            QTimer::singleShot(kFeedbackRetryMs, this,
                               [this, window, round, triesLeft] { startFeedbackWhenFree(window, round, triesLeft - 1); });
        } else {
            logLine(QStringLiteral("*** the feedback player did not end; feedback not restarted"));
        }
        return;
    }
    m_player->startPlay(m_plan.feedbackUrl(m_latencyMs), window, m_plan.endpoint.passphrase);
}

void BroadcastSession::onLatencyChosen(int attempt, int latencyMs)
{
    if (attempt != m_attempt || !isActive())
        return;
    m_latencyMs = latencyMs;
    // Later attempts start the return stream once they are through.
    if (!m_hasBeenLive)
        startFeedback(m_feedbackWindow);
}

void BroadcastSession::followPath(const LinkHealth &health)
{
    if (!m_plan.adaptLatency || health.latencyMs <= 0)
        return;
    const LatencyFollower::Sample sample{health.latencyMs, health.advisedLatencyMs, health.adviceRttMs, health.rttMs};
    const int raised = m_follower.addSample(sample, m_followClock.elapsed());
    if (raised > 0)
        raiseLatency(raised, health.rttMs);
}

void BroadcastSession::raiseLatency(int latencyMs, double rttMs)
{
    m_leastLatencyMs = qMax(m_leastLatencyMs, latencyMs);
    m_raise = QStringLiteral("latency raised to %1 ms for a round trip of %2 ms").arg(latencyMs).arg(qRound(rttMs));
    logLine(m_raise);
    dropLink();
    setState(State::Reconnecting);
    beginAttempt();
}

void BroadcastSession::sampleHealth()
{
    // The last sample not back yet: the worker may be held up by the very
    // server that went still, and the window says so all the same.
    if (m_samplePending && m_state == State::Live)
        announce();
    m_samplePending = true;
    const int attempt = m_attempt;
    post([attempt](BroadcastWorker *worker) { worker->sampleHealth(attempt); });
}

void BroadcastSession::onHealth(int attempt, const LinkHealth &health)
{
    HappensBefore::acquire(m_worker.get());
    if (attempt != m_attempt || m_state != State::Live)
        return;
    m_samplePending = false;
    if (!health.serverSilent())
        m_lastAnswer.restart();
    m_figuresWarning = health.isWarning(m_framesDroppedBefore);
    m_framesDroppedBefore = health.framesDropped;
    m_figures = health.figuresText();
    announce();
    followPath(health);
}

void BroadcastSession::setState(State state)
{
    m_state = state;
    emit stateChanged(state);
    announce();
}

void BroadcastSession::announce()
{
    const SessionStatus now = status();
    emit statusChanged(now.fullText(), now.isWarning());
}

QString BroadcastSession::clockText(qint64 ms)
{
    const qint64 seconds = qMax<qint64>(ms, 0) / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString BroadcastSession::copyNote() const
{
    const StreamCopy *copy = m_plan.copy.get();
    if (!copy || !isActive())
        return QString();
    if (!copy->isOpen())
        return QStringLiteral("No copy of the broadcast: ") + copy->problem();
    if (copy->hasStopped())
        return QStringLiteral("The copy of the broadcast stopped: ") + copy->path();
    return QStringLiteral("A copy of the broadcast goes to ") + copy->path();
}

SessionStatus BroadcastSession::status() const
{
    using Tone = SessionStatus::Tone;
    switch (m_state) {
    case State::Connecting:
        return {QStringLiteral("Connecting…"), QStringLiteral("to ") + m_plan.endpoint.serverText(), Tone::Neutral};
    case State::Live:
        // Not "LIVE" while nothing the server says shows it still takes the
        // stream; one quiet second alone may be a busy machine.
        if (m_lastAnswer.isValid() && m_lastAnswer.elapsed() >= kSilentShownMs) {
            return {QStringLiteral("No answer from the server for %1 s").arg((m_lastAnswer.elapsed() + 500) / 1000),
                    m_figures, Tone::Warning};
        }
        return {QStringLiteral("LIVE ") + clockText(m_liveClock.isValid() ? m_liveClock.elapsed() : 0), m_figures,
                m_figuresWarning ? Tone::Warning : Tone::Good};
    case State::Reconnecting: {
        if (!m_raise.isEmpty())
            return {QStringLiteral("Reconnecting…"), m_raise, Tone::Neutral};
        // The cause of the last try goes after the state: it is no verdict while retrying.
        const QString state = m_secondsLeft > 0
                                  ? QStringLiteral("Server lost — retrying in %1 s (attempt %2)").arg(m_secondsLeft).arg(m_retry)
                                  : QStringLiteral("Server lost — retrying now (attempt %1)").arg(m_retry);
        return {state, m_breakReason, Tone::Warning};
    }
    case State::Stopped:
        return {QStringLiteral("Stopped."), QString(), Tone::Neutral};
    case State::Failed:
        return {QString(), m_failure, Tone::Error};
    case State::Idle:
        break;
    }
    return {};
}
