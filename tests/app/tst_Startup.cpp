#include "app/LogsDlg.h"
#include "app/Startup.h"
#include "diagnostics/LogFile.h"
#include "tests/support/TestMain.h"

// Start-up before the window: the command line, the platform, the logs
// window and the style sheet.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    // The link to open and what is printed instead of starting, both from
    // the first argument only.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("begins");
        const QString version = "orvanta 1.0 (build 22)\n";
        const QString help = version + "Streams the screen";
        QTest::newRow("program only") << QStringList{"orvanta"} << QString() << QString();
        QTest::newRow("no arguments at all") << QStringList{} << QString() << QString();
        QTest::newRow("link") << QStringList{"orvanta", "orvanta://h:9000/id"} << "orvanta://h:9000/id" << QString();
        QTest::newRow("any scheme") << QStringList{"orvanta", "x://h:1"} << "x://h:1" << QString();
        QTest::newRow("no scheme separator") << QStringList{"orvanta", "h:9000/id"} << QString() << QString();
        QTest::newRow("single slash") << QStringList{"orvanta", "orvanta:/h:9000"} << QString() << QString();
        QTest::newRow("option before the link")
            << QStringList{"orvanta", "--verbose", "orvanta://h:9000/id"} << QString() << QString();
        QTest::newRow("later arguments ignored")
            << QStringList{"orvanta", "orvanta://a:1/x", "orvanta://b:2/y", "--help"} << "orvanta://a:1/x" << QString();
        QTest::newRow("--version") << QStringList{"orvanta", "--version", "orvanta://h:1/x"} << QString() << version;
        QTest::newRow("-v") << QStringList{"orvanta", "-v"} << QString() << version;
        QTest::newRow("--help") << QStringList{"orvanta", "--help"} << QString() << help;
        QTest::newRow("-h") << QStringList{"orvanta", "-h"} << QString() << help;
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, begins);
        QTEST(Startup::linkArgument(arguments), "link");
        const QString answer = Startup::commandLineAnswer(arguments);
        QVERIFY2(begins.isEmpty() ? answer.isEmpty() : answer.startsWith(begins), qPrintable(answer));
        if (answer.contains("Usage"))
            QVERIFY(answer.contains("/orvanta/orvanta.log"));
    }

    void choosePlatform_data()
    {
        // Unset is written as a null string, set-but-empty as "".
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QString>("display");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("platformAfter");
        QTest::newRow("wayland session with XWayland") << QString() << ":1" << "xcb" << "xcb";
        QTest::newRow("user's own platform kept") << "wayland" << ":1" << QString() << "wayland";
        QTest::newRow("offscreen kept") << "offscreen" << ":0" << QString() << "offscreen";
        QTest::newRow("no X server") << QString() << QString() << QString() << QString();
        QTest::newRow("empty DISPLAY") << QString() << "" << QString() << QString();
    }

    void choosePlatform()
    {
        QFETCH(QString, platform);
        QFETCH(QString, display);
        QFETCH(QString, chosen);
        QFETCH(QString, platformAfter);
        const QByteArray savedPlatform = qgetenv("QT_QPA_PLATFORM");
        const QByteArray savedDisplay = qgetenv("DISPLAY");
        const auto setOrUnset = [](const char *name, const QString &value) {
            if (value.isNull())
                qunsetenv(name);
            else
                qputenv(name, value.toUtf8());
        };
        setOrUnset("QT_QPA_PLATFORM", platform);
        setOrUnset("DISPLAY", display);
        const QString result = Startup::choosePlatform();
        const QString after = qEnvironmentVariableIsSet("QT_QPA_PLATFORM") ? qEnvironmentVariable("QT_QPA_PLATFORM") : QString();
        qputenv("QT_QPA_PLATFORM", savedPlatform);
        qputenv("DISPLAY", savedDisplay);
        QCOMPARE(result, chosen);
        QCOMPARE(after, platformAfter);
    }

    void logsWindowNamesTheSessionLog()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath("orvanta/orvanta.log");
        QVERIFY(LogFile::install(path));
        LogsDlg logs;
        LogFile::uninstall();
        const QString text = logs.findChild<QPlainTextEdit *>()->toPlainText();
        QVERIFY(text.startsWith("--- System Info ---\n"));
        QVERIFY2(text.contains("--- Session log ---\nThe running log of this session is written to " + path), qPrintable(text));
    }

    void styleSheetStylesNamedWidgets()
    {
        qApp->setStyleSheet(Startup::styleSheet());
        QWidget window;
        auto *plain = new QLineEdit(&window);
        auto *number = new QLineEdit(&window);
        number->setObjectName("numberEdit");
        auto *combo = new QComboBox(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(plain->palette().color(QPalette::Text), QColor("#EA700C"));
        QCOMPARE(QFontInfo(plain->font()).pixelSize(), 14);
        QCOMPARE(QFontInfo(number->font()).pixelSize(), 24);
        QCOMPARE(combo->palette().color(QPalette::ButtonText), QColor("#EA700C"));
        qApp->setStyleSheet(QString());
    }
};

ORVANTA_TEST_MAIN(TestStartup, TestMain::Gui)
#include "tst_Startup.moc"
