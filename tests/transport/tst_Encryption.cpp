// Encrypted connections: with the studio, which refuses callers without its
// passphrase, and with srt-live-transmit, an independent peer, as listener.
#include "transport/ArrowSender.h"
#include "transport/RESender.h"
#include "transport/SrtConnect.h"
#include "transport/srt/SrtLibrary.h"
#include "transport/srt/SrtSocket.h"

#include "tests/support/EncoderFeed.h"
#include "tests/support/FreePorts.h"
#include "tests/support/ListenerProcess.h"
#include "tests/support/LoopbackEndpoint.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TsEdits.h"
#include "tests/support/TestMain.h"

#include <srt/srt.h>

namespace {
// srt-live-transmit takes the passphrase from its URL as it stands.
const QByteArray kPassphrase = "correct-horse-battery";
const QByteArray kOtherPassphrase = "wrong-horse-battery";
constexpr int kWaitMs = 20000;
constexpr int kMessageSize = 1316;

QString rejectText(int reason)
{
    return QString::fromLocal8Bit(srt_rejectreason_str(reason));
}

// The relay's stream as the listener program forwarded it, message by
// message, without the stuffing the relay sends around the data.
struct DatagramSink {
    QUdpSocket socket;
    QByteArray data;
    DatagramSink() { socket.bind(QHostAddress(QHostAddress::LocalHost), 0); }
    // Takes up what arrives during this time.
    void poll(int ms)
    {
        const QByteArray stuffing = nullPacket().repeated(7);
        for (QDeadlineTimer deadline(ms); !deadline.hasExpired();) {
            socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
            while (socket.hasPendingDatagrams()) {
                const QByteArray datagram = socket.receiveDatagram().data();
                if (datagram != stuffing)
                    data += datagram;
            }
        }
    }
};
}

