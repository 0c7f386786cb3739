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

namespace {
constexpr int kRelayPortStepMs = 10;
// Bounds the wait for a relay that delivers its tail; the relay's own waits
// end well before.
constexpr unsigned long kRelayEndWaitMs = 10000;

// "Cannot connect to host:port: why", the host as the user typed it.
StepResult cannotConnect(const BroadcastPlan &plan, const StepResult &connect)
{
    return StepResult::failure(
        QStringLiteral("Cannot connect to %1: %2").arg(plan.endpoint.serverText(), connect.described()));
}
}

BroadcastWorker::BroadcastWorker(Mixer *mixer) : m_mixer(mixer)
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
    const QString host = plan.endpoint.host;
    const QString address = resolveHost(host);
    if (first)
        logLine(QStringLiteral("STREAM TO SERVER : ") + host + QStringLiteral("(resolved to ") + address + QStringLiteral(")"));
    int controlSocket = -1;
    StepResult result = address.isEmpty()
                            ? StepResult::failure(QStringLiteral("Server not found: ") + host)
                            : openLink(plan, plan.endpoint.atAddress(address), leastLatencyMs, cancel, &controlSocket);
    if (*cancel && result.ok())
        result = StepResult::failure(QStringLiteral("cancelled"));
    if (result.ok()) {
        HappensBefore::release(this);
        emit opened(attempt, controlSocket);
        return;
    }
    logLine(QStringLiteral("*** BROADCAST NOT STARTED: ") + result.message());
    close();
    HappensBefore::release(this);
    emit openFailed(attempt, *cancel ? QString() : result.message());
}

// The connections open one after the other: two non-blocking connects at
// the same moment from one process sometimes left one of them broken at once
// (libsrt 1.5.1, seen under load). With the latency chosen from the path the
// control connection comes first, as it finds an unreachable server before
// the media connection would; otherwise it comes once the relay's connect
// has ended. An unreachable server costs one connect time-out either way.
StepResult BroadcastWorker::openLink(const BroadcastPlan &plan, const SrtEndpoint &server, int leastLatencyMs,
                                     const CancelFlag &cancel, int *controlSocket)
{
    SrtSocket control;
    m_latencyMs = qMax(server.latencyMs, leastLatencyMs);
    if (plan.adaptLatency) {
        const StepResult chosen = choosePathLatency(plan, server, cancel, &m_latencyMs, &control);
        if (!chosen.ok() || *cancel)
            return chosen;
    } else {
        emit latencyChosen(m_attempt, m_latencyMs);
    }
    m_relay = std::make_unique<RESender>();
    m_relay->setCopy(plan.copy);
    connect(m_relay.get(), &RESender::srtError, this, &BroadcastWorker::reportRelayError);
    m_relay->startRelay(server.withLatency(m_latencyMs));
    if (!waitForRelayPort(cancel))
        return *cancel ? StepResult() : StepResult::failure(QStringLiteral("The local relay did not start."));
    const StepResult connected = m_relay->connectResult();
    if (!connected.ok())
        return cannotConnect(plan, connected);
    if (!plan.adaptLatency)
        control = openControl(server.withLatency(0), cancel);

    m_writer = EncoderConfig::createWriter(plan.videoKbps, plan.audioKbps, m_relay->listenPort, plan.codec);
    if (!m_writer || !m_writer->isOpen())
        return StepResult::failure(QStringLiteral("The encoder could not be opened (%1).").arg(plan.codec));
    if (*cancel)
        return StepResult();
    startAdapting(plan);
    m_mixer->setActiveWriter(m_writer);
    m_mixer->setWriting(true);
    *controlSocket = control.release();
    return StepResult();
}

// The round trip is measured before any connection opens, so that the
// control connection, opened next, and the media connection after it ask for
// the latency the path needs. Without an answer to the probe the control
// connection's handshake, two round trips and libsrt's pacing, stands in
// (for the media only: the control connection has asked by then). A refusal
// of the control connection is an answer; no answer at all ends the attempt,
// as the media connection would wait as long for nothing.
StepResult BroadcastWorker::choosePathLatency(const BroadcastPlan &plan, const SrtEndpoint &server,
                                              const CancelFlag &cancel, int *latencyMs, SrtSocket *control)
{
    const int least = *latencyMs;
    double rttMs = RoundTripProbe::measureMs(server.host, quint16(server.port), cancel.get());
    if (rttMs >= 0)
        *latencyMs = LatencyAdvisor::latencyForPath(least, rttMs, plan.latencyCeilingMs);
    QElapsedTimer handshake;
    handshake.start();
    SrtConnection connection = ArrowSender::openControl(server.withLatency(*latencyMs), cancel.get());
    *control = std::move(connection.socket);
    if (*cancel)
        return StepResult();
    if (!control->isValid() && !connection.refused)
        return cannotConnect(plan, connection.result);
    if (!control->isValid())
        logLine(QStringLiteral("*** control connection failed: ") + connection.result.described());
    if (rttMs < 0) {
        rttMs = double(handshake.elapsed()) / 2.0;
        *latencyMs = LatencyAdvisor::latencyForPath(least, rttMs, plan.latencyCeilingMs);
    }
    logLine(QStringLiteral("LATENCY %1 ms for a round trip of %2 ms (at least %3 ms)")
                .arg(*latencyMs)
                .arg(qRound(rttMs))
                .arg(least));
    emit latencyChosen(m_attempt, *latencyMs);
    return StepResult();
}

SrtSocket BroadcastWorker::openControl(const SrtEndpoint &server, const CancelFlag &cancel)
{
    SrtConnection connection = ArrowSender::openControl(server, cancel.get());
    if (!connection.socket.isValid() && !*cancel)
        logLine(QStringLiteral("*** control connection failed: ") + connection.result.described());
    return std::move(connection.socket);
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
void BroadcastWorker::adapt(const SrtStatistics &stats, LinkHealth *health)
{
    BitRateGovernor::Sample sample;
    sample.intervalMs = double(qMax<qint64>(m_sampleClock.restart(), 1));
    sample.sendKbps = stats.sendMbps * 1000.0;
    sample.rttMs = stats.rttMs;
    sample.packetsSent = stats.packetsSent;
    sample.packetsLost = stats.packetsLost;
    sample.packetsRetransmitted = stats.packetsRetransmitted;
    sample.packetsDropped = stats.packetsDropped;
    sample.bytesDropped = stats.bytesDropped;
    sample.sendBufferMs = stats.sendBufferMs;
    sample.sendBufferBytes = qMax<qint64>(m_relay->sendBufferBytes(), 0);
    sample.bandwidthKbps = stats.bandwidthMbps * 1000.0;
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
    if (m_advisor && m_route.addSample(congested, stats.rttMs, stats.packetsSent, stats.packetsLost))
        m_advisor->addSample(stats.packetsSent, stats.packetsLost, stats.rttMs);
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
    const std::optional<SrtStatistics> stats =
        m_relay->hasFailed() || m_relay->isFinished() ? std::nullopt : m_relay->takeStatistics();
    if (!stats) {
        reportRelayError();
        return;
    }
    LinkHealth health = LinkHealth::fromStatistics(*stats, m_writer ? m_writer->droppedFrames() : 0);
    health.latencyMs = m_relay->agreedLatencyMs();
    if (m_writer && m_advisor)
        adapt(*stats, &health);
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
