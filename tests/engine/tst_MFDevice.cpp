// Needs the test environment's X display and sound server (scripts/test-env.sh).
#include "media/engine/MFDevice.h"
#include "media/engine/MFTestPatternSource.h"
#include "tests/support/PaintedWindow.h"
#include "tests/support/TestMain.h"

#include <cstring>

using namespace mf;

namespace {
bool select(MFDevice &device, int type, const QString &name)
{
    const int index = MFDevice::deviceNames(type).indexOf(name);
    return index >= 0 && device.deviceSet(type, index, "") >= 0;
}

MFFormat cameraFormat(int w, int h)
{
    MFFormat f;
    f.width = w;
    f.height = h;
    f.aspectX = 16;
    f.aspectY = 9;
    f.rate = 25.0;
    f.audio = {2, 44100, 16};
    return f;
}

MFFramePtr next(MFDevice &device, const MFFormat &fmt)
{
    MFFramePtr frame;
    for (int i = 0; i < 10 && !frame; ++i)
        device.getFrame(fmt, -1, &frame);
    return frame;
}
} // namespace

class TestMFDevice : public QObject
{
    Q_OBJECT
private slots:
    void videoListEndsWithBuiltInDevicesAndNothingSelectedFails()
    {
        MFDevice device;
        int count = 0;
        QCOMPARE(device.deviceGetCount(eMFDT_Video, &count), MF_OK);
        QVERIFY(count >= 2);
        QString last, beforeLast;
        QCOMPARE(device.deviceGetName(eMFDT_Video, count - 1, &last), MF_OK);
        QCOMPARE(device.deviceGetName(eMFDT_Video, count - 2, &beforeLast), MF_OK);
        QCOMPARE(QStringList({beforeLast, last}), QStringList({"Test Pattern", "Desktop Screen Capture"}));
        QVERIFY(device.deviceGetName(eMFDT_Video, count, &last) < 0);
        QVERIFY(device.deviceGetCount(7, &count) < 0);
        QVERIFY(MFDevice::deviceNames(eMFDT_VideoAudio).contains("<No Audio>"));
        // Nothing selected: a failure, after a pause rather than at once (no spinning caller).
        MFFramePtr frame;
        QElapsedTimer t;
        t.start();
        QVERIFY(device.getFrame(cameraFormat(64, 36), -1, &frame) < 0);
        QVERIFY(!frame);
        QVERIFY(t.elapsed() >= 30);
    }

