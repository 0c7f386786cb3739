// Runs on the test environment's X display (scripts/test-env.sh).
#include "media/ScreenSource.h"
#include "media/engine/MFFactory.h"
#include "tests/support/PaintedWindow.h"

#include "tests/support/TestMain.h"

#include <functional>

namespace {

// Generous: the suite runs beside other builds on two cores.
constexpr int kWaitMs = 10000;

// The first captured frame that shows what `ready` looks for: settings
// reach the capture thread at its next turn, so a frame or two of the old
// settings may still come. Null when none shows up in time.
mf::MFFramePtr frameWhere(ScreenSource &source, const std::function<bool(const QImage &)> &ready)
{
    mf::MFFramePtr found;
    (void)QTest::qWaitFor([&] {
        const mf::MFFramePtr frame = source.queuedFrames() > 0 ? source.getFrame() : nullptr;
        found = frame && ready(frame->image()) ? frame : nullptr;
        return bool(found);
    }, kWaitMs);
    return found;
}

const QRgb kBlue = qRgb(0x07, 0xa0, 0xf2);

bool near(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) < 8 && qAbs(qGreen(a) - qGreen(b)) < 8 && qAbs(qBlue(a) - qBlue(b)) < 8;
}

} // namespace

class TestScreenSource : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != "xcb")
            QSKIP("needs the test environment's X display");
    }

    void areaPropertyTexts()
    {
        ScreenSource source;
        auto device = source.device();
        QCOMPARE(device->deviceSelected(mf::eMFDT_Video), QString("Desktop Screen Capture"));
        QCOMPARE(device->deviceSelected(mf::eMFDT_VideoAudio), QString("<No Audio>"));
        QCOMPARE(device->propertyGet("capture.show_clicks"), QString("false"));
        QCOMPARE(device->propertyGet("capture.fps_limit"), QString("25"));

        source.setArea(-1, QRect());
        QCOMPARE(device->propertyGet("capture.screen_index"), QString("-1"));
        QCOMPARE(device->propertyGet("capture.area"), QString(""));
        QCOMPARE(device->propertyGet("capture.frame_size"), QString("screen"));
        QCOMPARE(device->propertyGet("capture.memory_format"), QString("ARGB"));
        QCOMPARE(device->propertyGet("capture.highlight_mouse"), QString("hide"));
        QCOMPARE(device->propertyGet("capture.background_color"), QString("#07a0f2(1)"));

        source.setArea(1, QRect(100, 50, 640, 360));
        QCOMPARE(device->propertyGet("capture.screen_index"), QString("1"));
        QCOMPARE(device->propertyGet("capture.area"), QString("100,50,739,409"));
        QCOMPARE(device->propertyGet("capture.frame_size"), QString("1280x720"));
    }

    void queueBoundAndFirstFrame()
    {
        ScreenSource source;
        QVERIFY(!source.getFrame()); // nothing captured yet
        mf::MFFormat f;
        f.width = 4;
        f.height = 4;
        for (int i = 0; i < ScreenSource::kQueueLimit; ++i)
            source.enqueue(mf::MFFactory::create(f));
        QCOMPARE(source.queuedFrames(), 11);
        source.enqueue(mf::MFFactory::create(f, "solid_color='#ff0000'"));
        QCOMPARE(source.queuedFrames(), 1);
        auto taken = source.getFrame();
        QCOMPARE(taken->image().pixel(0, 0), qRgb(255, 0, 0));
        // Empty queue: a copy of the last frame, not the same object.
        auto again = source.getFrame();
        QVERIFY(again && again != taken);
        QCOMPARE(again->image().pixel(0, 0), qRgb(255, 0, 0));
    }

    void capturesDisplayAreaAndWindow()
    {
        std::unique_ptr<QWidget> red(paintedWindow(QRect(0, 0, 960, 540), Qt::red));
        std::unique_ptr<QWidget> green(paintedWindow(QRect(1000, 600, 200, 100), Qt::green));
        std::unique_ptr<QWidget> wide(paintedWindow(QRect(1300, 100, 500, 250), Qt::yellow));
        QVERIFY(QTest::qWaitForWindowExposed(green.get()));
        QVERIFY(QTest::qWaitForWindowExposed(wide.get()));

        ScreenSource source;
        source.setArea(-1, QRect());
        source.start(QSize(1280, 720));
        // The whole 1920x1080 display scaled to the output.
        mf::MFFramePtr frame = frameWhere(source, [](const QImage &i) { return i.pixel(733, 433) == qRgb(0, 255, 0); });
        QVERIFY(frame);
        QCOMPARE(frame->image().size(), QSize(1280, 720));
        QVERIFY(source.isActive());
        QCOMPARE(frame->image().pixel(320, 180), qRgb(255, 0, 0));
        QCOMPARE(frame->image().pixel(733, 433), qRgb(0, 255, 0));

        // An area: the green window alone, scaled up to the output.
        source.setArea(-1, QRect(1000, 600, 200, 100));
        frame = frameWhere(source, [](const QImage &i) { return i.pixel(640, 360) == qRgb(0, 255, 0); });
        QVERIFY(frame);
        QCOMPARE(frame->image().pixel(640, 360), qRgb(0, 255, 0));
        // 200x100 in 1280x720 keeps 2:1: 1280x640 at y = 40 on the background.
        QVERIFY(near(frame->image().pixel(640, 20), kBlue));
        QCOMPARE(frame->image().pixel(640, 45), qRgb(0, 255, 0));

        // One window: 500x250 is 2:1 as well, so it also lands at y = 40.
        source.setHandle(wide->winId());
        frame = frameWhere(source, [](const QImage &i) { return i.pixel(640, 360) == qRgb(255, 255, 0); });
        QVERIFY(frame);
        QCOMPARE(frame->image().size(), QSize(1280, 720));
        QCOMPARE(frame->image().pixel(640, 360), qRgb(255, 255, 0));
        QCOMPARE(frame->image().pixel(640, 20), kBlue);
        QCOMPARE(frame->image().pixel(640, 700), kBlue);
        QCOMPARE(frame->image().pixel(2, 45), qRgb(255, 255, 0));

        source.setHandle(0);
        source.setArea(-1, QRect());
        frame = frameWhere(source, [](const QImage &i) { return i.pixel(320, 180) == qRgb(255, 0, 0); });
        QVERIFY(frame);
        QCOMPARE(frame->image().pixel(733, 433), qRgb(0, 255, 0));

        source.stop();
        QVERIFY(source.wait(3000));
        QVERIFY(!source.isActive());
        // Restart after stop captures again.
        source.start(QSize(960, 540));
        frame = frameWhere(source, [](const QImage &i) { return i.size() == QSize(960, 540); });
        QVERIFY(frame);
        QCOMPARE(frame->image().size(), QSize(960, 540));
    }
};

ORVANTA_TEST_MAIN(TestScreenSource, TestMain::Gui)
#include "tst_ScreenSource.moc"
