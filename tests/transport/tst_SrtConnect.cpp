#include "transport/SrtConnect.h"

#include "tests/support/FreePorts.h"
#include "tests/support/StudioProcess.h"

#include <QtTest>

#include <srt/srt.h>

class TestSrtConnect : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        startSrtLibrary();
        startSrtLibrary();  // a second start is harmless
    }

    void failureTexts_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("closedPort");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("streamId");
        QTest::newRow("host name") << "localhost" << false << "init_pton FAILED" << "abc";
        QTest::newRow("IPv6 literal") << "::1" << false << "init_pton FAILED" << "abc";
        QTest::newRow("empty host") << "" << false << "init_pton FAILED" << "abc";
        QTest::newRow("closed port") << "127.0.0.1" << true << "SRT CONNECT FAILED" << "abc";
        // libsrt takes stream IDs of at most 512 bytes.
        QTest::newRow("stream ID too long") << "127.0.0.1" << true << "set streamid FAILED" << QString(600, 'x');
    }
    void failureTexts()
    {
        QFETCH(QString, host);
        QFETCH(bool, closedPort);
        QFETCH(QString, expected);
        QFETCH(QString, streamId);
        int socket = 12345;
        const quint16 port = closedPort ? freeLoopbackPort() : 9;
        QCOMPARE(srtConnect(&socket, host, port, streamId, 120), expected);
        QCOMPARE(socket, -1);
    }

    void resolveHostKeepsLiteralsAndPrefersIPv4()
    {
        QCOMPARE(resolveHost("127.0.0.1"), QString("127.0.0.1"));
        QCOMPARE(resolveHost("10.0.0.5"), QString("10.0.0.5"));
        QCOMPARE(resolveHost("::1"), QString("::1"));
        // localhost may list ::1 first; the IPv4 address is the one taken.
        QCOMPARE(resolveHost("localhost"), QString("127.0.0.1"));
        int socket = 0;
        QCOMPARE(srtConnect(&socket, resolveHost(""), 9000, "abc", 0), QString("init_pton FAILED"));
    }

    void serverSeesStreamIdLatencyAndSegmentSize()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        int socket = -1;
        QCOMPARE(srtConnect(&socket, "127.0.0.1", studio.srtPort(), "cam#1#speedtest", 333), QString());
        QVERIFY(socket != -1);
        QCOMPARE(srt_getsockstate(socket), SRTS_CONNECTED);

        const QJsonObject seen = studio.waitForStream("cam#1", "speedtest");
        QVERIFY2(!seen.isEmpty(), studio.output().constData());
        QCOMPARE(seen.value("streamid").toString(), QString("cam#1#speedtest"));
        QCOMPARE(seen.value("latency").toInt(), 333);
        QCOMPARE(seen.value("mss").toInt(), 1360);
        QVERIFY(seen.value("connected").toBool());

        srt_close(socket);
        QVERIFY(!studio.waitForStream("cam#1", "speedtest", 0, 10000, false).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSrtConnect)
#include "tst_SrtConnect.moc"
