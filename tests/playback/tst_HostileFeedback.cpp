// Return streams made to hurt the client: sound whose format changes, sizes
// that change or exceed what the client shows, broken transport-stream
// packets, noise. Decoded straight from memory, and played by the player from
// the studio as the feedback stream.
#include "media/PlayerWorker.h"
#include "media/engine/MFPreview.h"
#include "media/engine/TsDecoder.h"
#include "tests/support/FfmpegPrograms.h"
#include "tests/support/GuiHeartbeat.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/ProcessMemory.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TsEdits.h"
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

// One clip's ffmpeg inputs and output options.
struct Clip
{
    QStringList inputs, outputs;
    Clip operator+(const Clip &other) const { return {inputs + other.inputs, outputs + other.outputs}; }
};

Clip video(const QString &source, double seconds, int rate = 25)
{
    // Quick to make even at 8K: the picture's format made by the filter, no look-ahead.
    return {{"-f", "lavfi", "-t", QString::number(seconds), "-i", QString("%1:rate=%2,format=yuv420p").arg(source).arg(rate)},
            {"-c:v", "libx264", "-preset", "ultrafast", "-x264-params", "threads=2:rc-lookahead=0", "-g",
             QString::number(rate), "-bf", "0"}};
}

Clip sound(int sampleRate, int channels, double seconds)
{
    return {{"-f", "lavfi", "-t", QString::number(seconds), "-i", QString("sine=frequency=440:sample_rate=%1").arg(sampleRate)},
            {"-ac", QString::number(channels), "-c:a", "aac"}};
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

QSize shownSize(const PlayerWorker &player)
{
    const auto preview = player.currentPreview();
    const auto frame = preview ? preview->lastFrame() : nullptr;
    return frame ? frame->image().size() : QSize();
}

} // namespace

class TestHostileFeedback : public QObject
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
        const QString small = "testsrc=size=160x90";
        // Files from ffmpeg one after the other, as a server would play them.
        const QMap<QString, QList<Clip>> streams{
            // The sound drops from six channels at 96 kHz to one at 8 kHz, on the same PIDs.
            {"sound-change.ts", {video(small, 1.5) + sound(96000, 6, 1.5), video(small, 1.5) + sound(8000, 1, 1.5)}},
            {"sizes.ts", {video("testsrc=size=640x360", 1, 10), video("color=c=blue:size=3840x2160", 0.3, 10),
                          video("testsrc=size=320x240", 1, 10)}},
            {"8k.ts", {video("color=c=red:size=7680x4320", 0.4, 5)}},
            {"huge.ts", {video("color=c=green:size=8256x4640", 0.2, 5)}},
            {"real.ts", {video("testsrc=size=320x240", 3) + sound(44100, 2, 3)}},
        };
        QList<QPair<QString, QStringList>> clips;
        for (auto it = streams.begin(); it != streams.end(); ++it) {
            for (int i = 0; i < it.value().size(); ++i)
                clips.append({path(it.key() + QString::number(i)),
                              it.value()[i].inputs + it.value()[i].outputs + QStringList{"-f", "mpegts"}});
        }
        QVERIFY(makeClips(clips));
        for (auto it = streams.begin(); it != streams.end(); ++it) {
            QByteArray joined;
            for (int i = 0; i < it.value().size(); ++i)
                joined += bytesOf(it.key() + QString::number(i));
            QVERIFY(!saveBytes(path(it.key()), joined).isEmpty());
        }
        QVERIFY(!saveBytes(path("garbage.ts"), garbled(bytesOf("real.ts"), 22)).isEmpty());
        QByteArray noise(188 * 1000, Qt::Uninitialized);
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        QVERIFY(!saveBytes(path("noise.ts"), noise).isEmpty());
    }

    void decoderFollowsTheStream_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QList<QSize>>("sizes");  // empty: any
        QTest::addColumn<bool>("pictures");
        QTest::addColumn<double>("soundSeconds");  // at least
        QTest::addColumn<QString>("notice");  // said once when nothing shows, never when pictures do
        QTest::addColumn<bool>("played");  // by the player too
        QTest::newRow("sound 6ch 96 kHz, then mono 8 kHz")
            << "sound-change.ts" << QList<QSize>{{160, 90}} << true << 2.5 << QString() << true;
        // Large pictures through the player are about memory, which the
        // sanitizer's own bookkeeping hides.
        QTest::newRow("640x360, 3840x2160, 320x240")
            << "sizes.ts" << QList<QSize>{{640, 360}, {3840, 2160}, {320, 240}} << true << 0.0 << QString() << !kSanitized;
        QTest::newRow("7680x4320 scaled down") << "8k.ts" << QList<QSize>{kLargest} << true << 0.0 << QString() << !kSanitized;
        QTest::newRow("broken packets") << "garbage.ts" << QList<QSize>{} << true << 1.0 << QString() << true;
        // Refused before a picture of it is allocated.
        QTest::newRow("8256x4640 refused")
            << "huge.ts" << QList<QSize>{} << false << 0.0
            << "nothing in it decodes (its pictures of 8256x4640 are larger than 37748736 pixels)" << false;
        // The player would only wait for noise.
        QTest::newRow("noise") << "noise.ts" << QList<QSize>{} << false << 0.0 << "nothing in it decodes" << false;
    }

    void decoderFollowsTheStream()
    {
        QFETCH(QString, file);
        QFETCH(QList<QSize>, sizes);
        QFETCH(bool, pictures);
        QFETCH(double, soundSeconds);
        QFETCH(QString, notice);
        const Decoded decoded = decodeFromMemory(bytesOf(file));
        if (!sizes.isEmpty())
            QCOMPARE(decoded.sizes, sizes);
        for (const QSize &size : decoded.sizes)
            QVERIFY(size.width() <= kLargest.width() && size.height() <= kLargest.height());
        QCOMPARE(decoded.pictures > 0, pictures);
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
        player.startPlay(QString("srt://127.0.0.1:%1?mode=caller&streamid=hostile#feedbackplay").arg(studio.srtPort()),
                         mf::MFPreview::handleOf(window.get()));
        heartbeat.restart();
        QTRY_VERIFY_WITH_TIMEOUT(shownSize(player).isValid(), 10000);
        QTest::qWait(1000);
        const QSize shown = shownSize(player);
        QVERIFY(shown.width() <= kLargest.width() && shown.height() <= kLargest.height());
        QCOMPARE(log.count("no picture in the return stream"), 0);
        QVERIFY2(heartbeat.longestStallMs() < kStallLimitMs, qPrintable(QString::number(heartbeat.longestStallMs())));

        player.stopPlay();
        QVERIFY(player.wait(5000));
        window.reset();
        const qint64 growth = peakResidentKb() - (peakFromHere ? before : 0);
        qInfo("%s: resident %lld kB before, peak %lld kB (+%lld kB)", qPrintable(file), before, peakResidentKb(), growth);
        if (peakFromHere)
            QVERIFY2(growth < kPeakGrowthLimitKb, qPrintable(QString::number(growth)));
    }
};

ORVANTA_TEST_MAIN(TestHostileFeedback, TestMain::Offscreen)
#include "tst_HostileFeedback.moc"
