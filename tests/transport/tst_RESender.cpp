#include "transport/RESender.h"

#include "tests/support/FreePorts.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/SrtTestServer.h"
#include "tests/support/StudioProcess.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include <srt/srt.h>

namespace {
constexpr int kConnectWaitMs = 10000;

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

// Plays the encoder: connects to the relay's local port.
bool connectEncoder(RESender &relay, QTcpSocket &encoder, const MessageCapture &log)
{
    if (!QTest::qWaitFor([&] { return relay.listenPort >= 1; }, kConnectWaitMs))
        return false;
    encoder.connectToHost(QHostAddress::LocalHost, quint16(int(relay.listenPort)));
    return encoder.waitForConnected(kConnectWaitMs) && log.waitFor("RESender SUCCESS", kConnectWaitMs);
}

bool writeAll(QTcpSocket &encoder, const QByteArray &bytes)
{
    encoder.write(bytes);
    while (encoder.bytesToWrite() > 0) {
        if (!encoder.waitForBytesWritten(kConnectWaitMs))
            return false;
    }
    return true;
}

void stopAndWait(RESender &relay)
{
    relay.stopRelay();
    QVERIFY(relay.wait(kConnectWaitMs));
}

// Writes the payload in slices with a pause after each, then keeps the stream
// going with filler, as a running encoder does, until the studio has received
// at least the payload: live SRT learns of a lost packet only from the ones
// after it, so the payload's last packets need followers.
bool streamPaced(QTcpSocket &encoder, const QByteArray &payload, int slice, const StudioProcess &studio,
                 const QString &id)
{
    for (int offset = 0; offset < payload.size(); offset += slice) {
        if (!writeAll(encoder, payload.mid(offset, slice)))
            return false;
        QTest::qWait(25);
    }
    const QByteArray filler(slice, '\0');
    QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired()) {
        const QJsonObject seen = StudioProcess::findStream(studio.status(), id, "media");
        if (qint64(seen.value("bytes").toDouble()) >= payload.size())
            return true;
        if (!writeAll(encoder, filler))
            return false;
        QTest::qWait(25);
    }
    return false;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
}

class TestRESender : public QObject
{
    Q_OBJECT
private slots:
    void tenMegabytesArriveIdenticalAndInOrder()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        MessageCapture log;
        RESender relay(nullptr);
        relay.startRelay("127.0.0.1", studio.srtPort(), "relay-10mb", 120);
        QTcpSocket encoder;
        QVERIFY(connectEncoder(relay, encoder, log));
        QVERIFY(log.count("CONNECT: SUCCESS") == 1);

