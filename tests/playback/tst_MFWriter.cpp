#include "media/EncoderConfig.h"
#include "media/engine/MFWriter.h"
#include "tests/support/FfmpegPrograms.h"
#include "tests/support/FreePorts.h"
#include "tests/support/PatternFrame.h"
#include "tests/support/TcpReceiver.h"
#include "tests/support/TsChecker.h"
#include "tests/support/TestMain.h"

#include <numeric>

namespace {

constexpr qint64 kTicksPerFrame = 90000 / 25;

// What came out of one writer run.
struct Recording
{
    QByteArray data;
    quint64 dropped = 0, queued = 0, encoded = 0, repeated = 0, bytesWritten = 0;
};

// Frame numbers (from the stream's first picture) of the key frames.
QString keyFrames(const TsChecker &checker)
{
    QStringList indices;
    for (qint64 pts : checker.keyFramePts())
        indices << QString::number((pts - checker.videoPts().first()) / kTicksPerFrame);
    return indices.join(' ');
}

// Where groups of 50 frames start among count frames.
QString groupStarts(int count)
{
    QStringList starts;
    for (int group = 0; group < count; group += 50)
        starts << QString::number(group);
    return starts.join(' ');
}

// kbit/s of video packets [from, to) at 25 frames a second.
double kbps(const QVector<qint64> &sizes, int from, int to)
{
    return std::accumulate(sizes.begin() + from, sizes.begin() + to, qint64(0)) * 8.0 * 25.0 / (to - from) / 1000.0;
}

double seconds(const QJsonObject &stream) { return stream.value("duration").toString().toDouble(); }

// A stream's ffprobe fields, space-separated.
QString fields(const QJsonObject &stream, const QStringList &keys)
{
    QStringList values;
    for (const QString &key : keys)
        values << stream.value(key).toVariant().toString();
    return values.join(' ');
}

Recording finish(mf::MFWriter &writer, TcpReceiver &receiver)
{
    writer.close();
    Recording r{{}, writer.droppedFrames(), writer.queuedFrames(), writer.framesEncoded(), writer.framesRepeated(),
                writer.bytesWritten()};
    if (receiver.waitClosed(10000))
        r.data = receiver.data();
    return r;
}

// Feeds count frames. Without burst the encoder keeps up; with one, burst
// frames go in at once, far faster than the encoder takes them (the queue
// overflows), then the encoder catches up. Before frame i of rates the
// encoder catches up and is asked for the new rate (kbit/s).
Recording encode(const QString &configuration, QSize size, int count, int burst = 0, const QMap<int, int> &rates = {})
{
    TcpReceiver receiver;
    mf::MFWriter writer;
    if (!writer.open(EncoderConfig::writerTarget(receiver.port()), configuration))
        return {};
    const auto catchUp = [&writer](int most) {
        QElapsedTimer wait;
        wait.start();
        while (writer.pendingFrames() > most && wait.elapsed() < 30000)
            QThread::msleep(2);
    };
    for (int i = 0; i < count;) {
        catchUp(burst || rates.contains(i) ? 0 : mf::MFWriter::kQueueLength - 2);
        if (rates.contains(i))
            writer.setVideoBitRate(rates.value(i) * 1000);
        std::vector<mf::MFFramePtr> frames;
        for (int b = 0; b < std::max(burst, 1); ++b)
            frames.push_back(patternFrame(size.width(), size.height(), i++));
        for (const mf::MFFramePtr &frame : frames) {
            if (writer.put(frame, burst ? 0 : 40) < 0)
                return {};
        }
    }
    catchUp(0);
    return finish(writer, receiver);
}

} // namespace

class TestMFWriter : public QObject
{
    Q_OBJECT

    QString save(const QByteArray &data, const QString &name) { return saveBytes(m_dir.filePath(name), data); }
    QTemporaryDir m_dir;

private slots:
    // Keeping up, each codec's stream is whole and as configured. Rates set
    // while running are followed: down from 1536 to 256 kbit/s in the middle
    // of a group, back up in a later one (encoders that cannot change their
    // rate while running take the new one at the next group's key frame).
    void codecs_data()
    {
        QTest::addColumn<QString>("codec");
        QTest::addColumn<QString>("codecName");  // empty: sound only
        QTest::addColumn<int>("videoKbps");  // 1536: with the rate changes, else held within 15 % over the run
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("frames");
        QTest::newRow("libx264") << "libx264" << "h264" << 1024 << QSize(960, 540) << 250;
        QTest::newRow("libx264 rates") << "libx264" << "h264" << 1536 << QSize(320, 180) << 200;
        QTest::newRow("libopenh264 rates") << "libopenh264" << "h264" << 1536 << QSize(320, 180) << 200;
        QTest::newRow("mpeg2video rates") << "mpeg2video" << "mpeg2video" << 1536 << QSize(320, 180) << 200;
        QTest::newRow("sound only") << "libx264" << QString() << 0 << QSize(960, 540) << 50;
    }

