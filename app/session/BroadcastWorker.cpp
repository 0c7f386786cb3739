#include "app/session/BroadcastWorker.h"

#include "diagnostics/HappensBefore.h"
#include "diagnostics/LogLine.h"
#include "media/EncoderConfig.h"
#include "media/Mixer.h"
#include "media/engine/MFWriter.h"
#include "transport/ArrowSender.h"
#include "transport/BitRateGovernor.h"
#include "transport/LatencyAdvisor.h"
#include "transport/RESender.h"
#include "transport/RoundTripProbe.h"
#include "transport/srt/ResolveHost.h"

#include <QElapsedTimer>
#include <QThread>

#include <srt/srt.h>

namespace {
constexpr int kRelayPortStepMs = 10;
// Bounds the wait for a relay that delivers its tail; the relay's own waits
// end well before.
constexpr unsigned long kRelayEndWaitMs = 10000;

QString serverText(const BroadcastPlan &plan)
{
    return plan.host + QLatin1Char(':') + QString::number(plan.port);
}
}

BroadcastWorker::BroadcastWorker(Mixer *mixer, QObject *logTarget) : m_mixer(mixer), m_logTarget(logTarget)
{
    qRegisterMetaType<LinkHealth>("LinkHealth");
}

BroadcastWorker::~BroadcastWorker()
{
    close();
}

void BroadcastWorker::open(const BroadcastPlan &plan, int attempt, bool first, int leastLatencyMs,
                           const CancelFlag &cancel)
{
    m_attempt = attempt;
    m_brokenReported = false;
    const QString address = resolveHost(plan.host);
    if (first) {
        logLine(QStringLiteral("STREAM TO SERVER : ") + plan.host + QStringLiteral("(resolved to ") + address
                + QStringLiteral(")"));
    }
    QString failure;
    int controlSocket = -1;
    if (address.isEmpty())
        failure = QStringLiteral("Server not found: ") + plan.host;
    else
        failure = openLink(plan, address, leastLatencyMs, cancel, &controlSocket);
    if (*cancel && failure.isEmpty())
        failure = QStringLiteral("cancelled");
    if (failure.isEmpty()) {
        HappensBefore::release(this);
        emit opened(attempt, controlSocket);
        return;
    }
    logLine(QStringLiteral("*** BROADCAST NOT STARTED: ") + failure);
    close();
    HappensBefore::release(this);
    emit openFailed(attempt, *cancel ? QString() : failure);
}

// The connections open one after the other: two non-blocking connects at
// the same moment from one process sometimes left one of them broken at once
// (libsrt 1.5.1, seen under load). With the latency chosen from the path the
// control connection comes first, as it finds an unreachable server before
// the media connection would; otherwise it comes once the relay's connect
// has ended. An unreachable server costs one connect time-out either way.
QString BroadcastWorker::openLink(const BroadcastPlan &plan, const QString &address, int leastLatencyMs,
                                  const CancelFlag &cancel, int *controlSocket)
{
    SrtSocket control;
    m_latencyMs = qMax(plan.latencyMs, leastLatencyMs);
    if (plan.adaptLatency) {
        const QString failure = choosePathLatency(plan, address, cancel, &m_latencyMs, &control);
        if (!failure.isEmpty() || *cancel)
            return failure;
    } else {
        emit latencyChosen(m_attempt, m_latencyMs);
    }
    m_relay = std::make_unique<RESender>(m_logTarget, nullptr);
    m_relay->setCopy(plan.copy);
    connect(m_relay.get(), &RESender::srtError, this, &BroadcastWorker::reportRelayError);
    m_relay->startRelay(address, plan.port, plan.streamId, m_latencyMs, plan.passphrase);
    if (!waitForRelayPort(cancel))
        return *cancel ? QString() : QStringLiteral("The local relay did not start.");
    if (!m_relay->isSrtConnected()) {
        return QStringLiteral("Cannot connect to %1: %2").arg(serverText(plan), m_relay->connectFailure());
    }
    if (!plan.adaptLatency)
        control = openControl(plan, address, cancel, 0);

    m_writer = EncoderConfig::createWriter(plan.videoKbps, plan.audioKbps, m_relay->listenPort, plan.codec);
    if (!m_writer || !m_writer->isOpen())
        return QStringLiteral("The encoder could not be opened (%1).").arg(plan.codec);
    if (*cancel)
        return QString();
    startAdapting(plan);
    m_mixer->setActiveWriter(m_writer);
    m_mixer->setWriting(true);
    *controlSocket = control.release();
    return QString();
}

