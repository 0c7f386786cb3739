#include "media/Mixer.h"
#include "media/ScreenSource.h"
#include "media/engine/DevicePixels.h"
#include "overlay/CompositorWatch.h"
#include "overlay/DrawingForm.h"
#include "overlay/TAppController.h"
#include "overlay/TCropDlg.h"
#include "tests/support/DesktopBroadcast.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/PaintedWindow.h"
#include "ui_WCapture.h"

#include "tests/support/TestMain.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cmath>
#include <functional>

namespace {

constexpr int kWaitMs = DesktopBroadcast::kWaitMs;
const QColor kPurple(200, 30, 230), kYellow(240, 220, 20), kGreen(20, 200, 60), kCyan(20, 220, 220);
const QColor kBackground(0x07, 0xa0, 0xf2);

// The share of a picture's pixels (every eighth way) near this colour.
double share(const QImage &picture, const QColor &colour, int tolerance = 30)
{
    int near = 0, all = 0;
    for (int y = 2; y < picture.height(); y += 8)
        for (int x = 2; x < picture.width(); x += 8, ++all)
            near += coloursNear(QColor(picture.pixel(x, y)), colour, tolerance) ? 1 : 0;
    return all ? double(near) / all : 0;
}

bool xdotool(const QStringList &arguments) { return DesktopBroadcast::run("xdotool", arguments); }
bool pointerTo(const QPoint &p) { return xdotool({"mousemove", QString::number(p.x()), QString::number(p.y())}); }

// The checks' X connection; open to the end, as the background pixmap needs.
Display *x11()
{
    static Display *display = XOpenDisplay(nullptr);
    return display;
}

// What the X server shows in this device-pixel rectangle of the root window,
// compositor included; the pointer is not in it.
QImage rootShot(const QRect &area)
{
    Display *d = x11();
    XImage *image = XGetImage(d, DefaultRootWindow(d), area.x(), area.y(), unsigned(area.width()),
                              unsigned(area.height()), AllPlanes, ZPixmap);
    if (!image)
        return {};
    const QImage shot = QImage(reinterpret_cast<const uchar *>(image->data), area.width(), area.height(),
                               image->bytes_per_line, QImage::Format_RGB32).copy();
    XDestroyImage(image);
    return shot;
}

// A root background that differs at every place, named for the compositor.
void setRootPattern()
{
    Display *d = x11();
    const int screen = DefaultScreen(d), w = DisplayWidth(d, screen), h = DisplayHeight(d, screen);
    const unsigned depth = unsigned(DefaultDepth(d, screen));
    const Window root = DefaultRootWindow(d);
    Pixmap pixmap = XCreatePixmap(d, root, unsigned(w), unsigned(h), depth);
    XImage *image = XCreateImage(d, DefaultVisual(d, screen), depth, ZPixmap, 0, nullptr, unsigned(w), unsigned(h), 32, 0);
    image->data = static_cast<char *>(malloc(size_t(image->bytes_per_line) * size_t(h)));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            XPutPixel(image, x, y, (unsigned(255 * x / w) << 16) | (unsigned(255 * y / h) << 8)
                                       | (((x / 64 + y / 64) % 2) ? 220u : 20u));
    GC gc = XCreateGC(d, pixmap, 0, nullptr);
    XPutImage(d, pixmap, gc, image, 0, 0, 0, 0, unsigned(w), unsigned(h));
    XFreeGC(d, gc);
    XDestroyImage(image);
    XSetWindowBackgroundPixmap(d, root, pixmap);
    XChangeProperty(d, root, XInternAtom(d, "_XROOTPMAP_ID", False), XA_PIXMAP, 32, PropModeReplace,
                    reinterpret_cast<unsigned char *>(&pixmap), 1);
    XClearWindow(d, root);
    XSync(d, False);
}

// Whether a recorded 960 x 540 picture shows this shot of the captured area,
// fitted as the mixer fits it: by their normalised RMS difference.
bool shows(const QImage &picture, const QImage &shot)
{
    if (picture.size() != QSize(960, 540) || shot.isNull())
        return false;
    const QPoint origin = DesktopBroadcast::inPicture(shot.size(), QPoint(0, 0));
    const QSize fitted(960 - 2 * origin.x(), 540 - 2 * origin.y());
    const QImage expected = shot.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    double sum = 0;
    qint64 n = 0;
    // Two pixels in from the edges, where scaling blends in the outside.
    for (int y = 2; y < fitted.height() - 2; y += 2)
        for (int x = 2; x < fitted.width() - 2; x += 2) {
            const QColor a(picture.pixel(origin + QPoint(x, y))), b(expected.pixel(x, y));
            for (const int diff : {a.red() - b.red(), a.green() - b.green(), a.blue() - b.blue()})
                sum += double(diff) * diff, ++n;
        }
    const double distance = n ? std::sqrt(sum / n) / 255.0 : 1.0;
    qInfo("picture and screen differ by %.3f", distance);
    return distance < 0.12;
}

// Counts the presses, and the moves with a button held, that a window receives, without taking them.
struct MouseCounter : QObject
{
    int presses = 0, drags = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        presses += event->type() == QEvent::MouseButtonPress ? 1 : 0;
        drags += event->type() == QEvent::MouseMove && static_cast<QMouseEvent *>(event)->buttons() != Qt::NoButton;
        return false;
    }
};

} // namespace

