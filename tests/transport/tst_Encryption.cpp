#include "transport/ArrowSender.h"
#include "transport/RESender.h"
#include "transport/SrtConnect.h"
#include "transport/srt/SrtLibrary.h"
#include "transport/srt/SrtSocket.h"

#include "tests/support/EncoderFeed.h"
#include "tests/support/FreePorts.h"
#include "tests/support/ListenerProcess.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TsEdits.h"
#include "tests/support/TestMain.h"

#include <functional>
#include <memory>

#include <srt/srt.h>

namespace {
// srt-live-transmit takes the passphrase from its URL as it stands.
const QByteArray kPassphrase = "correct-horse-battery";
const QByteArray kOtherPassphrase = "wrong-horse-battery";
// libsrt's own connect time-out: a refusal must come well within it.
constexpr int kConnectTimeoutMs = 3000;
constexpr int kWaitMs = 20000;
constexpr int kMessages = 200;
constexpr int kMessageSize = 1316;
constexpr int kLatencyMs = 400;

QString rejectText(int reason)
{
    return QString::fromLocal8Bit(srt_rejectreason_str(reason));
}

struct Attempt {
    QString failure;
    QString reason;
    bool refused = false;
    qint64 elapsedMs = 0;
};

Attempt connectTo(quint16 port, const QString &streamId, const QByteArray &passphrase)
{
    Attempt attempt;
    int socket = SrtSocket::kInvalid;
    QElapsedTimer clock;
    clock.start();
    attempt.failure =
        srtConnect(&socket, "127.0.0.1", port, streamId, 120, nullptr, &attempt.reason, passphrase, &attempt.refused);
    attempt.elapsedMs = clock.elapsed();
    SrtSocket owned(socket);
    return attempt;
}

// The relay's stream as the listener program forwarded it, message by
// message, without the stuffing the relay sends around the data.
class DatagramSink
{
public:
    DatagramSink() { m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0); }
    quint16 port() const { return m_socket.localPort(); }
    // Takes up what arrives during this time.
    void poll(int ms)
    {
        static const QByteArray stuffing = nullPacket().repeated(7);
        QDeadlineTimer deadline(ms);
        do {
            m_socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
            while (m_socket.hasPendingDatagrams()) {
                QByteArray datagram(int(m_socket.pendingDatagramSize()), '\0');
                m_socket.readDatagram(datagram.data(), datagram.size());
                if (datagram != stuffing)
                    m_data += datagram;
            }
        } while (!deadline.hasExpired());
    }
    QByteArray dataWithoutStuffing(int expectedSize, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (m_data.size() < expectedSize && !deadline.hasExpired())
            poll(100);
        return m_data;
    }

private:
    QUdpSocket m_socket;
    QByteArray m_data;
};

// Writes as an encoder does, a few messages at a time; between them
// `meanwhile` runs for about the given time.
bool writeToRelay(RESender &relay, const QByteArray &data, const std::function<void(int)> &meanwhile = {})
{
    QTcpSocket encoder;
    return EncoderFeed::connect(encoder, relay.listenPort)
        && EncoderFeed::stream(encoder, data, 10 * kMessageSize, 20, meanwhile);
}

QByteArray payload()
{
    return EncoderFeed::randomBytes(kMessages * kMessageSize, 9);
}
}

