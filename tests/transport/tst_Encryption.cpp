#include "transport/ArrowSender.h"
#include "transport/RESender.h"
#include "transport/SrtConnect.h"
#include "transport/srt/SrtLibrary.h"
#include "transport/srt/SrtSocket.h"

#include "tests/support/FreePorts.h"
#include "tests/support/ListenerProcess.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TsEdits.h"

#include "tests/support/TestMain.h"

#include <functional>

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

// Seven transport packets per message on PID 0x100, each packet's bytes
// telling its message and place, so that any change shows.
QByteArray payload()
{
    QByteArray data;
    for (int message = 0; message < kMessages; ++message) {
        for (int packet = 0; packet < 7; ++packet) {
            QByteArray ts(188, char(message ^ (packet << 4)));
            ts[0] = char(0x47);
            ts[1] = char(0x01);
            ts[2] = char(0x00);
            ts[3] = char(0x10 | ((message * 7 + packet) & 0x0F));
            data += ts;
        }
    }
    return data;
}

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
    constexpr int kChunk = 10 * kMessageSize;
    constexpr int kPauseMs = 20;
    QTcpSocket encoder;
    encoder.connectToHost(QHostAddress::LocalHost, quint16(relay.listenPort.load()));
    if (!encoder.waitForConnected(kWaitMs))
        return false;
    for (int offset = 0; offset < data.size(); offset += kChunk) {
        encoder.write(data.mid(offset, kChunk));
        while (encoder.bytesToWrite() > 0)
            if (!encoder.waitForBytesWritten(kWaitMs))
                return false;
        if (meanwhile)
            meanwhile(kPauseMs);
        else
            QThread::msleep(kPauseMs);
    }
    encoder.disconnectFromHost();
    return true;
}
}

