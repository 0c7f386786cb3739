#include "app/services/SettingsKeys.h"
#include "app/services/Startup.h"
#include "media/engine/MFScreenCastEvents.h"
#include "tests/support/DesktopBroadcast.h"

#include "tests/support/TestMain.h"

#include <csignal>

namespace {

// The desktop (wayland-desktop.sh): a 1280x720 output; windows titled
// orvanta-left and orvanta-right float 400x400 at (40,60) and (520,60).
const QRect kLeft(40, 60, 400, 400), kRight(520, 60, 400, 400);
const QColor kRed(220, 30, 30), kGreen(30, 200, 60), kBlue(30, 60, 230), kYellow(240, 220, 20), kBlack(0, 0, 0);

QByteArray fileText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
QByteArray backendLog() { return fileText(qEnvironmentVariable("ORVANTA_PORTAL_BACKEND_LOG")); }

// A window in one colour whose corner keeps changing: the backend copies
// the screen only when something on it changes.
class LiveWindow : public QWidget
{
public:
    QColor colour;
    LiveWindow(const QString &title, const QColor &c) : colour(c)
    {
        setWindowTitle(title);
        resize(400, 400);
        connect(&m_timer, &QTimer::timeout, this, [this] { ++m_tick; update(0, 0, 8, 8); });
        m_timer.start(40);
    }
    void setColour(const QColor &c) { colour = c; update(); }
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.fillRect(rect(), colour);
        p.fillRect(0, 0, 8, 8, (m_tick % 2) ? colour.darker(130) : colour.lighter(130));
    }
    QTimer m_timer;
    int m_tick = 0;
};

// Where a desktop point lands in the SD picture of the whole output.
QPoint onOutput(const QPoint &desktop) { return DesktopBroadcast::inPicture(QSize(1280, 720), desktop); }

} // namespace

// Screen sharing through the desktop portal, each picture as the studio recorded it.
class TestPortalCapture : public QObject, DesktopBroadcast
{
    Q_OBJECT

    std::unique_ptr<LiveWindow> xwaylandWindow;
    QProcess waylandWindow;
    QString statusSeen;

