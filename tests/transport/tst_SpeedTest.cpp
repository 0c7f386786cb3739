#include "transport/SpeedTest.h"

#include "tests/support/FreePorts.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/SrtTestServer.h"
#include "tests/support/StudioProcess.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <srt/srt.h>

namespace {
constexpr int kRunWaitMs = 60000;

// Closes the next modal window (rejecting it) and remembers what it showed.
struct ModalCloser {
    QString title;
    QString text;
    QWidget *window = nullptr;  // may be gone once the modal call returned
    QWidget *parent = nullptr;

    void arm()
    {
        QTimer::singleShot(0, [this] { poll(0); });
    }
    void poll(int attempt)
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal) {
            if (attempt < 500)
                QTimer::singleShot(10, [this, attempt] { poll(attempt + 1); });
            return;
        }
        window = modal;
        parent = modal->parentWidget();
        title = modal->windowTitle();
        if (auto *box = qobject_cast<QMessageBox *>(modal))
            text = box->text();
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
    }
};

QPushButton *runButton(SpeedTest &dialog)
{
    return dialog.findChild<QPushButton *>("cmdRun");
}
QLabel *label(SpeedTest &dialog)
{
    return dialog.findChild<QLabel *>("label");
}
}

class TestSpeedTest : public QObject
{
    Q_OBJECT
private slots:
    void dialogLayoutAndTexts()
    {
        QWidget window;
        SpeedTest dialog(&window);
        QCOMPARE(dialog.windowTitle(), QString("Speed test"));
        QCOMPARE(dialog.size(), QSize(448, 163));
        QCOMPARE(dialog.styleSheet(), QString("SpeedTest{background-color: #050F15;}"));
        QCOMPARE(label(dialog)->text(),
                 QString("<html><head/><body><p>It works with <span style=\" font-weight:600;\">Calderis 1.3.3 (and "
                         "above)</span> ONLY </p><p>(we will send 10 Mb for test bandwidth)</p></body></html>"));
        QVERIFY(label(dialog)->hasScaledContents());
        QCOMPARE(label(dialog)->alignment(), Qt::AlignCenter);
        auto *progress = dialog.findChild<QProgressBar *>("progressBar");
        QCOMPARE(progress->maximum(), 10485760);
        QCOMPARE(progress->value(), 0);
        QVERIFY(!progress->isTextVisible());
        QCOMPARE(progress->maximumHeight(), 10);
        QVERIFY(runButton(dialog)->isCheckable());
        QCOMPARE(runButton(dialog)->text(), QString("Start"));
    }

    void resultTextLayout()
    {
        QCOMPARE(SpeedTest::resultText(10000, 7968, 0, 0),
                 QString("Speed: 8388 Kbs ( we sent 10 Mb in 10 seconds)\nsend pkts: 7968, lost pkts:0 (0%) , drops "
                         "pkts:0 (0%) "));
        QCOMPARE(SpeedTest::resultText(2345, 8200, 164, 41),
                 QString("Speed: 35772 Kbs ( we sent 10 Mb in 2.345 seconds)\nsend pkts: 8200, lost pkts:164 (2%) , "
                         "drops pkts:41 (0%) "));
    }

