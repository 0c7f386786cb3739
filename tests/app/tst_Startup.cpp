#include "app/session/LinkHealth.h"
#include "app/links/ServerField.h"
#include "app/services/Startup.h"
#include "app/widgets/TImageWidget.h"
#include "app/widgets/TNumberEdit.h"
#include "diagnostics/LogFile.h"
#include "diagnostics/LogLine.h"
#include "tests/support/TestMain.h"

// Start-up before the window (the command line, the platform, the log file)
// and the parts the window is made of: its own widgets, the server field as
// typed, the health line's texts, and the pictures it draws with, their sizes
// and transparency where they lie over other pictures.
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
        QTest::newRow("no X server") << QString() << QString() << QString() << QString();
        QTest::newRow("empty DISPLAY") << QString() << "" << QString() << QString();
    }

    void choosePlatform()
    {
        QFETCH(QString, platform);
        QFETCH(QString, display);
        const QByteArray saved[] = {qgetenv("QT_QPA_PLATFORM"), qgetenv("DISPLAY")};
        const auto setOrUnset = [](const char *name, const QString &value) {
            return value.isNull() ? qunsetenv(name) : qputenv(name, value.toUtf8());
        };
        setOrUnset("QT_QPA_PLATFORM", platform);
        setOrUnset("DISPLAY", display);
        const QString chosen = Startup::choosePlatform();
        const QString after = qEnvironmentVariableIsSet("QT_QPA_PLATFORM") ? qEnvironmentVariable("QT_QPA_PLATFORM") : QString();
        qputenv("QT_QPA_PLATFORM", saved[0]);
        qputenv("DISPLAY", saved[1]);
        QTEST(chosen, "chosen");
        QTEST(after, "platformAfter");
    }

    // Everything of the debug stream goes to the file as well, which never
    // grows past its limit: the older half is kept once as ".1". Log lines
    // are debug lines of their own category, which filter rules silence.
    void fileKeepsTheLogBoundedAndRotatesOnce()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath("state/orvanta/orvanta.log");
        QVERIFY(LogFile::install(path, 4096));
        QCOMPARE(LogFile::path(), path);
        for (int i = 0; i < 400; ++i)
            logLine(QString("line %1 of the running log").arg(i, 3, 10, QChar('0')));
        QLoggingCategory::setFilterRules("orvanta.log.debug=false");
        logLine("silenced");
        QLoggingCategory::setFilterRules(QString());
        qWarning() << "the last word";
        LogFile::uninstall();
        QVERIFY(LogFile::path().isEmpty());
        logLine("after"); // not in the file
        QFile current(path);
        QFile older(path + ".1");
        QVERIFY(current.open(QIODevice::ReadOnly));
        QVERIFY(older.open(QIODevice::ReadOnly));
        QVERIFY(current.size() <= 4096 && older.size() <= 4096);
        QVERIFY(older.size() > 2048);
        const QByteArray text = current.readAll();
        QVERIFY2(text.endsWith("warning: the last word\n"), text.right(200).constData());
        QVERIFY(text.contains("debug: --LOG: \"line 399 of the running log\""));
        QVERIFY(!text.contains("silenced") && !text.contains("after"));
        QVERIFY(!QFile::exists(path + ".2"));
    }

    // With XDG_STATE_HOME set, the real program's log is found there (the single-instance suite).
    void defaultPathWithoutXdgStateHome()
    {
        const QByteArray saved = qgetenv("XDG_STATE_HOME");
        qunsetenv("XDG_STATE_HOME");
        QCOMPARE(LogFile::defaultPath(), QDir::homePath() + "/.local/state/orvanta/orvanta.log");
        if (!saved.isNull())
            qputenv("XDG_STATE_HOME", saved);
    }
    // A click right of the digits: an empty field starts at its first digit,
    // a full one puts the cursor where the click was. Delete steps right once
    // digits are missing.
    void numberField()
    {
        TNumberEdit edit;
        edit.setInputMask("999-999-999;_");
        edit.setAlignment(Qt::AlignCenter);
        edit.resize(240, 32);
        edit.show();
        QVERIFY(QTest::qWaitForWindowExposed(&edit));
        const QPoint rightOfTheDigits(edit.width() - 30, edit.height() / 2);
        edit.setCursorPosition(0);
        QTest::mouseClick(&edit, Qt::LeftButton, {}, rightOfTheDigits);
        QCOMPARE(edit.cursorPosition(), 0);
        QTest::keyClicks(&edit, "12");
        QCOMPARE(edit.text(), QString("12--"));
        edit.setText("123456789");
        edit.setCursorPosition(0);
        QTest::mouseClick(&edit, Qt::LeftButton, {}, rightOfTheDigits);
        QVERIFY(edit.cursorPosition() > 5);
        QCOMPARE(edit.text(), QString("123-456-789"));

        // Full number: the digit goes, the cursor stays.
        edit.setCursorPosition(0);
        QTest::keyClick(&edit, Qt::Key_Delete);
        QCOMPARE(edit.text(), QString("23-456-789"));
        QCOMPARE(edit.cursorPosition(), 0);
        // Two digits missing: each Delete also steps right, over a separator
        // onto the next digit position.
        edit.setCursorPosition(1);
        const QStringList texts = {"3-456-789", "-456-789", "-56-789", "-6-789"};
        const QList<int> positions = {2, 4, 5, 6};
        for (int i = 0; i < texts.size(); ++i) {
            QTest::keyClick(&edit, Qt::Key_Delete);
            QCOMPARE(edit.text(), texts.at(i));
            QCOMPARE(edit.cursorPosition(), positions.at(i));
        }
        // Other keys never move the cursor by themselves.
        edit.setCursorPosition(8);
        QTest::keyClick(&edit, Qt::Key_Shift);
        QCOMPARE(edit.cursorPosition(), 8);
    }

    // The background covers the widget from its top left corner: cut at the
    // bottom in a wide area, at the right in a tall one.
    void imageWidgetCovers()
    {
        for (const QSize &size : {QSize(640, 120), QSize(120, 500)}) {
            TImageWidget widget;
            widget.resize(size);
            const QImage shown = widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
            const QImage scaled = QPixmap(":/background")
                                      .scaled(size, Qt::KeepAspectRatioByExpanding, Qt::FastTransformation)
                                      .toImage();
            QVERIFY(scaled.width() == size.width() || scaled.height() == size.height());
            QCOMPARE(shown, scaled.copy(QRect(QPoint(0, 0), size)).convertToFormat(QImage::Format_RGB32));
        }
    }

    void split_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<bool>("hasPort");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("plain") << "studio.example:9000" << true << "studio.example:9000" << "studio.example" << 9000;
        QTest::newRow("scheme in any case") << "SRT://Host:9000" << true << "host:9000" << "host" << 9000;
        QTest::newRow("scheme twice") << "srt://srt://h:1" << true << "h:1" << "h" << 1;
        QTest::newRow("port not a number") << "host:abc" << true << "host:abc" << "host" << 0;
        QTest::newRow("third part stays in the text") << "h:9000:x" << true << "h:9000:x" << "h" << 9000;
        QTest::newRow("empty host") << ":9000" << true << ":9000" << "" << 9000;
        QTest::newRow("empty port") << "host:" << true << "host:" << "host" << 0;
        QTest::newRow("no colon") << "srt://studio.example" << false << "studio.example" << "" << 0;
        QTest::newRow("empty") << "" << false << "" << "" << 0;
    }

    void split()
    {
        QFETCH(QString, field);
        const ServerField server(field);
        QTEST(server.hasPort(), "hasPort");
        QTEST(server.text(), "text");
        QTEST(server.host(), "host");
        QTEST(server.port(), "port");
    }

    void everyPictureLoads_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("icon"); // transparent corners, or an opaque picture
        QTest::newRow("background") << ":/background" << QSize(1600, 1000) << false;
        QTest::newRow("splash") << ":/splash" << QSize(1280, 720) << false;
        QTest::newRow("connect") << ":/connect" << QSize(320, 240) << false;
        for (const char *icon : {":/camera", ":/screen", ":/microphone", ":/rubber"})
            QTest::newRow(icon) << QString(icon) << QSize(64, 64) << true;
        for (const char *arrow : {":/arrowLeft.png", ":/arrowRight.png"})
            QTest::newRow(arrow) << QString(arrow) << QSize(60, 46) << true;
        QTest::newRow("pointer") << ":POINTER" << QSize(50, 100) << true;
    }

    void everyPictureLoads()
    {
        QFETCH(QString, path);
        QFETCH(bool, icon);
        const QImage image(path);
        QTEST(image.size(), "size");
        QCOMPARE(qAlpha(image.pixel(0, 0)), icon ? 0 : 255);
        if (icon) {
            QVERIFY(image.hasAlphaChannel());
            QCOMPARE(qAlpha(image.pixel(image.width() - 1, image.height() - 1)), 0);
        }
        if (path == ":POINTER") { // the pen's tip at its hot spot (40, 0..2), nothing else on the top row
            QVERIFY(qAlpha(image.pixel(40, 0)) + qAlpha(image.pixel(40, 1)) + qAlpha(image.pixel(40, 2)) > 0);
            QCOMPARE(qAlpha(image.pixel(30, 0)) + qAlpha(image.pixel(49, 0)), 0);
        }
    }

    // The health line's texts, with the latency in use, for a lowered video
    // rate and for latency advice.
    void healthTexts_data()
    {
        QTest::addColumn<LinkHealth>("health");
        QTest::addColumn<QString>("advice");
        auto row = [](const char *name, int videoKbps, double carriedKbps, int advisedMs, const QString &advice) {
            LinkHealth health;
            health.sendKbps = 1300;
            health.rttMs = 40;
            health.latencyMs = 120;
            health.videoKbps = videoKbps;
            health.videoCeilingKbps = 2048;
            health.carriedKbps = carriedKbps;
            health.advisedLatencyMs = advisedMs;
            QTest::newRow(name) << health << advice;
        };
        row("set rate", 2048, 0, 0, {});
        row("fixed rate", 0, 0, 0, {});
        row("lowered", 1100, 1290, 0, "; video 1.1 of 2.0 Mbit/s: the connection carries about 1.3 Mbit/s");
        row("advice", 2048, 0, 360, "; a latency of 360 ms would repair these losses");
        row("both", 900, 1210, 240, "; video 0.9 of 2.0 Mbit/s: the connection carries about 1.2 Mbit/s"
                                    "; a latency of 240 ms would repair these losses");
    }

    void healthTexts()
    {
        QFETCH(LinkHealth, health);
        QFETCH(QString, advice);
        const QString figures =
            "1300 kbit/s, RTT 40 ms, latency 120 ms, loss 0.0 %, retransmitted 0.0 %, dropped 0 packets, 0 frames";
        QCOMPARE(health.text(), "Live: " + figures + advice);
        QCOMPARE(health.figuresText(), figures + advice);
        // Silent: data went out and nothing was acknowledged.
        QVERIFY(!health.serverSilent());
        health.packetsSent = 90;
        QVERIFY(health.serverSilent());
        health.acksReceived = 1;
        QVERIFY(!health.serverSilent());
    }
};

ORVANTA_TEST_MAIN(TestStartup, TestMain::Gui)
#include "tst_Startup.moc"