    // Chooses this source; true once the portal shares it (or at once, not waiting for that).
    bool choose(const QString &text, bool waitForSharing = true)
    {
        QSignalSpy started(&mf::MFScreenCastEvents::instance(), &mf::MFScreenCastEvents::sharingStarted);
        QAction *entry = screenEntry(text);
        if (entry)
            DesktopBroadcast::choose(entry);
        return entry && (!waitForSharing || !started.isEmpty() || started.wait(kWaitMs));
    }
    QString status() const { return ui->statusbar->currentMessage(); }

private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QString("xcb"));
        QVERIFY(!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"));
        // Without Qt's Wayland platform the program would be an X11 client anyway.
        QVERIFY2(QFile::exists(QLibraryInfo::location(QLibraryInfo::PluginsPath) + "/platforms/libqwayland-generic.so"),
                 "qtwayland5 is not installed (scripts/deps.sh installs it)");
        QVERIFY(startStudio("Desktop"));

        // A native Wayland window (this program again) and an XWayland one.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "wayland");
        waylandWindow.setProcessEnvironment(env);
        waylandWindow.setProcessChannelMode(QProcess::ForwardedChannels);
        waylandWindow.start(QCoreApplication::applicationFilePath(), {"--live-window", "orvanta-left", kRed.name()});
        QVERIFY(waylandWindow.waitForStarted(kWaitMs));
        xwaylandWindow = std::make_unique<LiveWindow>("orvanta-right", kGreen);
        xwaylandWindow->show();
        QVERIFY(QTest::qWaitForWindowExposed(xwaylandWindow.get()));
        connect(&mf::MFScreenCastEvents::instance(), &mf::MFScreenCastEvents::problemReported, this,
                [this](int, const QString &text) { statusSeen = text; });
    }

    void cleanupTestCase()
    {
        if (window)
            window->close();
        window.reset();
        xwaylandWindow.reset();
        waylandWindow.kill();
        waylandWindow.waitForFinished(5000);
    }

    // The program's own start: without QT_QPA_PLATFORM it is an X11 client
    // even where Qt's Wayland platform is installed.
    void programComesUpUnderXWayland()
    {
        PrivateHome home;
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QT_QPA_PLATFORM");
        env.insert("XDG_CONFIG_HOME", home.configDir());
        env.insert("TMPDIR", home.tempDir());
        env.insert("ORVANTA_SCREEN_CAPTURE", "x11");
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(ORVANTA_BINARY_DIR "/app/orvanta"), QStringList());
        QVERIFY(program.waitForStarted(kWaitMs));
        // sway fails a command whose criteria match no window.
        const QString criteria = QStringLiteral("[pid=%1 shell=\"xwayland\"] nop").arg(program.processId());
        const bool found = QTest::qWaitFor([&] { return run("swaymsg", {criteria}); }, kWaitMs);
        program.terminate();
        if (!program.waitForFinished(5000))
            program.kill();
        QVERIFY(found);
    }

    // The program's window, made here: it asks the portal for the screen as
    // it starts, with the screen layout stored.
    void displayShowsWaylandAndXWaylandWindows()
    {
        QSignalSpy started(&mf::MFScreenCastEvents::instance(), &mf::MFScreenCastEvents::sharingStarted);
        window = std::make_unique<MainWindow>(QString());
        ui = std::make_unique<WindowForm>(window.get());
        ui->connectionStack->setCurrentIndex(PageSwitcher::AdvancedPage);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QVERIFY(startLive("display"));
        QVERIFY2(!started.isEmpty() || started.wait(kWaitMs), qPrintable(statusSeen));
        QVERIFY(recordMore("display", 1.2)); // pictures of the shared screen
        const QImage picture = stopAndTakeLastPicture("display");
        QCOMPARE(picture.size(), QSize(960, 540));
        // The windows' middles and, within a pixel of the scaling, their
        // edges where sway put them; the empty desktop beside.
        const QList<QPair<QPoint, QColor>> expected = {
            {kLeft.center(), kRed}, {kRight.center(), kGreen}, {{480, 600}, kBlack}, {{1200, 100}, kBlack},
            {kLeft.bottomLeft() + QPoint(3, -3), kRed}, {kLeft.bottomLeft() + QPoint(-3, 3), kBlack},
            {kRight.bottomRight() - QPoint(3, 3), kGreen}, {kRight.bottomRight() + QPoint(3, 3), kBlack}};
        for (const auto &point : expected)
            CHECK_COLOUR(picture, onOutput(point.first), point.second);
        QVERIFY(!QSettings(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta")
                     .value(SettingsKeys::ScreenCastToken).toString().isEmpty());
    }

    // The capture frame's rectangle (desktop coordinates) across the red
    // window's right edge, the gap and the green window's left part.
    void areaHoldsTheFrameRectangle()
    {
        QVERIFY2(choose("-- select area --"), qPrintable(statusSeen));
        WCapture *capture = findCapture();
        QVERIFY(capture);
        // Where sway puts the frame is its business: the rectangle reported counts.
        capture->hide();
        const QSize area(320, 200);
        emit capture->onNewPosition(QRect(QPoint(340, 160), area));
        const QImage picture = broadcast("area", 1.2);
        const QList<QPair<QPoint, QColor>> expected = {{{50, 100}, kRed},    {{97, 100}, kRed},    {{103, 100}, kBlack},
                                                       {{177, 100}, kBlack}, {{183, 100}, kGreen}, {{310, 190}, kGreen}};
        for (const auto &point : expected)
            CHECK_COLOUR(picture, inPicture(area, point.first), point.second);
        CHECK_COLOUR(picture, QPoint(20, 270), QColor(0x07, 0xa0, 0xf2)); // letterbox
    }

    // This backend offers monitors only: the window list holds the chooser's
    // entry, disabled, and the reason.
    void windowEntryIsDisabledWithItsReason()
    {
        const QAction *chooser = screenEntry(QString::fromUtf8("Choose a window\u2026"), true);
        const QAction *reason = screenEntry("This desktop's portal offers no window sharing", true);
        QVERIFY(chooser && reason && !chooser->isEnabled() && !reason->isEnabled());
        QCOMPARE(windowsMenu()->actions().size(), 2);
    }

    // The token stored at the first Start answers the next one: the
    // backend restores the output instead of asking its chooser.
    void secondStartReusesTheToken()
    {
        const QString chooserLog = qEnvironmentVariable("ORVANTA_WAYLAND_DIR") + "/chooser.log";
        const int restored = backendLog().count("restore data available");
        const int chooserRuns = fileText(chooserLog).count('\n');
        QVERIFY2(choose("Desktop"), qPrintable(statusSeen));
        QVERIFY(backendLog().count("restore data available") > restored);
        QCOMPARE(fileText(chooserLog).count('\n'), chooserRuns);
    }

    // A dialog that ends without a choice: its text, and the previous
    // stream goes on (it still follows the screen).
    void cancelledChoiceKeepsThePreviousSource()
    {
        mf::MFScreenCastEvents::setRestoreToken(QString()); // so the chooser is asked
        const QString cancelFile = qEnvironmentVariable("ORVANTA_PORTAL_CHOOSER_CANCEL");
        QFile(cancelFile).open(QIODevice::WriteOnly);
        QVERIFY(startLive("cancel"));
        QVERIFY(choose("Desktop", false));
        const QString cancelled = mf::MFScreenCastEvents::text(mf::MFScreenCastEvents::Problem::Cancelled);
        QVERIFY2(QTest::qWaitFor([&] { return status() == cancelled; }, kWaitMs), qPrintable(status()));
        QFile::remove(cancelFile);
        xwaylandWindow->setColour(kBlue);
        QVERIFY(recordMore("cancel", 1.2));
        QCOMPARE(sessionState(), BroadcastSession::State::Live);
        const QImage picture = stopAndTakeLastPicture("cancel");
        CHECK_COLOUR(picture, onOutput(kRight.center()), kBlue);
    }

    // The backend gone mid-broadcast: its text, the last picture stays, and
    // choosing the source again shares the screen anew.
    void backendKilledMidBroadcast()
    {
        QVERIFY(startLive("killed"));
        // The backend D-Bus started last.
        const QString pidFile = qEnvironmentVariable("ORVANTA_WAYLAND_DIR") + "/portal-wlr.pid";
        const pid_t backend = fileText(pidFile).trimmed().toInt();
        QVERIFY(backend > 0 && ::kill(backend, SIGTERM) == 0);
        const QString ended = mf::MFScreenCastEvents::text(mf::MFScreenCastEvents::Problem::Ended);
        QVERIFY2(QTest::qWaitFor([&] { return status().startsWith(ended); }, kWaitMs), qPrintable(status()));
        xwaylandWindow->setColour(kYellow); // not seen: nothing is shared now
        QVERIFY(recordMore("killed", 0.8));
        QCOMPARE(sessionState(), BroadcastSession::State::Live);
        const QImage kept = stopAndTakeLastPicture("killed");
        CHECK_COLOUR(kept, onOutput(kRight.center()), kBlue);

        QVERIFY2(choose("Desktop"), qPrintable(status()));
        CHECK_COLOUR(broadcast("again", 1.2), onOutput(kRight.center()), kYellow);
    }
};

// Also the native Wayland test window, run as a child: --live-window TITLE COLOUR.
int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--live-window") == 0) {
        QApplication app(argc, argv);
        LiveWindow w(QString::fromLocal8Bit(argv[2]), QColor(QString::fromLatin1(argv[3])));
        w.show();
        return app.exec();
    }
    Startup::choosePlatform(); // as the program does
    return TestMain::run<TestPortalCapture>(argc, argv, TestMain::Gui | TestMain::PrivateFolders);
}

#include "tst_PortalCapture.moc"
