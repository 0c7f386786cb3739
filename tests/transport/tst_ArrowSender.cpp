#include "transport/ArrowSender.h"

#include "tests/support/FreePorts.h"
#include "tests/support/LoopbackEndpoint.h"
#include "tests/support/LossyPath.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/SrtTestServer.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TestMain.h"

namespace {
constexpr int kWaitMs = 10000;

// Counters carried by the messages, one entry per group of ten copies;
// fails the test on any message that is not a well-formed command.
QList<qint32> commandCounters(const QList<QByteArray> &messages)
{
    QList<qint32> counters;
    for (int i = 0; i < messages.size(); ++i) {
        const QByteArray &message = messages.at(i);
        if (message.size() != 1316 || message.left(1312) != QByteArray(1312, '\0'))
            return {-1};
        const qint32 counter = qFromLittleEndian<qint32>(message.constData() + 1312);
        if (i % 10 == 0)
            counters << counter;
        else if (counter != counters.last())
            return {-2};
    }
    return counters;
}
}

class TestArrowSender : public QObject
{
    Q_OBJECT
private slots:
    // Ten copies of each command; the counter's parity tells the direction
    // (odd: right), each click steps it by one or two to the next such number.
    // A channel that never opened, failed to open or was closed sends nothing
    // and keeps its count; counting goes on once it is open again.
    void commandsOnTheWire()
    {
        SrtTestServer server;
        QVERIFY(server.listen());
        MessageCapture log;
        ArrowSender sender;
        QVERIFY(!sender.connectControl(loopbackEndpoint(freeLoopbackPort(), "nobody")));  // nobody listens there
        QVERIFY(!sender.isConnected());
        sender.arrowClicked(true);
        QCOMPARE(log.count("ARROW NOT CONNECTED"), 1);

        QVERIFY(sender.connectControl(loopbackEndpoint(server.port(), "me")));
        QVERIFY(sender.isConnected());
        for (bool left : {true, true, false, false, true, false})  // true = left
            sender.arrowClicked(left);
        QVERIFY(server.waitForMessages(60, kWaitMs));
        sender.closeControl();
        QVERIFY(!sender.isConnected());
        sender.arrowClicked(true);
        QCOMPARE(log.count("ARROW NOT CONNECTED"), 2);

        QVERIFY(sender.connectControl(loopbackEndpoint(server.port(), "me")));
        sender.arrowClicked(true);
        sender.arrowClicked(false);
        QVERIFY(server.waitForMessages(80, kWaitMs));
        QTest::qWait(100);  // no extra copies follow
        QCOMPARE(server.streamIds(), QStringList({"me#control", "me#control"}));
        QCOMPARE(server.messages().size(), 80);
        QCOMPARE(commandCounters(server.messages()), (QList<qint32>{2, 4, 5, 7, 8, 9, 10, 11}));
    }

    // Ten copies of every command: through 5 % loss each command registers
    // at the studio once, in order, with its direction. A machine too busy to
    // repair a loss within the latency makes the studio skip messages: a
    // command may then be missing only when at least its ten copies were
    // among the skipped. A loss shows to the studio only as a gap before a
    // later message, so one more command follows the hundred: its copies
    // reveal a loss among the last messages of the hundredth.
    void studioDecodesEachCommandOnceThroughLoss()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        LossyPath path(studio.srtPort(), "0.05");
        QVERIFY(path.ready());
        ArrowSender sender;
        QVERIFY(sender.connectControl(loopbackEndpoint(path.port(), "lossy")));
        QStringList sent;
        qint32 counter = 0;
        for (int i = 0; i < 100; ++i) {
            const bool left = i % 3 != 0;
            sender.arrowClicked(left);
            counter = ArrowSender::nextCounter(counter, left);
            sent << QString("lossy %1 %2").arg(counter).arg(left ? "left" : "right");
            QTest::qWait(10);
        }
        sender.arrowClicked(true);
        const QString closing = QString("lossy %1 left").arg(ArrowSender::nextCounter(counter, true));
        QStringList registered;
        qint64 arrived = 0;
        qint64 skipped = 0;
        const auto allAccountedFor = [&] {
            const QJsonObject status = studio.status();
            registered.clear();
            for (const QJsonValue &arrow : status.value("arrows").toArray()) {
                const QJsonObject a = arrow.toObject();
                registered << QString("%1 %2 %3").arg(a.value("id").toString()).arg(a.value("counter").toInt())
                                  .arg(a.value("direction").toString());
            }
            const QJsonObject control = StudioProcess::findStream(status, "lossy", "control");
            arrived = StudioProcess::count(control, "messages");
            skipped = StudioProcess::count(control, "lost_messages");
            return arrived + skipped >= sent.size() * ArrowSender::kCopies;
        };
        QVERIFY2(QTest::qWaitFor(allAccountedFor, kWaitMs),
                 qPrintable(QString("%1 messages arrived, %2 skipped, %3 commands registered")
                                .arg(arrived).arg(skipped).arg(registered.size())));
        registered.removeOne(closing);
        QStringList missing = sent;
        for (const QString &command : registered)
            QVERIFY2(missing.removeOne(command), qPrintable(command));
        QStringList inOrder = sent;
        for (const QString &command : missing)
            inOrder.removeOne(command);
        QCOMPARE(registered, inOrder);
        QVERIFY2(missing.size() * ArrowSender::kCopies <= skipped,
                 qPrintable(QString("%1 missing, %2 messages skipped").arg(missing.size()).arg(skipped)));
        if (missing.isEmpty())
            QVERIFY(studio.output().contains("arrow \"lossy\" 5 right"));
        QVERIFY(path.lostToServer() > 0);
    }
};

ORVANTA_TEST_MAIN(TestArrowSender, TestMain::Core)
#include "tst_ArrowSender.moc"
