#include "media/Mixer.h"
#include "media/ScreenSource.h"
#include "media/engine/MFPreview.h"

#include "tests/support/TestMain.h"

#include <atomic>

namespace {

constexpr int kWaitMs = 20000;

class CountingSink : public mf::MFFrameSink
{
public:
    std::atomic<int> frames{0};
    int put(const mf::MFFramePtr &, int) override
    {
        ++frames;
        return 0;
    }
};

// Lets the mixer deliver `count` more frames.
bool framesPass(const CountingSink &sink, int count)
{
    const int start = sink.frames;
    return QTest::qWaitFor([&] { return sink.frames >= start + count; }, kWaitMs);
}

} // namespace

// The screen is grabbed only while the mixed picture shows it (or someone
// listens to the screen frames).
class TestScreenGrabs : public QObject
{
    Q_OBJECT

private slots:
    void cameraLayoutGrabsNothing()
    {
        QLabel previewLabel;
        previewLabel.resize(320, 180);
        previewLabel.show();
        auto sink = std::make_shared<CountingSink>();
        Mixer mixer;
        QVERIFY(mixer.setVideoDevice("Test Pattern"));
        mixer.setAudioDevice("NO_AUDIO");
        mixer.setArea(-1, QRect());
        mixer.setActiveWriter(sink);
        mixer.setWriting(true);
        mixer.layout = 10;
        QVERIFY(mixer.start(mf::MFPreview::handleOf(&previewLabel), 10, QSize(640, 360)));
        ScreenSource *screen = mixer.screenSource();

        // Started in the camera layout: not one grab.
        QVERIFY(framesPass(*sink, 25));
        QVERIFY(!screen->isWanted());
        QCOMPARE(screen->grabCount(), quint64(0));
        const quint64 settled = 0;

        // The screen layout grabs again, and the camera layout stops it again.
        mixer.layout = 20;
        QVERIFY(QTest::qWaitFor([&] { return screen->grabCount() >= settled + 5; }, kWaitMs));
        mixer.layout = 10;
        // A grab under way when the layout changed may still end; no other.
        QVERIFY(framesPass(*sink, 3));
        QVERIFY(!screen->isWanted());
        const quint64 again = screen->grabCount();
        QVERIFY(framesPass(*sink, 25));
        QVERIFY2(screen->grabCount() <= again + 1, qPrintable(QString("%1 grabs after %2").arg(screen->grabCount()).arg(again)));

        // A listener to the screen frames keeps grabbing on in any layout.
        std::atomic<int> screenFrames{0};
        connect(&mixer, &Mixer::frameChanged, this, [&] { ++screenFrames; }, Qt::DirectConnection);
        QVERIFY(QTest::qWaitFor([&] { return screen->grabCount() >= again + 5 && screenFrames > 0; }, kWaitMs));
        QVERIFY(mixer.stopAndWait(10000));
    }
};

ORVANTA_TEST_MAIN(TestScreenGrabs, TestMain::Gui)
#include "tst_ScreenGrabs.moc"
