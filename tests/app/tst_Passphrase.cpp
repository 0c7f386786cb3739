#include "app/BroadcastPlan.h"
#include "app/BroadcastSession.h"
#include "app/LinkSharing.h"
#include "app/MainWindow.h"
#include "app/StatusArea.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TestMain.h"
#include "ui_MainWindow.h"

namespace {
const QString kPassphrase = QStringLiteral("a/b c%d srt://e");
const QString kField = QStringLiteral("a%2Fb%20c%25d%20srt%3A%2F%2Fe");
}

// The passphrase in the advanced form, the settings and links, and a
// broadcast that the studio takes because of it.
class TestPassphrase : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        QSettings(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta").clear();
    }

    void linksCarryItOnlyWhenSet()
    {
        LinkFields fields{"srt://10.0.0.5:9000", "cam1", 2000, "128", "HD", false};
        QCOMPARE(LinkSharing::buildLink(fields), QString("srt://10.0.0.5:9000/cam1/2000/128/HD"));
        fields.twoFrames = true;
        QCOMPARE(LinkSharing::buildLink(fields), QString("srt://10.0.0.5:9000/cam1/2000/128/HD/DBL"));
        fields.passphrase = kPassphrase;
        QCOMPARE(LinkSharing::buildLink(fields), "srt://10.0.0.5:9000/cam1/2000/128/HD/DBL/" + kField);
        fields.twoFrames = false;
        const QString link = LinkSharing::buildLink(fields);
        QCOMPARE(link, "srt://10.0.0.5:9000/cam1/2000/128/HD//" + kField);
        // Sharing rewrites "srt://" only, never the passphrase.
        QCOMPARE(LinkSharing::shareableLink(link), "orvanta://10.0.0.5:9000/cam1/2000/128/HD//" + kField);
        QCOMPARE(LinkSharing::shareableLink("SRT://h:1/s"), QString("orvanta://SRT://h:1/s"));
        // Any character stays inside its field.
        fields.passphrase = "it's $(touch pwned) `touch pwned2` \"; /x";
        QCOMPARE(LinkSharing::passphraseFromField(LinkSharing::buildLink(fields).section('/', 8, 8)), fields.passphrase);
    }

    // The seventh field fills the hidden field and the copied link, older
    // links clear it, and the settings keep it under its key.
    void formAndSettings()
    {
        {
            MainWindow window("");
            Ui::MainWindow *ui = window.form();
            QCOMPARE(ui->txtPassphrase->echoMode(), QLineEdit::Password);
            window.loadSettings("orvanta://h:9000/id/2048/128/HD//" + kField);
            QCOMPARE(ui->txtPassphrase->text(), kPassphrase);
            QVERIFY(!ui->chkCombined->isChecked());
            ui->actionCopy_Link->trigger();
            QCOMPARE(QApplication::clipboard()->text(), "orvanta://h:9000/id/2048/128/HD//" + kField);
            QCOMPARE(window.statusBar()->currentMessage(), QString(LinkSharing::kCopiedWithPassphraseText));
            window.loadSettings("orvanta://h:9000/id/2048/128/HD/DBL");
            QCOMPARE(ui->txtPassphrase->text(), QString());
            QCOMPARE(window.buildLink(), QString("h:9000/id/2048/128/HD/DBL"));
            ui->txtPassphrase->setText(kPassphrase);
            window.close();
        }
        QCOMPARE(QSettings(TestMain::settingsFile(), QSettings::IniFormat).value("PASSPHRASE").toString(), kPassphrase);
        MainWindow again("");
        QCOMPARE(again.form()->txtPassphrase->text(), kPassphrase);
    }

    void lengthIsCheckedAsTypedAndAtStart_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("usable");
        QTest::newRow("nine") << "123456789" << false;
        QTest::newRow("ten") << "1234567890" << true;
        QTest::newRow("seventy-nine") << QString(79, 'p') << true;
        QTest::newRow("none: no encryption") << QString() << true;
    }
    // libsrt's rule in plain words, in the status line while typing and at
    // Start, which then does not begin a broadcast; a usable one clears it.
    void lengthIsCheckedAsTypedAndAtStart()
    {
        QFETCH(QString, typed);
        QFETCH(bool, usable);
        QVERIFY(BroadcastPlan::passphraseProblem(QByteArray(80, 'p')).startsWith("The passphrase must be 10 to 79"));
        MainWindow window("");
        Ui::MainWindow *ui = window.form();
        auto *area = window.findChild<StatusArea *>("statusArea");
        QVERIFY(area);
        ui->txtURL->setText("127.0.0.1:9");
        ui->txtStreamID->setText("sealed");
        ui->txtPassphrase->setFocus();
        QTest::keyClicks(ui->txtPassphrase, "x");
        ui->txtPassphrase->clear();
        QTest::keyClicks(ui->txtPassphrase, typed);
        const QString rule = QString("The passphrase must be 10 to 79 characters long (now %1), or empty for no encryption.")
                                 .arg(typed.size());
        QCOMPARE(area->fullText(), usable ? QString() : rule);
        QCOMPARE(ui->txtPassphrase->toolTip().contains(rule), !usable);
        QVERIFY(ui->txtPassphrase->toolTip().startsWith("Encrypts the stream"));
        if (usable)
            return;
        ui->cmdStart->click();
        QCOMPARE(area->fullText(), rule);
        QCOMPARE(window.broadcastSession()->state(), BroadcastSession::State::Idle);
        QCOMPARE(ui->stackedWidget->currentIndex(), int(MainWindow::ConnectionPage));
    }

    // Taken by a studio that asks for it: all three streams open. The
    // passphrase is never logged. (A refusal's reason is the transport's
    // suite's, its display the broadcast session's.)
    void acceptedBroadcast()
    {
        const QString passphrase = "the studio's passphrase";
        StudioProcess studio({"--passphrase", passphrase});
        QVERIFY2(studio.start(), studio.output().constData());
        MessageCapture log;
        MainWindow window(QString("orvanta://127.0.0.1:%1/sealed/1024/64/SD//").arg(studio.srtPort())
                          + LinkSharing::passphraseField(passphrase));
        Ui::MainWindow *ui = window.form();
        QCOMPARE(ui->stackedWidget->currentIndex(), int(MainWindow::PreviewPage));
        QVERIFY(!studio.waitForStream("sealed", "media", 50000, 20000).isEmpty());
        QVERIFY(!studio.waitForStream("sealed", "control", 0, 20000).isEmpty());
        QVERIFY(!studio.waitForStream("sealed", "feedback", 0, 20000).isEmpty());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::mouseClick(ui->stopBtn, Qt::LeftButton);
        QCOMPARE(ui->stackedWidget->currentIndex(), int(MainWindow::ConnectionPage));
        window.close();
        for (const QString &secret : {passphrase, LinkSharing::passphraseField(passphrase)})
            QCOMPARE(log.count(secret), 0);
    }
};

ORVANTA_TEST_MAIN(TestPassphrase, TestMain::Offscreen | TestMain::PrivateFolders)
#include "tst_Passphrase.moc"