    void codecs()
    {
        QFETCH(QString, codec);
        QFETCH(QString, codecName);
        QFETCH(int, videoKbps);
        QFETCH(QSize, size);
        QFETCH(int, frames);
        const bool changesRate = videoKbps == 1536;
        const Recording recording = encode(EncoderConfig::writerConfiguration(videoKbps, 128, codec), size, frames, 0,
                                           changesRate ? QMap<int, int>{{20, 256}, {120, 1536}} : QMap<int, int>{});
        const QByteArray &data = recording.data;
        QVERIFY(!data.isEmpty());
        QCOMPARE(recording.bytesWritten, quint64(data.size()));
        QCOMPARE(uchar(data.at(0)), uchar(0x47));
        QCOMPARE(data.size() % 188, 0);
        const QString file = save(data, QTest::currentDataTag() + QString(".ts"));
        const QJsonObject probed = probe(file, true);
        QCOMPARE(probed.value("format").toObject().value("format_name").toString(), QStringLiteral("mpegts"));
        const QJsonObject audio = streamOfType(probed, "audio");
        QCOMPARE(fields(audio, {"codec_name", "sample_rate", "channels"}), QStringLiteral("aac 44100 2"));
        // Sound and picture cover the same time.
        QVERIFY2(qAbs(seconds(audio) - frames / 25.0) < 0.1, qPrintable(QString::number(seconds(audio))));
        QCOMPARE(probed.value("streams").toArray().size(), codecName.isEmpty() ? 1 : 2);
        if (codecName.isEmpty())
            return;

        QCOMPARE(recording.dropped, quint64(0));
        QCOMPARE(recording.encoded, quint64(frames));
        QCOMPARE(recording.repeated, quint64(0));
        const TsChecker checker(data);
        QVERIFY2(checker.syncErrors() == 0 && checker.continuityErrors() == 0, qPrintable(checker.summary()));
        QVERIFY2(checker.largestPcrGapMs() <= 100, qPrintable(checker.summary()));
        QVERIFY2(checker.largestVideoGapMs() <= 40, qPrintable(checker.summary()));
        QCOMPARE(keyFrames(checker), groupStarts(frames));
        QCOMPARE(decodeErrors(file), QString());
        const QJsonObject video = streamOfType(probed, "video");
        QCOMPARE(fields(video, {"codec_name", "width", "height", "r_frame_rate", "nb_read_frames", "profile"}),
                 QString("%1 %2 %3 25/1 %4 Main").arg(codecName).arg(size.width()).arg(size.height()).arg(frames));
        QVERIFY2(qAbs(seconds(video) - seconds(audio)) < 0.1, qPrintable(QString::number(seconds(video))));
        const QVector<qint64> sizes = videoPacketSizes(file);
        QCOMPARE(sizes.size(), frames);
        if (!changesRate) {
            const double rate = kbps(sizes, 0, frames);
            QVERIFY2(rate > videoKbps * 0.85 && rate < videoKbps * 1.15, qPrintable(QString::number(rate)));
            return;
        }
        // Over whole groups, so each span holds one key frame. (openh264 and
        // MPEG-2 cannot squeeze this noise below about 400 kbit/s.)
        const double low = kbps(sizes, 50, 120);
        const double high = kbps(sizes, 150, 200);
        QVERIFY2(low < 256 * 1.8, qPrintable(QString::number(low)));
        QVERIFY2(high > 2.5 * low && high < 1536 * 1.5, qPrintable(QString("%1 then %2").arg(low).arg(high)));
    }

    void droppingWriterKeepsTheClock_data()
    {
        QTest::addColumn<QString>("codec");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("kbps");
        QTest::addColumn<int>("burst");
        QTest::addColumn<int>("frames");
        QTest::newRow("libx264") << "libx264" << QSize(960, 540) << 1024 << 20 << 15 * 20;
        QTest::newRow("libopenh264") << "libopenh264" << QSize(960, 540) << 1024 << 20 << 15 * 20;
        QTest::newRow("mpeg2video") << "mpeg2video" << QSize(960, 540) << 1024 << 20 << 15 * 20;
        // Far more frames than the writer keeps sound for while it is behind:
        // the sound it cannot keep becomes silence, so it still spans them all.
        QTest::newRow("one long stall") << "libx264" << QSize(320, 240) << 512 << 250 << 250;
    }

