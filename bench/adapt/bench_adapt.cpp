// A broadcast of 2048 kbit/s video through a path of 1.2 Mbit/s with a router
// buffer of 200 ms (the loss proxy with a rate limit), with the rate adapting
// to the connection and, as the reference, with the fixed rate: seconds until
// the stream fits the path, then the studio's lost messages and the decoding
// errors of the recording in the worst 20 s of the following 30 s; for the
// adapting runs also the seconds until the rate is back at 2048 once the
// limit is lifted to 10 Mbit/s. Two pictures: a band of moving noise, and
// noise everywhere (the whole rate needed all the time). Whether a step up
// that does not fit costs messages depends on the moment, so the adapting
// runs are repeated (ORVANTA_BENCH_RUNS, default 3 for the band and 10 for
// the noisy picture) and the worst run is printed beside the median.
// Everything on loopback.
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

#include <algorithm>
#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

namespace {
constexpr int kLimitKbps = 1200;
constexpr int kWindowSeconds = 30;
constexpr int kJudgedSeconds = 20;  // the worst such span of the window counts
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
    qint64 lostMessages = 0;  // in the worst 20 s
    int decodingErrors = 0;   // in the worst 20 s
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

// The most that any span of the given length adds to a running count taken
// once a second.
qint64 worstSpan(const std::vector<qint64> &counts, int span)
{
    qint64 worst = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
        const size_t end = qMin(counts.size() - 1, i + size_t(span));
        worst = qMax(worst, counts[end] - counts[i]);
    }
    return worst;
}

Result run(Mixer &mixer, PlayerWorker &player, bool adapt, PatternNoise noise)
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
    FramePump pump(mixer, noise);
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
    const auto lostNow = [&] {
        return StudioProcess::count(StudioProcess::findStream(studio.status(), id, "media"), "lost_messages");
    };
    std::vector<qint64> lost{lostNow()};
    runFor(kWindowSeconds * 1000, [&] { lost.push_back(lostNow()); });
    result.lostMessages = worstSpan(lost, kJudgedSeconds);

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
    for (int start = 0; start + kJudgedSeconds <= kWindowSeconds; start += 5) {
        const QByteArray span = recordingBetween(studio.recordFile(id), from + start, from + start + kJudgedSeconds);
        result.decodingErrors = qMax(result.decodingErrors, int(decodeErrorLines(span).size()));
    }
    result.ok = true;
    return result;
}

QString seconds(double value)
{
    return value < 0 ? QStringLiteral("never") : QString::number(value, 'f', 1) + " s";
}

int runsFor(int fallback)
{
    bool ok = false;
    const int runs = qEnvironmentVariableIntValue("ORVANTA_BENCH_RUNS", &ok);
    return ok && runs > 0 ? runs : fallback;
}

// The median and the worst of the adapting runs; "never" is worst of all.
template <typename T>
std::pair<T, T> medianAndWorst(std::vector<T> values, bool neverIsNegative = false)
{
    const auto worse = [neverIsNegative](T a, T b) {
        if (neverIsNegative && (a < 0 || b < 0))
            return b < 0 && a >= 0;
        return a < b;
    };
    std::sort(values.begin(), values.end(), worse);
    return {values[values.size() / 2], values.back()};
}

bool printRow(Mixer &mixer, PlayerWorker &player, const char *name, PatternNoise noise, int runs)
{
    std::vector<Result> adaptive;
    for (int i = 0; i < runs; ++i) {
        adaptive.push_back(run(mixer, player, true, noise));
        const Result &r = adaptive.back();
        if (!r.ok)
            return false;
        std::printf("%s, run %d: fits after %s, %lld lost, %d decoding errors, back after %s\n", name, i + 1,
                     qPrintable(seconds(r.fitSeconds)), r.lostMessages, r.decodingErrors,
                     qPrintable(seconds(r.backSeconds)));
        std::fflush(stdout);
    }
    const Result fixed = run(mixer, player, false, noise);
    if (!fixed.ok)
        return false;
    std::vector<double> fit, back;
    std::vector<qint64> lost;
    std::vector<int> errors;
    for (const Result &r : adaptive) {
        fit.push_back(r.fitSeconds);
        back.push_back(r.backSeconds);
        lost.push_back(r.lostMessages);
        errors.push_back(r.decodingErrors);
    }
    const auto [fitMedian, fitWorst] = medianAndWorst(fit, true);
    const auto [lostMedian, lostWorst] = medianAndWorst(lost);
    const auto [errorsMedian, errorsWorst] = medianAndWorst(errors);
    const auto [backMedian, backWorst] = medianAndWorst(back, true);
    std::printf("adapt, %s: 2048 kbit/s video through %d kbit/s with a 200 ms router buffer, %d adapting runs\n", name,
                kLimitKbps, runs);
    std::printf("  %-38s %12s %12s %12s\n", "", "median", "worst run", "fixed rate");
    std::printf("  %-38s %12s %12s %12s\n", "fits the path after", qPrintable(seconds(fitMedian)),
                qPrintable(seconds(fitWorst)), qPrintable(seconds(fixed.fitSeconds)));
    std::printf("  %-38s %12lld %12lld %12lld\n", "lost messages, worst 20 s of 30", lostMedian, lostWorst,
                fixed.lostMessages);
    std::printf("  %-38s %12d %12d %12d\n", "decoding errors, worst 20 s of 30", errorsMedian, errorsWorst,
                fixed.decodingErrors);
    std::printf("  %-38s %12s %12s %12s\n", "back at 2048 after the limit lifts", qPrintable(seconds(backMedian)),
                qPrintable(seconds(backWorst)), "-");
    std::fflush(stdout);
    return true;
}
}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    Mixer mixer;
    PlayerWorker player;
    player.arrowSender();
    // ORVANTA_BENCH_PICTURE=band or =noise runs that row alone.
    const QByteArray picture = qgetenv("ORVANTA_BENCH_PICTURE");
    const bool band = picture.isEmpty() || picture == "band";
    const bool noise = picture.isEmpty() || picture == "noise";
    if ((band && !printRow(mixer, player, "a band of noise", PatternNoise::Band, runsFor(3)))
        || (noise && !printRow(mixer, player, "noise everywhere", PatternNoise::Everywhere, runsFor(10)))) {
        std::fprintf(stderr, "a run did not complete\n");
        return 1;
    }
    return 0;
}
