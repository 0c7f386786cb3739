// Runs on the test environment's X display (scripts/test-env.sh): the camera
// is the built-in test pattern, the screen is the Xvfb display.
#include "media/Mixer.h"
#include "media/ScreenSource.h"
#include "tests/support/PaintedWindow.h"
#include "tests/support/SinkTone.h"

#include "tests/support/TestMain.h"

#include <functional>
#include <mutex>

namespace {

// Stands where the writer goes: keeps what the mixer hands it (std::mutex,
// so that thread sanitizer builds see the hand-over).
class Collector : public mf::MFFrameSink
{
public:
    int put(const mf::MFFramePtr &frame, int) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        frames.append(frame);
        return 0;
    }
    mf::MFFramePtr latest()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return frames.isEmpty() ? nullptr : frames.last();
    }
    int count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return frames.size();
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        frames.clear();
    }

private:
    std::mutex mutex;
    QList<mf::MFFramePtr> frames;
};

// Generous: the suite runs beside other builds on two cores.
constexpr int kWaitMs = 10000;
const QRgb kBlue = qRgb(0x07, 0xa0, 0xf2);
const QRgb kYellowBar = qRgb(192, 192, 0);

bool near(QRgb a, QRgb b, int tolerance = 10)
{
    return qAbs(qRed(a) - qRed(b)) <= tolerance && qAbs(qGreen(a) - qGreen(b)) <= tolerance
           && qAbs(qBlue(a) - qBlue(b)) <= tolerance;
}

QString rgb(QRgb c) { return QString("(%1,%2,%3)").arg(qRed(c)).arg(qGreen(c)).arg(qBlue(c)); }

} // namespace

class TestMixer : public QObject
{
    Q_OBJECT

    std::unique_ptr<QWidget> redWindow;
    std::shared_ptr<Collector> sink = std::make_shared<Collector>();