// The round trip is measured before any connection opens, so that the
// control connection, opened next, and the media connection after it ask for
// the latency the path needs. Without an answer to the probe the control
// connection's handshake, two round trips and libsrt's pacing, stands in
// (for the media only: the control connection has asked by then). A refusal
// of the control connection is an answer; no answer at all ends the attempt,
// as the media connection would wait as long for nothing.
QString BroadcastWorker::choosePathLatency(const BroadcastPlan &plan, const QString &address,
                                           const CancelFlag &cancel, int *latencyMs, SrtSocket *control)
{
    const int least = *latencyMs;
    double rttMs = RoundTripProbe::measureMs(address, quint16(plan.port), cancel.get());
    if (rttMs >= 0)
        *latencyMs = LatencyAdvisor::latencyForPath(least, rttMs, plan.latencyCeilingMs);
    QString failure;
    bool refused = false;
    QElapsedTimer handshake;
    handshake.start();
    *control = ArrowSender::openControl(address, plan.port, plan.streamId, cancel.get(), &failure, plan.passphrase,
                                        *latencyMs, &refused);
    if (*cancel)
        return QString();
    if (!control->isValid() && !refused)
        return QStringLiteral("Cannot connect to %1: %2").arg(serverText(plan), failure);
    if (!control->isValid())
        logLine(QStringLiteral("*** control connection failed: ") + failure);
    if (rttMs < 0) {
        rttMs = double(handshake.elapsed()) / 2.0;
        *latencyMs = LatencyAdvisor::latencyForPath(least, rttMs, plan.latencyCeilingMs);
    }
    logLine(QStringLiteral("LATENCY %1 ms for a round trip of %2 ms (at least %3 ms)")
                .arg(*latencyMs)
                .arg(qRound(rttMs))
                .arg(least));
    emit latencyChosen(m_attempt, *latencyMs);
    return QString();
}

SrtSocket BroadcastWorker::openControl(const BroadcastPlan &plan, const QString &address, const CancelFlag &cancel,
                                       int peerLatencyMs)
{
    QString failure;
    SrtSocket control = ArrowSender::openControl(address, plan.port, plan.streamId, cancel.get(), &failure,
                                                 plan.passphrase, peerLatencyMs);
    if (!control.isValid() && !*cancel)
        logLine(QStringLiteral("*** control connection failed: ") + failure);
    return control;
}

bool BroadcastWorker::waitForRelayPort(const CancelFlag &cancel)
{
    QElapsedTimer waited;
    waited.start();
    while (m_relay->listenPort <= 0) {
        // A relay whose thread ended without a port could not listen.
        if (*cancel || m_relay->isFinished() || waited.elapsed() > kRelayPortWaitMs)
            return false;
        QThread::msleep(kRelayPortStepMs);
    }
    return true;
}

void BroadcastWorker::startAdapting(const BroadcastPlan &plan)
{
    m_ceilingKbps = plan.videoKbps;
    m_governor.reset();
    if (plan.adaptRate && plan.videoKbps > 0)
        m_governor = std::make_unique<BitRateGovernor>(plan.videoKbps, m_latencyMs);
    m_advisor = std::make_unique<LatencyAdvisor>(m_latencyMs);
    m_route = LongerRouteWatch();
    m_bytesHandedBefore = m_relay->bytesHanded();
    m_sampleClock.start();
}

