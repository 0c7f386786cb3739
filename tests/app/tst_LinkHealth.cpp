#include "app/LinkHealth.h"
#include "tests/support/TestMain.h"

// The health line's texts for a lowered video rate and for latency advice.
class TestLinkHealth : public QObject
{
    Q_OBJECT
private slots:
    void texts_data()
    {
        QTest::addColumn<int>("videoKbps");
        QTest::addColumn<int>("ceilingKbps");
        QTest::addColumn<double>("carriedKbps");
        QTest::addColumn<int>("advisedMs");
        QTest::addColumn<QString>("tail");
        const QString live = "Live: 1300 kbit/s, RTT 40 ms, loss 0.0 %, retransmitted 0.0 %, dropped 0 packets, 0 frames";
        QTest::newRow("set rate") << 2048 << 2048 << 0.0 << 0 << live;
        QTest::newRow("fixed rate") << 0 << 2048 << 0.0 << 0 << live;
        QTest::newRow("lowered") << 1100 << 2048 << 1290.0 << 0
                                 << live + "; video 1.1 of 2.0 Mbit/s: the connection carries about 1.3 Mbit/s";
        QTest::newRow("advice") << 2048 << 2048 << 0.0 << 360
                                << live + "; a latency of 360 ms would repair these losses";
        QTest::newRow("both") << 900 << 2048 << 1210.0 << 240
                              << live + "; video 0.9 of 2.0 Mbit/s: the connection carries about 1.2 Mbit/s"
                                        "; a latency of 240 ms would repair these losses";
    }

    void texts()
    {
        QFETCH(int, videoKbps);
        QFETCH(int, ceilingKbps);
        QFETCH(double, carriedKbps);
        QFETCH(int, advisedMs);
        QFETCH(QString, tail);
        LinkHealth health;
        health.sendKbps = 1300;
        health.rttMs = 40;
        health.videoKbps = videoKbps;
        health.videoCeilingKbps = ceilingKbps;
        health.carriedKbps = carriedKbps;
        health.advisedLatencyMs = advisedMs;
        QCOMPARE(health.text(), tail);
        QCOMPARE(health.figuresText(), tail.mid(QString("Live: ").size()));
        // Silent: data went out and nothing was acknowledged.
        QVERIFY(!health.serverSilent());
        health.packetsSent = 90;
        QVERIFY(health.serverSilent());
        health.acksReceived = 1;
        QVERIFY(!health.serverSilent());
    }
};

ORVANTA_TEST_MAIN(TestLinkHealth, TestMain::Core)
#include "tst_LinkHealth.moc"
