#include "media/engine/MFCatalog.h"
#include "media/engine/MFFactory.h"
#include "media/engine/MFFrame.h"
#include "media/engine/MFOptions.h"
#include "media/engine/MFPicturePool.h"

#include <QtTest>

#include <cmath>

using namespace mf;

namespace {

MFFormat rgb(int w, int h)
{
    MFFormat f;
    f.width = w;
    f.height = h;
    return f;
}

QRgb px(const MFFramePtr &f, int x, int y) { return f->image().pixel(x, y); }

std::vector<int16_t> tone(int samples, int channels, double amplitude)
{
    std::vector<int16_t> data(size_t(samples) * channels);
    for (int i = 0; i < samples; ++i)
        for (int c = 0; c < channels; ++c)
            data[size_t(i) * channels + c] =
                int16_t(std::lround(amplitude * 32767 * std::sin(2 * M_PI * 1000 * i / 44100.0)));
    return data;
}

const MFAudioFormat kStereo{2, 44100, 16};

} // namespace

class TestMFFrame : public QObject
{
    Q_OBJECT
private slots:
    void optionsAndColours()
    {
        auto o = MFOptions::parse("solid_color='#07a0f2(255)' audio_gain=-100 video::b=\"1K\"");
        QCOMPARE(o.value("solid_color"), QString("#07a0f2(255)"));
        QCOMPARE(o.value("audio_gain"), QString("-100"));
        QCOMPARE(o.value("video::b"), QString("1K"));
        quint32 argb = 0;
        QVERIFY(MFOptions::parseColor("#07a0f2(1)", &argb));
        QCOMPARE(argb, 0x0107a0f2u);
        QVERIFY(MFOptions::parseColor("#07a0f2", &argb));
        QCOMPARE(argb, 0xFF07a0f2u);
        QVERIFY(!MFOptions::parseColor("nonsense(3)", &argb));
    }

    void createFromOptionsMemoryAndImage()
    {
        auto blue = MFFactory::create(rgb(8, 4), "solid_color='#07a0f2(255)'");
        QVERIFY(blue);
        QCOMPARE(blue->format().width, 8);
        QCOMPARE(blue->image().format(), QImage::Format_RGB32);
        QCOMPARE(px(blue, 0, 0), qRgb(0x07, 0xa0, 0xf2));
        QCOMPARE(px(blue, 7, 3), qRgb(0x07, 0xa0, 0xf2));
        QCOMPARE(px(MFFactory::create(rgb(2, 2)), 1, 1), qRgb(0, 0, 0));

        MFFormat bad = rgb(4, 4);
        bad.pixelFormat = 0x12345678;
        QVERIFY(!MFFactory::create(bad));
        QVERIFY(!MFFactory::create(rgb(0, 4)));

        // Rows with padding: stride 5 pixels for a 3 pixel wide picture.
        std::vector<quint32> mem(5 * 2, 0xFFFFFFFFu);
        mem[0] = 0xFF112233u;
        mem[5 + 2] = 0xFF445566u;
        auto fromMem = MFFactory::fromMemory(rgb(3, 2), reinterpret_cast<uchar *>(mem.data()), 20);
        QVERIFY(fromMem);
        QCOMPARE(px(fromMem, 0, 0), 0xFF112233u);
        QCOMPARE(px(fromMem, 2, 1), 0xFF445566u);
        QVERIFY(!MFFactory::fromMemory(rgb(3, 2), reinterpret_cast<uchar *>(mem.data()), 8));

        QImage img(6, 3, QImage::Format_RGB32);
        img.fill(Qt::red);
        auto fromImg = MFFactory::fromImage(img);
        QCOMPARE(fromImg->format().width, 6);
        QCOMPARE(fromImg->image().constBits(), img.constBits()); // shared, not copied
        QImage argb(2, 2, QImage::Format_ARGB32);
        argb.fill(qRgb(1, 2, 3));
        QCOMPARE(px(MFFactory::fromImage(argb), 1, 1), qRgb(1, 2, 3));
    }

    void catalogOfTheWriter()
    {
        QCOMPARE(MFCatalog::containers(), QStringList{"mpegts"});
        const QStringList video = MFCatalog::videoCodecs("mpegts");
        QVERIFY2(video.contains("mpeg2video") && !video.contains("mjpeg"), qPrintable(video.join(" ")));
        QVERIFY(MFCatalog::audioCodecs("mpegts").contains("aac"));
        QVERIFY(MFCatalog::videoCodecs("no-such-container").isEmpty());
    }