class TestEncryption : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { startSrtLibrary(); }

    // A refused caller learns why from libsrt's reject reason at once, well
    // within libsrt's connect time-out of 3 s; no answer is no refusal; a
    // passphrase libsrt refuses (it takes 10 to 79 characters) never leaves
    // the connection unencrypted. Only dotted IPv4 addresses are dialled, and
    // libsrt takes stream IDs of at most 512 bytes.
    void failedConnectsSayWhy_data()
    {
        QTest::addColumn<int>("server");  // 0 none, 1 plain, 2 encrypted
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("streamId");
        QTest::addColumn<QByteArray>("passphrase");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("reason");  // empty: any
        QTest::addColumn<bool>("refused");
        const QString local = "127.0.0.1", id = "sealed", failed = "SRT CONNECT FAILED";
        const QString wrong = rejectText(SRT_REJ_BADSECRET), unsecure = rejectText(SRT_REJ_UNSECURE);
        QTest::newRow("wrong passphrase") << 2 << local << id << kOtherPassphrase << failed << wrong << true;
        QTest::newRow("no passphrase") << 2 << local << id << QByteArray() << failed << unsecure << true;
        QTest::newRow("server without one") << 1 << local << id << kPassphrase << failed << unsecure << true;
        QTest::newRow("silence") << 0 << local << id << kPassphrase << failed
                                 << "connection timed out (no answer from the server)" << false;
        QTest::newRow("too short") << 1 << local << id << QByteArray("tooshort") << "set passphrase FAILED"
                                   << QString() << false;
        for (const QString host : {"localhost", "::1", ""})
            QTest::newRow(qPrintable("host \"" + host + "\"")) << 0 << host << id << QByteArray()
                << "init_pton FAILED" << "not a dotted IPv4 address: " + host << false;
        QTest::newRow("stream ID too long") << 0 << local << QString(600, 'x') << QByteArray()
                                            << "set streamid FAILED" << QString() << false;
    }
    void failedConnectsSayWhy()
    {
        QFETCH(int, server);
        QFETCH(QString, host);
        QFETCH(QString, streamId);
        QFETCH(QByteArray, passphrase);
        QFETCH(QString, failure);
        QFETCH(QString, reason);
        QFETCH(bool, refused);
        StudioProcess studio(server == 2 ? QStringList{"--passphrase", QString::fromUtf8(kPassphrase)} : QStringList{});
        if (server > 0)
            QVERIFY2(studio.start(), studio.output().constData());
        QElapsedTimer clock;
        clock.start();
        const int port = server > 0 ? studio.srtPort() : freeLoopbackPort();
        const SrtConnection connection = srtConnect(SrtEndpoint{host, port, streamId, 120, passphrase});
        const qint64 elapsedMs = clock.elapsed();
        QVERIFY(!connection.socket.isValid());
        QCOMPARE(connection.result.message(), failure);
        const QString said = connection.result.reason();
        QVERIFY(reason.isEmpty() ? !said.isEmpty() : said == reason);
        QCOMPARE(connection.refused, refused);
        QVERIFY2(!refused || elapsedMs < 3000, qPrintable(QString::number(elapsedMs)));
        if (server > 0)
            QVERIFY(studio.findStream(studio.status(), "sealed", "media").isEmpty());
    }

    // What goes out encrypted arrives unchanged at srt-live-transmit holding
    // the same passphrase; with another passphrase the relay says libsrt's
    // reject reason. No log line shows a passphrase.
    void relayEncrypts_data()
    {
        QTest::addColumn<QByteArray>("passphrase");
        QTest::newRow("same passphrase") << kPassphrase;
        QTest::newRow("other passphrase") << kOtherPassphrase;
    }
    void relayEncrypts()
    {
        QFETCH(QByteArray, passphrase);
        DatagramSink sink;
        ListenerProcess listener("srt-live-transmit", QString("udp://127.0.0.1:%1").arg(sink.socket.localPort()),
                                 "&passphrase=" + QString::fromUtf8(kPassphrase) + "&pbkeylen=16");
        QVERIFY2(listener.isReady(), listener.output().constData());
        MessageCapture log;
        RESender relay;
        relay.startRelay(loopbackEndpoint(listener.srtPort(), "sealed", 400, passphrase));
        QTRY_VERIFY_WITH_TIMEOUT(relay.listenPort != 0, kWaitMs);
        if (passphrase == kPassphrase) {
            QVERIFY(relay.connectResult().ok());
            const QByteArray sent = EncoderFeed::randomBytes(200 * kMessageSize, 9);
            QTcpSocket encoder;
            QVERIFY(EncoderFeed::connect(encoder, relay.listenPort));
            QVERIFY(EncoderFeed::stream(encoder, sent, 10 * kMessageSize, 20, [&sink](int ms) { sink.poll(ms); }));
            for (QDeadlineTimer deadline(kWaitMs); sink.data.size() < sent.size() && !deadline.hasExpired();)
                sink.poll(100);
            QCOMPARE(sink.data.size(), sent.size());
            QVERIFY(sink.data == sent);
        } else {
            const QString failure = "SRT CONNECT FAILED (" + rejectText(SRT_REJ_BADSECRET) + ")";
            QCOMPARE(relay.connectResult().described(), failure);
            QCOMPARE(log.count("CONNECT FAILED: " + failure), 1);
        }
        relay.stopRelay();
        QVERIFY(relay.wait(kWaitMs));
        QCOMPARE(log.count(QString::fromUtf8(kPassphrase)) + log.count(QString::fromUtf8(kOtherPassphrase)), 0);
    }

    void arrowChannelSaysWhyItWasRefused()
    {
        StudioProcess studio({"--passphrase", QString::fromUtf8(kPassphrase)});
        QVERIFY2(studio.start(), studio.output().constData());
        const SrtConnection refused = ArrowSender::openControl(loopbackEndpoint(studio.srtPort(), "sealed"));
        QCOMPARE(refused.result.described(), "SRT CONNECT FAILED (" + rejectText(SRT_REJ_UNSECURE) + ")");
        QVERIFY(refused.refused);
        ArrowSender arrows;
        QVERIFY(arrows.connectControl(loopbackEndpoint(studio.srtPort(), "sealed", SrtEndpoint::kLibraryLatency, kPassphrase)));
        arrows.arrowClicked(false);
        QTRY_VERIFY_WITH_TIMEOUT(studio.output().contains("arrow \"sealed\" 1 right"), kWaitMs);
    }
};

ORVANTA_TEST_MAIN(TestEncryption, TestMain::Core)
#include "tst_Encryption.moc"