// Encrypted connections: with the studio (which refuses callers without its
// passphrase) and with srt-live-transmit, an independent peer, as listener.
class TestEncryption : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { startSrtLibrary(); }

    void rightPassphraseConnects()
    {
        StudioProcess studio({"--passphrase", QString::fromUtf8(kPassphrase)});
        QVERIFY2(studio.start(), studio.output().constData());
        QVERIFY(studio.output().contains(", encrypted"));
        QVERIFY(!studio.output().contains(kPassphrase));
        const Attempt attempt = connectTo(studio.srtPort(), "sealed#speedtest", kPassphrase);
        QCOMPARE(attempt.failure, QString());
        QVERIFY(!studio.waitForStream("sealed", "speedtest").isEmpty());
    }

    // A refused caller learns why from libsrt's reject reason at once, not by
    // waiting for the connect time-out.
    void refusalsSayWhy_data()
    {
        QTest::addColumn<bool>("serverEncrypts");
        QTest::addColumn<QByteArray>("passphrase");
        QTest::addColumn<QString>("reason");
        QTest::newRow("wrong passphrase") << true << kOtherPassphrase << rejectText(SRT_REJ_BADSECRET);
        QTest::newRow("no passphrase") << true << QByteArray() << rejectText(SRT_REJ_UNSECURE);
        QTest::newRow("server without one") << false << kPassphrase << rejectText(SRT_REJ_UNSECURE);
    }
    void refusalsSayWhy()
    {
        QFETCH(bool, serverEncrypts);
        QFETCH(QByteArray, passphrase);
        QFETCH(QString, reason);
        StudioProcess studio(serverEncrypts ? QStringList{"--passphrase", QString::fromUtf8(kPassphrase)}
                                            : QStringList{});
        QVERIFY2(studio.start(), studio.output().constData());
        const Attempt attempt = connectTo(studio.srtPort(), "sealed", passphrase);
        QCOMPARE(attempt.failure, QString("SRT CONNECT FAILED"));
        QCOMPARE(attempt.reason, reason);
        QVERIFY(attempt.refused);
        QCOMPARE(failureWithReason(attempt.failure, attempt.reason), "SRT CONNECT FAILED (" + reason + ")");
        QVERIFY2(attempt.elapsedMs < kConnectTimeoutMs, qPrintable(QString::number(attempt.elapsedMs)));
        QVERIFY(studio.findStream(studio.status(), "sealed", "media").isEmpty());
    }

    // libsrt takes 10 to 79 characters; a passphrase it refuses must not
    // leave the connection unencrypted.
    // No answer is no refusal.
    void silenceIsNoRefusal()
    {
        const Attempt attempt = connectTo(freeLoopbackPort(), "sealed", kPassphrase);
        QCOMPARE(attempt.failure, QString("SRT CONNECT FAILED"));
        QCOMPARE(attempt.reason, QString("connection timed out (no answer from the server)"));
        QVERIFY(!attempt.refused);
    }

    void refusedPassphraseNeverConnects()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        const Attempt attempt = connectTo(studio.srtPort(), "short", "tooshort");
        QCOMPARE(attempt.failure, QString("set passphrase FAILED"));
        QVERIFY(!attempt.reason.isEmpty());
        QVERIFY(studio.findStream(studio.status(), "short", "media").isEmpty());
    }

    void studioRefusesABadPassphraseOption()
    {
        StudioProcess studio({"--passphrase", "short"});
        QVERIFY(!studio.start(5000));
        QVERIFY2(studio.output().contains("--passphrase needs 10 to 79 characters"), studio.output().constData());
    }

    // What goes out encrypted arrives unchanged at srt-live-transmit holding
    // the same passphrase.
    void relayReachesAnIndependentListener()
    {
        DatagramSink sink;
        ListenerProcess listener("srt-live-transmit", sink.port(),
                                 "&passphrase=" + QString::fromUtf8(kPassphrase) + "&pbkeylen=16");
        QVERIFY2(listener.isReady(), listener.output().constData());
        RESender relay(nullptr);
        relay.startRelay("127.0.0.1", listener.srtPort(), "sealed", kLatencyMs, kPassphrase);
        QTRY_VERIFY_WITH_TIMEOUT(relay.listenPort != 0, kWaitMs);
        QCOMPARE(relay.connectFailure(), QString());
        const QByteArray sent = payload();
        QVERIFY(writeToRelay(relay, sent, [&sink](int ms) { sink.poll(ms); }));
        const QByteArray received = sink.dataWithoutStuffing(sent.size(), kWaitMs);
        relay.stopRelay();
        QVERIFY(relay.wait(kWaitMs));
        QCOMPARE(received.size(), sent.size());
        QVERIFY(received == sent);
    }

    void relayWithoutThePassphraseIsRefused()
    {
        DatagramSink sink;
        ListenerProcess listener("srt-live-transmit", sink.port(),
                                 "&passphrase=" + QString::fromUtf8(kPassphrase));
        QVERIFY2(listener.isReady(), listener.output().constData());
        MessageCapture log;
        RESender relay(nullptr);
        relay.startRelay("127.0.0.1", listener.srtPort(), "sealed", kLatencyMs, kOtherPassphrase);
        QTRY_VERIFY_WITH_TIMEOUT(relay.listenPort != 0, kWaitMs);
        QCOMPARE(relay.connectFailure(), "SRT CONNECT FAILED (" + rejectText(SRT_REJ_BADSECRET) + ")");
        QVERIFY(relay.connectRefused());
        relay.stopRelay();
        QVERIFY(relay.wait(kWaitMs));
        QVERIFY(log.count("CONNECT FAILED: SRT CONNECT FAILED (" + rejectText(SRT_REJ_BADSECRET) + ")") == 1);
        QCOMPARE(log.count(QString::fromUtf8(kOtherPassphrase)), 0);
    }

    // The studio records what an encrypted relay sent, byte for byte, and
    // no log line shows the passphrase.
    void studioRecordsAnEncryptedStream()
    {
        StudioProcess studio({"--passphrase", QString::fromUtf8(kPassphrase)});
        QVERIFY2(studio.start(), studio.output().constData());
        MessageCapture log;
        RESender relay(nullptr);
        relay.startRelay("127.0.0.1", studio.srtPort(), "sealed", kLatencyMs, kPassphrase);
        QTRY_VERIFY_WITH_TIMEOUT(relay.listenPort != 0, kWaitMs);
        QCOMPARE(relay.connectFailure(), QString());
        const QByteArray sent = payload();
        QVERIFY(writeToRelay(relay, sent));
        // Everything is on disk before the stop: what a stop delivers is the
        // relay suite's subject.
        QByteArray recorded;
        QVERIFY(QTest::qWaitFor(
            [&] {
                QFile file(studio.recordFile("sealed"));
                recorded = file.open(QIODevice::ReadOnly) ? withoutNullPacketEdges(file.readAll()) : QByteArray();
                return recorded.size() >= sent.size();
            },
            kWaitMs));
        relay.stopRelay();
        QVERIFY(relay.wait(kWaitMs));
        QCOMPARE(recorded.size(), sent.size());
        QVERIFY(recorded == sent);
        QVERIFY(log.count("CONNECT: SUCCESS") == 1);
        QCOMPARE(log.count(QString::fromUtf8(kPassphrase)), 0);
        QVERIFY(!studio.output().contains(kPassphrase));
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