    void droppingWriterKeepsTheClock()
    {
        QFETCH(QString, codec);
        QFETCH(QSize, size);
        QFETCH(int, kbps);
        QFETCH(int, burst);
        QFETCH(int, frames);
        const Recording recording = encode(EncoderConfig::writerConfiguration(kbps, 128, codec), size, frames, burst);
        QVERIFY(!recording.data.isEmpty());
        QVERIFY(recording.dropped > 0);
        QCOMPARE(recording.dropped + recording.queued, quint64(frames));
        QCOMPARE(recording.encoded, recording.queued + recording.repeated);
        QCOMPARE(recording.bytesWritten, quint64(recording.data.size()));

        // Pictures, and the PCRs on them, keep coming through the gaps; every
        // group of 50 frames of stream time starts with a key frame.
        const TsChecker checker(recording.data);
        qInfo("%s: %llu of %d frames dropped, %llu repeats: %s", qPrintable(codec), recording.dropped, frames,
              recording.repeated, qPrintable(checker.summary()));
        QCOMPARE(checker.syncErrors(), 0);
        QCOMPARE(checker.trailingBytes(), 0);
        QVERIFY2(checker.continuityErrors() == 0, qPrintable(checker.summary()));
        QVERIFY2(checker.largestPcrGapMs() <= 100, qPrintable(checker.summary()));
        QVERIFY2(checker.largestVideoGapMs() <= 80, qPrintable(checker.summary()));
        QVERIFY2(checker.largestKeyFrameSpacingMs() <= 2000, qPrintable(checker.summary()));
        QCOMPARE(keyFrames(checker), groupStarts(frames));
        QCOMPARE(qint64(checker.videoPts().size()), qint64(recording.encoded));
        QCOMPARE((checker.videoPts().last() - checker.videoPts().first()) / kTicksPerFrame, qint64(frames - 1));

        const QString file = save(recording.data, QTest::currentDataTag() + QString(".ts"));
        QCOMPARE(decodeErrors(file), QString());
        const QJsonObject probed = probe(file, true);
        const QJsonObject video = streamOfType(probed, "video");
        const QJsonObject audio = streamOfType(probed, "audio");
        QCOMPARE(video.value("nb_read_frames").toString().toULongLong(), recording.encoded);
        QVERIFY2(qAbs(seconds(video) - frames / 25.0) < 0.01, qPrintable(QString::number(seconds(video))));
        QVERIFY2(qAbs(seconds(video) - seconds(audio)) < 0.08,
                 qPrintable(QString("video %1 s, audio %2 s").arg(seconds(video)).arg(seconds(audio))));
    }

    // A picture is on the wire once encoded: the muxer does not hold it back
    // until the next frame's sound arrives to interleave with.
    void eachPictureLeavesWithoutWaitingForTheNext()
    {
        TcpReceiver receiver;
        mf::MFWriter writer;
        QVERIFY(writer.open(EncoderConfig::writerTarget(receiver.port()),
                            EncoderConfig::writerConfiguration(1024, 128, "libx264")));
        // The sound encoder's first packet comes after its start-up delay.
        const int settling = 3;
        for (int i = 0; i < settling; ++i)
            QVERIFY(writer.put(patternFrame(320, 240, i), 40) >= 0);
        for (int i = settling; i < settling + 10; ++i) {
            QVERIFY(writer.put(patternFrame(320, 240, i), 40) >= 0);
            QTRY_VERIFY2_WITH_TIMEOUT(TsChecker(receiver.data()).videoPts().size() == i + 1,
                                      qPrintable(QString("picture %1 did not leave: %2")
                                                     .arg(i)
                                                     .arg(TsChecker(receiver.data()).summary())),
                                      5000);
        }
        const Recording recording = finish(writer, receiver);
        QCOMPARE(recording.encoded, quint64(settling + 10));
        QCOMPARE(decodeErrors(save(recording.data, "prompt.ts")), QString());
    }

    void putsFailUnlessOpen()
    {
        mf::MFWriter writer;
        QVERIFY(writer.put(patternFrame(64, 64, 0), 40) < 0);
        const quint16 closedPort = freeLoopbackPort();  // nobody listens there
        for (const char *codec : {"libx264", "nonesuch"})
            QVERIFY(!writer.open(EncoderConfig::writerTarget(closedPort), EncoderConfig::writerConfiguration(1024, 128, codec)));
        QVERIFY(writer.put(patternFrame(64, 64, 0), 40) < 0);
        TcpReceiver receiver;
        QVERIFY(writer.open(EncoderConfig::writerTarget(receiver.port()),
                            EncoderConfig::writerConfiguration(512, 0, "mpeg2video")));
        QVERIFY(writer.put(patternFrame(64, 64, 0), 40) >= 0);
        writer.close();
        QVERIFY(writer.put(patternFrame(64, 64, 1), 40) < 0);
        writer.close();  // a second close is harmless
    }

    void availableCodecs()
    {
        const QStringList codecs = mf::MFWriter::availableVideoCodecs();
        for (const char *codec : {"libx264", "libopenh264", "mpeg2video"})
            QVERIFY2(codecs.contains(codec), codec);
        QCOMPARE(mf::MFWriter::availableVideoCodecs(), codecs);
        if (!codecs.contains("q264hw") && !codecs.contains("c264") && !codecs.contains("n264"))
            QCOMPARE(EncoderConfig::offeredEncoders(codecs).value(0).codec, QStringLiteral("libx264"));
    }
};

ORVANTA_TEST_MAIN(TestMFWriter, TestMain::Offscreen)
#include "tst_MFWriter.moc"
