#include "tests/support/BoxWatcher.h"
#include "tests/support/HttpFake.h"

#include "app/LookupAnswer.h"
#include "app/MainWindow.h"
#include "app/TLabel.h"
#include "app/TNumberEdit.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
const int kWaitMs = 10000;
const QString kManifestPath = "/downloads/orvanta_win.json";
} // namespace

// The window's own wiring of lookup, update check, link sharing, CPU label and logs.
class TestMainWindowServices : public QObject
{
    Q_OBJECT
    QTemporaryDir configDir;
    HttpFake server;

    void configure(const QByteArray &manifest)
    {
        QSettings settings(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta");
        settings.clear();
        settings.setValue("LOOKUP_ORIGIN", server.origin());
        settings.setValue("UPDATE_URL", server.origin() + kManifestPath);
        settings.sync();
        server.setReply(kManifestPath, 200, manifest);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(configDir.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, configDir.path());
    }

    void updateOfferedAtStart()
    {
        configure("{\"build\":23,\"msg\":\"New\",\"url\":\"http://dl/23\"}");
        BoxWatcher watcher("Remind Later");
        MainWindow window(QString{});
        QVERIFY(QTest::qWaitFor([&] { return watcher.seen; }, kWaitMs));
        QCOMPARE(watcher.title, QString("Update Info"));
        QCOMPARE(watcher.parent, &window);
    }

    void lookupFillsFormAndStarts()
    {
        configure("{\"build\":22}");
        server.setReply("/api/srt/get_url/123-456-789", 200,
                        "{\"url\":\"srt://127.0.0.1:9/cam7/3000/256/SD/DBL\"}");
        MainWindow window(QString{});
        Ui::MainWindow *ui = window.form();
        ui->numberEdit->setText("123-456-789");
        ui->startBtn_1->click();
        QCOMPARE(ui->startBtn_1->text(), QString("Wait..."));
        QVERIFY(!ui->startBtn_1->isEnabled());
        QVERIFY(!ui->modeLbl->isEnabled());
        QCOMPARE(window.settingsStore()->value("NUMBER").toString(), QString("123-456-789"));
        QVERIFY(QTest::qWaitFor([&] { return ui->stackedWidget->currentIndex() == MainWindow::PreviewPage; },
                                kWaitMs));
        QCOMPARE(ui->txtURL->text(), QString("127.0.0.1:9"));
        QCOMPARE(ui->txtStreamID->text(), QString("cam7"));
        QCOMPARE(ui->startBtn_1->text(), QString("Start"));
        QVERIFY(ui->startBtn_1->isEnabled());
        QVERIFY(ui->modeLbl->isEnabled());
        QVERIFY(server.requestedPaths().contains("/api/srt/get_url/123-456-789"));
        window.toggleStreaming();
        QCOMPARE(ui->stackedWidget->currentIndex(), int(MainWindow::ConnectionPage));

        // The form's fields as a shared link.
        QCOMPARE(window.buildLink(), QString("127.0.0.1:9/cam7/%1/%2/%3%4")
                                         .arg(ui->spbVBR->value())
                                         .arg(ui->cmbABR->currentText(), ui->cmbFrames->currentText(),
                                              ui->chkCombined->isChecked() ? "/DBL" : ""));
        ui->actionCopy_Link->trigger();
        QCOMPARE(QApplication::clipboard()->text(), "orvanta://" + window.buildLink());
    }

    void lookupWithUnusableLinkStartsNothing()
    {
        configure("{\"build\":22}");
        QSettings stored(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta");
        stored.setValue("URL", "127.0.0.1:9");
        stored.setValue("STREAMID", "saved");
        stored.sync();
        server.setReply("/api/srt/get_url/123-456-789", 200, "{\"url\":\"file:///etc/passwd\"}");
        MainWindow window(QString{});
        Ui::MainWindow *ui = window.form();
        ui->numberEdit->setText("123-456-789");
        BoxWatcher watcher;
        ui->startBtn_1->click();
        QVERIFY(QTest::qWaitFor([&] { return watcher.seen; }, kWaitMs));
        QCOMPARE(watcher.title, QString("Error"));
        QCOMPARE(watcher.text, QString(LookupAnswer::kUnusableLink));
        QCOMPARE(ui->txtURL->text(), QString("127.0.0.1:9"));
        QCOMPARE(ui->txtStreamID->text(), QString("saved"));
        QTest::qWait(50);
        QCOMPARE(ui->stackedWidget->currentIndex(), int(MainWindow::ConnectionPage));
        QCOMPARE(ui->startBtn_1->text(), QString("Start"));
    }

    void logsAndCpuLabel()
    {
        configure("{\"build\":22}");
        MainWindow window(QString{});
        window.form()->actionLogs->trigger();
        auto *logs = qobject_cast<QWidget *>(
            [] {
                for (QWidget *widget : QApplication::topLevelWidgets())
                    if (widget->objectName() == "LogsDlg" && widget->isVisible())
                        return widget;
                return static_cast<QWidget *>(nullptr);
            }());
        QVERIFY(logs);
        QVERIFY(logs->findChild<QPlainTextEdit *>()->toPlainText().startsWith("--- System Info ---\n"));
        logs->close();

        auto *cpu = window.findChild<QLabel *>("cpuLabel");
        QVERIFY(cpu);
        QCOMPARE(cpu->toolTip(), QString("Total CPU activity"));
        QVERIFY(QTest::qWaitFor([&] { return !cpu->text().isEmpty(); }, kWaitMs));
        QVERIFY(cpu->text().contains(QRegularExpression("^CPU: -?\\d+%$")));
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestMainWindowServices test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_MainWindowServices.moc"
