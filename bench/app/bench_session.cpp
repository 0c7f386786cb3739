// The longest stall of the GUI thread while a broadcast session starts, stops,
// fails to start (closed port) and reconnects after a studio restart, all on
// loopback. The reference is the same failed start done the blocking way, on
// the GUI thread: name resolution, control connect, relay start and the wait
// for its port, as the window once did it.
#include "app/session/BroadcastPlan.h"
#include "app/session/BroadcastSession.h"
#include "app/links/ServerField.h"
#include "media/Mixer.h"
#include "media/PlayerWorker.h"
#include "transport/ArrowSender.h"
#include "transport/RESender.h"
#include "transport/srt/ResolveHost.h"

#include "tests/support/FreePorts.h"
#include "tests/support/GuiHeartbeat.h"
#include "tests/support/StudioProcess.h"

#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QThread>

#include <cstdio>
#include <functional>

namespace {
constexpr int kWaitMs = 20000;

using State = BroadcastSession::State;

BroadcastPlan planFor(quint16 port, const QString &streamId)
{
    BroadcastPlan plan = BroadcastPlan::fromFields(ServerField("127.0.0.1:" + QString::number(port)), streamId);
    plan.videoKbps = 1024;
    plan.audioKbps = 128;
    plan.codec = "libx264";
    return plan;
}

// Runs the event loop until done() or the deadline; false on the deadline.
bool waitFor(const std::function<bool()> &done, int timeoutMs = kWaitMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

void report(const char *what, qint64 stallMs, bool ok)
{
    std::printf("%-34s longest GUI stall %5lld ms%s\n", what, static_cast<long long>(stallMs),
                ok ? "" : "  (did not reach its end state)");
}

// The blocking start of old, against a closed port: how long the GUI thread stood still.
qint64 blockingFailedStart(quint16 port)
{
    QElapsedTimer clock;
    clock.start();
    const QString address = resolveHost("127.0.0.1");
    ArrowSender arrows;
    const SrtEndpoint endpoint{address, port, QStringLiteral("bench-ref"), 120, QByteArray()};
    arrows.connectControl(endpoint.withLatency(0));
    RESender relay;
    relay.startRelay(endpoint);
    while (relay.listenPort <= 0 && !relay.isFinished())
        QThread::msleep(500);
    const qint64 stall = clock.elapsed();
    relay.stopRelay();
    relay.wait();
    return stall;
}
}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    Mixer mixer;
    PlayerWorker player;
    player.arrowSender();
    GuiHeartbeat heartbeat;

    const quint16 closedPort = freeLoopbackPort();
    qint64 worst = 0;
    {
        BroadcastSession session(&mixer, &player);
        heartbeat.restart();
        session.start(planFor(closedPort, "bench-fail"), 0);
        const bool ok = waitFor([&] { return session.state() == State::Failed && !session.isWinding(); });
        worst = qMax(worst, heartbeat.longestStallMs());
        report("failed start (closed port)", heartbeat.longestStallMs(), ok);
    }

    auto studio = std::make_unique<StudioProcess>();
    if (!studio->start()) {
        std::fprintf(stderr, "the studio did not start\n");
        return 1;
    }
    const quint16 port = studio->srtPort();
    BroadcastSession session(&mixer, &player);
    heartbeat.restart();
    session.start(planFor(port, "bench-live"), 0);
    bool ok = waitFor([&] { return session.state() == State::Live; });
    worst = qMax(worst, heartbeat.longestStallMs());
    report("start until live", heartbeat.longestStallMs(), ok);

    // Stopping and starting the studio blocks this thread: those steps are
    // left out of the measurement.
    studio->stop();
    studio.reset();
    heartbeat.restart();
    ok = waitFor([&] { return session.state() == State::Reconnecting; });
    qint64 reconnectStall = heartbeat.longestStallMs();
    StudioProcess restarted;
    restarted.setSrtPort(port);
    ok = ok && restarted.start();
    heartbeat.restart();
    ok = ok && waitFor([&] { return session.state() == State::Live; });
    reconnectStall = qMax(reconnectStall, heartbeat.longestStallMs());
    worst = qMax(worst, reconnectStall);
    report("studio restart until live again", reconnectStall, ok);

    heartbeat.restart();
    session.stop();
    ok = waitFor([&] { return !session.isWinding() && !player.isRunning(); });
    worst = qMax(worst, heartbeat.longestStallMs());
    report("stop until everything ended", heartbeat.longestStallMs(), ok);

    const qint64 reference = blockingFailedStart(closedPort);
    report("reference: blocking failed start", reference, true);
    std::printf("worst session stall %lld ms (goal <= 100 ms); reference / worst = %.1f\n",
                static_cast<long long>(worst), double(reference) / double(qMax<qint64>(worst, 1)));
    return 0;
}