    void inputWarnings_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("streamId");
        QTest::addColumn<QString>("warning");
        QTest::newRow("empty stream ID") << "srt://127.0.0.1:9000" << "" << "Please enter streamid.";
        QTest::newRow("empty stream ID first") << "nocolon" << "" << "Please enter streamid.";
        QTest::newRow("no port") << "srt://host" << "abc" << "Incorrect SRT Server. Please enter host and port.";
    }
    void inputWarnings()
    {
        QFETCH(QString, server);
        QFETCH(QString, streamId);
        QFETCH(QString, warning);
        QWidget window;
        SpeedTest dialog(&window);
        ModalCloser closer;
        closer.arm();
        QCOMPARE(dialog.openFor(server, streamId, 120), -1);
        QCOMPARE(closer.title, QString("Warning"));
        QCOMPARE(closer.text, warning);
        QCOMPARE(closer.parent, &window);
    }

    void openPreparesResolvedTarget()
    {
        QWidget window;
        SpeedTest dialog(&window);
        MessageCapture log;
        ModalCloser closer;
        closer.arm();
        QCOMPARE(dialog.openFor("SRT://LocalHost:9000", "abc", 200), int(QDialog::Rejected));
        QCOMPARE(closer.window, &dialog);
        QCOMPARE(dialog.host(), QString("127.0.0.1"));
        QCOMPARE(dialog.port(), 9000);
        QCOMPARE(dialog.streamId(), QString("abc#speedtest"));
        QCOMPARE(dialog.latency(), 200);
        QCOMPARE(log.count("SPEED TEST TO SERVER : localhost(resolved to 127.0.0.1)"), 1);
    }

    void wholeRunAgainstStudio()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        SpeedTest dialog;
        dialog.prepareTest("127.0.0.1", studio.srtPort(), "speedy", 120);
        dialog.show();
        runButton(dialog)->click();
        QVERIFY(runButton(dialog)->isChecked());
        QCOMPARE(label(dialog)->text(), QString("Sending data, please wait..."));
        QVERIFY2(QTest::qWaitFor([&] { return !runButton(dialog)->isChecked(); }, kRunWaitMs),
                 qPrintable(QString::number(dialog.findChild<QProgressBar *>("progressBar")->value()) + " "
                            + QJsonDocument(studio.status()).toJson()));

        const QRegularExpression layout(
            "^Speed: (\\d+) Kbs \\( we sent 10 Mb in ([0-9.e+]+) seconds\\)\nsend pkts: (\\d+), lost pkts:(\\d+) "
            "\\((\\d+)%\\) , drops pkts:(\\d+) \\((\\d+)%\\) $");
        const QRegularExpressionMatch match = layout.match(label(dialog)->text());
        QVERIFY2(match.hasMatch(), qPrintable(label(dialog)->text()));
        QVERIFY(match.captured(3).toInt() >= 7968);
        QCOMPARE(match.captured(1).toInt(), int(83886.0 / match.captured(2).toDouble()));
        QCOMPARE(dialog.findChild<QProgressBar *>("progressBar")->value(), 10485760);
        // The server saw the test stream under its suffixed ID. Its byte count
        // is not checked: a run that ends within the latency window closes the
        // socket while everything is still in the receiver's buffer, and live
        // mode drops that on close.
        const QJsonObject seen = studio.waitForStream("speedy", "speedtest", 0, 10000);
        QVERIFY2(!seen.isEmpty(), qPrintable(QJsonDocument(studio.status()).toJson()));
    }

    void stoppedRunStaysStopped()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        SpeedTest dialog;
        dialog.prepareTest("127.0.0.1", studio.srtPort(), "halted", 120);
        dialog.show();
        runButton(dialog)->click();
        runButton(dialog)->click();  // at once: a loopback run lasts well under a second
        QVERIFY(!runButton(dialog)->isChecked());
        QCOMPARE(label(dialog)->text(), QString("Test stopped."));
        QCOMPARE(dialog.findChild<QProgressBar *>("progressBar")->value(), 0);
        // The worker ends on its own and closes its connection; nothing replaces the text.
        QVERIFY(!studio.waitForStream("halted", "speedtest", 0, 10000, false).isEmpty());
        QTest::qWait(200);
        QCOMPARE(label(dialog)->text(), QString("Test stopped."));
        const QJsonObject seen = StudioProcess::findStream(studio.status(), "halted", "speedtest");
        QVERIFY(qint64(seen.value("bytes").toDouble()) < 10485760);
    }

    void connectionThatStopsTakingDataEndsTheRun()
    {
        SrtTestServer server(SrtTestServer::NeverRead);
        QVERIFY(server.listen());
        SpeedTest dialog;
        dialog.prepareTest("127.0.0.1", server.port(), "stuck", 120);
        dialog.show();
        runButton(dialog)->click();
        // Twenty stalled seconds count as twenty failed sends.
        QVERIFY(QTest::qWaitFor([&] { return !runButton(dialog)->isChecked(); }, kRunWaitMs));
        QCOMPARE(label(dialog)->text(), QString("Test failed, count errors:20"));
    }

    void failedConnectionIsShown()
    {
        SpeedTest dialog;
        dialog.prepareTest("127.0.0.1", freeLoopbackPort(), "lonely", 120);
        dialog.show();
        runButton(dialog)->click();
        QVERIFY(QTest::qWaitFor([&] { return !runButton(dialog)->isChecked(); }, 20000));
        QCOMPARE(label(dialog)->text(), QString("Connection failed: SRT CONNECT FAILED"));
    }
};

QTEST_MAIN(TestSpeedTest)
#include "tst_SpeedTest.moc"