// The capture overlay on a real desktop (desktop.sh), checked in what the studio recorded.
class TestOverlayDesktop : public QObject, DesktopBroadcast
{
    Q_OBJECT

    WCapture *capture = nullptr;
    std::vector<std::unique_ptr<QWidget>> scene;
    bool expectComposited = false;

    QWidget *paint(const QRect &geometry, const QColor &colour, const QString &title = QString())
    {
        QWidget *w = paintedWindow(geometry, colour);
        w->setWindowTitle(title);
        scene.emplace_back(w);
        (void)QTest::qWaitForWindowExposed(w);
        return w;
    }

    // Places the tool bar so that the frame's top-left is there, as a drag ending there does.
    bool placeFrame(const QPoint &topLeft)
    {
        capture->move(topLeft - QPoint(0, 51));
        if (!QTest::qWaitFor([&] { return capture->frameWindow()->pos() == topLeft; }, kWaitMs))
            return false;
        QTest::mouseRelease(capture, Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
        return true;
    }

    // Whether the last picture, after some seconds of grabs and a second of pictures recorded
    // after them (the encoder needs those for full detail), shows what the X server shows in the
    // placed frame's inside after the grabs (right after a move, a compositor may still show the
    // old place), and not this other shot.
    bool settledPictureShows(const QString &id, const QImage &other)
    {
        const QRect inside = placedInside();
        const ScreenSource *source = window->findChild<Mixer *>("mixer")->screenSource();
        const quint64 grabsAt = source->grabCount();
        if (!inside.isValid() || !QTest::qWaitFor([&] { return source->grabCount() > grabsAt + 75; }, 3 * kWaitMs))
            return false;
        const QImage shot = rootShot(inside);
        if (!recordMore(id, 1.0, 3 * kWaitMs))
            return false;
        const QImage last = stopAndTakeLastPicture(id);
        return shows(last, shot) && !shows(last, other);
    }

    // Opens the crop dialog and, once it shows, answers it so.
    void cropDialog(const std::function<void(TCropDlg *)> &answer)
    {
        QTimer::singleShot(0, this, [&] {
            TCropDlg *dialog = nullptr;
            QTRY_VERIFY_WITH_TIMEOUT((dialog = qobject_cast<TCropDlg *>(QApplication::activeModalWidget())), kWaitMs);
            answer(dialog);
        });
        ui->cropBtn->setEnabled(true);
        ui->cropBtn->click();
    }

    // The frame's inside at the X server (less the 5-pixel border), where the capture area must be.
    QRect placedInside() const
    {
        const ::Window frame = ::Window(capture->frameWindow()->winId());
        int x = 0, y = 0;
        ::Window child = 0;
        XWindowAttributes a{};
        if (!XTranslateCoordinates(x11(), frame, DefaultRootWindow(x11()), 0, 0, &x, &y, &child)
            || !XGetWindowAttributes(x11(), frame, &a))
            return {};
        const int border = qRound(5 * capture->frameWindow()->devicePixelRatioF());
        const QRect server = QRect(x, y, a.width, a.height).adjusted(border, border, -border, -border);
        const QRect mapped = mf::DevicePixels::toDevice(capture->captureRect());
        const QPoint dp = server.topLeft() - mapped.topLeft();
        const QSize ds = server.size() - mapped.size();
        if (qMax(qAbs(dp.x()), qAbs(dp.y())) <= 1 && qMax(qAbs(ds.width()), qAbs(ds.height())) <= 1)
            return server;
        qWarning() << "the capture area" << mapped << "is not the frame's inside" << server;
        return QRect();
    }

private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QString("xcb"));
        QVERIFY(x11());
        expectComposited = qgetenv("ORVANTA_EXPECT_COMPOSITOR") == "1";
        CompositorWatch watch;
        QVERIFY2(QTest::qWaitFor([&] { return watch.check() == expectComposited; }, kWaitMs),
                 "the compositing manager is not in the state the runner set up");
        // Xvfb's Xinerama: two monitors, both at the origin, unless told otherwise.
        QCOMPARE(QGuiApplication::screens().size(),
                 qEnvironmentVariableIsSet("ORVANTA_EXPECT_SCREENS") ? qEnvironmentVariableIntValue("ORVANTA_EXPECT_SCREENS") : 2);
        setRootPattern();
        // The frame from the settings, and a link that starts a broadcast at once.
        QVERIFY(startStudio("-- select area --"));
        // The window manager places the tool bar elsewhere: centred under the pointer.
        paint(QRect(0, 0, 620, 560), kPurple);
        QVERIFY(pointerTo(mf::DevicePixels::toDevice(QPoint(965, 300), QGuiApplication::primaryScreen())));
        TestMain::confirmServer(QStringLiteral("127.0.0.1:%1").arg(studio->srtPort()));
        window = std::make_unique<MainWindow>(QStringLiteral("orvanta://127.0.0.1:%1/startup/2048/128/SD").arg(studio->srtPort()));
        ui = std::make_unique<WindowForm>(window.get());
        QVERIFY((capture = findCapture()));
    }

    // The broadcast the link started: from its first picture the frame's inside where the window
    // manager put it (or nothing of the desktop), after a drag by the tool bar the new place.
    void storedAreaIsTheFramesFromTheFirstSecondAndAfterADrag()
    {
        // The other cases need the broadcast stopped and the main window shown.
        auto showMainWindow = qScopeGuard([this] {
            if (sessionState() != BroadcastSession::State::Stopped)
                ui->stopBtn->click();
            (void)QTest::qWaitFor([&] { return !window->findChild<BroadcastSession *>()->isWinding(); }, kWaitMs);
            // Bottom right of the first display, clear of every captured place.
            window->move(970, 450);
            window->show();
            (void)QTest::qWaitForWindowExposed(window.get());
            ui->connectionStack->setCurrentIndex(PageSwitcher::AdvancedPage);
        });
        QVERIFY(QTest::qWaitFor([&] { return sessionState() == BroadcastSession::State::Live; }, kWaitMs));
        QTRY_VERIFY_WITH_TIMEOUT(capture->isPlaced(), kWaitMs);
        DrawingForm *frame = capture->frameWindow();
        const QPoint placedAt = frame->pos();
        const QRect first = placedInside();
        QVERIFY(first.isValid());
        const QImage before = rootShot(first);
        // The screen source grabs the placed frame's inside, and a second of pictures composed
        // after that is recorded, before the drag begins: a loaded machine may take a while
        // for the first grab, and until then the pictures are the background.
        const ScreenSource *source = window->findChild<Mixer *>("mixer")->screenSource();
        const quint64 grabsAt = source->grabCount();
        QVERIFY(QTest::qWaitFor([&] { return source->grabCount() > grabsAt + 2; }, 3 * kWaitMs));
        QVERIFY(recordMore("startup", 1.0, 3 * kWaitMs));
        const double beforeDrag = recordedSeconds("startup");

        // Dragged by the tool bar's empty middle, with the real pointer.
        const QWidget *left = capture->form()->ckbPointer;
        const QWidget *right = capture->form()->cmbScreens->isVisible() ? static_cast<QWidget *>(capture->form()->cmbScreens)
                                                                          : capture->form()->cmdLock;
        const int gripX = (left->mapTo(capture, QPoint(left->width(), 0)).x() + right->mapTo(capture, QPoint(0, 0)).x()) / 2;
        QScreen *screen = mf::DevicePixels::screenOf(capture->geometry());
        const QPoint grip = mf::DevicePixels::toDevice(capture->mapToGlobal(QPoint(gripX, capture->height() / 2)), screen);
        const QPoint target = (placedAt - QPoint(700, 300)).manhattanLength() > 100 ? QPoint(700, 300) : QPoint(900, 200);
        const QPoint by = mf::DevicePixels::toDevice(target, screen) - mf::DevicePixels::toDevice(placedAt, screen);
        MouseCounter bar;
        capture->installEventFilter(&bar);
        QVERIFY(pointerTo(grip) && xdotool({"mousedown", "1"}));
        for (int step = 1; step <= 8; ++step) {
            QVERIFY(pointerTo(grip + by * step / 8));
            // The drag grips at the first move, where the pointer is then, and moves from the second.
            if (step == 1)
                QTRY_VERIFY_WITH_TIMEOUT(bar.drags > 0, kWaitMs);
            if (step == 2)
                QTRY_VERIFY_WITH_TIMEOUT(frame->pos() != placedAt, kWaitMs);
        }
        QVERIFY(xdotool({"mouseup", "1"}));
        // The first move only takes the grip: the frame goes 7/8 of the way.
        QTRY_VERIFY_WITH_TIMEOUT((frame->pos() - target).manhattanLength() <= (by.manhattanLength() + 4) / 8 + 4, kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(capture->isPlaced(), kWaitMs);
        QVERIFY(settledPictureShows("startup", before));

        // Five pictures a second from the start to the drag: the frame's first place, or only
        // the mixer's background, never another place; the last ones show the frame's inside.
        const QString recording = studio->recordFile("startup"), early = recording + ".early%1.png";
        QVERIFY(run("ffmpeg", {"-v", "error", "-y", "-i", recording, "-t", QString::number(beforeDrag), "-vf",
                               "fps=5", early.arg("%d")}));
        QList<QImage> pictures;
        for (int i = 1; QFile::exists(early.arg(i)); ++i)
            pictures << QImage(early.arg(i)).convertToFormat(QImage::Format_RGB32);
        QVERIFY(pictures.size() >= 5);
        for (int i = 0; i < pictures.size(); ++i)
            QVERIFY2(share(pictures[i], kBackground, 12) >= 0.98 || shows(pictures[i], before),
                     qPrintable(early.arg(i + 1)));
        QVERIFY(shows(pictures.last(), before));
    }

    // On monitors side by side, each in its turn, whatever their scales and the order Qt lists them
    // in: the frame's inside goes out, a window of one colour beneath it, not the same place of the
    // other monitor nor the frame's geometry taken at the first monitor's scale.
    void frameOnEitherMonitorSendsItsInside_data()
    {
        QTest::addColumn<int>("display");
        QTest::newRow("listed first") << 0;
        QTest::newRow("listed second") << 1;
    }
    void frameOnEitherMonitorSendsItsInside()
    {
        QFETCH(int, display);
        const auto screens = QGuiApplication::screens();
        if (screens.size() < 2 || screens.first()->geometry().intersects(screens.last()->geometry()))
            QSKIP("runs on two monitors side by side");
        // Run alone (the swapped desktop), it finds the link's broadcast still on.
        if (sessionState() != BroadcastSession::State::Stopped) {
            ui->stopBtn->click();
            QVERIFY(QTest::qWaitFor([&] { return !window->findChild<BroadcastSession *>()->isWinding(); }, kWaitMs));
            ui->connectionStack->setCurrentIndex(PageSwitcher::AdvancedPage);
        }
        QScreen *on = screens.at(display), *other = screens.at(1 - display);
        const QPoint corner = on->geometry().topLeft() + QPoint(150, 80);
        paint(QRect(corner - QPoint(20, 20), QSize(500, 300)), kGreen);
        auto unpaint = qScopeGuard([this] { scene.pop_back(); });
        choose(screenEntry("-- select area --"));
        QVERIFY(placeFrame(corner));
        QTRY_VERIFY_WITH_TIMEOUT(capture->isPlaced(), kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(capture->frameWindow()->devicePixelRatioF(), on->devicePixelRatio(), kWaitMs);
        const QRect inside = mf::DevicePixels::toDevice(capture->captureRect());
        const QPoint elsewhere = mf::DevicePixels::screenGeometry(other).topLeft()
                                 - mf::DevicePixels::screenGeometry(on).topLeft();
        const QString id = QStringLiteral("display%1").arg(display);
        QVERIFY(startLive(id));
        QVERIFY(settledPictureShows(id, rootShot(inside.translated(elsewhere))));
        const QImage last = lastPicture(studio->recordFile(id));
        QVERIFY2(share(last, kGreen) > 0.15, "the window beneath the frame is not in the picture");
        if (on->devicePixelRatio() != QGuiApplication::primaryScreen()->devicePixelRatio())
            QVERIFY(!shows(last, rootShot(capture->captureRect())));
        QCOMPARE(capture->screenIndex, display);
    }

    void cleanupTestCase()
    {
        if (window)
            window->close();
        window.reset();
        scene.clear();
    }

    // What the main window opens comes up above it, and stays above when it is raised.
    void logsAndToolBarStayAboveTheMainWindow()
    {
        QVERIFY(capture->isVisible());
        window->raise();
        window->activateWindow();
        ui->actionLogs->trigger();
        QWidget *logs = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->windowTitle() == "Logs")
                logs = w;
        QVERIFY(logs);
        QVERIFY(QTest::qWaitForWindowExposed(logs));
        QVERIFY(!logs->parentWidget());
        // The window manager's stacking order, bottom to top: "...(WINDOW): window id # 0x400003, 0x600005".
        const auto above = [&](const QWidget *w) {
            QByteArray out;
            (void)run("xprop", {"-root", "_NET_CLIENT_LIST_STACKING"}, &out);
            const auto order = out.mid(out.indexOf('#') + 1).replace(" ", "").trimmed().split(',');
            const int main = order.indexOf("0x" + QByteArray::number(quint64(window->winId()), 16));
            return main >= 0 && order.indexOf("0x" + QByteArray::number(quint64(w->winId()), 16)) > main;
        };
        for (int round = 0; round < 2; ++round) {
            QTRY_VERIFY_WITH_TIMEOUT(above(logs), kWaitMs);
            QTRY_VERIFY_WITH_TIMEOUT(above(capture), kWaitMs);
            window->raise();
            window->activateWindow();
            // The window manager raises before it gives the focus.
            QTRY_VERIFY_WITH_TIMEOUT(window->isActiveWindow(), kWaitMs);
        }
        logs->close();
    }

    // The frame over a window, its display in the selector: clicks go through unless Pointer is on;
    // in draw mode a press that comes with the pointer's arrival starts a stroke and reaches
    // nothing beneath. Out goes the window with the stroke, then without it; never the border.
    void areaFrameTakesStrokesAndSendsTheWindowBeneath()
    {
        QWidget *beneath = paint(QRect(100, 150, 700, 700), kPurple);
        MouseCounter clicks, counter;
        beneath->installEventFilter(&clicks);
        choose(screenEntry("-- select area --"));
        DrawingForm *frame = capture->frameWindow();
        QTRY_VERIFY_WITH_TIMEOUT(frame->isVisible(), kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(frame->isComposited(), expectComposited, kWaitMs);
        QCOMPARE(frame->isShaped(), !expectComposited);
        QVERIFY(placeFrame(QPoint(150, 200)));
        // Both monitors lie at the origin: the frame's display is the last; choosing another is undone.
        QComboBox *screens = capture->form()->cmbScreens;
        QVERIFY(!screens->isHidden());
        QCOMPARE(screens->count(), 2);
        QCOMPARE(screens->itemText(0), QString("Screen 0"));
        QCOMPARE(screens->itemText(1), QString("Screen 1"));
        QTRY_COMPARE_WITH_TIMEOUT(capture->screenIndex, 1, kWaitMs);
        screens->setCurrentIndex(0);
        QCOMPARE(capture->screenIndex, 1);
        QCOMPARE(screens->currentIndex(), 1);
        QVERIFY(xdotool({"mousemove", "400", "450", "click", "1"}));
        QTRY_COMPARE_WITH_TIMEOUT(clicks.presses, 1, kWaitMs);

        frame->installEventFilter(&counter);
        capture->form()->ckbPointer->setChecked(true);
        // Shaped, the frame is covered whole by an input-only window.
        QCOMPARE(frame->isCovered(), frame->isShaped());
        QVERIFY(xdotool({"mousemove", "410", "455", "click", "1"}));
        QTRY_COMPARE_WITH_TIMEOUT(counter.presses, 1, kWaitMs);
        capture->form()->ckbPointer->setChecked(false);
        QVERIFY(!frame->isCovered());

        capture->form()->drawButton->click();
        QCOMPARE(frame->isCovered(), frame->isShaped());
        QVERIFY(pointerTo(QPoint(100, 460)));
        QVERIFY(xdotool({"mousemove", "250", "460", "mousedown", "1", "mousemove", "550", "460", "mouseup", "1"}));
        QTRY_VERIFY_WITH_TIMEOUT(QColor(frame->strokes().pixel(250, 260)) == QColor(Qt::red), kWaitMs);
        QCOMPARE(clicks.presses, 1);
        const QSize area(520, 520);
        const QImage drawn = broadcast("stroke");
        CHECK_COLOUR(drawn, inPicture(area, QPoint(245, 255)), QColor(255, 0, 0));
        CHECK_COLOUR(drawn, inPicture(area, QPoint(245, 300)), kPurple);
        capture->form()->clearButton->click();
        const QImage cleared = broadcast("cleared");
        // Where the stroke was, and right inside each edge.
        for (const QPoint &p : {QPoint(245, 255), QPoint(2, 260), QPoint(517, 260), QPoint(260, 2), QPoint(260, 517)})
            CHECK_COLOUR(cleared, inPicture(area, p), kPurple);
        capture->form()->drawButton->click();
        QVERIFY(!frame->isCovered());
    }

    // A compositing manager that starts or stops while the frame is shown.
    void frameFollowsTheCompositor()
    {
        if (expectComposited)
            QSKIP("runs where no compositing manager runs yet");
        DrawingForm *frame = capture->frameWindow();
        QVERIFY(frame->isVisible());
        QVERIFY(frame->isShaped());
        QProcess compositor;
        compositor.start(QStringLiteral("xcompmgr"), QStringList());
        QVERIFY(compositor.waitForStarted(kWaitMs));
        QTRY_VERIFY_WITH_TIMEOUT(frame->isComposited(), kWaitMs);
        QVERIFY(!frame->isShaped());
        QVERIFY(frame->mask().isEmpty());
        compositor.terminate();
        QVERIFY(compositor.waitForFinished(kWaitMs));
        QTRY_VERIFY_WITH_TIMEOUT(!frame->isComposited(), kWaitMs);
        QVERIFY(frame->isShaped());
        QVERIFY(!frame->mask().isEmpty());
    }

    void cropApplyResetAndEscape()
    {
        paint(QRect(100, 150, 700, 700), kPurple);
        paint(QRect(850, 150, 600, 600), kYellow);
        // One monitor is offered as the desktop, without a number.
        QAction *desktop = screenEntry(QGuiApplication::screens().size() == 1 ? "Desktop" : "Desktop #0");
        QVERIFY(desktop);
        choose(desktop);
        QTRY_VERIFY_WITH_TIMEOUT(!capture->isVisible(), kWaitMs);
        QVERIFY(!capture->frameWindow()->isVisible());

        // Apply: the band over the purple window's part of the display.
        QRect appliedBand;
        cropDialog([&](TCropDlg *dialog) {
            QTRY_VERIFY_WITH_TIMEOUT(dialog->snapshotSize() == QSize(960, 540), kWaitMs);
            // The display (1600 x 900) comes as a 960 x 540 picture: the
            // purple window's inner part is (120, 150)..(450, 480) of it.
            const QRect picture = dialog->pictureRectangle();
            const double s = double(picture.width()) / 960;
            appliedBand = QRect(picture.x() + qRound(120 * s), picture.y() + qRound(150 * s), qRound(300 * s),
                                qRound(300 * s));
            dialog->setRubberBandGeometry(appliedBand);
            dialog->findChild<QPushButton *>("applyBtn")->click();
        });
        QSettings store(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta");
        QCOMPARE(store.value("CROP_RECT").toRect(), appliedBand);
        const QRect sourceCrop = store.value("CROP_SOURCE_RECT").toRect();
        QVERIFY2(qAbs(sourceCrop.x() - 120) <= 2 && qAbs(sourceCrop.width() - 300) <= 2,
                 qPrintable(QStringLiteral("%1,%2 %3x%4").arg(sourceCrop.x()).arg(sourceCrop.y()).arg(sourceCrop.width()).arg(sourceCrop.height())));
        const QImage cropped = broadcast("crop");
        CHECK_COLOUR(cropped, QPoint(480, 270), kPurple);
        QVERIFY(share(cropped, kYellow) == 0);

        // Escape: nothing stored, nothing sent.
        cropDialog([](TCropDlg *dialog) { QTest::keyClick(dialog, Qt::Key_Escape); });
        QCOMPARE(store.value("CROP_RECT").toRect(), appliedBand);
        QCOMPARE(store.value("CROP_SOURCE_RECT").toRect(), sourceCrop);

        // Reset: the whole display again.
        cropDialog([](TCropDlg *dialog) { dialog->findChild<QPushButton *>("resetBtn")->click(); });
        store.sync();
        QCOMPARE(store.value("CROP_RECT").toRect(), QRect(QPoint(0, 0), QPoint(0, 0)));
        const QImage whole = broadcast("reset");
        CHECK_COLOUR(whole, QPoint(qRound(450 * 0.6), qRound(500 * 0.6)), kPurple);
        CHECK_COLOUR(whole, QPoint(qRound(1150 * 0.6), qRound(300 * 0.6)), kYellow);
    }

    // The list holds the desktop's titled windows, the program's own too. An iconified one chosen
    // is restored and goes out alone; closed mid-broadcast, its last picture goes on on the same
    // connection, and it leaves the list.
    void windowPickerListsRealWindowsAndSendsTheChosenOne()
    {
        QWidget *titled = paint(QRect(20, 20, 120, 80), kGreen, "Picker Alpha");
        QWidget *twin = paint(QRect(20, 120, 120, 80), kGreen, "Picker Alpha");
        const QString longTitle(300, QChar('L'));
        QWidget *longOne = paint(QRect(20, 220, 120, 80), kGreen, longTitle);
        QWidget *target = paint(QRect(300, 250, 400, 300), kCyan, "Orvanta Capture Target");
        const quint64 handle = target->winId();
        target->showMinimized();
        // An untitled window of another client, straight through Xlib.
        Display *other = XOpenDisplay(nullptr);
        QVERIFY(other);
        const Window untitled = XCreateSimpleWindow(other, DefaultRootWindow(other), 30, 320, 100, 60, 0, 0, 0);
        XMapWindow(other, untitled);
        XSync(other, False);

        QStringList titles;
        QList<quint64> handles;
        QVERIFY(QTest::qWaitFor([&] {
            titles.clear();
            handles.clear();
            for (const WindowInfo &w : TAppController().getWindows())
                titles << w.title, handles << w.handle;
            return titles.count("Picker Alpha") == 2;
        }, kWaitMs));
        for (const QWidget *w : {titled, twin, longOne})
            QVERIFY(handles.contains(quint64(w->winId())));
        QVERIFY(titles.contains(longTitle.left(259)));
        QVERIFY(!handles.contains(quint64(untitled)));
        QVERIFY(titles.contains("Orvanta"));
        XDestroyWindow(other, untitled);
        XCloseDisplay(other);

        QTRY_VERIFY_WITH_TIMEOUT(TAppController::isIconic(handle), kWaitMs);
        QAction *entry = screenEntry("Orvanta Capture Target", true);
        QVERIFY(entry);
        choose(entry);
        QTRY_VERIFY_WITH_TIMEOUT(!TAppController::isIconic(handle), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(target->isVisible(), kWaitMs);
        QVERIFY(QTest::qWaitForWindowExposed(target));
        target->raise();
        const QImage picture = broadcast("window");
        // 400 x 300 fitted into 960 x 540: 720 x 540 from x = 120.
        CHECK_COLOUR(picture, QPoint(480, 270), kCyan);
        CHECK_COLOUR(picture, QPoint(130, 270), kCyan);
        CHECK_COLOUR(picture, QPoint(60, 270), kBackground);
        QVERIFY(share(picture, kPurple) == 0);
        QVERIFY(share(picture, kYellow) == 0);

        MessageCapture log;
        QVERIFY(startLive("closed"));
        scene.erase(std::find_if(scene.begin(), scene.end(), [&](const auto &w) { return w.get() == target; }));
        QVERIFY(log.waitFor("cannot be captured", kWaitMs));
        QVERIFY(recordMore("closed", 1.0));
        QCOMPARE(sessionState(), BroadcastSession::State::Live);
        QCOMPARE(log.count("cannot be captured"), 1);
        QCOMPARE(log.count("BROADCAST INTERRUPTED"), 0);
        CHECK_COLOUR(stopAndTakeLastPicture("closed"), QPoint(480, 270), kCyan);
        QVERIFY(!screenEntry("Orvanta Capture Target", true));
    }

    // Ctrl+P while live: from some pictures after the key on (those already on their way go
    // out), the recording shows the pause card and nothing of the screen, the session goes on
    // and the screen is not grabbed; the button resumes, and the screen is back.
    void pausedScreenGoesOutAsTheCard()
    {
        paint(QRect(0, 0, 1600, 900), kYellow);
        QAction *desktop = screenEntry(QGuiApplication::screens().size() == 1 ? "Desktop" : "Desktop #0");
        QVERIFY(desktop);
        choose(desktop);
        // From a stopped broadcast, whatever the cases before left.
        if (window->findChild<BroadcastSession *>()->isActive())
            ui->stopBtn->click();
        QVERIFY(QTest::qWaitFor([&] { return !window->findChild<BroadcastSession *>()->isWinding(); }, kWaitMs));
        QVERIFY(!ui->pauseBtn->isEnabled());
        QVERIFY(startLive("paused"));
        QVERIFY(recordMore("paused", 1.0));
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        QTest::keyClick(window.get(), Qt::Key_P, Qt::ControlModifier);
        auto *pausedLabel = window->findChild<QLabel *>("screenPausedStatus");
        QVERIFY(pausedLabel && pausedLabel->isVisible());
        QCOMPARE(pausedLabel->text(), QString("Screen paused"));
        QCOMPARE(ui->pauseBtn->text(), QString("Resume screen"));
        // The mixer stops the grabs at its next picture; one may be under way then.
        QVERIFY(recordMore("paused", 0.5));
        const ScreenSource *source = window->findChild<Mixer *>("mixer")->screenSource();
        const quint64 grabs = source->grabCount();
        QVERIFY(recordMore("paused", 1.5));
        QVERIFY2(source->grabCount() <= grabs + 1, qPrintable(QString::number(source->grabCount() - grabs)));
        QCOMPARE(sessionState(), BroadcastSession::State::Live);
        ui->pauseBtn->click();
        QVERIFY(!pausedLabel->isVisible());
        QVERIFY(recordMore("paused", 1.5));
        QVERIFY(!stopAndTakeLastPicture("paused").isNull());
        QVERIFY(!ui->pauseBtn->isEnabled());

        // Ten pictures a second: the screen, then only the card, then the screen again.
        const QString recording = studio->recordFile("paused"), each = recording + ".%1.png";
        QVERIFY(run("ffmpeg", {"-v", "error", "-y", "-i", recording, "-vf", "fps=10", each.arg("%d")}));
        QString runs;
        for (int i = 1; QFile::exists(each.arg(i)); ++i) {
            const QImage picture = QImage(each.arg(i)).convertToFormat(QImage::Format_RGB32);
            const bool screen = share(picture, kYellow) >= 0.5; // the main window stays above it
            const bool card = share(picture, kBackground) >= 0.8 && share(picture, Qt::white) > 0.002;
            const QChar kind = screen ? 'S' : card ? 'C' : '?';
            if (runs.isEmpty() || runs.back() != kind)
                runs += kind;
        }
        QCOMPARE(runs, QString("SCS"));
    }
};

ORVANTA_TEST_MAIN(TestOverlayDesktop, TestMain::Gui | TestMain::PrivateFolders)

#include "tst_OverlayDesktop.moc"