    void testPatternCarriesTimeAndTone()
    {
        MFDevice device;
        QVERIFY(select(device, eMFDT_Video, "Test Pattern"));
        const MFFormat fmt = cameraFormat(1280, 720);
        MFFramePtr frame = next(device, fmt);
        QVERIFY(frame);
        QCOMPARE(frame->format().width, 1280);
        QCOMPARE(frame->format().rate, 25.0);
        QCOMPARE(frame->audioSampleCount(), 1764);
        // A 1 kHz sine at a quarter of full scale: -15 dB.
        QVERIFY2(qAbs(frame->format().audioLevel + 15.05f) < 0.5f, qPrintable(QString::number(frame->format().audioLevel)));
        // The time it shows, readable from a small inset too.
        const QImage small = frame->image().scaled(299, 168, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        quint32 low = 0;
        QVERIFY(MFTestPatternSource::decodeTime(small, small.rect(), &low));
        QCOMPARE(MFTestPatternSource::expandTime(low, QDateTime::currentMSecsSinceEpoch()), frame->timestampUs() / 1000);
        MFFramePtr second = next(device, fmt);
        QVERIFY(second && second->image() != frame->image()); // moving
    }

    // Pictures come back to the source when let go and are drawn on again:
    // nothing of an earlier instant may stay on them, and a picture still
    // held elsewhere is never drawn on.
    void testPatternPicturesAreDrawnAfresh()
    {
        MFTestPatternSource source;
        const QSize size(640, 360);
        const QImage first = source.read(size)->image().copy();
        MFFramePtr held;
        QImage heldCopy;
        for (qint64 n = 1; n <= 12; ++n) {
            const MFFramePtr frame = source.read(size);
            const QImage picture = frame->image();
            const QRegion compared = QRegion(picture.rect()) - MFTestPatternSource::drawnArea(size, 0)
                - MFTestPatternSource::drawnArea(size, n);
            for (const QRect &r : compared)
                for (int y = r.top(); y <= r.bottom(); ++y)
                    QVERIFY2(std::memcmp(picture.constScanLine(y) + r.left() * 4, first.constScanLine(y) + r.left() * 4,
                                         size_t(r.width()) * 4) == 0,
                             qPrintable(QString("picture %1, row %2").arg(n).arg(y)));
            quint32 low = 0;
            QVERIFY(MFTestPatternSource::decodeTime(picture, picture.rect(), &low));
            QCOMPARE(qint64(low), (frame->timestampUs() / 1000) & 0xFFFFFFFF);
            if (n == 3) {
                held = frame; // kept to the end, unchanged
                heldCopy = picture.copy();
            }
        }
        QCOMPARE(held->image(), heldCopy);
    }

    void screenCaptureOfPaintedWindows()
    {
        if (qgetenv("DISPLAY").isEmpty())
            QSKIP("needs the test environment's X display");
        std::unique_ptr<QWidget> red(paintedWindow(QRect(100, 100, 400, 300), Qt::red));
        std::unique_ptr<QWidget> green(paintedWindow(QRect(700, 200, 200, 100), Qt::green));
        QVERIFY(QTest::qWaitForWindowExposed(red.get()) && QTest::qWaitForWindowExposed(green.get()));
        MFDevice device;
        QVERIFY(select(device, eMFDT_Video, "Desktop Screen Capture"));
        device.propertySet("capture.highlight_mouse", "hide");
        device.propertySet("capture.screen_index", "-1");
        device.propertySet("capture.frame_size", "screen");
        device.propertySet("capture.background_color", "#07a0f2(1)");
        const MFFormat fmt;
        MFFramePtr frame;
        // Exposed windows may still be on their way to the screen.
        (void)QTest::qWaitFor([&] {
            frame = next(device, fmt);
            return frame && frame->image().pixel(799, 249) == qRgb(0, 255, 0);
        }, 5000);
        QVERIFY(frame);
        QCOMPARE(frame->image().size(), QSize(1920, 1080));
        QVERIFY(frame->image().pixel(150, 150) == qRgb(255, 0, 0) && frame->image().pixel(799, 249) == qRgb(0, 255, 0));

        // An area of the display: left, top, right, bottom inclusive.
        device.propertySet("capture.area", "700,200,899,299");
        frame = next(device, fmt);
        QVERIFY(frame);
        QCOMPARE(frame->image().size(), QSize(200, 100));
        QVERIFY(frame->image().pixel(0, 0) == qRgb(0, 255, 0) && frame->image().pixel(199, 99) == qRgb(0, 255, 0));
        // One window by its id.
        device.propertySet("capture.window_id", QString::number(red->winId()));
        frame = next(device, fmt);
        QVERIFY(frame);
        QCOMPARE(frame->image().size(), QSize(400, 300));
        QVERIFY(frame->image().pixel(0, 0) == qRgb(255, 0, 0) && frame->image().pixel(399, 299) == qRgb(255, 0, 0));
    }

    // The sound server's sources by name (the mixer's tests hear the loopback).
    void soundServerSources()
    {
        if (qgetenv("ORVANTA_PULSE").isEmpty())
            QSKIP("needs the test environment's sound server");
        const QStringList inputs = MFDevice::deviceNames(eMFDT_Audio);
        QVERIFY2(inputs.first() == "<None>" && inputs.contains("PC Sounds (Loopback)"), qPrintable(inputs.join("|")));
        QCOMPARE(MFDevice::deviceNames(eMFDT_Audio2).mid(0, 2), QStringList({"<No External Audio>", "PC Sounds (Loopback)"}));
        MFDevice device;
        QVERIFY(select(device, eMFDT_Audio2, "PC Sounds (Loopback)"));
    }
};

ORVANTA_TEST_MAIN(TestMFDevice, TestMain::Gui)
#include "tst_MFDevice.moc"
