#include "app/window/SpeedTest.h"
#include "tests/support/BoxWatcher.h"
#include "tests/support/FileByteCounter.h"
#include "tests/support/FreePorts.h"
#include "tests/support/ListenerProcess.h"
#include "tests/support/LoopbackEndpoint.h"
#include "tests/support/LossyPath.h"
#include "tests/support/SrtTestServer.h"
#include "tests/support/StudioArrivals.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TestMain.h"
#include "transport/ThreadTest.h"

namespace {
constexpr int kRunWaitMs = 60000;
constexpr int kListenerWaitMs = 10000;
constexpr qint64 kFullRunBytes = 7968LL * 1316;
// The figure and the receiver's own measurement may differ by this share.
constexpr double kTolerance = 0.10;
// A rate that every listener here keeps up with: the path, not the listener,
// sets the pace, and a run lasts about two seconds.
constexpr int kRateLimitKbs = 40000;
const QStringList kRateLimit{"--rate", QString::number(kRateLimitKbs), "--delay", "0"};
// Live SRT gives up on a message it cannot repair within the latency, so a
// lossy path, or one through a proxy short of processor time, may keep some
// from the receiver: how many depends on the machine's load. The studio
// counts each one it lost.
constexpr double kShareArrivingThroughLoss = 0.95;

// Captures 1: speed, 2: seconds, 3: sent, 6: dropped.
QRegularExpressionMatch parseResult(const QString &text)
{
    static const QRegularExpression layout(
        "^Speed: (\\d+) Kbs \\( we sent 10 Mb in ([0-9.e+]+) seconds\\)\nsend pkts: (\\d+), lost pkts:(\\d+) "
        "\\((\\d+)%\\) , drops pkts:(\\d+) \\((\\d+)%\\) $");
    return layout.match(text);
}

bool within(double value, double reference, double tolerance)
{
    return reference > 0 && qAbs(value - reference) <= tolerance * reference;
}

QPushButton *runButton(SpeedTest &dialog) { return dialog.findChild<QPushButton *>("cmdRun"); }
QLabel *label(SpeedTest &dialog) { return dialog.findChild<QLabel *>("label"); }
QProgressBar *progress(SpeedTest &dialog) { return dialog.findChild<QProgressBar *>("progressBar"); }

void startRun(SpeedTest &dialog, quint16 port, const QString &streamId, const QByteArray &passphrase = {})
{
    dialog.prepareTest(loopbackEndpoint(port, streamId, 120, passphrase));
    dialog.show();
    runButton(dialog)->click();
    QVERIFY(runButton(dialog)->isChecked());
    QCOMPARE(label(dialog)->text(), QString("Sending data, please wait..."));
}

bool runEnds(SpeedTest &dialog)
{
    return QTest::qWaitFor([&] { return !runButton(dialog)->isChecked(); }, kRunWaitMs);
}
}

class TestSpeedTest : public QObject
{
    Q_OBJECT
    StudioProcess studio;  // for the runs that need nothing special of it

private slots:
    void initTestCase() { QVERIFY2(studio.start(), studio.output().constData()); }

    void resultTextLayout()
    {
        QCOMPARE(SpeedTest::resultText(2345, kFullRunBytes, 8200, 164, 41),
                 QString("Speed: 35772 Kbs ( we sent 10 Mb in 2.345 seconds)\nsend pkts: 8200, lost pkts:164 (2%) , "
                         "drops pkts:41 (0%) "));
        // The speed is what the server acknowledged: dropped messages do not count.
        QCOMPARE(SpeedTest::resultText(4000, kFullRunBytes - 3984 * 1316, 7968, 0, 3984),
                 QString("Speed: 10485 Kbs ( we sent 10 Mb in 4 seconds)\nsend pkts: 7968, lost pkts:0 (0%) , drops "
                         "pkts:3984 (50%) "));
    }

    void recommendation_data()
    {
        QTest::addColumn<int>("measured");
        QTest::addColumn<int>("audio");
        QTest::addColumn<int>("advised");
        // 70 % less the sound, down to a step of 128 kbit/s, within 128 to 100000.
        QTest::newRow("3 Mbit/s, 128 sound") << 3000 << 128 << 1920;
        QTest::newRow("exactly a step") << 2010 << 64 << 1280;
        QTest::newRow("too slow: the lowest rate") << 300 << 128 << 128;
        QTest::newRow("very fast: the highest rate") << 551888 << 128 << 100000;
    }
    void recommendation()
    {
        QFETCH(int, measured);
        QFETCH(int, audio);
        QFETCH(int, advised);
        QCOMPARE(SpeedTest::recommendedVideoKbps(measured, audio, 128, 100000, 128), advised);
    }

