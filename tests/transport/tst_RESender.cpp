#include "transport/RESender.h"
#include "transport/StreamCopy.h"

#include <QStorageInfo>
#include <QTemporaryDir>

#include "tests/support/EncoderFeed.h"
#include "tests/support/FreePorts.h"
#include "tests/support/LoopbackEndpoint.h"
#include "tests/support/LossyPath.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/SrtTestServer.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TsEdits.h"
#include "tests/support/TestMain.h"

#include <algorithm>
#include <atomic>
#include <memory>

namespace {
constexpr int kConnectWaitMs = 10000;
// A packet lost again on its repeat near the end of a burst can miss a
// 120 ms latency on a busy machine; a handful per run is the most a sound
// link skips.
constexpr int kMaxSkips = 5;

using EncoderFeed::randomBytes;
using EncoderFeed::writeAll;

// The relay's log line is the only sign that it took the connection.
bool connectEncoder(RESender &relay, QTcpSocket &encoder, const MessageCapture &log)
{
    return EncoderFeed::connect(encoder, relay.listenPort) && log.waitFor("RESender SUCCESS", kConnectWaitMs);
}

void stopAndWait(RESender &relay)
{
    relay.stopRelay();
    QVERIFY(relay.wait(kConnectWaitMs));
}

// The messages that carry the encoder's data, without the relay's stuffing.
QList<QByteArray> dataMessages(const QList<QByteArray> &messages)
{
    QList<QByteArray> data;
    for (const QByteArray &message : messages) {
        if (!withoutNullPacketEdges(message).isEmpty())
            data << message;
    }
    return data;
}

// How the recording differs from what the encoder sent. Live SRT skips a
// message whose repairs all missed the latency: such a gap takes out whole
// relay messages (neighbours may go together, lost in one burst, up to
// kMaxSkips) and is followed by the data after them; each message counts as a
// skip. Anything else (other bytes, a missing end) is a fault.
struct Delivery {
    int skips = 0, skippedBytes = 0;
    QString fault;
};

Delivery compareDelivery(const QByteArray &recorded, const QByteArray &sent)
{
    constexpr int kProbe = 188;
    Delivery delivery;
    int r = 0, s = 0;
    while (r < recorded.size()) {
        const int common = int(std::mismatch(recorded.begin() + r, recorded.end(), sent.begin() + s, sent.end()).first
                               - (recorded.begin() + r));
        r += common;
        s += common;
        if (r == recorded.size())
            break;
        const int found = sent.indexOf(recorded.mid(r, kProbe), s);
        if (found < 0 || found - s > RESender::kMessageSize * kMaxSkips) {
            delivery.fault = QString("the recording differs from the data sent at byte %1 of %2").arg(r).arg(sent.size());
            return delivery;
        }
        delivery.skips += (found - s + RESender::kMessageSize - 1) / RESender::kMessageSize;
        delivery.skippedBytes += found - s;
        s = found;
    }
    if (s != sent.size())
        delivery.fault = QString("the last %1 of %2 bytes are missing").arg(sent.size() - s).arg(sent.size());
    return delivery;
}
}