    // The first mixed frame that shows what `ready` looks for: a change
    // reaches the mix loop at its next turn, and the screen a little later.
    // Null when none shows up in time.
    mf::MFFramePtr frameWhere(const std::function<bool(const QImage &)> &ready)
    {
        sink->clear();
        mf::MFFramePtr found;
        (void)QTest::qWaitFor([&] {
            const mf::MFFramePtr frame = sink->latest();
            found = frame && ready(frame->image()) ? frame : nullptr;
            return bool(found);
        }, kWaitMs);
        return found;
    }

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != "xcb")
            QSKIP("needs the test environment's X display");
        // A red window over the left quarter of the 1920x1080 display, on black.
        redWindow.reset(paintedWindow(QRect(0, 0, 480, 1080), Qt::red));
        QVERIFY(QTest::qWaitForWindowExposed(redWindow.get()));
    }

    void layoutsAndCrop()
    {
        QLabel previewLabel;
        previewLabel.resize(320, 180);
        previewLabel.show();
        Mixer mixer;
        QVERIFY(mixer.setVideoDevice("Test Pattern"));
        mixer.setAudioDevice("NO_AUDIO");
        mixer.setActiveWriter(sink);
        mixer.setWriting(true);
        mixer.setArea(-1, QRect());
        mixer.layout = 10;
        QVERIFY(mixer.start(previewLabel.winId(), 10, QSize(1280, 720)));

        // Layout 10: the camera fills the frame.
        mf::MFFramePtr out = frameWhere([](const QImage &i) { return near(i.pixel(240, 240), kYellowBar); });
        QVERIFY(out);
        QCOMPARE(out->image().size(), QSize(1280, 720));
        QVERIFY2(near(out->image().pixel(240, 240), kYellowBar), qPrintable(rgb(out->image().pixel(240, 240))));
        QCOMPARE(out->audioSampleCount(), 1764); // the device's sound interval (silent here)
        // The local preview shows the same mix.
        QTRY_VERIFY_WITH_TIMEOUT(near(previewLabel.grab().toImage().pixel(60, 60), kYellowBar), kWaitMs);

        // Layout 20: the screen (1920x1080 scaled to 1280x720); the red window covers x < 320.
        mixer.layout = 20;
        out = frameWhere([](const QImage &i) { return i.pixel(100, 360) == qRgb(255, 0, 0); });
        QVERIFY(out);
        QCOMPARE(out->image().pixel(800, 360), qRgb(0, 0, 0));

        // Layout 30: the screen with the camera inset 199x112 at (42, 574.4).
        mixer.layout = 30;
        out = frameWhere([](const QImage &i) { return near(i.pixel(79, 614), kYellowBar); });
        QVERIFY(out);
        QCOMPARE(out->image().pixel(800, 360), qRgb(0, 0, 0));
        QCOMPARE(out->image().pixel(20, 600), qRgb(255, 0, 0)); // left of the inset: screen
        QVERIFY2(near(out->image().pixel(42 + 37, 574 + 40), kYellowBar), qPrintable(rgb(out->image().pixel(79, 614))));
        QCOMPARE(out->image().pixel(42 + 199 + 2, 600), qRgb(255, 0, 0)); // right of the inset: screen again
        QVERIFY(!near(out->image().pixel(100, 573), kYellowBar));

        // Crop 400x300 of the screen frame: scaled to 960x720 at x = 160 on the background.
        mixer.layout = 20;
        mixer.cropRectChanged(QRect(120, 0, 400, 300)); // x 120..319 red, 320..519 black
        out = frameWhere([](const QImage &i) { return i.pixel(80, 360) == kBlue; });
        QVERIFY(out);
        QCOMPARE(out->image().pixel(80, 360), kBlue);
        QCOMPARE(out->image().pixel(1200, 360), kBlue);
        QCOMPARE(out->image().pixel(170, 360), qRgb(255, 0, 0));
        QCOMPARE(out->image().pixel(630, 360), qRgb(255, 0, 0));
        QCOMPARE(out->image().pixel(660, 360), qRgb(0, 0, 0));

        // The 1x1 rectangle at the origin means no crop.
        QRect none;
        none.setCoords(0, 0, 0, 0);
        mixer.cropRectChanged(none);
        out = frameWhere([](const QImage &i) { return i.pixel(80, 360) == qRgb(255, 0, 0); });
        QVERIFY(out);
        QCOMPARE(out->image().pixel(80, 360), qRgb(255, 0, 0));

        // Writing off: nothing more reaches the writer (but a frame that was
        // on its way), the preview goes on.
        mixer.setWriting(false);
        sink->clear();
        QTest::qWait(500);
        QVERIFY2(sink->count() <= 1, qPrintable(QString::number(sink->count())));

        QVERIFY(mixer.stopAndWait(kWaitMs));
        QVERIFY(!mixer.isRunning());
    }

    void twoFramesCanvas()
    {
        Mixer mixer;
        QVERIFY(mixer.setVideoDevice("Test Pattern"));
        mixer.setActiveWriter(sink);
        mixer.setWriting(true);
        mixer.setArea(-1, QRect());
        QVERIFY(mixer.start(0, 20, QSize(1920, 1080)));
        mf::MFFramePtr out = frameWhere([](const QImage &i) {
            return i.size() == QSize(3840, 1080) && i.pixel(1920 + 100, 500) == qRgb(255, 0, 0);
        });
        QVERIFY(out);
        QCOMPARE(out->image().size(), QSize(3840, 1080));
        QCOMPARE(out->format().aspectX, 32);
        QVERIFY(near(out->image().pixel(360, 360), kYellowBar)); // camera on the left
        QCOMPARE(out->image().pixel(1920 + 100, 500), qRgb(255, 0, 0)); // screen on the right
        QCOMPARE(out->image().pixel(1920 + 1000, 500), qRgb(0, 0, 0));
        QCOMPARE(out->audioSampleCount(), 1764);
        QVERIFY(mixer.stopAndWait(kWaitMs));

        // Restart in one-picture mode with another size.
        QVERIFY(mixer.start(0, 10, QSize(960, 540)));
        out = frameWhere([](const QImage &i) { return i.size() == QSize(960, 540); });
        QVERIFY(out);
        QCOMPARE(out->image().size(), QSize(960, 540));
        QVERIFY(mixer.stopAndWait(kWaitMs));
    }

    void levelOfTheDeviceSound()
    {
        Mixer mixer;
        QVERIFY(mixer.setVideoDevice("Test Pattern"));
        // The test pattern's own tone is a quarter of full scale (-15 dB).
        setMFDevice(mixer.device(), mf::eMFDT_VideoAudio, "Test Pattern Tone");
        QVERIFY(mixer.start(0, 10, QSize(320, 180)));
        QTRY_VERIFY_WITH_TIMEOUT(mixer.audioLevel > -19.f, kWaitMs);
        setMFDevice(mixer.device(), mf::eMFDT_VideoAudio, "<No Audio>");
        QTRY_VERIFY_WITH_TIMEOUT(mixer.audioLevel < -19.f, kWaitMs);
        QVERIFY(mixer.stopAndWait(kWaitMs));
    }

    void systemSoundThroughTheSoundServer()
    {
        if (qgetenv("ORVANTA_PULSE").isEmpty())
            QSKIP("needs the test environment's sound server");
        Mixer mixer;
        QVERIFY(mixer.setVideoDevice("Test Pattern"));
        mixer.setAudioDevice("NO_AUDIO");
        mixer.setSystemSound(true);
        QVERIFY(mixer.start(0, 10, QSize(320, 180)));
        // Silence in the sink keeps the level low.
        QTest::qWait(1500);
        QVERIFY2(mixer.audioLevel < -19.f, qPrintable(QString::number(mixer.audioLevel)));

        // A tone played into the null sink comes back as system sound.
        SinkTone tone(4);
        QVERIFY(tone.started());
        QTRY_VERIFY_WITH_TIMEOUT(mixer.audioLevel > -19.f, 4000);
        tone.stop();

        // Unticked: the sound server's output no longer reaches the mix.
        mixer.setSystemSound(false);
        QTRY_VERIFY_WITH_TIMEOUT(mixer.audioLevel < -19.f, 4000);
        QVERIFY(mixer.stopAndWait(kWaitMs));
    }
};

ORVANTA_TEST_MAIN(TestMixer, TestMain::Gui)
#include "tst_Mixer.moc"
