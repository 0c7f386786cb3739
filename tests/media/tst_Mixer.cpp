// Devices, device choice, the screen source and the mixer, on the test
// environment's X display and sound server: the camera is the built-in test pattern.
#include "media/DeviceSelection.h"
#include "media/Mixer.h"
#include "media/ScreenSource.h"
#include "media/engine/MFFactory.h"
#include "media/engine/MFPreview.h"
#include "media/engine/MFTestPatternSource.h"
#include "tests/support/PaintedWindow.h"
#include "tests/support/PictureChecks.h"
#include "tests/support/TestMain.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>

namespace {

// Stands where the writer goes: keeps the last frame the mixer hands it
// (std::mutex, so that thread sanitizer builds see the hand-over).
class Collector : public mf::MFFrameSink
{
public:
    std::atomic<int> frames{0};
    int put(const mf::MFFramePtr &frame, int) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        last = frame;
        if (!probe.isNull() && frame->image().rect().contains(probe))
            probed.push_back(frame->image().pixel(probe));
        return ++frames, 0;
    }
    // From now on the colour at this point of every frame is kept.
    void probeAt(const QPoint &point)
    {
        std::lock_guard<std::mutex> lock(mutex);
        probe = point;
        probed.clear();
    }
    std::vector<QRgb> probedColours()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return probed;
    }
    mf::MFFramePtr take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(last, nullptr);
    }
    // Lets the mixer deliver n more frames.
    bool pass(int n)
    {
        const int start = frames;
        return QTest::qWaitFor([&] { return frames >= start + n; }, 20000);
    }

private:
    std::mutex mutex;
    mf::MFFramePtr last;
    QPoint probe;
    std::vector<QRgb> probed;
};

// Generous: the suite runs beside other builds on two cores.
constexpr int kWaitMs = 10000;
const QRgb kBlue = qRgb(0x07, 0xa0, 0xf2);  // the background
const QRgb kYellowBar = qRgb(192, 192, 0);  // the test pattern's, compared with room for the encoder
const QRgb kRed = qRgb(255, 0, 0);
const QRgb kGreen = qRgb(0, 255, 0);
const QRgb kYellow = qRgb(255, 255, 0);
const QRgb kBlack = qRgb(0, 0, 0);

// Exact but for what passes a scaler or the encoder.
bool matches(QRgb a, QRgb b) { return coloursNear(a, b, b == kYellowBar ? 10 : b == kBlue ? 7 : 0); }

using Colours = QList<QPair<QPoint, QRgb>>;

// Empty when a frame from next() of that size shows the colours (and, unless
// -1, carries that many samples); a change shows a little later, so it waits.
QString shows(const std::function<mf::MFFramePtr()> &next, const QSize &size, const Colours &colours, int samples = -1)
{
    mf::MFFramePtr frame;
    (void)QTest::qWaitFor([&] {
        if (const mf::MFFramePtr latest = next())
            frame = latest;
        return frame && frame->image().size() == size && matches(frame->image().pixel(colours[0].first), colours[0].second);
    }, kWaitMs);
    if (!frame)
        return "no frame";
    const QImage image = frame->image();
    QStringList wrong;
    if (image.size() != size)
        wrong << QString("%1x%2").arg(image.width()).arg(image.height());
    for (const auto &colour : colours) {
        if (!matches(image.pixel(colour.first), colour.second))
            wrong << describePixel(image, colour.first);
    }
    if (frame->format().aspectX * image.height() != frame->format().aspectY * image.width())
        wrong << QString("aspect %1:%2").arg(frame->format().aspectX).arg(frame->format().aspectY);
    if (samples >= 0 && frame->audioSampleCount() != samples)
        wrong << QString("%1 samples").arg(frame->audioSampleCount());
    return wrong.join(", ");
}

mf::MFFramePtr next(mf::MFDevice &device, const mf::MFFormat &fmt = {})
{
    mf::MFFramePtr frame;
    for (int i = 0; i < 10 && !frame; ++i)
        device.getFrame(fmt, -1, &frame);
    return frame;
}

} // namespace

class TestMixer : public QObject
{
    Q_OBJECT

    std::unique_ptr<QWidget> redWindow;
    std::shared_ptr<Collector> sink = std::make_shared<Collector>();

