#include "tools/udp-impair/ImpairedLink.h"

#include "tests/support/TestMain.h"

namespace {
constexpr int64_t kMs = 1000000;
constexpr size_t kDatagram = 1360;

struct Run
{
    uint64_t forwardedBytes = 0;
    int64_t longestWaitNs = 0;
    ImpairedLink::Counters counters;
};

// Offers offeredKbps in datagrams of kDatagram bytes for durationMs of
// simulated time, taking out whatever may leave every millisecond.
Run offer(ImpairedLink &link, double offeredKbps, int durationMs, int64_t startNs = 0)
{
    Run run;
    const double interval = kDatagram * 8.0 / offeredKbps * 1e6;  // ns
    double nextPush = double(startNs);
    std::deque<int64_t> pushedAt;
    for (int64_t now = startNs; now < startNs + durationMs * kMs; now += kMs) {
        while (nextPush <= double(now)) {
            const std::vector<char> datagram(kDatagram, 'x');
            const uint64_t dropped = link.counters().overflowed;
            link.push(datagram.data(), datagram.size(), now);
            if (link.counters().overflowed == dropped)
                pushedAt.push_back(now);
            nextPush += interval;
        }
        while (const std::vector<char> *datagram = link.ready(now)) {
            run.forwardedBytes += datagram->size();
            if (!pushedAt.empty()) {  // else one queued before this run
                run.longestWaitNs = std::max(run.longestWaitNs, now - pushedAt.front());
                pushedAt.pop_front();
            }
            link.pop();
        }
    }
    run.counters = link.counters();
    return run;
}
}

// The loss proxy's rate limit with a router buffer, in simulated time.
class TestImpairedLink : public QObject
{
    Q_OBJECT

private slots:
    void rateLimitWithRouterBuffer_data()
    {
        QTest::addColumn<double>("offeredKbps");
        QTest::addColumn<int>("bufferMs");
        QTest::addColumn<double>("forwardedKbps");
        QTest::addColumn<bool>("overflows");
        QTest::newRow("2 Mbit/s into 1.2, 200 ms buffer") << 2000.0 << 200 << 1200.0 << true;
        QTest::newRow("2 Mbit/s into 1.2, unbounded") << 2000.0 << 0 << 1200.0 << false;
        QTest::newRow("1 Mbit/s into 1.2") << 1000.0 << 200 << 1000.0 << false;
    }

    void rateLimitWithRouterBuffer()
    {
        QFETCH(double, offeredKbps);
        QFETCH(int, bufferMs);
        QFETCH(double, forwardedKbps);
        QFETCH(bool, overflows);
        ImpairedLink::Settings settings;
        settings.rateBytesPerSecond = 1200 * 1000 / 8;
        settings.bufferNs = bufferMs * kMs;
        settings.maxQueued = 1000000;
        ImpairedLink link(settings);
        const Run run = offer(link, offeredKbps, 10000);
        const double kbps = run.forwardedBytes * 8.0 / 10000.0;
        qInfo("%.0f kbit/s forwarded, %llu overflowed, longest wait %lld ms", kbps,
              (unsigned long long)run.counters.overflowed, (long long)(run.longestWaitNs / kMs));
        QVERIFY2(qAbs(kbps - forwardedKbps) < 0.03 * forwardedKbps, qPrintable(QString::number(kbps)));
        QCOMPARE(run.counters.overflowed > 0, overflows);
        if (bufferMs > 0)  // the buffer at the rate, plus one datagram's time
            QVERIFY2(run.longestWaitNs <= (bufferMs + 10) * kMs, qPrintable(QString::number(run.longestWaitNs / kMs)));
    }

    void rateLimitCanBeLifted()
    {
        ImpairedLink::Settings settings;
        settings.rateBytesPerSecond = 1200 * 1000 / 8;
        settings.bufferNs = 200 * kMs;
        ImpairedLink link(settings);
        offer(link, 2000, 5000);
        const uint64_t overflowed = link.counters().overflowed;
        link.setRate(10000 * 1000 / 8, 5000 * kMs);
        const Run after = offer(link, 2000, 5000, 5000 * kMs);
        QVERIFY(overflowed > 0);
        qInfo("overflowed %llu before, %llu after; %.0f kbit/s", (unsigned long long)overflowed, (unsigned long long)after.counters.overflowed, after.forwardedBytes * 8.0 / 5000.0);
        QCOMPARE(after.counters.overflowed, overflowed);
        QVERIFY(after.forwardedBytes * 8.0 / 5000.0 > 1950);
    }
};

ORVANTA_TEST_MAIN(TestImpairedLink, TestMain::Core)
#include "tst_ImpairedLink.moc"
