// A broadcast of 2048 kbit/s video through a path of 1.2 Mbit/s with a router
// buffer of 200 ms (the loss proxy with a rate limit), with the rate adapting
// to the connection and, as the reference, with the fixed rate: seconds until
// the stream fits the path, then the studio's lost messages and the decoding
// errors of the recording over the following 30 s; for the adapting run also
// the seconds until the rate is back at 2048 once the limit is lifted to
// 10 Mbit/s. Everything on loopback; the picture is the moving noise pattern.
#include "app/session/BroadcastPlan.h"
#include "app/session/BroadcastSession.h"
#include "app/links/ServerField.h"
#include "media/Mixer.h"
#include "media/PlayerWorker.h"
#include "tests/support/FfmpegPrograms.h"
#include "tests/support/FramePump.h"
#include "tests/support/LossyPath.h"
#include "tests/support/PatternFrame.h"
#include "tests/support/StudioProcess.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QThread>

#include <cstdio>
#include <functional>

namespace {
constexpr int kLimitKbps = 1200;
constexpr int kWindowSeconds = 30;
constexpr int kLiftAfterSeconds = 50;  // of the proxy's life, adapting run only
constexpr int kBackWithinSeconds = 90;
using State = BroadcastSession::State;

void runFor(int ms, const std::function<void()> &everySecond = {})
{
    QElapsedTimer clock;
    clock.start();
    qint64 next = 1000;
    while (clock.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
        if (everySecond && clock.elapsed() >= next) {
            everySecond();
            next += 1000;
        }
    }
}

bool waitFor(const std::function<bool()> &done, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return done();
}


struct Result
{
    double fitSeconds = -1;  // -1: never fitted
    qint64 lostMessages = 0;
    int decodingErrors = 0;
    double backSeconds = -1;
    bool ok = false;
};

// The health line's rate counts 44 bytes of headers per message; the path 16.
double onThePath(const QString &status)
{
    static const QRegularExpression rate("^LIVE [0-9:]+ — (\\d+) kbit/s");
    const QRegularExpressionMatch match = rate.match(status);
    return match.hasMatch() ? match.captured(1).toDouble() * (1316.0 + 16.0) / (1316.0 + 44.0) : -1;
}

Result run(Mixer &mixer, PlayerWorker &player, bool adapt)
{
    Result result;
    StudioProcess studio;
    if (!studio.start())
        return result;
    QStringList proxy{"--rate", QString::number(kLimitKbps), "--buffer", "200", "--down-rate", "0"};
    if (adapt)
        proxy << "--rate-after" << QStringLiteral("%1:10000").arg(kLiftAfterSeconds);
    LossyPath path(studio.srtPort(), "0", proxy + QStringList{"--lifetime", "300"});
    if (!path.ready())
        return result;
    QElapsedTimer sinceProxy;
    sinceProxy.start();
    FramePump pump(mixer);
    const QString id = adapt ? "bench-adapt" : "bench-fixed";
    BroadcastPlan plan = BroadcastPlan::fromFields(ServerField("127.0.0.1:" + QString::number(path.port())), id);
    plan.videoKbps = 2048;
    plan.audioKbps = 128;
    plan.codec = "libx264";
    plan.adaptRate = adapt;
    BroadcastSession session(&mixer, &player);
    session.start(plan, 0);
    if (!waitFor([&] { return session.state() == State::Live; }, 20000))
        return result;
    QElapsedTimer live;
    live.start();
    const double liveAt = sinceProxy.elapsed() / 1000.0;

    // Fits: three samples in a row under the limit.
    int under = 0;
    QObject::connect(&session, &BroadcastSession::statusChanged, [&](const QString &text) {
        const double kbps = onThePath(text);
        if (kbps < 0 || result.fitSeconds >= 0)
            return;
        under = kbps <= kLimitKbps ? under + 1 : 0;
        if (under == 3)
            result.fitSeconds = live.elapsed() / 1000.0 - 2.0;
    });
    const double fitLimit = adapt ? 20.0 : 10.0;
    waitFor([&] { return result.fitSeconds >= 0; }, int(fitLimit * 1000));
    const double from = result.fitSeconds >= 0 ? result.fitSeconds : fitLimit;
    runFor(int(qMax(0.0, from - live.elapsed() / 1000.0) * 1000));
    const qint64 lostBefore = StudioProcess::count(StudioProcess::findStream(studio.status(), id, "media"), "lost_messages");
    runFor(kWindowSeconds * 1000);
    result.lostMessages =
        StudioProcess::count(StudioProcess::findStream(studio.status(), id, "media"), "lost_messages") - lostBefore;

    if (adapt) {
        const double liftAt = kLiftAfterSeconds - liveAt;  // seconds after going live
        runFor(int(qMax(0.0, liftAt - live.elapsed() / 1000.0) * 1000));
        const bool back = waitFor([&] { return !session.statusText().contains(" Mbit/s: the connection carries"); },
                                  kBackWithinSeconds * 1000);
        if (back)
            result.backSeconds = live.elapsed() / 1000.0 - liftAt;
    }
    session.stop();
    waitFor([&] { return !session.isWinding(); }, 20000);
    studio.recording(id);
    result.decodingErrors = int(decodeErrorLines(recordingBetween(studio.recordFile(id), from, from + kWindowSeconds)).size());
    result.ok = true;
    return result;
}

QString seconds(double value)
{
    return value < 0 ? QStringLiteral("never") : QString::number(value, 'f', 1) + " s";
}
}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    Mixer mixer;
    PlayerWorker player;
    player.arrowSender();
    const Result adaptive = run(mixer, player, true);
    const Result fixed = run(mixer, player, false);
    if (!adaptive.ok || !fixed.ok) {
        std::fprintf(stderr, "a run did not complete\n");
        return 1;
    }
    std::printf("adapt: 2048 kbit/s video through %d kbit/s with a 200 ms router buffer\n", kLimitKbps);
    std::printf("  %-34s %12s %12s\n", "", "adapting", "fixed rate");
    std::printf("  %-34s %12s %12s\n", "fits the path after", qPrintable(seconds(adaptive.fitSeconds)),
                qPrintable(seconds(fixed.fitSeconds)));
    std::printf("  %-34s %12lld %12lld\n", "lost messages in the next 30 s", adaptive.lostMessages,
                fixed.lostMessages);
    std::printf("  %-34s %12d %12d\n", "decoding errors in those 30 s", adaptive.decodingErrors,
                fixed.decodingErrors);
    std::printf("  %-34s %12s %12s\n", "back at 2048 after the limit lifts", qPrintable(seconds(adaptive.backSeconds)),
                "-");
    return 0;
}