// Encrypted connections: with the studio (which refuses callers without its
// passphrase) and with srt-live-transmit, an independent peer, as listener.
class TestEncryption : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { startSrtLibrary(); }

    // A refused caller learns why from libsrt's reject reason at once, not by
    // waiting for the connect time-out; no answer is no refusal; a passphrase
    // libsrt refuses (it takes 10 to 79 characters) never leaves the
    // connection unencrypted.
    void failedConnectsSayWhy_data()
    {
        QTest::addColumn<int>("server");  // 0 none, 1 plain, 2 encrypted
        QTest::addColumn<QByteArray>("passphrase");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("refused");
        const QString failed = "SRT CONNECT FAILED";
        QTest::newRow("wrong passphrase") << 2 << kOtherPassphrase << failed << rejectText(SRT_REJ_BADSECRET) << true;
        QTest::newRow("no passphrase") << 2 << QByteArray() << failed << rejectText(SRT_REJ_UNSECURE) << true;
        QTest::newRow("server without one") << 1 << kPassphrase << failed << rejectText(SRT_REJ_UNSECURE) << true;
        QTest::newRow("silence") << 0 << kPassphrase << failed
                                 << "connection timed out (no answer from the server)" << false;
        QTest::newRow("too short") << 1 << QByteArray("tooshort") << "set passphrase FAILED" << QString() << false;
    }
    void failedConnectsSayWhy()
    {
        QFETCH(int, server);
        QFETCH(QByteArray, passphrase);
        QFETCH(QString, failure);
        QFETCH(QString, reason);
        QFETCH(bool, refused);
        StudioProcess studio(server == 2 ? QStringList{"--passphrase", QString::fromUtf8(kPassphrase)} : QStringList{});
        if (server > 0)
            QVERIFY2(studio.start(), studio.output().constData());
        const Attempt attempt = connectTo(server > 0 ? studio.srtPort() : freeLoopbackPort(), "sealed", passphrase);
        QCOMPARE(attempt.failure, failure);
        QVERIFY(reason.isEmpty() ? !attempt.reason.isEmpty() : attempt.reason == reason);
        QCOMPARE(attempt.refused, refused);
        QCOMPARE(failureWithReason(attempt.failure, attempt.reason), failure + " (" + attempt.reason + ")");
        if (refused)
            QVERIFY2(attempt.elapsedMs < kConnectTimeoutMs, qPrintable(QString::number(attempt.elapsedMs)));
        if (server > 0)
            QVERIFY(studio.findStream(studio.status(), "sealed", "media").isEmpty());
    }

    void studioRefusesABadPassphraseOption()
    {
        StudioProcess studio({"--passphrase", "short"});
        QVERIFY(!studio.start(5000));
        QVERIFY2(studio.output().contains("--passphrase needs 10 to 79 characters"), studio.output().constData());
    }

    // What goes out encrypted arrives unchanged at srt-live-transmit and at
    // the studio holding the same passphrase; with another passphrase the
    // relay says libsrt's reject reason. No log line shows a passphrase.
    void relayEncrypts_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QByteArray>("passphrase");
        QTest::newRow("srt-live-transmit") << "srt-live-transmit" << kPassphrase;
        QTest::newRow("srt-live-transmit, other passphrase") << "srt-live-transmit" << kOtherPassphrase;
        QTest::newRow("studio") << "studio" << kPassphrase;
    }
    void relayEncrypts()
    {
        QFETCH(QString, peer);
        QFETCH(QByteArray, passphrase);
        DatagramSink sink;
        std::unique_ptr<ListenerProcess> listener;
        StudioProcess studio({"--passphrase", QString::fromUtf8(kPassphrase)});
        if (peer == "studio") {
            QVERIFY2(studio.start(), studio.output().constData());
            QVERIFY(studio.output().contains(", encrypted"));
        } else {
            listener = std::make_unique<ListenerProcess>(peer, sink.port(),
                                                         "&passphrase=" + QString::fromUtf8(kPassphrase) + "&pbkeylen=16");
            QVERIFY2(listener->isReady(), listener->output().constData());
        }
        MessageCapture log;
        RESender relay(nullptr);
        relay.startRelay("127.0.0.1", listener ? listener->srtPort() : studio.srtPort(), "sealed", kLatencyMs,
                         passphrase);
        QTRY_VERIFY_WITH_TIMEOUT(relay.listenPort != 0, kWaitMs);
        const QByteArray sent = payload();
        QByteArray received;
        if (passphrase != kPassphrase) {
            const QString failure = "SRT CONNECT FAILED (" + rejectText(SRT_REJ_BADSECRET) + ")";
            QCOMPARE(relay.connectFailure(), failure);
            QVERIFY(relay.connectRefused());
            QCOMPARE(log.count("CONNECT FAILED: " + failure), 1);
        } else if (peer == "studio") {
            QCOMPARE(relay.connectFailure(), QString());
            QVERIFY(writeToRelay(relay, sent));
            // On disk before the stop: what a stop delivers is the relay suite's subject.
            QVERIFY(QTest::qWaitFor(
                [&] {
                    QFile file(studio.recordFile("sealed"));
                    received = file.open(QIODevice::ReadOnly) ? withoutNullPacketEdges(file.readAll()) : QByteArray();
                    return received.size() >= sent.size();
                },
                kWaitMs));
            QVERIFY(!studio.output().contains(kPassphrase));
        } else {
            QCOMPARE(relay.connectFailure(), QString());
            QVERIFY(writeToRelay(relay, sent, [&sink](int ms) { sink.poll(ms); }));
            received = sink.dataWithoutStuffing(sent.size(), kWaitMs);
        }
        relay.stopRelay();
        QVERIFY(relay.wait(kWaitMs));
        if (passphrase == kPassphrase) {
            QCOMPARE(received.size(), sent.size());
            QVERIFY(received == sent);
        }
        QCOMPARE(log.count(QString::fromUtf8(kPassphrase)) + log.count(QString::fromUtf8(kOtherPassphrase)), 0);
    }

    void arrowChannelSaysWhyItWasRefused()
    {
        StudioProcess studio({"--passphrase", QString::fromUtf8(kPassphrase)});
        QVERIFY2(studio.start(), studio.output().constData());
        ArrowSender arrows;
        QVERIFY(!arrows.connectControl("127.0.0.1", studio.srtPort(), "sealed"));
        QCOMPARE(arrows.connectFailure(), "SRT CONNECT FAILED (" + rejectText(SRT_REJ_UNSECURE) + ")");
        QVERIFY(arrows.connectControl("127.0.0.1", studio.srtPort(), "sealed", kPassphrase));
        QCOMPARE(arrows.connectFailure(), QString());
        arrows.arrowClicked(false);
        QTRY_VERIFY_WITH_TIMEOUT(studio.output().contains("arrow \"sealed\" 1 right"), kWaitMs);
    }
};

ORVANTA_TEST_MAIN(TestEncryption, TestMain::Core)
#include "tst_Encryption.moc"