    void picturesAreReused()
    {
        const uchar *first = nullptr;
        {
            auto frame = MFFactory::create(rgb(64, 32), "solid_color='#00ff00'");
            first = frame->constBits();
            auto shared = frame->copy();
            // Writing into a shared picture leaves the other frame alone.
            shared->overlay(*MFFactory::create(rgb(64, 32), "solid_color='#ff0000'"), 0, 0, 64, 32);
            QVERIFY(shared->constBits() != first);
            QCOMPARE(px(frame, 5, 5), qRgb(0, 255, 0));
        }
        QVERIFY(MFPicturePool::idleBytes() >= 64 * 32 * 4);
        auto again = MFFactory::create(rgb(64, 32));
        QVERIFY(again->constBits() == first || MFPicturePool::idleBytes() > 0);
        QCOMPARE(px(again, 63, 31), qRgb(0, 0, 0)); // filled afresh, nothing of the old picture
    }

    void cutIsInclusiveAndClipped()
    {
        QImage img(10, 10, QImage::Format_RGB32);
        for (int y = 0; y < 10; ++y)
            for (int x = 0; x < 10; ++x)
                img.setPixel(x, y, qRgb(x * 10, y * 10, 0));
        auto frame = MFFactory::fromImage(img);
        auto part = frame->cut(2, 3, 5, 7);
        QVERIFY(part);
        QCOMPARE(part->format().width, 4);
        QCOMPARE(part->format().height, 5);
        QCOMPARE(px(part, 0, 0), qRgb(20, 30, 0));
        QCOMPARE(px(part, 3, 4), qRgb(50, 70, 0));
        auto edge = frame->cut(8, 8, 20, 20);
        QCOMPARE(edge->format().width, 2);
        QVERIFY(!frame->cut(20, 20, 30, 30));
    }

    void copyIsIndependent()
    {
        auto a = MFFactory::create(rgb(4, 4), "solid_color='#ff0000'");
        auto data = tone(10, 2, 0.5);
        a->setAudio(kStereo, 10, data.data());
        a->setTimestampUs(1234);
        auto b = a->copy();
        b->overlay(*MFFactory::create(rgb(4, 4), "solid_color='#00ff00'"), 0, 0, 4, 4);
        QCOMPARE(px(a, 1, 1), qRgb(255, 0, 0));
        QCOMPARE(px(b, 1, 1), qRgb(0, 255, 0));
        QCOMPARE(b->audioSampleCount(), 10);
        QCOMPARE(b->timestampUs(), qint64(1234));
        QVERIFY(a->audioData() != b->audioData());
    }