// Runs with every health sample: the governor's decision goes to the writer
// (its encoder thread takes it before the next frame) and into the log.
void BroadcastWorker::adapt(const CBytePerfMon &stats, LinkHealth *health)
{
    BitRateGovernor::Sample sample;
    sample.intervalMs = double(qMax<qint64>(m_sampleClock.restart(), 1));
    sample.sendKbps = stats.mbpsSendRate * 1000.0;
    sample.rttMs = stats.msRTT;
    sample.packetsSent = stats.pktSent;
    sample.packetsLost = stats.pktSndLoss;
    sample.packetsRetransmitted = stats.pktRetrans;
    sample.packetsDropped = stats.pktSndDrop;
    sample.bytesDropped = qint64(stats.byteSndDrop);
    sample.sendBufferMs = stats.msSndBuf;
    sample.sendBufferBytes = qMax<qint64>(m_relay->sendBufferBytes(), 0);
    sample.bandwidthKbps = stats.mbpsBandwidth * 1000.0;
    const qint64 handed = m_relay->bytesHanded();
    sample.bytesHanded = handed - m_bytesHandedBefore;
    m_bytesHandedBefore = handed;

    health->videoCeilingKbps = m_ceilingKbps;
    health->videoKbps = m_ceilingKbps;
    if (m_governor) {
        if (m_governor->addSample(sample)) {
            const int kbps = m_governor->videoKbps();
            m_writer->setVideoBitRate(qint64(kbps) * 1000);
            logLine(QStringLiteral("VIDEO BIT RATE %1 kbit/s of %2: the connection carries about %3 kbit/s (%4)")
                        .arg(kbps)
                        .arg(m_ceilingKbps)
                        .arg(qRound(m_governor->carriedKbps()))
                        .arg(m_governor->reason()));
        }
        health->videoKbps = m_governor->videoKbps();
        health->carriedKbps = m_governor->carriedKbps();
    }
    // Losses of a congested path are the rate's business, not the latency's;
    // a longer route is the latency's.
    const bool congested = m_governor && m_governor->lastSampleCongested();
    if (m_advisor && m_route.addSample(congested, stats.msRTT, stats.pktSent, stats.pktSndLoss))
        m_advisor->addSample(stats.pktSent, stats.pktSndLoss, stats.msRTT);
    health->advisedLatencyMs = m_advisor ? m_advisor->advisedLatencyMs() : 0;
    health->adviceRttMs = m_advisor ? m_advisor->typicalRoundTripMs() : 0;
}

void BroadcastWorker::close()
{
    m_governor.reset();
    m_advisor.reset();
    if (m_writer) {
        m_mixer->setWriting(false);
        m_writer->close();
        if (m_mixer->activeWriter() == m_writer)
            m_mixer->setActiveWriter(nullptr);
        m_writer.reset();
    }
    if (m_relay) {
        m_relay->stopRelay();
        if (!m_relay->wait(kRelayEndWaitMs))
            logLine(QStringLiteral("*** the relay did not end in time"));
        m_relay.reset();
    }
    HappensBefore::release(this);
    emit closed();
}

void BroadcastWorker::enqueue(Job job)
{
    std::lock_guard<std::mutex> lock(m_jobsMutex);
    m_jobs.push_back(std::move(job));
}

void BroadcastWorker::runNextJob()
{
    Job job;
    {
        std::lock_guard<std::mutex> lock(m_jobsMutex);
        if (m_jobs.empty())
            return;
        job = std::move(m_jobs.front());
        m_jobs.pop_front();
    }
    job(this);
    HappensBefore::release(this);
    emit jobDone();
}

void BroadcastWorker::sampleHealth(int attempt)
{
    if (attempt != m_attempt || !m_relay || m_brokenReported)
        return;
    CBytePerfMon stats{};
    if (m_relay->hasFailed() || m_relay->isFinished() || !m_relay->takeStatistics(&stats)) {
        reportRelayError();
        return;
    }
    LinkHealth health = LinkHealth::fromStatistics(stats, m_writer ? m_writer->droppedFrames() : 0);
    health.latencyMs = m_relay->agreedLatencyMs();
    if (m_writer && m_advisor)
        adapt(stats, &health);
    HappensBefore::release(this);
    emit healthSampled(attempt, health);
}

void BroadcastWorker::reportRelayError()
{
    if (m_brokenReported || !m_relay)
        return;
    m_brokenReported = true;
    HappensBefore::release(this);
    emit broken(m_attempt, QStringLiteral("The connection to the server was lost."));
}
