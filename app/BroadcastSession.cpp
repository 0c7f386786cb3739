#include "app/BroadcastSession.h"

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
}

BroadcastSession::BroadcastSession(Mixer *mixer, PlayerWorker *player, QObject *logTarget, QObject *parent)
    : QObject(parent), m_mixer(mixer), m_player(player)
{
    qRegisterMetaType<BroadcastSession::State>("BroadcastSession::State");
    m_thread.setObjectName(QStringLiteral("broadcast session"));
    // Owned here and deleted after the thread ended; a parent would tie it to this thread.
    m_worker = std::make_unique<BroadcastWorker>(mixer, logTarget);
    m_worker->moveToThread(&m_thread);
    connect(m_worker.get(), &BroadcastWorker::opened, this, &BroadcastSession::onOpened);
    connect(m_worker.get(), &BroadcastWorker::openFailed, this, &BroadcastSession::onOpenFailed);
    connect(m_worker.get(), &BroadcastWorker::broken, this, &BroadcastSession::onBroken);
    connect(m_worker.get(), &BroadcastWorker::healthSampled, this, &BroadcastSession::onHealth);
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
    m_feedbackWindow = feedbackWindow;
    m_hasBeenLive = false;
    m_retry = 0;
    setState(State::Connecting, QStringLiteral("Connecting..."));
    startFeedback(feedbackWindow);
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
    setState(State::Stopped, QStringLiteral("Stopped."));
}

void BroadcastSession::beginAttempt()
{
    m_cancel = std::make_shared<std::atomic<bool>>(false);
    const int attempt = ++m_attempt;
    const bool first = !m_hasBeenLive && m_retry == 0;
    const BroadcastPlan plan = m_plan;
    const BroadcastWorker::CancelFlag cancel = m_cancel;
    post([plan, attempt, first, cancel](BroadcastWorker *worker) { worker->open(plan, attempt, first, cancel); });
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
    setState(State::Live, QStringLiteral("Live"));
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
    setState(State::Failed, reason, true);
    emit failed(reason);
}

void BroadcastSession::onBroken(int attempt, const QString &reason)
{
    HappensBefore::acquire(m_worker.get());
    if (attempt != m_attempt || m_state != State::Live)
        return;
    logLine(QStringLiteral("*** BROADCAST INTERRUPTED: ") + reason);
    m_healthTimer.stop();
    cancelAttempt();
    m_player->closeControl();
    emit arrowsAvailable(false);
    stopFeedback();
    closeLink();
    m_retry = 0;
    scheduleReconnect(reason);
}

void BroadcastSession::scheduleReconnect(const QString &reason)
{
    m_breakReason = reason;
    m_secondsLeft = reconnectDelaySeconds(m_retry);
    ++m_retry;
    m_state = State::Reconnecting;
    showCountDown();
    emit stateChanged(m_state);
    m_retryTimer.start();
}

void BroadcastSession::countDown()
{
    if (m_state != State::Reconnecting) {
        m_retryTimer.stop();
        return;
    }
    if (--m_secondsLeft > 0) {
        showCountDown();
        return;
    }
    m_retryTimer.stop();
    setState(State::Reconnecting, m_breakReason + QStringLiteral(" Reconnecting…"), true);
    beginAttempt();
}

void BroadcastSession::showCountDown()
{
    m_statusText = m_breakReason + QStringLiteral(" Reconnecting in %1 s…").arg(m_secondsLeft);
    emit statusChanged(m_statusText, true);
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
    m_player->startPlay(m_plan.feedbackUrl, window, m_plan.passphrase);
}

void BroadcastSession::sampleHealth()
{
    const int attempt = m_attempt;
    post([attempt](BroadcastWorker *worker) { worker->sampleHealth(attempt); });
}

void BroadcastSession::onHealth(int attempt, const LinkHealth &health)
{
    HappensBefore::acquire(m_worker.get());
    if (attempt != m_attempt || m_state != State::Live)
        return;
    const bool warning = health.isWarning(m_framesDroppedBefore);
    m_framesDroppedBefore = health.framesDropped;
    m_statusText = health.text();
    emit statusChanged(m_statusText, warning);
}

void BroadcastSession::setState(State state, const QString &text, bool warning)
{
    m_state = state;
    m_statusText = text;
    emit stateChanged(state);
    emit statusChanged(text, warning);
}