class TestRESender : public QObject
{
    Q_OBJECT
private slots:
    // Every message travels whole, to the last one, when the relay stops
    // right after the encoder's last byte, straight to the studio and through
    // loss. The studio must have counted each skip of live SRT.
    void everyByteArrivesThroughStop_data()
    {
        QTest::addColumn<QString>("loss");
        QTest::addColumn<QStringList>("route");  // more of the proxy's options
        QTest::addColumn<int>("bytes");
        QTest::addColumn<int>("slice");
        // How much the copy may take of the disk's free space; 0: all of it.
        QTest::addColumn<qint64>("copyRoom");
        // 700 transport packets every 25 ms, about 42 Mbit/s, more than any broadcast.
        QTest::newRow("10 MB, no loss") << QString() << QStringList() << 10 * 1024 * 1024 << 188 * 700 << qint64(0);
        // About 8 Mbit/s, a broadcast's rate, for three seconds.
        QTest::newRow("2 %") << "0.02" << QStringList() << 1316 * 2280 << 1316 * 19 << qint64(0);
        QTest::newRow("5 %") << "0.05" << QStringList() << 1316 * 2280 << 1316 * 19 << qint64(0);
        // The handshake waited 300 ms on its way, the stream only 40: the
        // server plays every message out 260 ms later than the latency says
        // (as after a handshake that waited in a busy server or a full
        // queue), and the round trip is longer than the stuffing interval.
        QTest::newRow("a slow handshake") << "0" << QStringList{"--delay", "300", "--delay-after", "2:40"}
                                          << 1316 * 2280 << 1316 * 19 << qint64(0);
        // The copy stops once the disk fills; the stream goes on whole.
        QTest::newRow("the disk fills") << QString() << QStringList() << 20 * 1024 * 1024 << 188 * 700
                                        << qint64(6 * 1024 * 1024);
    }
    void everyByteArrivesThroughStop()
    {
        QFETCH(QString, loss);
        QFETCH(QStringList, route);
        QFETCH(int, bytes);
        QFETCH(int, slice);
        QFETCH(qint64, copyRoom);
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        std::unique_ptr<LossyPath> path;
        if (!loss.isEmpty()) {
            path = std::make_unique<LossyPath>(studio.srtPort(), loss, route);
            QVERIFY(path->ready());
        }
        MessageCapture log;
        RESender relay;
        QTemporaryDir folder;
        const qint64 keepFree = copyRoom > 0 ? QStorageInfo(folder.path()).bytesAvailable() - copyRoom : 0;
        auto copy = std::make_shared<StreamCopy>(folder.path(), "whole", QDateTime::currentDateTime(), keepFree);
        QVERIFY2(copy->isOpen(), qPrintable(copy->problem()));
        relay.setCopy(copy);
        relay.startRelay(loopbackEndpoint(path ? path->port() : studio.srtPort(), "whole", 120));
        QTcpSocket encoder;
        QVERIFY(connectEncoder(relay, encoder, log));
        QCOMPARE(log.count("CONNECT: SUCCESS"), 1);

        const QByteArray sent = randomBytes(bytes, 7);
        QVERIFY(EncoderFeed::stream(encoder, sent, slice, 25));
        stopAndWait(relay);
        const QByteArray recorded = withoutNullPacketEdges(studio.recording("whole"));
        const qint64 lost =
            StudioProcess::count(StudioProcess::findStream(studio.status(), "whole", "media"), "lost_messages");
        const Delivery delivery = compareDelivery(recorded, sent);
        const QString report = QString("%1 skips (%2 bytes), the studio counted %3 messages lost\n%4\n%5")
                                   .arg(delivery.skips).arg(delivery.skippedBytes).arg(lost)
                                   .arg(log.lines().join('\n'), QString::fromUtf8(studio.output()));
        QVERIFY2(delivery.fault.isEmpty(), qPrintable(delivery.fault + '\n' + report));
        QVERIFY2(delivery.skips <= lost && delivery.skips <= kMaxSkips, qPrintable(report));
        if (loss.toDouble() > 0)
            QVERIFY(path->lostToServer() > 0);
        else
            QCOMPARE(log.count("*** RESender: the server did not acknowledge the end of the stream in time"), 0);

        // The copy holds every byte sent, or what it had when it stopped.
        const QString copyPath = copy->path();
        const bool stopped = copy->hasStopped();
        copy.reset();
        QFile kept(copyPath);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        const QByteArray copied = kept.readAll();
        QCOMPARE(stopped, copyRoom > 0);
        if (stopped) {
            QVERIFY2(copied.size() < sent.size() && sent.startsWith(copied), qPrintable(QString::number(copied.size())));
            QCOMPARE(log.count("The copy of the broadcast stopped (less than"), 1);
        } else {
            QVERIFY2(copied == sent, qPrintable(QString("%1 of %2 bytes").arg(copied.size()).arg(sent.size())));
        }
    }

    // Messages of 1316 bytes and one for the rest of a write; stuffing is
    // whole messages of null packets, only ahead of the data. What the
    // encoder sent before it closed its connection still goes out after a
    // stop; an encoder that does not close is closed by the relay.
    void messagesAreCutAt1316BytesAndOutliveAStop()
    {
        SrtTestServer server;
        QVERIFY(server.listen());
        MessageCapture log;
        RESender relay;
        relay.startRelay(loopbackEndpoint(server.port(), "sizes", 120));
        QTcpSocket encoder;
        QVERIFY(connectEncoder(relay, encoder, log));
        const QByteArray block = randomBytes(5000, 1);
        QVERIFY(writeAll(encoder, block));
        QVERIFY(QTest::qWaitFor([&] { return dataMessages(server.messages()).size() >= 4; }, kConnectWaitMs));
        QList<int> sizes;
        for (const QByteArray &message : dataMessages(server.messages()))
            sizes << message.size();
        QCOMPARE(sizes, (QList<int>{1316, 1316, 1316, 1052}));
        for (const QByteArray &message : server.messages().mid(0, server.messages().indexOf(block.left(1316))))
            QCOMPARE(message, nullPacket().repeated(7));
        const QByteArray small = randomBytes(100, 2);
        QVERIFY(writeAll(encoder, small));
        QVERIFY(QTest::qWaitFor([&] { return dataMessages(server.messages()).size() >= 5; }, kConnectWaitMs));
        QCOMPARE(dataMessages(server.messages()).at(4), small);

        // The window's order: the encoder writes its last and closes, the relay is told to
        // stop at once, with the end still on its way through the local connection. (Written
        // after the stop, the end would have to come within the relay's bounded wait, which a
        // loaded machine need not keep.)
        const QByteArray after = randomBytes(1316 * 10 + 500, 5);
        QVERIFY(writeAll(encoder, after));
        encoder.disconnectFromHost();
        relay.stopRelay();
        QVERIFY(relay.wait(kConnectWaitMs));
        QVERIFY(dataMessages(server.messages()).join() == block + small + after);

        const int earlier = server.messages().size();
        log.clear();
        RESender lingering;
        lingering.startRelay(loopbackEndpoint(server.port(), "lingering", 120));
        QTcpSocket silent;
        QVERIFY(connectEncoder(lingering, silent, log));
        QVERIFY(writeAll(silent, block));
        QElapsedTimer stopping;
        stopping.start();
        lingering.stopRelay();
        QVERIFY(lingering.wait(kConnectWaitMs));
        // A second for the encoder to close, then latency plus a second at most.
        QVERIFY2(stopping.elapsed() < 3500, qPrintable(QString::number(stopping.elapsed())));
        QVERIFY(QTest::qWaitFor([&] { return silent.state() == QAbstractSocket::UnconnectedState; }, kConnectWaitMs));
        QVERIFY(dataMessages(server.messages().mid(earlier)).join() == block);
    }