    void overlayPlacement()
    {
        auto bg = MFFactory::create(rgb(100, 50), "solid_color='#07a0f2'");
        auto red = MFFactory::create(rgb(20, 10), "solid_color='#ff0000'");
        // Scaled 2x into (10, 5, 40, 20).
        QVERIFY(bg->overlay(*red, 10, 5, 40, 20));
        QCOMPARE(px(bg, 10, 5), qRgb(255, 0, 0));
        QCOMPARE(px(bg, 49, 24), qRgb(255, 0, 0));
        QCOMPARE(px(bg, 9, 5), qRgb(7, 160, 242));
        QCOMPARE(px(bg, 50, 24), qRgb(7, 160, 242));
        QCOMPARE(px(bg, 10, 25), qRgb(7, 160, 242));

        // Fractional placement rounds to whole pixels (y 574.4 -> 574).
        auto big = MFFactory::create(rgb(1280, 720), "solid_color='#07a0f2'");
        QVERIFY(big->overlay(*red, 42, 574.4, 199, 112));
        QCOMPARE(px(big, 42, 574), qRgb(255, 0, 0));
        QCOMPARE(px(big, 42, 573), qRgb(7, 160, 242));
        QCOMPARE(px(big, 240, 685), qRgb(255, 0, 0));
        QCOMPARE(px(big, 241, 685), qRgb(7, 160, 242));
        QCOMPARE(px(big, 240, 686), qRgb(7, 160, 242));

        // Partly outside: clipped, no failure.
        auto green = MFFactory::create(rgb(30, 30), "solid_color='#00ff00'");
        QVERIFY(bg->overlay(*green, 80, 40, 60, 60));
        QCOMPARE(px(bg, 99, 49), qRgb(0, 255, 0));
        QCOMPARE(px(bg, 79, 49), qRgb(7, 160, 242));
        QVERIFY(bg->overlay(*green, -10, -10, 15, 15));
        QCOMPARE(px(bg, 0, 0), qRgb(0, 255, 0));
        QCOMPARE(px(bg, 5, 5), qRgb(7, 160, 242));

        // A detailed picture keeps its content when drawn at the same size.
        QImage checker(16, 16, QImage::Format_RGB32);
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                checker.setPixel(x, y, ((x + y) & 1) ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
        auto dst = MFFactory::create(rgb(32, 32));
        QVERIFY(dst->overlay(*MFFactory::fromImage(checker), 8, 8, 16, 16));
        QCOMPARE(dst->image().copy(8, 8, 16, 16), checker);
    }

    void largeReductionsAverage()
    {
        // A one-pixel checkerboard reduced 8 times is an even grey, not stripes.
        QImage checker(640, 360, QImage::Format_RGB32);
        for (int y = 0; y < 360; ++y)
            for (int x = 0; x < 640; ++x)
                checker.setPixel(x, y, ((x + y) & 1) ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
        auto dst = MFFactory::create(rgb(100, 60), "solid_color='#07a0f2'");
        QVERIFY(dst->overlay(*MFFactory::fromImage(checker), 10, 10, 80, 45));
        for (int y = 12; y < 53; y += 5)
            for (int x = 12; x < 88; x += 7)
                QVERIFY2(qAbs(qGray(px(dst, x, y)) - 128) <= 3, qPrintable(QString::number(qGray(px(dst, x, y)))));
        QCOMPARE(px(dst, 5, 5), qRgb(7, 160, 242));
        QCOMPARE(px(dst, 90, 55), qRgb(7, 160, 242));
    }

    void overlayOpacity()
    {
        auto bg = MFFactory::create(rgb(4, 4), "solid_color='#000000'");
        QVERIFY(bg->overlay(*MFFactory::create(rgb(4, 4), "solid_color='#ffffff'"), 0, 0, 4, 4, 0.5));
        const QRgb p = px(bg, 2, 2);
        QVERIFY(qAbs(qRed(p) - 128) <= 1);
        QCOMPARE(qAlpha(p), 255);
    }

    void overlaySound()
    {
        auto loud = MFFactory::create(rgb(4, 4));
        auto data = tone(1764, 2, 0.5);
        loud->setAudio(kStereo, 1764, data.data());
        QVERIFY(qAbs(loud->format().audioLevel - float(20 * std::log10(0.5 / std::sqrt(2.0)))) < 0.1f);

        auto muted = MFFactory::create(rgb(8, 8));
        QVERIFY(muted->overlay(*loud, 0, 0, 4, 4, 1.0, "audio_gain=-100"));
        QCOMPARE(muted->audioSampleCount(), 0);
        QCOMPARE(muted->format().audioLevel, -100.f);

        auto mixed = MFFactory::create(rgb(8, 8));
        QVERIFY(mixed->overlay(*loud, 0, 0, 4, 4, 1.0, "audio_gain=0"));
        QCOMPARE(mixed->audioSampleCount(), 1764);
        QCOMPARE(mixed->format().audio.sampleRate, 44100);
        QVERIFY(std::equal(data.begin(), data.end(), mixed->audioData()));

        // Mixing into existing sound adds the samples, saturating.
        QVERIFY(mixed->overlay(*loud, 0, 0, 4, 4, 1.0, "audio_gain=0"));
        QCOMPARE(mixed->audioData()[2 * 11], int16_t(qBound(-32768, 2 * data[22], 32767)));
        QVERIFY(mixed->format().audioLevel > loud->format().audioLevel + 5.0f);
        QVERIFY(mixed->overlay(*loud, 0, 0, 4, 4, 1.0, "audio_gain=0"));
        QVERIFY(mixed->audioData()[0] <= 32767);

        std::vector<int16_t> silence(3528, 0);
        loud->setAudio(kStereo, 1764, silence.data());
        QCOMPARE(loud->format().audioLevel, -100.f);
    }
};

QTEST_GUILESS_MAIN(TestMFFrame)
#include "tst_MFFrame.moc"
