#include "app/LinkHealth.h"
#include "tests/support/TestMain.h"

// The health line's texts for a lowered video rate and for latency advice.
class TestLinkHealth : public QObject
{
    Q_OBJECT
private slots:
    void texts_data()
    {
        QTest::addColumn<LinkHealth>("health");
        QTest::addColumn<QString>("advice");
        auto row = [](const char *name, int videoKbps, double carriedKbps, int advisedMs, const QString &advice) {
            LinkHealth health;
            health.sendKbps = 1300;
            health.rttMs = 40;
            health.videoKbps = videoKbps;
            health.videoCeilingKbps = 2048;
            health.carriedKbps = carriedKbps;
            health.advisedLatencyMs = advisedMs;
            QTest::newRow(name) << health << advice;
        };
        row("set rate", 2048, 0, 0, {});
        row("fixed rate", 0, 0, 0, {});
        row("lowered", 1100, 1290, 0, "; video 1.1 of 2.0 Mbit/s: the connection carries about 1.3 Mbit/s");
        row("advice", 2048, 0, 360, "; a latency of 360 ms would repair these losses");
        row("both", 900, 1210, 240, "; video 0.9 of 2.0 Mbit/s: the connection carries about 1.2 Mbit/s"
                                    "; a latency of 240 ms would repair these losses");
    }

    void texts()
    {
        QFETCH(LinkHealth, health);
        QFETCH(QString, advice);
        const QString figures = "1300 kbit/s, RTT 40 ms, loss 0.0 %, retransmitted 0.0 %, dropped 0 packets, 0 frames";
        QCOMPARE(health.text(), "Live: " + figures + advice);
        QCOMPARE(health.figuresText(), figures + advice);
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