        const QByteArray sent = randomBytes(10 * 1024 * 1024, 7);
        // 700 transport packets every 25 ms, about 42 Mbit/s, more than any broadcast.
        QVERIFY2(streamPaced(encoder, sent, 188 * 700, studio, "relay-10mb"),
                 qPrintable(QJsonDocument(studio.status()).toJson()));
        stopAndWait(relay);
        QVERIFY(readFile(studio.recordFile("relay-10mb")).left(sent.size()) == sent);
    }

    void messagesAreCutAt1316Bytes()
    {
        SrtTestServer server;
        QVERIFY(server.listen());
        MessageCapture log;
        RESender relay(nullptr);
        relay.startRelay("127.0.0.1", server.port(), "sizes", 120);
        QTcpSocket encoder;
        QVERIFY(connectEncoder(relay, encoder, log));
        QCOMPARE(server.streamIds(), QStringList{"sizes"});

        const QByteArray block = randomBytes(5000, 1);
        QVERIFY(writeAll(encoder, block));
        QVERIFY(server.waitForMessages(4, kConnectWaitMs));
        QList<int> sizes;
        for (const QByteArray &message : server.messages())
            sizes << message.size();
        QCOMPARE(sizes, (QList<int>{1316, 1316, 1316, 1052}));
        QCOMPARE(server.messages().join(), block);

        const QByteArray small = randomBytes(100, 2);
        QVERIFY(writeAll(encoder, small));
        QVERIFY(server.waitForMessages(5, kConnectWaitMs));
        QCOMPARE(server.messages().at(4), small);
        stopAndWait(relay);
    }

    void sixthFailedSendStopsForwarding()
    {
        SrtTestServer server(SrtTestServer::DropCallers);
        QVERIFY(server.listen());
        MessageCapture log;
        RESender relay(nullptr);
        QSignalSpy errors(&relay, &RESender::srtError);
        relay.startRelay("127.0.0.1", server.port(), "dropped", 120);
        QTcpSocket encoder;
        QVERIFY(connectEncoder(relay, encoder, log));
        QVERIFY(server.waitForCallers(1, kConnectWaitMs));

        // One full message per write, so that each arrives in its own handler call.
        const QByteArray message = randomBytes(1316, 3);
        for (int i = 0; i < 200 && log.count("error send") < 6; ++i) {
            QVERIFY(writeAll(encoder, message));
            const int before = log.count("error send");
            (void)QTest::qWaitFor([&] { return log.count("error send") > before; }, 50);
        }
        QCOMPARE(log.count("error send"), 6);
        QCOMPARE(log.count("*** SRT PACKET SEND ERROR (5 times).  STOP."), 1);
        QCOMPARE(errors.count(), 1);

        for (int i = 0; i < 5; ++i)
            QVERIFY(writeAll(encoder, message));
        QTest::qWait(200);
        QCOMPARE(log.count("error send"), 6);
        QCOMPARE(errors.count(), 1);
        stopAndWait(relay);
    }

    void stopWhileConnecting()
    {
        MessageCapture log;
        RESender relay(nullptr);
        relay.startRelay("127.0.0.1", freeLoopbackPort(), "nobody", 120);
        QVERIFY(QTest::qWaitFor([&] { return relay.listenPort >= 1; }, kConnectWaitMs));
        relay.stopRelay();
        QVERIFY(relay.wait(kConnectWaitMs));
        QCOMPARE(log.count("RESender STOP"), 1);
        QCOMPARE(log.count("RETRANSMIT STOPPED"), 1);
        QCOMPARE(log.count("RESender SUCCESS"), 0);
    }

    void connectionCompletedAfterStopIsClosed()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        // 400 ms each way: the SRT handshake takes well over a second.
        const quint16 proxyPort = freeLoopbackPort();
        QProcess proxy;
        proxy.start(ORVANTA_UDP_IMPAIR, {"--listen", QString("127.0.0.1:%1").arg(proxyPort), "--server",
                                          QString("127.0.0.1:%1").arg(studio.srtPort()), "--delay", "400",
                                          "--lifetime", "60"});
        QVERIFY(proxy.waitForReadyRead(kConnectWaitMs));
        MessageCapture log;
        RESender relay(nullptr);
        relay.startRelay("127.0.0.1", proxyPort, "late", 120);
        QVERIFY(QTest::qWaitFor([&] { return relay.listenPort >= 1; }, kConnectWaitMs));
        relay.stopRelay();
        QVERIFY(relay.wait(kConnectWaitMs));
        QCOMPARE(log.count("CONNECT: SUCCESS"), 1);
        // The connection made after the stop was closed when the thread ended.
        QVERIFY(!studio.waitForStream("late", "media", 0, kConnectWaitMs, false).isEmpty());
        proxy.terminate();
        QVERIFY(proxy.waitForFinished(kConnectWaitMs));
    }

    void stopWhileWaitingForEncoder()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        MessageCapture log;
        RESender relay(nullptr);
        relay.startRelay("127.0.0.1", studio.srtPort(), "no-encoder", 120);
        QVERIFY(log.waitFor("CONNECT: SUCCESS", kConnectWaitMs));
        QVERIFY(!studio.waitForStream("no-encoder", "media", 0, kConnectWaitMs, true).isEmpty());
        stopAndWait(relay);
        QCOMPARE(log.count("RETRANSMIT STOPPED"), 1);
        // The SRT connection is closed, not left to time out.
        QVERIFY(!studio.waitForStream("no-encoder", "media", 0, kConnectWaitMs, false).isEmpty());
    }

    void stopWhileForwardingDiscardsLaterBytes()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        MessageCapture log;
        RESender relay(nullptr);
        relay.startRelay("127.0.0.1", studio.srtPort(), "forwarding", 120);
        QTcpSocket encoder;
        QVERIFY(connectEncoder(relay, encoder, log));
        QVERIFY(writeAll(encoder, randomBytes(1316 * 10, 4)));
        QVERIFY(!studio.waitForStream("forwarding", "media", 1316 * 10, kConnectWaitMs).isEmpty());

        relay.stopRelay();
        encoder.write(randomBytes(1316 * 10, 5));
        QVERIFY(relay.wait(kConnectWaitMs));
        QCOMPARE(log.count("RESender STOP"), 1);
        QCOMPARE(log.count("RETRANSMIT STOPPED"), 1);
        const QJsonObject seen = studio.waitForStream("forwarding", "media", 0, kConnectWaitMs, false);
        QCOMPARE(qint64(seen.value("bytes").toDouble()), qint64(1316 * 10));
        // Ending the relay closes the encoder's connection.
        QVERIFY(QTest::qWaitFor([&] { return encoder.state() == QAbstractSocket::UnconnectedState; }, kConnectWaitMs));
    }

    void dataSurvivesTwoPercentLoss()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        const quint16 proxyPort = freeLoopbackPort();
        QProcess proxy;
        proxy.setProcessChannelMode(QProcess::MergedChannels);
        proxy.start(ORVANTA_UDP_IMPAIR, {"--listen", QString("127.0.0.1:%1").arg(proxyPort), "--server",
                                          QString("127.0.0.1:%1").arg(studio.srtPort()), "--loss", "0.02",
                                          "--delay", "5", "--seed", "11", "--lifetime", "120"});
        QVERIFY(proxy.waitForReadyRead(kConnectWaitMs));

        MessageCapture log;
        RESender relay(nullptr);
        relay.startRelay("127.0.0.1", proxyPort, "lossy", 120);
        QTcpSocket encoder;
        QVERIFY(connectEncoder(relay, encoder, log));
        QCOMPARE(log.count("CONNECT: SUCCESS"), 1);

        // About 8 Mbit/s, a broadcast's rate, for two seconds.
        const QByteArray sent = randomBytes(1316 * 1520, 6);
        QVERIFY2(streamPaced(encoder, sent, 1316 * 19, studio, "lossy"),
                 qPrintable(QJsonDocument(studio.status()).toJson() + log.lines().join('\n')));
        stopAndWait(relay);
        QVERIFY(readFile(studio.recordFile("lossy")).left(sent.size()) == sent);

        proxy.terminate();
        QVERIFY(proxy.waitForFinished(kConnectWaitMs));
        const QString counters = proxy.readAll();
        const QRegularExpression lost("to server: forwarded \\d+, lost (\\d+)");
        const QRegularExpressionMatch match = lost.match(counters);
        QVERIFY2(match.hasMatch() && match.captured(1).toInt() > 0, qPrintable(counters));
    }
};

QTEST_GUILESS_MAIN(TestRESender)
#include "tst_RESender.moc"
