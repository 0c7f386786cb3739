#include "media/engine/MFFactory.h"
#include "media/engine/MFPreview.h"

#include "tests/support/TestMain.h"

#include <thread>

using namespace mf;

namespace {

MFFramePtr solid(int w, int h, const char *color)
{
    MFFormat f;
    f.width = w;
    f.height = h;
    return MFFactory::create(f, QStringLiteral("solid_color='%1'").arg(color));
}

QImage shot(QWidget &w)
{
    QCoreApplication::processEvents();
    return w.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

class TestMFPreview : public QObject
{
    Q_OBJECT
private slots:
    void rendersWithAspectKept()
    {
        QLabel label;
        label.setStyleSheet("background: white");
        label.resize(200, 100);
        label.show();
        MFPreview preview;
        QVERIFY(preview.enable(false, true));
        preview.attach(label.winId());
        // Put from another thread, as the mixer does.
        std::thread producer([&] { QCOMPARE(preview.put(solid(160, 90, "#ff0000"), 0), 0); });
        producer.join();

        QImage img = shot(label);
        // 160x90 in 200x100: 178x100 centred, bars of 11 pixels left and right.
        QCOMPARE(img.pixel(100, 50), qRgb(255, 0, 0));
        QCOMPARE(img.pixel(12, 0), qRgb(255, 0, 0));
        QCOMPARE(img.pixel(187, 99), qRgb(255, 0, 0));
        QCOMPARE(img.pixel(5, 50), qRgb(0, 0, 0));
        QCOMPARE(img.pixel(195, 50), qRgb(0, 0, 0));

        // A taller widget letterboxes above and below.
        label.resize(100, 200);
        img = shot(label);
        QCOMPARE(img.pixel(50, 100), qRgb(255, 0, 0));
        QCOMPARE(img.pixel(50, 10), qRgb(0, 0, 0));
        QCOMPARE(img.pixel(50, 190), qRgb(0, 0, 0));
        QCOMPARE(img.pixel(0, 73), qRgb(255, 0, 0));

        // New frames replace the old picture.
        preview.put(solid(100, 200, "#00ff00"), 0);
        img = shot(label);
        QCOMPARE(img.pixel(1, 1), qRgb(0, 255, 0));
        QCOMPARE(img.pixel(98, 198), qRgb(0, 255, 0));
    }

    void followsReattachment()
    {
        QLabel first, second;
        for (QLabel *l : {&first, &second}) {
            l->setStyleSheet("background: white");
            l->resize(64, 36);
            l->show();
        }
        MFPreview preview;
        preview.enable(false, true);
        preview.attach(first.winId());
        preview.put(solid(64, 36, "#0000ff"), 0);
        QCOMPARE(shot(first).pixel(32, 18), qRgb(0, 0, 255));

        preview.attach(second.winId());
        preview.put(solid(64, 36, "#ff00ff"), 0);
        QCOMPARE(preview.attachedHandle(), quint64(second.winId()));
        QCOMPARE(shot(second).pixel(32, 18), qRgb(255, 0, 255));
        QCOMPARE(shot(first).pixel(32, 18), qRgb(255, 255, 255)); // its own content again

        // Video off: the widget shows its own content.
        preview.enable(false, false);
        QCOMPARE(shot(second).pixel(32, 18), qRgb(255, 255, 255));
    }

    void soundWithoutDeviceIsSilentNotFailing()
    {
        QLabel label;
        label.resize(32, 32);
        label.show();
        MFPreview preview;
        QVERIFY(preview.enable(true, true));
        preview.attach(label.winId());
        auto frame = solid(32, 32, "#123456");
        std::vector<int16_t> sound(1764 * 2, 1000);
        frame->setAudio({2, 44100, 16}, 1764, sound.data());
        for (int i = 0; i < 5; ++i)
            QCOMPARE(preview.put(frame, 0), 0);
        QCOMPARE(shot(label).pixel(16, 16), qRgb(0x12, 0x34, 0x56));
        QVERIFY(preview.put(nullptr, 0) < 0);
    }
};

ORVANTA_TEST_MAIN(TestMFPreview, TestMain::Gui)
#include "tst_MFPreview.moc"