    // A mixed frame, with one frame's sound (silent here).
    QString mixShows(const QSize &size, const Colours &colours)
    {
        sink->take();
        return shows([this] { return sink->take(); }, size, colours, 1764);
    }
    // The test pattern without sound, the whole screen, written to the sink.
    bool writing(Mixer &mixer)
    {
        mixer.setAudioDevice("NO_AUDIO");
        mixer.setArea(-1, QRect());
        mixer.setActiveWriter(sink);
        mixer.setWriting(true);
        return mixer.setVideoDevice("Test Pattern");
    }

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != "xcb")
            QSKIP("needs the test environment's X display");
    }

    void deviceListsAndChoice()
    {
        mf::MFDevice device;
        int count = 0;
        QCOMPARE(device.deviceGetCount(mf::eMFDeviceType::Video, &count), mf::MF_OK);
        QVERIFY(count >= 2);
        QString last, beforeLast;
        QCOMPARE(device.deviceGetName(mf::eMFDeviceType::Video, count - 1, &last), mf::MF_OK);
        QCOMPARE(device.deviceGetName(mf::eMFDeviceType::Video, count - 2, &beforeLast), mf::MF_OK);
        QCOMPARE(QStringList({beforeLast, last}), QStringList({"Test Pattern", "Desktop Screen Capture"}));
        QVERIFY(device.deviceGetName(mf::eMFDeviceType::Video, count, &last) < 0);
        QVERIFY(device.deviceGetCount(static_cast<mf::eMFDeviceType>(7), &count) < 0);
        // Nothing selected: a failure, after a pause rather than at once (no spinning caller).
        mf::MFFramePtr frame;
        QElapsedTimer t;
        t.start();
        QVERIFY(device.getFrame(mf::MFFormat(), -1, &frame) < 0);
        QVERIFY(!frame);
        QVERIFY(t.elapsed() >= 30);

        // Chosen by the whole name, case and all; a wrong name keeps the previous choice.
        auto chosen = std::make_shared<mf::MFDevice>();
        QVERIFY(setMFDevice(chosen, mf::eMFDeviceType::Video, "Test Pattern"));
        for (const char *name : {"test pattern", "Test", "Test Pattern "})
            QVERIFY2(!setMFDevice(chosen, mf::eMFDeviceType::Video, name), name);
        QCOMPARE(chosen->deviceSelected(mf::eMFDeviceType::Video), QString("Test Pattern"));
        QVERIFY(setMFDevice(chosen, mf::eMFDeviceType::VideoAudio, "<No Audio>"));
        QVERIFY(!setMFDevice(nullptr, mf::eMFDeviceType::Video, "Test Pattern"));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("DeviceGetCount FAILED"));
        QVERIFY(!setMFDevice(chosen, static_cast<mf::eMFDeviceType>(9), "Test Pattern"));  // no such device type

        Mixer mixer;
        // "NO_AUDIO" asks for "<None>", which exists only with a sound server.
        mixer.setAudioDevice("NO_AUDIO");
        QVERIFY(mixer.setScreenDevice("Desktop Screen Capture", 1));
        QCOMPARE(mixer.screenSource()->device()->propertyGet("capture.screen_index"), QString("1"));
        QCOMPARE(mixer.device()->deviceSelected(mf::eMFDeviceType::VideoAudio), QString("<No Audio>"));

        QStringList list{"stale"};
        Mixer::enumerateDevices("VIDEO", list);
        QVERIFY(!list.contains("stale"));
        QVERIFY(!list.contains("Desktop Screen Capture"));
        QCOMPARE(list.last(), QString("Test Pattern"));
        Mixer::enumerateDevices("AUDIO", list);
        QVERIFY(!list.contains("<None>"));
        QVERIFY(!list.contains("Test Pattern"));

        // The sound server's sources by name (the mixer's tests hear the loopback).
        if (qgetenv("ORVANTA_PULSE").isEmpty())
            QSKIP("needs the test environment's sound server");
        const QStringList inputs = mf::MFDevice::deviceNames(mf::eMFDeviceType::Audio);
        QVERIFY2(!inputs.isEmpty() && inputs.first() == "<None>" && inputs.contains("PC Sounds (Loopback)"), qPrintable(inputs.join("|")));
        QCOMPARE(mf::MFDevice::deviceNames(mf::eMFDeviceType::Audio2).mid(0, 2),
                 QStringList({"<No External Audio>", "PC Sounds (Loopback)"}));
        QVERIFY(setMFDevice(std::make_shared<mf::MFDevice>(), mf::eMFDeviceType::Audio2, "PC Sounds (Loopback)"));
    }

    // The test pattern carries its time and a tone. Its pictures come back
    // to the source when let go and are drawn on again: nothing of an earlier
    // instant may stay on them, and a picture still held elsewhere is never
    // drawn on.
    void testPattern()
    {
        auto device = std::make_shared<mf::MFDevice>();
        QVERIFY(setMFDevice(device, mf::eMFDeviceType::Video, "Test Pattern"));
        const mf::MFFormat fmt{mf::kPixelFormatRGB32, 1280, 720, 16, 9, 25.0, 0, {2, 44100, 16}};
        mf::MFFramePtr frame = next(*device, fmt);
        QVERIFY(frame);
        QCOMPARE(frame->format().width, 1280);
        QCOMPARE(frame->format().rate, 25.0);
        QCOMPARE(frame->audioSampleCount(), 1764);
        // A 1 kHz sine at a quarter of full scale: -15 dB.
        QVERIFY2(qAbs(frame->format().audioLevel + 15.05f) < 0.5f, qPrintable(QString::number(frame->format().audioLevel)));
        // The time it shows, readable from a small inset too.
        const QImage small = frame->image().scaled(299, 168, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        quint32 low = 0;
        QVERIFY(mf::MFTestPatternSource::decodeTime(small, small.rect(), &low));
        QCOMPARE(mf::MFTestPatternSource::expandTime(low, QDateTime::currentMSecsSinceEpoch()), frame->timestampUs() / 1000);
        mf::MFFramePtr second = next(*device, fmt);
        QVERIFY(second && second->image() != frame->image());

        mf::MFTestPatternSource source;
        const QSize size(640, 360);
        const QImage first = source.read(size)->image().copy();
        mf::MFFramePtr held;
        QImage heldCopy;
        for (qint64 n = 1; n <= 12; ++n) {
            const mf::MFFramePtr frame = source.read(size);
            const QImage picture = frame->image();
            const QRegion compared = QRegion(picture.rect()) - mf::MFTestPatternSource::drawnArea(size, 0)
                - mf::MFTestPatternSource::drawnArea(size, n);
            for (const QRect &r : compared)
                for (int y = r.top(); y <= r.bottom(); ++y)
                    QVERIFY2(std::memcmp(picture.constScanLine(y) + r.left() * 4, first.constScanLine(y) + r.left() * 4,
                                         size_t(r.width()) * 4) == 0,
                             qPrintable(QString("picture %1, row %2").arg(n).arg(y)));
            QVERIFY(mf::MFTestPatternSource::decodeTime(picture, picture.rect(), &low));
            QCOMPARE(qint64(low), (frame->timestampUs() / 1000) & 0xFFFFFFFF);
            if (n == 3) {
                held = frame;
                heldCopy = picture.copy();
            }
        }
        QCOMPARE(held->image(), heldCopy);
    }

    // What the capture device is asked for that no picture here shows (the
    // pointer, the rate, another display), and the queue of captured frames.
    void screenSourcePropertiesAndQueue()
    {
        ScreenSource source;
        auto device = source.device();
        QCOMPARE(device->deviceSelected(mf::eMFDeviceType::VideoAudio), QString("<No Audio>"));
        source.setArea(1, QRect(100, 50, 640, 360));
        QStringList values;
        for (const char *key : {"highlight_mouse", "fps_limit", "screen_index", "frame_size"})
            values << device->propertyGet(QString("capture.") + key);
        QCOMPARE(values.join(' '), QString("hide 25 1 1280x720"));

        QVERIFY(!source.getFrame());  // nothing captured yet
        mf::MFFormat f;
        f.width = f.height = 4;
        for (int i = 0; i < ScreenSource::kQueueLimit; ++i)
            source.enqueue(mf::MFFactory::create(f));
        QCOMPARE(source.queuedFrames(), 11);
        source.enqueue(mf::MFFactory::create(f, "solid_color='#ff0000'"));
        QCOMPARE(source.queuedFrames(), 1);
        auto taken = source.getFrame();
        QCOMPARE(taken->image().pixel(0, 0), kRed);
        // Empty queue: a copy of the last frame, not the same object.
        auto again = source.getFrame();
        QVERIFY(again && again != taken);
        QCOMPARE(again->image().pixel(0, 0), kRed);
    }

    void screenCapturesDisplayAreaAndWindow()
    {
        std::unique_ptr<QWidget> red(paintedWindow(QRect(0, 0, 960, 540), Qt::red));
        std::unique_ptr<QWidget> green(paintedWindow(QRect(1000, 600, 200, 100), Qt::green));
        std::unique_ptr<QWidget> wide(paintedWindow(QRect(1300, 100, 500, 250), Qt::yellow));
        QVERIFY(QTest::qWaitForWindowExposed(green.get()));
        QVERIFY(QTest::qWaitForWindowExposed(wide.get()));
        // The capture device's own area (left, top, right, bottom inclusive)
        // and window, at their own sizes.
        auto device = std::make_shared<mf::MFDevice>();
        QVERIFY(setMFDevice(device, mf::eMFDeviceType::Video, "Desktop Screen Capture"));
        device->propertySet("capture.highlight_mouse", "hide");
        device->propertySet("capture.screen_index", "-1");
        device->propertySet("capture.frame_size", "screen");
        const struct {
            QString property, value;
            QSize size;
            QRgb colour;
        } own[] = {{"capture.area", "1000,600,1199,699", {200, 100}, kGreen},
                   {"capture.window_id", QString::number(wide->winId()), {500, 250}, kYellow}};
        for (const auto &step : own) {
            device->propertySet(step.property, step.value);
            mf::MFFramePtr frame;
            // Exposed windows may still be on their way to the screen.
            (void)QTest::qWaitFor([&] { return (frame = next(*device)) && frame->image().pixel(0, 0) == step.colour; },
                                  5000);
            QVERIFY(frame);
            QCOMPARE(frame->image().size(), step.size);
            QCOMPARE(frame->image().pixel(step.size.width() - 1, step.size.height() - 1), step.colour);
        }
        const Colours display{{{733, 433}, kGreen}, {{320, 180}, kRed}};
        const struct {
            QRect area;
            WId window;
            Colours colours;
        } steps[] = {
            // The whole 1920x1080 display scaled to the output.
            {{}, 0, display},
            // The green window alone: 200x100 in 1280x720 keeps 2:1, 1280x640 at y = 40.
            {{1000, 600, 200, 100}, 0, {{{640, 360}, kGreen}, {{640, 20}, kBlue}, {{640, 45}, kGreen}, {{640, 700}, kBlue}}},
            // One window: 500x250 is 2:1 as well.
            {{}, wide->winId(), {{{640, 360}, kYellow}, {{640, 20}, kBlue}, {{2, 45}, kYellow}}},
            {{}, 0, display},
        };
        ScreenSource source;
        const auto next = [&source] { return source.queuedFrames() > 0 ? source.getFrame() : nullptr; };
        source.setArea(-1, QRect());
        source.start(QSize(1280, 720));
        for (const auto &step : steps) {
            source.setHandle(step.window);
            source.setArea(-1, step.area);
            QCOMPARE(shows(next, {1280, 720}, step.colours), QString());
            QVERIFY(source.isActive());
        }
        source.stop();
        QVERIFY(source.wait(3000));
        QVERIFY(!source.isActive());
        // Restart after stop captures again.
        source.start(QSize(960, 540));
        QCOMPARE(shows(next, {960, 540}, {{{240, 135}, kRed}}), QString());
    }

    void layoutsCropAndRestarts()
    {
        // A red window over the left quarter of the 1920x1080 display, on black.
        redWindow.reset(paintedWindow(QRect(0, 0, 480, 1080), Qt::red));
        QVERIFY(QTest::qWaitForWindowExposed(redWindow.get()));
        QLabel previewLabel;
        previewLabel.resize(320, 180);
        previewLabel.show();
        Mixer mixer;
        QVERIFY(writing(mixer));
        QVERIFY(mixer.start(previewLabel.winId(), 10, QSize(1280, 720)));
        QRect none;  // the 1x1 rectangle at the origin means no crop
        none.setCoords(0, 0, 0, 0);
        const struct {
            int layout;
            QRect crop;
            Colours colours;
            bool paused = false;
        } steps[] = {
            // The camera fills the frame.
            {10, {}, {{{240, 240}, kYellowBar}}},
            // The screen scaled to 1280x720; the red window covers x < 320.
            {20, {}, {{{100, 360}, kRed}, {{800, 360}, kBlack}}},
            // The camera inset 199x112 at (42, 574.4) on the screen.
            {30, {}, {{{42 + 37, 574 + 40}, kYellowBar}, {{800, 360}, kBlack}, {{20, 600}, kRed},
                      {{42 + 199 + 2, 600}, kRed}, {{100, 573}, kRed}, {{100, 574 + 112 + 1}, kRed}}},
            // Crop 400x300 of the screen (x 120..319 red, 320..519 black):
            // scaled to 960x720 at x = 160 on the background.
            {20, QRect(120, 0, 400, 300), {{{80, 360}, kBlue}, {{1200, 360}, kBlue}, {{170, 360}, kRed},
                                           {{630, 360}, kRed}, {{660, 360}, kBlack}}},
            {20, none, {{{80, 360}, kRed}}},
            // The screen paused: the card in its place, the camera as it was.
            {20, {}, {{{100, 360}, kBlue}, {{10, 10}, kBlue}, {{1270, 710}, kBlue}}, true},
            {30, {}, {{{42 + 37, 574 + 40}, kYellowBar}, {{20, 600}, kBlue}, {{100, 573}, kBlue}}, true},
            {10, {}, {{{240, 240}, kYellowBar}}, true},
            {20, {}, {{{100, 360}, kRed}}},
        };
        for (const auto &step : steps) {
            mixer.setScreenPaused(step.paused);
            mixer.setLayout(step.layout);
            if (step.crop.isValid())
                mixer.cropRectChanged(step.crop);
            QCOMPARE(mixShows({1280, 720}, step.colours), QString());
            // The local preview shows the same mix.
            if (step.layout == 10)
                QTRY_VERIFY_WITH_TIMEOUT(matches(previewLabel.grab().toImage().pixel(60, 60), kYellowBar), kWaitMs);
        }

        // Paused: from the picture after the one in the making on, none
        // shows the screen; the card says why.
        sink->probeAt({100, 360});
        mixer.setScreenPaused(true);
        const size_t pausedFrom = sink->probedColours().size() + 1;
        QVERIFY(sink->pass(10));
        const std::vector<QRgb> probed = sink->probedColours();
        for (size_t i = pausedFrom; i < probed.size(); ++i)
            QVERIFY2(matches(probed[i], kBlue), qPrintable(QString("picture %1 after the pause").arg(i)));
        const QImage card = sink->take()->image();
        int white = 0;
        for (int x = 320; x < 960; ++x)
            white += coloursNear(card.pixel(x, 360), Qt::white, 20) ? 1 : 0;
        QVERIFY2(white > 20, "the card says nothing");
        sink->probeAt({});
        mixer.setScreenPaused(false);

        // Writing off: nothing more reaches the writer (but a frame that was
        // on its way) while the mixer goes on taking screen pictures.
        // Counted on this thread: a direct call would run a functor made here on the mixer's
        // thread, handed over inside Qt, where the thread sanitizer cannot follow it. The
        // counter's end takes its calls still queued with it.
        int turns = 0;
        auto counter = std::make_unique<QObject>();
        connect(&mixer, &Mixer::frameChanged, counter.get(), [&] { ++turns; });
        mixer.setWriting(false);
        const int written = sink->frames;
        QVERIFY(QTest::qWaitFor([&] { return turns >= 12; }, kWaitMs));
        QVERIFY2(sink->frames <= written + 1, qPrintable(QString::number(sink->frames - written)));
        counter.reset();
        QVERIFY(mixer.stopAndWait(kWaitMs));

        // Restarted with two frames side by side (the camera on the left, the
        // screen on the right), then in one-picture mode with another size.
        mixer.setLayout(10);
        mixer.setWriting(true);
        QVERIFY(mixer.start(0, 20, QSize(1920, 1080)));
        QCOMPARE(mixShows({3840, 1080}, {{{1920 + 100, 500}, kRed}, {{360, 360}, kYellowBar}, {{1920 + 1000, 500}, kBlack}}),
                 QString());
        mixer.setScreenPaused(true);
        QCOMPARE(mixShows({3840, 1080}, {{{1920 + 100, 500}, kBlue}, {{360, 360}, kYellowBar}}), QString());
        mixer.setScreenPaused(false);
        QVERIFY(mixer.stopAndWait(kWaitMs));
        QVERIFY(mixer.start(0, 10, QSize(960, 540)));
        QCOMPARE(mixShows({960, 540}, {{{180, 180}, kYellowBar}}), QString());
        QVERIFY(mixer.stopAndWait(kWaitMs));
    }

    // The screen is grabbed only while the mixed picture shows it (or someone
    // listens to the screen frames).
    void cameraLayoutGrabsNothing()
    {
        Mixer mixer;
        QVERIFY(writing(mixer));
        QLabel previewLabel;
        previewLabel.show();
        QVERIFY(mixer.start(mf::MFPreview::handleOf(&previewLabel), 10, QSize(640, 360)));
        ScreenSource *screen = mixer.screenSource();
        // Started in the camera layout: not one grab.
        QVERIFY(sink->pass(25));
        QVERIFY(!screen->isWanted());
        QCOMPARE(screen->grabCount(), quint64(0));

        // The screen layout grabs, and the camera layout stops it again.
        mixer.setLayout(20);
        QVERIFY(QTest::qWaitFor([&] { return screen->grabCount() >= 5; }, 20000));
        mixer.setLayout(10);
        // A grab under way when the layout changed may still end; no other.
        QVERIFY(sink->pass(3));
        QVERIFY(!screen->isWanted());
        const quint64 again = screen->grabCount();
        QVERIFY(sink->pass(25));
        QVERIFY2(screen->grabCount() <= again + 1, qPrintable(QString("%1 grabs after %2").arg(screen->grabCount()).arg(again)));

        // A listener to the screen frames keeps grabbing on in any layout.
        int screenFrames = 0;
        QObject counter;  // as above
        connect(&mixer, &Mixer::frameChanged, &counter, [&] { ++screenFrames; });
        QVERIFY(QTest::qWaitFor([&] { return screen->grabCount() >= again + 5 && screenFrames > 0; }, 20000));

        // A paused screen is not grabbed, listened to or not.
        mixer.setLayout(20);
        mixer.setScreenPaused(true);
        QVERIFY(sink->pass(3));
        const quint64 paused = screen->grabCount();
        QVERIFY(sink->pass(25));
        QVERIFY2(screen->grabCount() <= paused + 1, qPrintable(QString("%1 grabs after %2").arg(screen->grabCount()).arg(paused)));
        mixer.setScreenPaused(false);
        QVERIFY(QTest::qWaitFor([&] { return screen->grabCount() >= paused + 5; }, 20000));
        QVERIFY(mixer.stopAndWait(10000));
    }

    // The level follows the camera's own sound (the test pattern's tone is a
    // quarter of full scale, -15 dB) and the system sound while it is ticked.
    void soundLevels()
    {
        Mixer mixer;
        QVERIFY(mixer.setVideoDevice("Test Pattern"));
        mixer.setAudioDevice("NO_AUDIO");
        setMFDevice(mixer.device(), mf::eMFDeviceType::VideoAudio, "Test Pattern Tone");
        QVERIFY(mixer.start(0, 10, QSize(320, 180)));
        QTRY_VERIFY_WITH_TIMEOUT(mixer.audioLevel() > -19.f, kWaitMs);
        setMFDevice(mixer.device(), mf::eMFDeviceType::VideoAudio, "<No Audio>");
        QTRY_VERIFY_WITH_TIMEOUT(mixer.audioLevel() < -19.f, kWaitMs);
        if (qgetenv("ORVANTA_PULSE").isEmpty())
            QSKIP("the system sound needs the test environment's sound server");
        mixer.setSystemSound(true);
        // Silence in the sink keeps the level low.
        QTest::qWait(1500);
        QVERIFY2(mixer.audioLevel() < -19.f, qPrintable(QString::number(mixer.audioLevel())));
        // A tone played into the null sink comes back as system sound; unticked,
        // the sound server's output no longer reaches the mix though it plays on.
        QProcess tone;
        tone.start("ffmpeg", {"-v", "error", "-nostdin", "-f", "lavfi", "-i", "sine=frequency=440:duration=30,volume=4",
                              "-ac", "2", "-f", "pulse", "orvanta-test-tone"});
        QVERIFY(tone.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(mixer.audioLevel() > -19.f, 4000);
        mixer.setSystemSound(false);
        QTRY_VERIFY_WITH_TIMEOUT(mixer.audioLevel() < -19.f, 4000);
        tone.close();
        QVERIFY(mixer.stopAndWait(kWaitMs));
    }
};

ORVANTA_TEST_MAIN(TestMixer, TestMain::Gui | TestMain::SoundServer)
#include "tst_Mixer.moc"
