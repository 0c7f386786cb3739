// The feedback reader and player against the studio and a silent server, and
// return streams made to hurt the client, decoded from memory and played.
#include "media/PlayerWorker.h"
#include "media/engine/MFPreview.h"
#include "media/engine/MFReader.h"
#include "media/engine/TsDecoder.h"
#include "tests/support/FfmpegPrograms.h"
#include "tests/support/FreePorts.h"
#include "tests/support/GuiHeartbeat.h"
#include "tests/support/LoopbackEndpoint.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/ProcessMemory.h"
#include "tests/support/SrtTestServer.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TsEdits.h"
#include "transport/ArrowSender.h"
#include "transport/srt/SrtCallerUrl.h"
#include "tests/support/TestMain.h"

#include <atomic>

namespace {

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || __has_feature(address_sanitizer)
constexpr bool kSanitized = true;  // it keeps freed memory for a while
#else
constexpr bool kSanitized = false;
#endif

// Growth of the resident size while one hostile stream plays.
constexpr qint64 kPeakGrowthLimitKb = (kSanitized ? 900 : 320) * 1024;
// Longer than any pause of a window that still answers; a frozen one misses it.
constexpr qint64 kStallLimitMs = 2000;
const QSize kLargest(mf::TsDecoder::kMaxWidth, mf::TsDecoder::kMaxHeight);

QString url(quint16 port, const QString &streamId, bool player = true)
{
    return QString("srt://127.0.0.1:%1?mode=caller&streamid=%2%3").arg(port).arg(streamId, player ? "#feedbackplay" : "");
}

QSize shownSize(const PlayerWorker &player)
{
    const auto preview = player.currentPreview();
    const auto frame = preview ? preview->lastFrame() : nullptr;
    return frame ? frame->image().size() : QSize();
}

// One part of a return stream from ffmpeg: pictures from a lavfi source and,
// with a sample rate, a tone.
QStringList clip(const QString &source, double seconds, int rate = 25, const QString &codec = "libx264",
                 int sampleRate = 0, int channels = 2)
{
    const auto lavfi = [seconds](const QString &graph) {
        return QStringList{"-f", "lavfi", "-t", QString::number(seconds), "-i", graph};
    };
    QStringList arguments = lavfi(QString("%1:rate=%2,format=yuv420p").arg(source).arg(rate));
    if (sampleRate > 0)
        arguments += lavfi(QString("sine=frequency=440:sample_rate=%1").arg(sampleRate));
    arguments << "-c:v" << codec << "-g" << QString::number(rate) << "-bf" << "0";
    // Quick to make even at 8K: the picture's format made by the filter, no look-ahead.
    if (codec == "libx264")
        arguments << "-preset" << "ultrafast" << "-x264-params" << "threads=2:rc-lookahead=0";
    if (sampleRate > 0)
        arguments << "-ac" << QString::number(channels) << "-c:a" << "aac";
    return arguments << "-f" << "mpegts";
}

struct Decoded
{
    QList<QSize> sizes;  // each change of size, in order
    qint64 pictures = 0;
    qint64 soundFrames = 0;
    QStringList notices;
};

Decoded decodeFromMemory(const QByteArray &stream)
{
    int offset = 0;
    mf::TsDecoder decoder(
        [&](uint8_t *buffer, int size) {
            const int count = qMin(size, int(stream.size()) - offset);
            if (count <= 0)
                return -1;
            memcpy(buffer, stream.constData() + offset, size_t(count));
            offset += count;
            return count;
        },
        true);
    Decoded result;
    decoder.setNotice([&](const QString &reason, bool) { result.notices << reason; });
    const std::atomic<bool> stop{false};
    decoder.run(stop, [&](QImage picture, std::vector<int16_t> samples) {
        result.soundFrames += qint64(samples.size()) / mf::TsDecoder::kChannels;
        if (picture.isNull())
            return;
        ++result.pictures;
        if (result.sizes.isEmpty() || result.sizes.last() != picture.size())
            result.sizes << picture.size();
    });
    return result;
}

} // namespace