    // What cannot be tested is refused with a warning over the window.
    void inputWarnings_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("streamId");
        QTest::addColumn<QString>("warning");
        // The stream ID is asked for first, whatever the server field.
        QTest::newRow("empty stream ID") << "nocolon" << "" << "Please enter streamid.";
        QTest::newRow("no port") << "srt://host" << "abc" << "Incorrect SRT Server. Please enter host and port.";
    }
    void inputWarnings()
    {
        QFETCH(QString, server);
        QFETCH(QString, streamId);
        QFETCH(QString, warning);
        QWidget window;
        SpeedTest dialog(&window);
        BoxWatcher box;
        QCOMPARE(dialog.openFor(server, streamId, 120), -1);
        QCOMPARE(box.title + "|" + box.text, "Warning|" + warning);
        QCOMPARE(box.parent, &window);
    }

    // A run to its end against the studio (its "/status") or a listener
    // program with libsrt's default buffers (its UDP output), straight or
    // through a rate-limited, maybe lossy, path: every message arrives, and
    // through a limited path the figure is what the receiver saw. Straight
    // over loopback (about 0.15 s) the receiver's view depends on how fast the
    // listener reads, so the figure is only printed. A busy window (no events
    // handled until the worker has reported and ended) still shows it all.
    void runMeasuresWhatArrives_data()
    {
        QTest::addColumn<QString>("receiver");
        QTest::addColumn<int>("limitKbs");
        QTest::addColumn<double>("loss");
        QTest::addColumn<QString>("passphrase");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<QStringList>("burst");
        for (const char *receiver : {"studio", "srt-live-transmit", "ffmpeg"}) {
            QTest::addRow("%s", receiver) << receiver << 0 << 0.0 << QString() << false << QStringList();
            QTest::addRow("%s, rate limit", receiver)
                << receiver << kRateLimitKbs << 0.0 << QString() << false << QStringList();
        }
        QTest::newRow("studio, rate limit, 5 % loss")
            << "studio" << kRateLimitKbs << 0.05 << QString() << false << QStringList();
        // Everything sent for 300 ms is lost, a full window among it: the
        // receiver cannot know, so only more data brings acknowledgements back.
        QTest::newRow("studio, rate limit, a window lost")
            << "studio" << kRateLimitKbs << 0.0 << QString() << false << QStringList{"--blackout", "400:300"};
        QTest::newRow("studio, encrypted") << "studio" << 0 << 0.0 << "speed passphrase" << false << QStringList();
        QTest::newRow("studio, busy window") << "studio" << 0 << 0.0 << QString() << true << QStringList();
    }
    void runMeasuresWhatArrives()
    {
        QFETCH(QString, receiver);
        QFETCH(int, limitKbs);
        QFETCH(double, loss);
        QFETCH(QString, passphrase);
        QFETCH(bool, busy);
        QFETCH(QStringList, burst);
        const bool lossless = loss == 0 && burst.isEmpty();
        StudioProcess studio(passphrase.isEmpty() ? QStringList() : QStringList{"--passphrase", passphrase});
        std::unique_ptr<StudioArrivals> arrivals;
        QTemporaryDir folder;
        const QString received = folder.filePath("received");
        FileByteCounter counter(received);
        std::unique_ptr<ListenerProcess> listener;
        quint16 port = 0;
        if (receiver == "studio") {
            QVERIFY2(studio.start(), studio.output().constData());
            arrivals = std::make_unique<StudioArrivals>(studio, "measured");
            port = studio.srtPort();
        } else {
            listener = std::make_unique<ListenerProcess>(receiver, received);
            QVERIFY2(listener->isReady(), listener->output().constData());
            port = listener->srtPort();
        }
        const ByteArrivals &seen = arrivals ? arrivals->arrivals() : counter.arrivals();
        std::unique_ptr<LossyPath> limit;
        if (limitKbs > 0) {
            limit = std::make_unique<LossyPath>(port, QString::number(loss), kRateLimit + burst);
            QVERIFY(limit->ready());
            port = limit->port();
        }

        SpeedTest dialog;
        dialog.setRateLimits(128, 128, 100000, 128);
        QSignalSpy chosen(&dialog, &SpeedTest::videoRateChosen);
        startRun(dialog, port, "measured", passphrase.toUtf8());
        auto *useRate = dialog.findChild<QPushButton *>("cmdUseRate");
        QVERIFY(useRate && !useRate->isVisible());
        QDeadlineTimer deadline(busy ? kRunWaitMs : 0);
        auto ended = [&] {
            const QJsonObject stream = StudioProcess::findStream(studio.status(), "measured", "speedtest");
            return !stream.isEmpty() && !stream.value("connected").toBool();
        };
        while (!deadline.hasExpired() && !ended())
            QThread::msleep(50);
        QVERIFY(!busy || (!deadline.hasExpired() && runButton(dialog)->isChecked()));
        QVERIFY2(runEnds(dialog), qPrintable(QString::number(progress(dialog)->value())));
        const QRegularExpressionMatch result = parseResult(label(dialog)->text());
        QVERIFY2(result.hasMatch(), qPrintable(label(dialog)->text()));
        const int speedKbs = result.captured(1).toInt();
        const double seconds = result.captured(2).toDouble();
        QVERIFY(result.captured(3).toLongLong() >= 7968);
        // The advice follows the figure shown, and its button hands it on.
        const int advised = SpeedTest::recommendedVideoKbps(speedKbs, 128, 128, 100000, 128);
        QCOMPARE(dialog.findChild<QLabel *>("adviceLabel")->text(), QString("Advice: video %1 kbit/s").arg(advised));
        if (limitKbs > 0)
            QVERIFY2(advised <= limitKbs * 0.7, qPrintable(QString::number(advised)));
        QVERIFY(useRate->isVisible());
        useRate->click();
        QCOMPARE(chosen.count(), 1);
        QCOMPARE(chosen.first().at(0).toInt(), advised);
        QCOMPARE(progress(dialog)->value(), 10485760);
        if (lossless) {
            QCOMPARE(result.captured(6).toInt(), 0);
            // The run's bytes over its time; a message or two more when the
            // end had to be shown to the receiver again (a lost last message).
            const int expectedKbs = int(kFullRunBytes * 8 / 1000.0 / seconds);
            QVERIFY2(speedKbs >= expectedKbs && speedKbs <= expectedKbs * 1.001 + 1,
                     qPrintable(QString("%1 for %2").arg(speedKbs).arg(expectedKbs)));
        }
        // Every message reached the receiver; through a proxy (short of
        // processor time, or losing on purpose) a few may come too late.
        const qint64 expected = limit ? qint64(kFullRunBytes * kShareArrivingThroughLoss) : kFullRunBytes;
        QVERIFY2(seen.waitForBytes(expected, kListenerWaitMs), qPrintable(QString::number(seen.bytes())));
        (void)seen.waitForBytes(kFullRunBytes, ThreadTest::kDeliveryMarginMs);  // the last bytes, if under way
        if (receiver == "studio") {
            // Each message arrived or was counted lost.
            const QJsonObject closed = studio.waitForStream("measured", "speedtest", 0, kListenerWaitMs, false);
            const qint64 bytes = StudioProcess::count(closed, "bytes"),
                         lost = StudioProcess::count(closed, "lost_messages");
            QVERIFY2(bytes + lost * 1316 >= kFullRunBytes, qPrintable(QString("%1 bytes, %2 lost").arg(bytes).arg(lost)));
        }
        const double receiverKbs = seen.kbitsPerSecond();
        const QString figures = QString("dialog %1 Kbs in %2 s, receiver %3 Kbs, %4 bytes")
                                    .arg(speedKbs).arg(seconds).arg(receiverKbs, 0, 'f', 0).arg(seen.bytes());
        qInfo("%s", qPrintable(figures));
        if (!limit)
            return;
        // The figure is what the receiver saw, and the limit when the path
        // carried it (a proxy short of processor time carries less).
        QVERIFY2(within(speedKbs, receiverKbs, kTolerance), qPrintable(figures));
        QVERIFY2(speedKbs <= limitKbs * (1 + kTolerance), qPrintable(figures));
        if (within(receiverKbs, limitKbs, kTolerance / 2))
            QVERIFY2(within(speedKbs, limitKbs, kTolerance), qPrintable(figures));
        else
            qWarning() << "the path carried" << receiverKbs << "of" << limitKbs << "kbit/s";
    }

    // As the program runs it: a modal dialog towards the resolved host, started
    // by a click, closed once the button is unchecked.
    void everyModalRunShowsItsResult()
    {
        QWidget window;
        SpeedTest dialog(&window);
        for (int run = 0; run < 20; ++run) {
            QString text;
            QTimer clicker;
            clicker.setInterval(5);
            QObject::connect(&clicker, &QTimer::timeout, [&] {
                if (QApplication::activeModalWidget() != &dialog)
                    return;
                if (!runButton(dialog)->isChecked() && text.isEmpty()) {
                    runButton(dialog)->click();
                    text = QStringLiteral("started");
                } else if (!runButton(dialog)->isChecked()) {
                    text = label(dialog)->text();
                    dialog.accept();
                }
            });
            clicker.start();
            QTimer::singleShot(kRunWaitMs, &dialog, [&] { dialog.reject(); });
            dialog.openFor(QString("SRT://LocalHost:%1").arg(studio.srtPort()), QStringLiteral("modal"), 200);
            QVERIFY2(parseResult(text).hasMatch(), qPrintable(QString("run %1: \"%2\"").arg(run).arg(text)));
        }
        // Resolved and connected with the form's stream ID and latency.
        const QJsonObject seen = StudioProcess::findStream(studio.status(), "modal", "speedtest");
        QCOMPARE(StudioProcess::count(seen, "latency"), qint64(200));
    }

    // Stopped by its button or by the dialog's end, a run's worker ends on its
    // own and closes its connection; nothing replaces "Test stopped.".
    void cutShortRunEndsItsWorker()
    {
        {
            SpeedTest dialog;
            startRun(dialog, studio.srtPort(), "halted");
            runButton(dialog)->click();  // at once: a loopback run lasts well under a second
            QVERIFY(!runButton(dialog)->isChecked());
            QCOMPARE(label(dialog)->text(), QString("Test stopped."));
            QCOMPARE(progress(dialog)->value(), 0);
            QVERIFY(!studio.waitForStream("halted", "speedtest", 0, kListenerWaitMs, false).isEmpty());
            // The worker goes once it has ended, after all it reported.
            QTRY_VERIFY_WITH_TIMEOUT(dialog.findChildren<ThreadTest *>().isEmpty(), kListenerWaitMs);
            QCOMPARE(label(dialog)->text(), QString("Test stopped."));
            const QJsonObject seen = StudioProcess::findStream(studio.status(), "halted", "speedtest");
            QVERIFY(StudioProcess::count(seen, "bytes") < 10485760);

            startRun(dialog, studio.srtPort(), "abandoned");
            QVERIFY(!studio.waitForStream("abandoned", "speedtest", 0, kListenerWaitMs).isEmpty());
        }
        QVERIFY(!studio.waitForStream("abandoned", "speedtest", 0, kListenerWaitMs, false).isEmpty());
    }

    // A run that cannot finish says why, and ends within its bound.
    void failedRunSaysWhy_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QString>("text");
        QTest::newRow("nobody listens")
            << "none" << "Connection failed: SRT CONNECT FAILED (connection timed out (no answer from the server))";
        QTest::newRow("other passphrase") << "sealed" << QString("Connection failed: SRT CONNECT FAILED (%1)")
                                                              .arg(srt_rejectreason_str(SRT_REJ_BADSECRET));
        QTest::newRow("never reads") << "stuck" << SpeedTest::kNotAcknowledgedText;
        QTest::newRow("server goes away") << "deserted" << "Test failed, count errors:20";
    }
    void failedRunSaysWhy()
    {
        QFETCH(QString, peer);
        QFETCH(QString, text);
        StudioProcess studio(peer == "sealed" ? QStringList{"--passphrase", "speed passphrase"} : QStringList());
        SrtTestServer stuck(SrtTestServer::NeverRead);
        std::unique_ptr<LossyPath> limit;
        quint16 port = freeLoopbackPort();
        if (peer == "stuck") {
            QVERIFY(stuck.listen());
            port = stuck.port();
        } else if (peer != "none") {
            QVERIFY2(studio.start(), studio.output().constData());
            limit = std::make_unique<LossyPath>(studio.srtPort(), "0", kRateLimit);
            QVERIFY(limit->ready());
            port = limit->port();
        }
        SpeedTest dialog;
        QElapsedTimer run;
        run.start();
        startRun(dialog, port, peer, peer == "sealed" ? QByteArray("other passphrase") : QByteArray());
        if (peer == "deserted") {
            QVERIFY(!studio.waitForStream(peer, "speedtest", 1000000, kRunWaitMs).isEmpty());
            QVERIFY(studio.stop());  // the server closes its connections as it goes: the sends fail at once
        }
        QVERIFY(runEnds(dialog));
        QCOMPARE(label(dialog)->text(), text);
        // Given up once nothing was acknowledged for the latency plus two seconds.
        if (peer == "stuck")
            QVERIFY2(run.elapsed() >= 2120, qPrintable(QString::number(run.elapsed())));
    }
};

ORVANTA_TEST_MAIN(TestSpeedTest, TestMain::Gui)
#include "tst_SpeedTest.moc"