    void sixthFailedSendStopsForwarding()
    {
        SrtTestServer server(SrtTestServer::DropCallers);
        QVERIFY(server.listen());
        MessageCapture log;
        RESender relay;
        // Counted in the relay's thread, where the signal comes from.
        std::atomic<int> errors{0};
        QObject::connect(&relay, &RESender::srtError, [&errors] { ++errors; });
        relay.startRelay(loopbackEndpoint(server.port(), "dropped", 120));
        QTcpSocket encoder;
        QVERIFY(connectEncoder(relay, encoder, log));
        QVERIFY(server.waitForCallers(1, kConnectWaitMs));

        // A message per write, each in its own handler call; a failed send
        // writes a line, the relay's only count of them.
        const QByteArray message = randomBytes(1316, 3);
        for (int i = 0; i < 200 && log.count("error send") < 6; ++i) {
            const int before = log.count("error send");
            QVERIFY(writeAll(encoder, message));
            (void)QTest::qWaitFor([&] { return log.count("error send") > before; }, 50);
        }
        QCOMPARE(log.count("error send"), 6);
        QTRY_COMPARE_WITH_TIMEOUT(errors.load(), 1, kConnectWaitMs);
        QCOMPARE(log.count("*** SRT PACKET SEND ERROR (5 times).  STOP."), 1);

        for (int i = 0; i < 5; ++i)
            QVERIFY(writeAll(encoder, message));
        QTest::qWait(200);  // a send tried would say so at once; none may come
        QCOMPARE(log.count("error send"), 6);
        QCOMPARE(errors.load(), 1);
        stopAndWait(relay);
    }

    // A stop before any encoder came ends the relay while it connects to
    // nobody, during its handshake (cancelled, or closed when the thread ends)
    // and while it waits for the encoder, and closes the SRT connection.
    void stopBeforeAnEncoderCame_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QString>("stage");
        QTest::newRow("nobody listens") << "none" << "Connect to SRT";
        // 250 ms each way: the handshake takes about a second.
        QTest::newRow("handshake under way") << "delayed" << "Connect to SRT";
        QTest::newRow("waiting for the encoder") << "studio" << "CONNECT: SUCCESS";
    }
    void stopBeforeAnEncoderCame()
    {
        QFETCH(QString, peer);
        QFETCH(QString, stage);
        StudioProcess studio;
        std::unique_ptr<LossyPath> path;
        quint16 port = freeLoopbackPort();
        if (peer != "none") {
            QVERIFY2(studio.start(), studio.output().constData());
            port = studio.srtPort();
        }
        if (peer == "delayed") {
            path = std::make_unique<LossyPath>(port, "0", QStringList{"--delay", "250"});
            QVERIFY(path->ready());
            port = path->port();
        }
        MessageCapture log;
        RESender relay;
        relay.startRelay(loopbackEndpoint(port, "early", 120));
        QVERIFY(log.waitFor(stage, kConnectWaitMs));
        if (peer == "studio")
            QVERIFY(!studio.waitForStream("early", "media", 0, kConnectWaitMs, true).isEmpty());
        stopAndWait(relay);
        QCOMPARE(log.count("RESender STOP"), 1);
        QCOMPARE(log.count("RETRANSMIT STOPPED"), 1);
        QCOMPARE(log.count("RESender SUCCESS"), 0);
        const int cancelled = log.count("CONNECT FAILED: SRT CONNECT CANCELLED");
        if (peer == "delayed")
            QCOMPARE(cancelled + log.count("CONNECT: SUCCESS"), 1);
        QVERIFY(!relay.connectResult().ok() || cancelled == 0);
        if (peer != "none" && !StudioProcess::findStream(studio.status(), "early", "media").isEmpty())
            QVERIFY(!studio.waitForStream("early", "media", 0, kConnectWaitMs, false).isEmpty());
    }
};

ORVANTA_TEST_MAIN(TestRESender, TestMain::Core)
#include "tst_RESender.moc"
