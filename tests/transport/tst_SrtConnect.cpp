#include "transport/SrtConnect.h"
#include "transport/srt/SrtCallerUrl.h"
#include "transport/srt/SrtLibrary.h"
#include "transport/srt/SrtSocket.h"

#include "tests/support/LoopbackEndpoint.h"
#include "tests/support/SrtTestServer.h"
#include "tests/support/TestMain.h"

#include <srt/srt.h>

#include <thread>

class TestSrtConnect : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        startSrtLibrary();
        startSrtLibrary();  // a second start is harmless
    }

    // Literals stay; localhost may list ::1 first, the IPv4 address is taken.
    void resolveHostKeepsLiteralsAndPrefersIPv4()
    {
        for (const QString literal : {"127.0.0.1", "10.0.0.5", "::1"})
            QCOMPARE(resolveHost(literal), literal);
        QCOMPARE(resolveHost("localhost"), QString("127.0.0.1"));
    }

    void callerUrls_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("streamId");
        QTest::addColumn<int>("latency");
        QTest::addColumn<QString>("built");
        QTest::newRow("feedback") << "srt://10.0.0.5:9000?mode=caller&streamid=user42#feedbackplay" << "10.0.0.5"
                                  << 9000 << "user42#feedbackplay" << -1 << "";
        QTest::newRow("feedback with latency")
            << "srt://10.0.0.5:9000?mode=caller&latency=360&streamid=user42#feedbackplay" << "10.0.0.5" << 9000
            << "user42#feedbackplay" << 360 << "";
        QTest::newRow("odd characters") << "srt://studio.example:1234?mode=caller&streamid=a&b=c?d #x#feedbackplay"
                                        << "studio.example" << 1234 << "a&b=c?d #x#feedbackplay" << -1
                                        << "srt://studio.example:1234?mode=caller&streamid=a%26b%3Dc%3Fd%20#x#feedbackplay";
        QTest::newRow("ID holding a stream ID") << "srt://h:1?mode=caller&latency=200&streamid=a#1&streamid=b#control"
                                                << "h" << 1 << "a#1&streamid=b#control" << 200
                                                << "srt://h:1?mode=caller&latency=200&streamid=a#1%26streamid%3Db#control";
        QTest::newRow("ID holding a latency") << "srt://h:1?mode=caller&latency=200&streamid=x%26latency%3D9"
                                              << "h" << 1 << "x&latency=9" << 200 << "";
        QTest::newRow("escapes") << "srt://h:1?mode=caller&streamid=50%25%20off%2Bmore%C3%BC" << "h" << 1
                                 << QString::fromUtf8("50% off+more\xc3\xbc") << -1 << "";
        QTest::newRow("empty id") << "srt://127.0.0.1:1?mode=caller&streamid=" << "127.0.0.1" << 1 << "" << -1 << "";
        QTest::newRow("no query") << "srt://127.0.0.1:5000" << "127.0.0.1" << 5000 << "" << -1
                                  << "srt://127.0.0.1:5000?mode=caller&streamid=";
        QTest::newRow("listener") << "srt://127.0.0.1:5000?mode=listener" << "" << 0 << "" << -1 << "";
        QTest::newRow("no port") << "srt://127.0.0.1?mode=caller" << "" << 0 << "" << -1 << "";
        QTest::newRow("bad port") << "srt://127.0.0.1:70000?mode=caller" << "" << 0 << "" << -1 << "";
        QTest::newRow("other scheme") << "udp://127.0.0.1:5000" << "" << 0 << "" << -1 << "";
    }
    void callerUrls()
    {
        QFETCH(QString, url);
        QFETCH(QString, host);  // empty: no caller URL
        QFETCH(QString, built);  // empty: the URL itself
        const std::optional<SrtEndpoint> parsed = SrtCallerUrl::parse(url);
        QCOMPARE(bool(parsed), !host.isEmpty());
        if (host.isEmpty())
            return;
        QFETCH(int, port);
        QFETCH(QString, streamId);
        QFETCH(int, latency);
        // The program builds plain IDs as they were typed, others escaped;
        // what it builds reads back as the same parts.
        QCOMPARE(SrtCallerUrl::build(*parsed), built.isEmpty() ? url : built);
        const std::optional<SrtEndpoint> again = SrtCallerUrl::parse(SrtCallerUrl::build(*parsed));
        QVERIFY(again);
        for (const SrtEndpoint &read : {*parsed, *again}) {
            QCOMPARE(read.host, host);
            QCOMPARE(read.port, port);
            QCOMPARE(read.streamId, streamId);
            QCOMPARE(read.latencyMs, latency);
        }
    }
    // Callers that connect at the same moment (the relay, the control channel
    // and the feedback player at a start) all get through: the outcome of a
    // handshake is the one libsrt signals, not a state read while it is still
    // being completed. A listener with libsrt's default MSS (1500) takes the
    // callers' 1360, so that each message travels in one datagram.
    void simultaneousCancellableConnectsAllSucceed()
    {
        SrtTestServer listener;
        QVERIFY(listener.listen());
        constexpr int kCallers = 4;
        constexpr int kRounds = 8;
        const std::atomic<bool> cancel{false};
        std::atomic<int> connected{0};
        std::vector<std::thread> callers;
        for (int caller = 0; caller < kCallers; ++caller) {
            callers.emplace_back([&, caller] {
                for (int round = 0; round < kRounds; ++round) {
                    int mss = 0, size = sizeof mss;
                    const QString id = QString("caller%1#%2").arg(caller).arg(round);
                    const SrtConnection connection = srtConnect(loopbackEndpoint(listener.port(), id, 120), &cancel);
                    const int socket = connection.socket.get();
                    srt_getsockflag(socket, SRTO_MSS, &mss, &size);
                    if (connection.result.ok() && srt_getsockstate(socket) == SRTS_CONNECTED && mss == 1360)
                        ++connected;
                }
            });
        }
        for (std::thread &caller : callers)
            caller.join();
        QCOMPARE(connected.load(), kCallers * kRounds);
        QVERIFY(listener.waitForCallers(kCallers * kRounds, 10000));
    }
};

ORVANTA_TEST_MAIN(TestSrtConnect, TestMain::Core)
#include "tst_SrtConnect.moc"
