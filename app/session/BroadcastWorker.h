#pragma once
#include "app/session/BroadcastPlan.h"
#include "app/session/LinkHealth.h"
#include "transport/LongerRouteWatch.h"
#include "transport/srt/SrtSocket.h"
#include "transport/srt/SrtStatistics.h"
#include "transport/srt/StepResult.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class BitRateGovernor;
class LatencyAdvisor;
class Mixer;
class RESender;
namespace mf {
class MFWriter;
}

// The blocking half of a broadcast session, on the session's own thread: one
// attempt at a time resolves the host, opens the control connection, starts
// the relay and waits for its SRT connection and local port, opens the writer
// towards it and hands that to the mixer; close() undoes it. Every wait ends
// soon after the attempt's cancel flag turns true. Results go out as signals
// tagged with the attempt's number, so the session can drop stale ones.
class BroadcastWorker : public QObject
{
    Q_OBJECT
public:
    using CancelFlag = std::shared_ptr<std::atomic<bool>>;
    using Job = std::function<void(BroadcastWorker *)>;

    // How long an attempt waits for the relay's local port.
    static constexpr int kRelayPortWaitMs = 10000;

    explicit BroadcastWorker(Mixer *mixer);
    ~BroadcastWorker() override;

    // The first attempt writes the "STREAM TO SERVER" log line. Every
    // connection asks for leastLatencyMs at least (the plan's latency, or
    // more once the session raised it).
    void open(const BroadcastPlan &plan, int attempt, bool first, int leastLatencyMs, const CancelFlag &cancel);
    // Writing off, the writer closed (the stream's tail goes out), the relay
    // stopped and waited for. Emits closed().
    void close();
    // libsrt's figures since the last sample; reports a broken link too.
    void sampleHealth(int attempt);

    // Queues a job from another thread; runNextJob(), invoked through Qt's
    // queue, runs the oldest on this object's thread and emits jobDone(). The
    // jobs go through a std::mutex rather than inside Qt's queued functors, so
    // the thread sanitizer sees each hand-over.
    void enqueue(Job job);
    Q_INVOKABLE void runNextJob();

signals:
    // The latency the attempt's connections ask for, known before the media
    // connection opens.
    void latencyChosen(int attempt, int latencyMs);
    // controlSocket: the "#control" connection for the arrows, -1 without one.
    void opened(int attempt, int controlSocket);
    // reason is empty when the attempt was cancelled.
    void openFailed(int attempt, const QString &reason);
    void broken(int attempt, const QString &reason);
    void healthSampled(int attempt, const LinkHealth &health);
    void closed();
    void jobDone();

private:
    // A cancelled step may end in success: the caller looks at the flag.
    StepResult openLink(const BroadcastPlan &plan, const SrtEndpoint &server, int leastLatencyMs,
                        const CancelFlag &cancel, int *controlSocket);
    StepResult choosePathLatency(const BroadcastPlan &plan, const SrtEndpoint &server, const CancelFlag &cancel,
                                 int *latencyMs, SrtSocket *control);
    SrtSocket openControl(const SrtEndpoint &server, const CancelFlag &cancel);
    bool waitForRelayPort(const CancelFlag &cancel);
    void reportRelayError();
    void startAdapting(const BroadcastPlan &plan);
    void adapt(const SrtStatistics &stats, LinkHealth *health);

    Mixer *m_mixer = nullptr;
    std::unique_ptr<RESender> m_relay;
    std::shared_ptr<mf::MFWriter> m_writer;
    std::unique_ptr<BitRateGovernor> m_governor;  // none when the rate is fixed
    std::unique_ptr<LatencyAdvisor> m_advisor;
    int m_ceilingKbps = 0;
    int m_latencyMs = 0;  // asked for by the connections of this attempt
    LongerRouteWatch m_route;
    qint64 m_bytesHandedBefore = 0;
    QElapsedTimer m_sampleClock;
    int m_attempt = 0;
    bool m_brokenReported = false;
    std::mutex m_jobsMutex;
    std::deque<Job> m_jobs;
};
