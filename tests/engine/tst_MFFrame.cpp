#include "media/engine/MFCatalog.h"
#include "media/engine/MFFactory.h"
#include "media/engine/MFOptions.h"
#include "media/engine/MFPicturePool.h"
#include "media/engine/MFPortalSession.h"
#include "media/engine/MFPortalSource.h"
#include "media/engine/MFPreview.h"
#include "media/engine/MFScreenCastEvents.h"
#include "media/engine/Yuv420Converter.h"
#include "tests/support/TestMain.h"

#include <QtDBus>

#include <cmath>
#include <thread>

extern "C" {
#include <libswscale/swscale.h>
}

using namespace mf;
using Problem = MFScreenCastEvents::Problem;

namespace {
const QRgb kRed = qRgb(255, 0, 0), kGreen = qRgb(0, 255, 0), kBlue = qRgb(7, 160, 242), kBlack = qRgb(0, 0, 0),
           kWhite = qRgb(255, 255, 255);
const MFAudioFormat kStereo{2, 44100, 16};

MFFormat rgb(int w, int h) { return {kPixelFormatRGB32, w, h}; }

MFFramePtr solid(int w, int h, const char *colour)
{
    return MFFactory::create(rgb(w, h), QStringLiteral("solid_color='%1'").arg(colour));
}

QImage checker(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, ((x + y) & 1) ? kWhite : kBlack);
    return image;
}

struct Pixel {
    int x, y;
    QRgb colour;
};
QString wrongPixels(const QImage &image, std::initializer_list<Pixel> expected)
{
    QStringList wrong;
    for (const Pixel &p : expected)
        if (image.pixel(p.x, p.y) != p.colour)
            wrong << QString("(%1,%2) is %3, not %4").arg(p.x).arg(p.y).arg(image.pixel(p.x, p.y), 0, 16).arg(p.colour, 0, 16);
    return wrong.join("; ");
}
#define COMPARE_PIXELS(image, ...) \
    QVERIFY2(wrongPixels((image), __VA_ARGS__).isEmpty(), qPrintable(wrongPixels((image), __VA_ARGS__)))

QImage shot(QWidget &w)
{
    QCoreApplication::processEvents();
    return w.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

std::vector<int16_t> tone(int samples, double amplitude)
{
    std::vector<int16_t> data(size_t(samples) * 2);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = int16_t(std::lround(amplitude * 32767 * std::sin(2 * M_PI * 1000 * double(i / 2) / 44100.0)));
    return data;
}

std::unique_ptr<AVFrame, void (*)(AVFrame *)> yuvFrame(const QSize &size)
{
    std::unique_ptr<AVFrame, void (*)(AVFrame *)> frame(av_frame_alloc(), [](AVFrame *f) { av_frame_free(&f); });
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = size.width();
    frame->height = size.height();
    av_frame_get_buffer(frame.get(), 0);
    return frame;
}
// A desktop portal on the test's private bus that answers as a row says: with
// a response code, not at all, or at another path than the client predicts.
class FakePortal : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.ScreenCast")
    Q_PROPERTY(uint AvailableSourceTypes MEMBER sourceTypes CONSTANT)
    Q_PROPERTY(uint AvailableCursorModes MEMBER cursorModes CONSTANT)
    Q_PROPERTY(uint version MEMBER version CONSTANT)
public:
    uint sourceTypes = 1, cursorModes = 3, version = 4;
    int createResponse = -1;       // -1: never answers
    bool answerElsewhere = false;  // the request lives at a path of the portal's own
    QVariantMap lastOptions;
    QDBusConnection bus;

    explicit FakePortal(const QDBusConnection &connection) : bus(connection) {}

public slots:
    QDBusObjectPath CreateSession(const QVariantMap &options)
    {
        lastOptions = options;
        QString sender = message().service();
        sender.remove(0, 1).replace('.', '_');
        const QString path = answerElsewhere
                                 ? QStringLiteral("/org/freedesktop/portal/desktop/request/elsewhere/1")
                                 : QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                                       .arg(sender, options.value("handle_token").toString());
        if (createResponse >= 0) {
            const uint code = uint(createResponse);
            // After the reply, as a portal does: the client may follow the path first.
            QTimer::singleShot(200, this, [this, path, code] {
                QDBusMessage signal = QDBusMessage::createSignal(path, "org.freedesktop.portal.Request", "Response");
                signal << code << QVariantMap();
                bus.send(signal);
            });
        }
        return QDBusObjectPath(path);
    }
};

} // namespace

