#include "transport/SendPacer.h"

#include "tests/support/TestMain.h"

namespace {

// Feeds the pacer a receiver that acknowledges at a steady rate, noting as
// often as the speed-test worker polls (every 100 us), and returns the window.
qint64 windowAfter(SendPacer &pacer, qint64 fromUs, qint64 toUs, double bytesPerSecond, qint64 *acknowledged)
{
    for (qint64 now = fromUs; now <= toUs; now += 100) {
        *acknowledged = qint64(bytesPerSecond * now / 1e6);
        pacer.noteAcknowledged(now, *acknowledged);
    }
    return pacer.window();
}
}

class TestSendPacer : public QObject
{
    Q_OBJECT
private slots:
    void startsSmall()
    {
        SendPacer pacer(120);
        QCOMPARE(pacer.window(), SendPacer::kMinWindow);
        pacer.noteAcknowledged(0, 0);
        QCOMPARE(pacer.window(), SendPacer::kMinWindow);
    }

    void periodIsAnEighthOfTheLatencyAndAtLeastTwoAckPeriods()
    {
        QCOMPARE(SendPacer(120).periodUs(), 20000);
        QCOMPARE(SendPacer(10).periodUs(), 20000);
        QCOMPARE(SendPacer(400).periodUs(), 50000);
        QCOMPARE(SendPacer(1000).periodUs(), 125000);
    }

    // On a slow path the window settles at twice a period's worth, so
    // the queue in front of the path stays near two periods (40 ms at a
    // latency of 120 ms), whatever the path's rate.
    void slowPathHoldsTheQueueToTwoPeriods_data()
    {
        QTest::addColumn<double>("megabitsPerSecond");
        QTest::newRow("4 Mbit/s") << 4.0;
        QTest::newRow("20 Mbit/s") << 20.0;
        QTest::newRow("40 Mbit/s") << 40.0;
    }
    void slowPathHoldsTheQueueToTwoPeriods()
    {
        QFETCH(double, megabitsPerSecond);
        SendPacer pacer(120);
        qint64 acknowledged = 0;
        const double bytesPerSecond = megabitsPerSecond * 1e6 / 8;
        const qint64 window = windowAfter(pacer, 0, 1000000, bytesPerSecond, &acknowledged);
        const double queueMs = window / bytesPerSecond * 1000;
        QVERIFY2(queueMs >= 38 && queueMs <= 42, qPrintable(QString::number(queueMs)));
    }

    // Each period may double the window: what is in flight is acknowledged
    // within the period when the path keeps up.
    void windowDoublesPerPeriodWhileThePathKeepsUp()
    {
        SendPacer pacer(120);
        qint64 acknowledged = 0;
        qint64 now = 0;
        pacer.noteAcknowledged(now, acknowledged);
        for (int period = 0; period < 3; ++period) {
            const qint64 window = pacer.window();
            now += pacer.periodUs();
            acknowledged += window;
            pacer.noteAcknowledged(now, acknowledged);
            QCOMPARE(pacer.window(), std::min(2 * window, SendPacer::kMaxWindow));
        }
    }

    void shortStallKeepsTheWindow()
    {
        SendPacer pacer(120);
        qint64 acknowledged = 0;
        QCOMPARE(windowAfter(pacer, 0, 100000, 20e6 / 8, &acknowledged), 100000);
        // Nothing acknowledged for three periods: a busy moment at either end.
        for (qint64 now = 100000; now <= 160000; now += 100)
            pacer.noteAcknowledged(now, acknowledged);
        QCOMPARE(pacer.window(), 100000);
    }

    void stalledAcknowledgementsShrinkTheWindow()
    {
        SendPacer pacer(120);
        qint64 acknowledged = 0;
        QCOMPARE(windowAfter(pacer, 0, 30000, 100e6, &acknowledged), SendPacer::kMaxWindow);
        // Nothing more acknowledged for as many periods as are remembered.
        for (qint64 now = 30000; now <= 30000 + SendPacer::kRememberedPeriods * 20000 + 20000; now += 100)
            pacer.noteAcknowledged(now, acknowledged);
        QCOMPARE(pacer.window(), SendPacer::kMinWindow);
    }

    // A slower path takes over within the remembered periods.
    void slowerPathShrinksTheWindow()
    {
        SendPacer pacer(120);
        qint64 acknowledged = 0;
        windowAfter(pacer, 0, 100000, 40e6 / 8, &acknowledged);
        qint64 now = 100000;
        for (; now <= 300000; now += 100) {
            acknowledged += 4e6 / 8 / 10000;
            pacer.noteAcknowledged(now, acknowledged);
        }
        QVERIFY2(pacer.window() <= 2 * 20000 * 4e6 / 8 / 1e6 + 2000, qPrintable(QString::number(pacer.window())));
    }
};

ORVANTA_TEST_MAIN(TestSendPacer, TestMain::Core)
#include "tst_SendPacer.moc"
