#include "media/engine/MFCatalog.h"
#include "media/engine/MFFactory.h"
#include "media/engine/MFFrame.h"
#include "media/engine/MFOptions.h"
#include "media/engine/MFPicturePool.h"
#include "media/engine/Yuv420Converter.h"

#include "tests/support/TestMain.h"

#include <cmath>

extern "C" {
#include <libswscale/swscale.h>
}

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

std::unique_ptr<AVFrame, void (*)(AVFrame *)> yuvFrame(const QSize &size)
{
    std::unique_ptr<AVFrame, void (*)(AVFrame *)> frame(av_frame_alloc(), [](AVFrame *f) { av_frame_free(&f); });
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = size.width();
    frame->height = size.height();
    av_frame_get_buffer(frame.get(), 0);
    return frame;
}

// The largest difference between two frames' samples, each plane, leaving
// out edge chroma rows at the top and the bottom.
QVector<int> planeDifferences(const AVFrame *a, const AVFrame *b, int edge)
{
    QVector<int> largest;
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane ? a->width / 2 : a->width, h = plane ? a->height / 2 : a->height;
        const int skipped = plane ? edge : 0;
        int most = 0;
        for (int y = skipped; y < h - skipped; ++y)
            for (int x = 0; x < w; ++x)
                most = qMax(most, qAbs(a->data[plane][y * a->linesize[plane] + x]
                                       - b->data[plane][y * b->linesize[plane] + x]));
        largest.append(most);
    }
    return largest;
}

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

    // The encoder's own conversion gives libswscale's colours: flat colours,
    // and stripes across or along the rows, whose 2x2 means both filters
    // agree on (but for the scaler's edge rows, which see beyond the picture);
    // widths with and without a remainder beside the SIMD steps.
    void yuvConversionMatchesTheScaler_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QRgb>("first");
        QTest::addColumn<QRgb>("second");
        QTest::addColumn<int>("stripes");  // 0 flat, 1 columns, 2 rows
        QTest::newRow("white") << QSize(64, 8) << qRgb(255, 255, 255) << qRgb(255, 255, 255) << 0;
        QTest::newRow("black, narrow") << QSize(2, 2) << qRgb(0, 0, 0) << qRgb(0, 0, 0) << 0;
        QTest::newRow("yellow bar, odd blocks") << QSize(38, 6) << qRgb(192, 192, 0) << qRgb(192, 192, 0) << 0;
        QTest::newRow("blue bar with alpha") << QSize(32, 4) << qRgba(0, 0, 192, 7) << qRgba(0, 0, 192, 7) << 0;
        QTest::newRow("red and cyan columns") << QSize(48, 4) << qRgb(250, 10, 40) << qRgb(5, 230, 200) << 1;
        QTest::newRow("magenta and green rows") << QSize(1280, 40) << qRgb(192, 0, 192) << qRgb(0, 192, 0) << 2;
        QTest::newRow("grey and orange columns, remainder") << QSize(22, 2) << qRgb(128, 128, 128)
                                                             << qRgb(255, 128, 0) << 1;
    }

    void yuvConversionMatchesTheScaler()
    {
        QFETCH(QSize, size);
        QFETCH(QRgb, first);
        QFETCH(QRgb, second);
        QFETCH(int, stripes);
        QImage picture(size, qAlpha(first) < 255 ? QImage::Format_ARGB32 : QImage::Format_RGB32);
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                picture.setPixel(x, y, (stripes == 1 ? x : stripes == 2 ? y : 0) % 2 ? second : first);
        auto own = yuvFrame(size);
        QVERIFY(Yuv420Converter::applies(picture, own.get()));
        Yuv420Converter::convert(picture, own.get());

        auto scaled = yuvFrame(size);
        SwsContext *scaler = sws_getContext(size.width(), size.height(), AV_PIX_FMT_BGRA, size.width(), size.height(),
                                            AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
        const uint8_t *src[1] = {picture.constBits()};
        const int stride[1] = {int(picture.bytesPerLine())};
        sws_scale(scaler, src, stride, 0, size.height(), scaled->data, scaled->linesize);
        sws_freeContext(scaler);
        const QVector<int> differences = planeDifferences(own.get(), scaled.get(), stripes == 2 ? 2 : 0);
        QVERIFY2(*std::max_element(differences.begin(), differences.end()) <= 1,
                 qPrintable(QString("Y, U, V differ by up to %1, %2, %3")
                                .arg(differences[0]).arg(differences[1]).arg(differences[2])));
        // The first block's colour, by the formula, for the record.
        QCOMPARE(int(own->data[0][0]), (8414 * qRed(first) + 16519 * qGreen(first) + 3208 * qBlue(first)
                                        + (16 << 15) + (1 << 14)) >> 15);
    }

    void yuvConversionLeavesOtherPicturesToTheScaler()
    {
        auto frame = yuvFrame(QSize(64, 32));
        QVERIFY(!Yuv420Converter::applies(QImage(QSize(64, 32), QImage::Format_RGB888), frame.get()));
        QVERIFY(!Yuv420Converter::applies(QImage(QSize(66, 32), QImage::Format_RGB32), frame.get()));
        auto odd = yuvFrame(QSize(63, 31));
        QVERIFY(!Yuv420Converter::applies(QImage(QSize(63, 31), QImage::Format_RGB32), odd.get()));
        frame->format = AV_PIX_FMT_NV12;
        QVERIFY(!Yuv420Converter::applies(QImage(QSize(64, 32), QImage::Format_RGB32), frame.get()));
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

ORVANTA_TEST_MAIN(TestMFFrame, TestMain::Core)
#include "tst_MFFrame.moc"