// Frames, their conversion for the encoder, the preview, and the desktop portal.
class TestMFFrame : public QObject
{
    Q_OBJECT
    std::unique_ptr<FakePortal> portal;
    QThread serverThread; // the client's blocking calls must not wait for its own thread
    QDBusConnection server = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake-portal");

private slots:
    void initTestCase()
    {
        if (!QDBusConnection::sessionBus().isConnected())
            return; // the portal cases skip: the test runs under dbus-run-session
        QVERIFY(server.isConnected());
        portal = std::make_unique<FakePortal>(server);
        portal->moveToThread(&serverThread);
        serverThread.start();
        QVERIFY(server.registerObject("/org/freedesktop/portal/desktop", portal.get(),
                                      QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties));
        MFPortalSession::setTimeouts(1500, 1500);
        QVERIFY(server.registerService("org.freedesktop.portal.Desktop"));
        const MFPortalSession::Offer offer = MFPortalSession::probe(2000);
        QVERIFY(offer.portal && offer.screenCast);
        QCOMPARE(QVector<uint>({offer.sourceTypes, offer.cursorModes, offer.version}), QVector<uint>({1, 3, 4}));
    }

    void portalSessionOutcome_data()
    {
        using P = Problem;
        const uint monitor = MFPortalSession::Monitor;
        QTest::addColumn<int>("response");
        QTest::addColumn<bool>("elsewhere");
        QTest::addColumn<uint>("sourceType");
        QTest::addColumn<P>("problem");
        QTest::newRow("user cancelled") << 1 << false << monitor << P::Cancelled;
        QTest::newRow("portal failed") << 2 << false << monitor << P::Failed;
        QTest::newRow("never answers: bounded") << -1 << false << monitor << P::NoAnswer;
        QTest::newRow("answer at the returned path") << 1 << true << monitor << P::Cancelled;
        QTest::newRow("windows not offered") << 0 << false << uint(MFPortalSession::Window) << P::Failed;
    }
    void portalSessionOutcome()
    {
        if (!portal)
            QSKIP("no session bus");
        QFETCH(int, response);
        QFETCH(bool, elsewhere);
        QFETCH(uint, sourceType);
        QFETCH(Problem, problem);
        portal->createResponse = response;
        portal->answerElsewhere = elsewhere;
        MFPortalSession session;
        QSignalSpy failed(&session, &MFPortalSession::failed);
        session.open(sourceType, QString(), QString());
        QVERIFY(!failed.isEmpty() || failed.wait(5000));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().first().value<Problem>(), problem);
        if (sourceType != MFPortalSession::Monitor) { // refused before asking the portal
            QCOMPARE(failed.first().at(1).toString(), QString(MFScreenCastEvents::kWindowsNotOffered));
            return;
        }
        QVERIFY(portal->lastOptions.contains("handle_token") && portal->lastOptions.contains("session_handle_token"));
        // Nothing more arrives later (a late answer, or a timer of the 1.5 s bound set above).
        QTest::qWait(1700);
        QCOMPARE(failed.size(), 1);
    }

    void cleanupTestCase()
    {
        serverThread.quit();
        serverThread.wait();
    }

    void optionsCatalogAndFactory()
    {
        auto o = MFOptions::parse("solid_color='#07a0f2(255)' audio_gain=-100 video::b=\"1K\"");
        QCOMPARE(QStringList({o.value("solid_color"), o.value("audio_gain"), o.value("video::b")}),
                 QStringList({"#07a0f2(255)", "-100", "1K"}));
        quint32 argb = 0, opaque = 0;
        QVERIFY(MFOptions::parseColor("#07a0f2(1)", &argb) && MFOptions::parseColor("#07a0f2", &opaque));
        QCOMPARE(QVector<quint32>({argb, opaque}), QVector<quint32>({0x0107a0f2u, 0xFF07a0f2u}));
        QVERIFY(!MFOptions::parseColor("nonsense(3)", &argb));
        QCOMPARE(MFCatalog::containers(), QStringList{"mpegts"});
        const QStringList video = MFCatalog::videoCodecs("mpegts");
        QVERIFY2(video.contains("mpeg2video") && !video.contains("mjpeg"), qPrintable(video.join(" ")));
        QVERIFY(MFCatalog::audioCodecs("mpegts").contains("aac"));
        QVERIFY(MFCatalog::videoCodecs("no-such-container").isEmpty());

        auto blue = solid(8, 4, "#07a0f2(255)");
        QCOMPARE(blue->image().format(), QImage::Format_RGB32);
        COMPARE_PIXELS(blue->image(), {{0, 0, kBlue}, {7, 3, kBlue}});
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
        COMPARE_PIXELS(fromMem->image(), {{0, 0, 0xFF112233u}, {2, 1, 0xFF445566u}});
        QVERIFY(!MFFactory::fromMemory(rgb(3, 2), reinterpret_cast<uchar *>(mem.data()), 8));

        QImage img(6, 3, QImage::Format_RGB32);
        auto fromImg = MFFactory::fromImage(img);
        QCOMPARE(fromImg->format().width, 6);
        QCOMPARE(fromImg->image().constBits(), img.constBits()); // shared, not copied
        const QImage withAlpha(2, 2, QImage::Format_ARGB32);
        QCOMPARE(MFFactory::fromImage(withAlpha)->image().format(), QImage::Format_RGB32);

        // A cut is inclusive and clipped.
        QImage gradient(10, 10, QImage::Format_RGB32);
        for (int y = 0; y < 10; ++y)
            for (int x = 0; x < 10; ++x)
                gradient.setPixel(x, y, qRgb(x * 10, y * 10, 0));
        auto frame = MFFactory::fromImage(gradient);
        auto part = frame->cut(2, 3, 5, 7);
        QVERIFY(part);
        QCOMPARE(part->image().size(), QSize(4, 5));
        COMPARE_PIXELS(part->image(), {{0, 0, qRgb(20, 30, 0)}, {3, 4, qRgb(50, 70, 0)}});
        QCOMPARE(frame->cut(8, 8, 20, 20)->format().width, 2);
        QVERIFY(!frame->cut(20, 20, 30, 30));
    }

    // Pictures go back to a pool and come out filled afresh; a copy shares
    // its picture until one of them is drawn on.
    void picturesAreReusedAndCopiesIndependent()
    {
        const uchar *first = nullptr;
        {
            auto a = solid(64, 32, "#ff0000");
            first = a->constBits();
            auto data = tone(10, 0.5);
            a->setAudio(kStereo, 10, data.data());
            a->setTimestampUs(1234);
            auto b = a->copy();
            b->overlay(*solid(64, 32, "#00ff00"), 0, 0, 64, 32);
            QVERIFY(b->constBits() != first);
            QCOMPARE(a->image().pixel(5, 5), kRed);
            QCOMPARE(b->image().pixel(5, 5), kGreen);
            QCOMPARE(b->audioSampleCount(), 10);
            QCOMPARE(b->timestampUs(), qint64(1234));
        }
        QVERIFY(MFPicturePool::idleBytes() >= 64 * 32 * 4);
        auto again = MFFactory::create(rgb(64, 32));
        QVERIFY(again->constBits() == first || MFPicturePool::idleBytes() > 0);
        QCOMPARE(again->image().pixel(63, 31), kBlack);
    }

    // The encoder's own conversion gives libswscale's colours: flat colours,
    // stripes across or along the rows (the scaler's edge chroma rows see
    // beyond the picture, so they are left out), widths beside the SIMD steps.
    void yuvConversionMatchesTheScaler_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QRgb>("first");
        QTest::addColumn<QRgb>("second");
        QTest::addColumn<int>("stripes"); // 0 flat, 1 columns, 2 rows
        QTest::newRow("white") << QSize(64, 8) << kWhite << kWhite << 0;
        QTest::newRow("black, narrow") << QSize(2, 2) << kBlack << kBlack << 0;
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
        auto own = yuvFrame(size), scaled = yuvFrame(size);
        QVERIFY(Yuv420Converter::applies(picture, own.get()));
        Yuv420Converter::convert(picture, own.get());
        SwsContext *scaler = sws_getContext(size.width(), size.height(), AV_PIX_FMT_BGRA, size.width(), size.height(),
                                            AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
        const uint8_t *src[1] = {picture.constBits()};
        const int stride[1] = {int(picture.bytesPerLine())};
        sws_scale(scaler, src, stride, 0, size.height(), scaled->data, scaled->linesize);
        sws_freeContext(scaler);
        for (int plane = 0; plane < 3; ++plane) {
            const int w = plane ? size.width() / 2 : size.width(), h = plane ? size.height() / 2 : size.height();
            const int edge = plane && stripes == 2 ? 2 : 0;
            for (int y = edge; y < h - edge; ++y)
                for (int x = 0; x < w; ++x) {
                    const int a = own->data[plane][y * own->linesize[plane] + x];
                    const int b = scaled->data[plane][y * scaled->linesize[plane] + x];
                    QVERIFY2(qAbs(a - b) <= 1, qPrintable(QString("plane %1 at (%2,%3): %4, the scaler's %5")
                                                              .arg(plane).arg(x).arg(y).arg(a).arg(b)));
                }
        }
    }

    void yuvConversionLeavesOtherPicturesToTheScaler()
    {
        auto frame = yuvFrame(QSize(64, 32)), odd = yuvFrame(QSize(63, 31));
        QVERIFY(!Yuv420Converter::applies(QImage(QSize(64, 32), QImage::Format_RGB888), frame.get()));
        QVERIFY(!Yuv420Converter::applies(QImage(QSize(66, 32), QImage::Format_RGB32), frame.get()));
        QVERIFY(!Yuv420Converter::applies(QImage(QSize(63, 31), QImage::Format_RGB32), odd.get()));
        frame->format = AV_PIX_FMT_NV12;
        QVERIFY(!Yuv420Converter::applies(QImage(QSize(64, 32), QImage::Format_RGB32), frame.get()));
    }

    void overlayPlacement()
    {
        auto bg = solid(100, 50, "#07a0f2");
        auto red = solid(20, 10, "#ff0000");
        QVERIFY(bg->overlay(*red, 10, 5, 40, 20)); // scaled 2x
        COMPARE_PIXELS(bg->image(), {{10, 5, kRed}, {49, 24, kRed}, {9, 5, kBlue}, {50, 24, kBlue}, {10, 25, kBlue}});
        // Fractional placement rounds to whole pixels (y 574.4 -> 574).
        auto big = solid(1280, 720, "#07a0f2");
        QVERIFY(big->overlay(*red, 42, 574.4, 199, 112));
        COMPARE_PIXELS(big->image(), {{42, 574, kRed}, {42, 573, kBlue}, {240, 685, kRed}, {241, 685, kBlue},
                                      {240, 686, kBlue}});
        // Partly outside: clipped, no failure.
        auto green = solid(30, 30, "#00ff00");
        QVERIFY(bg->overlay(*green, 80, 40, 60, 60));
        QVERIFY(bg->overlay(*green, -10, -10, 15, 15));
        COMPARE_PIXELS(bg->image(), {{99, 49, kGreen}, {79, 49, kBlue}, {0, 0, kGreen}, {5, 5, kBlue}});
        // At the same size a detailed picture keeps its content; reduced 8
        // times, a one-pixel checkerboard is an even grey, not stripes.
        auto dst = MFFactory::create(rgb(32, 32));
        QVERIFY(dst->overlay(*MFFactory::fromImage(checker(16, 16)), 8, 8, 16, 16));
        QCOMPARE(dst->image().copy(8, 8, 16, 16), checker(16, 16));
        auto reduced = solid(100, 60, "#07a0f2");
        QVERIFY(reduced->overlay(*MFFactory::fromImage(checker(640, 360)), 10, 10, 80, 45));
        for (int y = 12; y < 53; y += 5)
            for (int x = 12; x < 88; x += 7)
                QVERIFY2(qAbs(qGray(reduced->image().pixel(x, y)) - 128) <= 3, qPrintable(QString("%1,%2").arg(x).arg(y)));
        COMPARE_PIXELS(reduced->image(), {{5, 5, kBlue}, {90, 55, kBlue}});
        // Halved exactly: each pixel the mean of its 2x2 block, each channel.
        QImage blocks(4, 2, QImage::Format_RGB32);
        blocks.fill(Qt::white);
        blocks.setPixel(0, 0, qRgb(0, 0, 0));
        blocks.setPixel(1, 0, qRgb(100, 0, 0));
        blocks.setPixel(0, 1, qRgb(0, 200, 0));
        blocks.setPixel(1, 1, qRgb(0, 0, 40));
        auto half = MFFactory::create(rgb(2, 1));
        QVERIFY(half->overlay(*MFFactory::fromImage(blocks), 0, 0, 2, 1));
        const QRgb mean = half->image().pixel(0, 0);
        QVERIFY2(qAbs(qRed(mean) - 25) <= 1 && qAbs(qGreen(mean) - 50) <= 1 && qAbs(qBlue(mean) - 10) <= 1,
                 qPrintable(QString::number(mean, 16)));
        QCOMPARE(half->image().pixel(1, 0), qRgb(255, 255, 255));
        // Half opaque white on black.
        auto black = solid(4, 4, "#000000");
        QVERIFY(black->overlay(*solid(4, 4, "#ffffff"), 0, 0, 4, 4, 0.5));
        QVERIFY(qAbs(qRed(black->image().pixel(2, 2)) - 128) <= 1);
    }

    void overlaySound()
    {
        auto loud = MFFactory::create(rgb(4, 4));
        auto data = tone(1764, 0.5);
        loud->setAudio(kStereo, 1764, data.data());
        QVERIFY(qAbs(loud->format().audioLevel - float(20 * std::log10(0.5 / std::sqrt(2.0)))) < 0.1f);

        auto muted = MFFactory::create(rgb(8, 8));
        QVERIFY(muted->overlay(*loud, 0, 0, 4, 4, 1.0, "audio_gain=-100"));
        QCOMPARE(muted->audioSampleCount(), 0);

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
        QCOMPARE(mixed->audioData()[22], int16_t(32767));

        std::vector<int16_t> silence(3528, 0);
        loud->setAudio(kStereo, 1764, silence.data());
        QCOMPARE(loud->format().audioLevel, -100.f);
    }

    void previewKeepsTheAspectAndFollowsItsWidget()
    {
        QLabel label, other;
        for (QLabel *l : {&label, &other}) {
            l->setStyleSheet("background: white");
            l->resize(200, 100);
            l->show();
        }
        MFPreview preview;
        QVERIFY(preview.enable(true, true)); // sound plays, or silently without a sound server
        preview.attach(label.winId());
        // Put from another thread, as the mixer does, with sound.
        auto red = solid(160, 90, "#ff0000");
        std::vector<int16_t> sound(1764 * 2, 1000);
        red->setAudio(kStereo, 1764, sound.data());
        std::thread producer([&] {
            for (int i = 0; i < 5; ++i)
                QCOMPARE(preview.put(red, 0), 0);
        });
        producer.join();
        QVERIFY(preview.put(nullptr, 0) < 0);
        // 160x90 in 200x100: 178x100 centred, bars of 11 pixels left and right.
        COMPARE_PIXELS(shot(label), {{100, 50, kRed}, {12, 0, kRed}, {187, 99, kRed}, {5, 50, kBlack}, {195, 50, kBlack}});
        label.resize(100, 200); // letterboxed above and below
        COMPARE_PIXELS(shot(label), {{50, 100, kRed}, {50, 10, kBlack}, {50, 190, kBlack}, {0, 73, kRed}});
        preview.put(solid(100, 200, "#00ff00"), 0);
        COMPARE_PIXELS(shot(label), {{1, 1, kGreen}, {98, 198, kGreen}});

        preview.attach(other.winId());
        preview.put(solid(200, 100, "#0000ff"), 0);
        QCOMPARE(shot(other).pixel(100, 50), qRgb(0, 0, 255));
        QCOMPARE(shot(label).pixel(50, 100), kWhite); // its own content again
        preview.enable(false, false);
        QCOMPARE(shot(other).pixel(100, 50), kWhite);
    }

    void portalAreaInPicture_data()
    {
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QPoint>("streamPos");
        QTest::addColumn<QSize>("streamSize");
        QTest::addColumn<QRect>("expected");
        const QSize hd(1280, 720);
        const QRect whole(QPoint(), hd);
        QTest::newRow("no area") << QRect() << QPoint() << hd << whole;
        QTest::newRow("the only monitor") << QRect(340, 160, 320, 200) << QPoint() << hd << QRect(340, 160, 320, 200);
        QTest::newRow("right monitor") << QRect(1700, 100, 200, 100) << QPoint(1600, 0) << hd << QRect(100, 100, 200, 100);
        QTest::newRow("monitor scaled 2x") << QRect(100, 50, 200, 100) << QPoint() << QSize(640, 360) << QRect(200, 100, 400, 200);
        QTest::newRow("stream size unknown") << QRect(10, 20, 30, 40) << QPoint() << QSize() << QRect(10, 20, 30, 40);
        QTest::newRow("over the right edge: cut") << QRect(1200, 600, 200, 200) << QPoint() << hd << QRect(1200, 600, 80, 120);
        QTest::newRow("off the stream: whole") << QRect(3000, 0, 100, 100) << QPoint() << hd << whole;
        QTest::newRow("left of the origin") << QRect(-1000, 10, 100, 100) << QPoint(-1280, 0) << hd << QRect(280, 10, 100, 100);
    }
    void portalAreaInPicture()
    {
        QFETCH(QRect, area);
        QFETCH(QPoint, streamPos);
        QFETCH(QSize, streamSize);
        QFETCH(QRect, expected);
        QCOMPARE(MFPortalSource::areaInPicture(area, streamPos, streamSize, QSize(1280, 720)), expected);
    }

    // A problem is reported in one log line and one signal, with its text.
    void portalProblemTexts_data()
    {
        QTest::addColumn<Problem>("problem");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("contains");
        QTest::newRow("cancelled") << Problem::Cancelled << QString() << "the previous screen source stays";
        QTest::newRow("no portal says what to install") << Problem::NoPortal << QString() << "install xdg-desktop-portal";
        QTest::newRow("no screen cast: backends") << Problem::NoScreenCast << QString() << "xdg-desktop-portal-gnome, -kde or -wlr";
        QTest::newRow("ended keeps the picture") << Problem::Ended << "stream paused" << "the last picture stays";
        QTest::newRow("no answer") << Problem::NoAnswer << QString() << "did not answer";
    }
    void portalProblemTexts()
    {
        QFETCH(Problem, problem);
        QFETCH(QString, detail);
        QFETCH(QString, contains);
        const QString text = MFScreenCastEvents::text(problem, detail);
        QVERIFY2(text.contains(contains), qPrintable(text));
        QCOMPARE(text.endsWith(QStringLiteral(" (%1)").arg(detail)), !detail.isEmpty());
        QSignalSpy problems(&MFScreenCastEvents::instance(), &MFScreenCastEvents::problemReported);
        QTest::ignoreMessage(QtWarningMsg, qPrintable("Screen sharing: " + text));
        MFScreenCastEvents::report(problem, detail);
        QCOMPARE(problems.size(), 1);
        QCOMPARE(problems.first().at(1).toString(), text);
    }

    // A restore token is announced when it is new, not again, nor when there is none.
    void portalRestoreToken()
    {
        QSignalSpy tokens(&MFScreenCastEvents::instance(), &MFScreenCastEvents::restoreTokenChanged);
        MFScreenCastEvents::setRestoreToken("a");
        MFScreenCastEvents::storeRestoreToken("a");
        MFScreenCastEvents::storeRestoreToken(QString());
        QCOMPARE(tokens.size(), 0);
        MFScreenCastEvents::storeRestoreToken("b");
        QCOMPARE(tokens.size(), 1);
        QCOMPARE(MFScreenCastEvents::restoreToken(), QString("b"));
    }
};

ORVANTA_TEST_MAIN(TestMFFrame, TestMain::Offscreen)
#include "tst_MFFrame.moc"