class TestPlayerWorker : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QByteArray bytesOf(const QString &name) const
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        QImage splash(200, 100, QImage::Format_RGB32);
        splash.fill(Qt::red);
        QVERIFY(splash.save(path("splash.png")));
        const QString small = "testsrc=size=160x90";
        const QString moving = "testsrc=size=640x360";
        // Streams from ffmpeg, a part after the other, as a server would play them.
        const QList<QPair<QString, QStringList>> parts{
            {"h264.ts", clip(moving, 4, 25, "libx264", 48000)},
            {"hevc.ts", clip(moving, 2, 25, "libx265", 48000)},
            {"mpeg2.ts", clip(moving, 2, 25, "mpeg2video", 48000)},
            // The sound drops from six channels at 96 kHz to one at 8 kHz, on the same PIDs.
            {"sound-change.ts", clip(small, 1.5, 25, "libx264", 96000, 6)},
            {"sound-change.ts", clip(small, 1.5, 25, "libx264", 8000, 1)},
            {"sizes.ts", clip(moving, 1, 10)},
            {"sizes.ts", clip("color=c=blue:size=3840x2160", 0.3, 10)},
            {"sizes.ts", clip("testsrc=size=320x240", 1, 10)},
            {"8k.ts", clip("color=c=red:size=7680x4320", 0.4, 5)},
            {"huge.ts", clip("color=c=green:size=8256x4640", 0.2, 5)},
        };
        QList<QPair<QString, QStringList>> files;
        for (int i = 0; i < parts.size(); ++i)
            files.append({path(QString::number(i)), parts[i].second});
        QVERIFY(makeClips(files));
        QMap<QString, QByteArray> streams;
        for (int i = 0; i < parts.size(); ++i)
            streams[parts[i].first] += bytesOf(QString::number(i));
        for (auto it = streams.cbegin(); it != streams.cend(); ++it)
            QVERIFY(!saveBytes(path(it.key()), it.value()).isEmpty());
        QVERIFY(!saveBytes(path("garbage.ts"), garbled(bytesOf("h264.ts"), 22)).isEmpty());
        QByteArray noise(188 * 1000, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        QVERIFY(!saveBytes(path("noise.ts"), noise).isEmpty());
    }

    void readerShowsTheSplashThenPictures()
    {
        // The splash comes out while there is no server yet: the port is picked
        // before the studio exists, and the studio then binds it.
        const quint16 port = freeLoopbackPort();
        PlayerWorker player;  // its reader's options, with a splash picture
        player.setSplashPath(path("splash.png"));
        mf::MFReader reader;
        QVERIFY(reader.open(url(port, "tester#feedbackplay", false), player.readerOptions()));
        for (int i = 0; i < 3; ++i) {
            const mf::MFFramePtr splash = reader.read(-1);
            QVERIFY(splash);
            QCOMPARE(splash->image().size(), QSize(200, 100));
        }
        QVERIFY(!reader.hasPicture());

        StudioProcess studio({"--feedback", path("h264.ts")});
        studio.setSrtPort(port);
        QVERIFY2(studio.start(), studio.output().constData());
        int pictures = 0, soundSamples = 0;
        for (QDeadlineTimer deadline(20000); pictures < 25 && !deadline.hasExpired();) {
            const mf::MFFramePtr frame = reader.read(-1);
            if (!frame)
                continue;
            if (frame->audioSampleCount() > 0) {
                QCOMPARE(frame->format().audio.channels, 2);
                QCOMPARE(frame->format().audio.sampleRate, 44100);
                soundSamples += frame->audioSampleCount();
            }
            // Sound that found no picture in time (a slow decoder, a start
            // between key frames) comes out alone.
            if (frame->image().isNull()) {
                QVERIFY(frame->audioSampleCount() > 0);
                continue;
            }
            if (frame->width() == 200 && pictures == 0) {
                QCOMPARE(frame->image().pixel(10, 10), QColor(Qt::red).rgb());
                continue;
            }
            QCOMPARE(frame->image().size(), QSize(640, 360));
            QCOMPARE(frame->image().format(), QImage::Format_RGB32);
            ++pictures;
        }
        QCOMPARE(pictures, 25);
        QVERIFY(reader.hasPicture());
        QVERIFY(soundSamples > 44100 / 2);
        QElapsedTimer closing;
        closing.start();
        reader.close();
        QVERIFY(closing.elapsed() < 3000);
    }

    // A server that sends nothing sees the stream ID as sent, any character
    // included. The reader's reads and close give up within a second; the
    // player's stop ends its run although a read is pending.
    void silentServer()
    {
        SrtTestServer server;
        QVERIFY(server.listen());
        const QString streamId = QString::fromUtf8("Zoë#7&a=b?c d%41#feedbackplay");
        mf::MFReader reader;
        QVERIFY(reader.open(SrtCallerUrl::build(loopbackEndpoint(server.port(), streamId)), "network.open_async=true"));
        QVERIFY(server.waitForCallers(1, 5000));
        QCOMPARE(server.streamIds(), QStringList{streamId});
        // Without a splash picture nothing comes out.
        QElapsedTimer timer;
        for (int i = 0; i < 3; ++i) {
            timer.start();
            QVERIFY(i == 2 || !reader.read(-1));
            if (i == 2)
                reader.close();
            QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
        }
        QVERIFY(!reader.read(100));

        // The control channel goes through the arrow sender, made on first
        // use. Mute follows only while playing.
        PlayerWorker player;
        QVERIFY(!player.connectControl(loopbackEndpoint(9, "pilot")) && !player.isControlConnected());
        player.closeControl();  // harmless without a sender
        ArrowSender *sender = player.arrowSender();
        QVERIFY(sender && player.arrowSender() == sender);
        player.setWindow(1234);  // before the first start: ignored
        QCOMPARE(player.window(), quint64(0));
        player.setMute(true);
        QVERIFY(!player.isMuted());
        player.startPlay(url(server.port(), "quiet"), 0);
        QTRY_VERIFY_WITH_TIMEOUT(player.isPlaying(), 5000);
        QVERIFY(server.waitForCallers(2, 5000));
        for (bool on : {true, true, false, false, true}) {
            player.setMute(on);
            QCOMPARE(player.isMuted(), on);
        }
        player.stopPlay();
        QVERIFY(player.wait(2500) && !player.isPlaying() && !player.currentPreview());
        player.setMute(false);
        QVERIFY(player.isMuted());
        // A stop right after the start is not lost while the stream opens.
        player.startPlay(url(server.port(), "quiet"), 0);
        player.stopPlay();
        QVERIFY(player.wait(2500) && !player.isPlaying());

        // Synchronous opens fail without a server (an asynchronous one shows
        // the splash while it keeps trying: readerShowsTheSplashThenPictures).
        QVERIFY(!reader.open(url(freeLoopbackPort(), "x", false), "network.open_async=false"));
        QVERIFY(!reader.open("http://127.0.0.1:1/", ""));
    }

    void decoderFollowsTheStream_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QList<QSize>>("sizes");  // empty: any
        QTest::addColumn<double>("soundSeconds");  // at least
        QTest::addColumn<QString>("notice");  // said once when nothing shows; empty: pictures show
        QTest::addColumn<bool>("played");  // by the player too
        QTest::newRow("hevc") << "hevc.ts" << QList<QSize>{{640, 360}} << 1.5 << QString() << false;
        QTest::newRow("mpeg2") << "mpeg2.ts" << QList<QSize>{{640, 360}} << 1.5 << QString() << false;
        QTest::newRow("sound 6ch 96 kHz, then mono 8 kHz")
            << "sound-change.ts" << QList<QSize>{{160, 90}} << 2.5 << QString() << true;
        // Large pictures through the player are about memory, which the
        // sanitizer's own bookkeeping hides.
        QTest::newRow("640x360, 3840x2160, 320x240")
            << "sizes.ts" << QList<QSize>{{640, 360}, {3840, 2160}, {320, 240}} << 0.0 << QString() << !kSanitized;
        QTest::newRow("7680x4320 scaled down") << "8k.ts" << QList<QSize>{kLargest} << 0.0 << QString() << !kSanitized;
        QTest::newRow("broken packets") << "garbage.ts" << QList<QSize>{} << 1.0 << QString() << true;
        // Refused before a picture of it is allocated.
        QTest::newRow("8256x4640 refused")
            << "huge.ts" << QList<QSize>{} << 0.0
            << "nothing in it decodes (its pictures of 8256x4640 are larger than 37748736 pixels)" << false;
        // The player would only wait for noise.
        QTest::newRow("noise") << "noise.ts" << QList<QSize>{} << 0.0 << "nothing in it decodes" << false;
    }

    void decoderFollowsTheStream()
    {
        QFETCH(QString, file);
        QFETCH(QList<QSize>, sizes);
        QFETCH(double, soundSeconds);
        QFETCH(QString, notice);
        const Decoded decoded = decodeFromMemory(bytesOf(file));
        if (!sizes.isEmpty())
            QCOMPARE(decoded.sizes, sizes);
        for (const QSize &size : decoded.sizes)
            QVERIFY(size.width() <= kLargest.width() && size.height() <= kLargest.height());
        QCOMPARE(decoded.pictures > 0, notice.isEmpty());
        QVERIFY2(decoded.soundFrames >= qint64(soundSeconds * mf::TsDecoder::kSampleRate),
                 qPrintable(QString::number(decoded.soundFrames)));
        QCOMPARE(decoded.notices, notice.isEmpty() ? QStringList{} : QStringList{notice});
    }

    // The window goes on answering, memory stays bounded, and a stream with
    // pictures never says it has none.
    void playerSurvives_data() { decoderFollowsTheStream_data(); }

    void playerSurvives()
    {
        QFETCH(QString, file);
        QFETCH(bool, played);
        if (!played)
            QSKIP("decoded from memory only");
        StudioProcess studio({"--feedback", path(file)});
        QVERIFY2(studio.start(), studio.output().constData());
        MessageCapture log;
        auto window = std::make_unique<QWidget>();
        window->resize(320, 180);
        window->show();
        GuiHeartbeat heartbeat;
        const qint64 before = residentKb();
        const bool peakFromHere = resetPeakResident();

        PlayerWorker player;
        player.startPlay(url(studio.srtPort(), "hostile"), mf::MFPreview::handleOf(window.get()));
        heartbeat.restart();
        QTRY_VERIFY_WITH_TIMEOUT(shownSize(player).isValid(), 10000);
        // The whole file went out to the player once, and it takes in pictures after that.
        const qint64 size = QFileInfo(path(file)).size();
        QTRY_VERIFY_WITH_TIMEOUT(
            StudioProcess::count(StudioProcess::findStream(studio.status(), "hostile", "feedback"), "sent_bytes") >= size,
            20000);
        const mf::MFFramePtr sent = player.currentPreview()->lastFrame();
        QTRY_VERIFY_WITH_TIMEOUT(player.currentPreview()->lastFrame() != sent, 10000);
        const QSize shown = shownSize(player);
        QVERIFY(shown.width() <= kLargest.width() && shown.height() <= kLargest.height());
        QCOMPARE(log.count("no picture in the return stream"), 0);
        QVERIFY2(heartbeat.longestStallMs() < kStallLimitMs, qPrintable(QString::number(heartbeat.longestStallMs())));

        player.stopPlay();
        QVERIFY(player.wait(5000));
        window.reset();
        const qint64 growth = peakResidentKb() - (peakFromHere ? before : 0);
        if (peakFromHere)
            QVERIFY2(growth < kPeakGrowthLimitKb, qPrintable(QString::number(growth)));
    }
};

ORVANTA_TEST_MAIN(TestPlayerWorker, TestMain::Offscreen)
#include "tst_PlayerWorker.moc"
