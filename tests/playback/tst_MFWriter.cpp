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
    quint64 dropped = 0;
    quint64 queued = 0;
    quint64 encoded = 0;
    quint64 repeated = 0;
    quint64 bytesWritten = 0;
};

// Frame indices (from the stream's first picture) of the key frames.
QVector<qint64> keyFrameIndices(const TsChecker &checker)
{
    QVector<qint64> indices;
    if (checker.videoPts().isEmpty())
        return indices;
    for (qint64 pts : checker.keyFramePts())
        indices.append((pts - checker.videoPts().first()) / kTicksPerFrame);
    return indices;
}

QString describe(const QVector<qint64> &values)
{
    QStringList texts;
    for (qint64 value : values)
        texts << QString::number(value);
    return texts.join(QLatin1Char(' '));
}

} // namespace

class TestMFWriter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QProcess which;
        which.start("ffprobe", {"-version"});
        QVERIFY2(which.waitForFinished(10000), "ffprobe is needed");
    }

    void softwareCodecs_data()
    {
        QTest::addColumn<QString>("codec");
        QTest::addColumn<QString>("codecName");
        QTest::addColumn<QString>("profile");
        QTest::newRow("libx264") << "libx264" << "h264" << "Main";
        QTest::newRow("libopenh264") << "libopenh264" << "h264" << "Main";
        QTest::newRow("mpeg2video") << "mpeg2video" << "mpeg2video" << "Main";
    }

    void softwareCodecs()
    {
        QFETCH(QString, codec);
        QFETCH(QString, codecName);
        QFETCH(QString, profile);
        const int frames = 110;
        const Recording recording = encode(EncoderConfig::writerConfiguration(1024, 128, codec), 960, 540, frames);
        const QByteArray &data = recording.data;
        QVERIFY(!data.isEmpty());
        QCOMPARE(recording.dropped, quint64(0));
        QCOMPARE(recording.encoded, quint64(frames));
        QCOMPARE(recording.repeated, quint64(0));
        QCOMPARE(recording.bytesWritten, quint64(data.size()));
        QCOMPARE(uchar(data.at(0)), uchar(0x47));  // TS sync byte
        QCOMPARE(data.size() % 188, 0);

        const TsChecker checker(data);
        QVERIFY2(checker.syncErrors() == 0 && checker.continuityErrors() == 0, qPrintable(checker.summary()));
        QVERIFY2(checker.largestPcrGapMs() <= 100, qPrintable(checker.summary()));
        // A key frame every 50 frames (the configured group), no more.
        QCOMPARE(describe(keyFrameIndices(checker)), QStringLiteral("0 50 100"));

        const QJsonObject probed = probe(save(data, codec + ".ts"), true);
        QCOMPARE(probed.value("format").toObject().value("format_name").toString(), QStringLiteral("mpegts"));
        const QJsonObject video = streamOfType(probed, "video");
        QCOMPARE(video.value("codec_name").toString(), codecName);
        QCOMPARE(video.value("width").toInt(), 960);
        QCOMPARE(video.value("height").toInt(), 540);
        QCOMPARE(video.value("r_frame_rate").toString(), QStringLiteral("25/1"));
        QCOMPARE(video.value("nb_read_frames").toString().toInt(), frames);
        if (!profile.isEmpty())
            QCOMPARE(video.value("profile").toString(), profile);
        const QJsonObject audio = streamOfType(probed, "audio");
        QCOMPARE(audio.value("codec_name").toString(), QStringLiteral("aac"));
        QCOMPARE(audio.value("sample_rate").toString(), QStringLiteral("44100"));
        QCOMPARE(audio.value("channels").toInt(), 2);
        // Sound and picture cover the same time.
        const double videoEnd = video.value("duration").toString().toDouble();
        const double audioEnd = audio.value("duration").toString().toDouble();
        QVERIFY2(qAbs(videoEnd - audioEnd) < 0.1, qPrintable(QString("video %1 s, audio %2 s").arg(videoEnd).arg(audioEnd)));
    }

    void audioOnly()
    {
        const QByteArray data = encode(EncoderConfig::writerConfiguration(0, 128, "libx264"), 320, 240, 50).data;
        QVERIFY(!data.isEmpty());
        const QJsonObject probed = probe(save(data, "audio.ts"));
        QCOMPARE(probed.value("streams").toArray().size(), 1);
        const QJsonObject audio = streamOfType(probed, "audio");
        QCOMPARE(audio.value("codec_name").toString(), QStringLiteral("aac"));
        QCOMPARE(audio.value("sample_rate").toString(), QStringLiteral("44100"));
        QCOMPARE(audio.value("channels").toInt(), 2);
        QVERIFY(qAbs(audio.value("duration").toString().toDouble() - 2.0) < 0.1);
    }

    void x264HoldsItsRate()
    {
        const int frames = 250;  // 10 s
        const QByteArray data = encode(EncoderConfig::writerConfiguration(1024, 0, "libx264"), 960, 540, frames).data;
        QVERIFY(!data.isEmpty());
        const QVector<qint64> sizes = videoPacketSizes(save(data, "rate.ts"));
        QCOMPARE(sizes.size(), frames);
        const qint64 bytes = std::accumulate(sizes.begin(), sizes.end(), qint64(0));
        const double kbps = bytes * 8.0 / 10.0 / 1000.0;
        qInfo("x264 video rate over 10 s: %.0f kbit/s (target 1024)", kbps);
        QVERIFY2(kbps > 1024 * 0.85 && kbps < 1024 * 1.15, qPrintable(QString::number(kbps)));
    }

    void droppingWriterKeepsTheClock_data()
    {
        QTest::addColumn<QString>("codec");
        QTest::newRow("libx264") << "libx264";
        QTest::newRow("libopenh264") << "libopenh264";
        QTest::newRow("mpeg2video") << "mpeg2video";
    }

    void droppingWriterKeepsTheClock()
    {
        QFETCH(QString, codec);
        const int bursts = 15;
        const int burst = 20;
        const int frames = bursts * burst;
        const Recording recording = encodeInBursts(EncoderConfig::writerConfiguration(1024, 128, codec), 960, 540,
                                                   bursts, burst);
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
        QVector<qint64> groups;
        for (qint64 group = 0; group < frames; group += 50)
            groups.append(group);
        QCOMPARE(describe(keyFrameIndices(checker)), describe(groups));
        QCOMPARE(qint64(checker.videoPts().size()), qint64(recording.encoded));
        QCOMPARE((checker.videoPts().last() - checker.videoPts().first()) / kTicksPerFrame, qint64(frames - 1));

        const QString file = save(recording.data, codec + "-dropping.ts");
        QCOMPARE(decodeErrors(file), QString());
        const QJsonObject probed = probe(file, true);
        const QJsonObject video = streamOfType(probed, "video");
        const QJsonObject audio = streamOfType(probed, "audio");
        QCOMPARE(video.value("nb_read_frames").toString().toULongLong(), recording.encoded);
        const double videoEnd = video.value("duration").toString().toDouble();
        const double audioEnd = audio.value("duration").toString().toDouble();
        QVERIFY2(qAbs(videoEnd - frames / 25.0) < 0.01, qPrintable(QString::number(videoEnd)));
        QVERIFY2(qAbs(videoEnd - audioEnd) < 0.08, qPrintable(QString("video %1 s, audio %2 s").arg(videoEnd).arg(audioEnd)));
    }

    void longStallKeepsSoundInStep()
    {
        // A burst far faster than real time, of far more frames than the writer
        // keeps sound for while it is behind: put never waits for the encoder,
        // pictures are dropped, and what sound it cannot keep becomes silence, so
        // the sound still spans all of them.
        TcpReceiver receiver;
        mf::MFWriter writer;
        QVERIFY(writer.open(EncoderConfig::writerTarget(receiver.port()),
                            EncoderConfig::writerConfiguration(512, 128, "libx264")));
        std::vector<mf::MFFramePtr> frames;
        for (int i = 0; i < 10; ++i)
            frames.push_back(patternFrame(320, 240, i));
        const int count = 250;
        for (int i = 0; i < count; ++i)
            QVERIFY(writer.put(frames[size_t(i) % frames.size()], 0) >= 0);
        const Recording recording = finish(writer, receiver);
        QVERIFY(recording.dropped > 0);
        QCOMPARE(recording.dropped + recording.queued, quint64(count));
        const QString file = save(recording.data, "stall.ts");
        QCOMPARE(decodeErrors(file), QString());
        const QJsonObject probed = probe(file, true);
        const double videoEnd = streamOfType(probed, "video").value("duration").toString().toDouble();
        const double audioEnd = streamOfType(probed, "audio").value("duration").toString().toDouble();
        QVERIFY2(qAbs(videoEnd - count / 25.0) < 0.01, qPrintable(QString::number(videoEnd)));
        QVERIFY2(qAbs(audioEnd - count / 25.0) < 0.08, qPrintable(QString::number(audioEnd)));
        QVERIFY2(TsChecker(recording.data).largestPcrGapMs() <= 100, qPrintable(TsChecker(recording.data).summary()));
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
        QVERIFY(!writer.open(EncoderConfig::writerTarget(closedPort),
                             EncoderConfig::writerConfiguration(1024, 128, "libx264")));
        QVERIFY(!writer.open(EncoderConfig::writerTarget(closedPort),
                             EncoderConfig::writerConfiguration(1024, 128, "nonesuch")));
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
        QVERIFY(codecs.contains("libx264"));
        QVERIFY(codecs.contains("libopenh264"));
        QVERIFY(codecs.contains("mpeg2video"));
        QCOMPARE(mf::MFWriter::availableVideoCodecs(), codecs);
        const auto offered = EncoderConfig::offeredEncoders(codecs);
        QVERIFY(!offered.isEmpty());
        if (!codecs.contains("q264hw") && !codecs.contains("c264") && !codecs.contains("n264"))
            QCOMPARE(offered.first().codec, QStringLiteral("libx264"));
    }

    void rateChangesKeepTheStreamWhole_data()
    {
        QTest::addColumn<QString>("codec");
        for (const QString codec : {"libx264", "libopenh264", "mpeg2video"}) {
            if (mf::MFWriter::availableVideoCodecs().contains(codec))
                QTest::newRow(qPrintable(codec)) << codec;
        }
    }

    // Down from 1536 to 256 kbit/s in the middle of a group, back up to 1536 in
    // the middle of a later one: the stream stays one whole stream (groups of 50
    // frames, a PCR on every picture, every picture decodes) and its rate
    // follows. Encoders that cannot change their rate while running take the new
    // one at the next group's key frame.
    void rateChangesKeepTheStreamWhole()
    {
        QFETCH(QString, codec);
        const int frames = 200;
        const Recording recording =
            encodeWithRateChanges(EncoderConfig::writerConfiguration(1536, 128, codec), frames, {{20, 256}, {120, 1536}});
        QVERIFY(!recording.data.isEmpty());
        QCOMPARE(recording.dropped, quint64(0));
        QCOMPARE(recording.encoded, quint64(frames));

        const TsChecker checker(recording.data);
        qInfo("%s: %s", qPrintable(codec), qPrintable(checker.summary()));
        QCOMPARE(checker.syncErrors(), 0);
        QVERIFY2(checker.continuityErrors() == 0, qPrintable(checker.summary()));
        QVERIFY2(checker.largestPcrGapMs() <= 100, qPrintable(checker.summary()));
        QVERIFY2(checker.largestVideoGapMs() <= 40, qPrintable(checker.summary()));
        QCOMPARE(describe(keyFrameIndices(checker)), QStringLiteral("0 50 100 150"));

        const QString file = save(recording.data, codec + "-rates.ts");
        QCOMPARE(decodeErrors(file), QString());
        const QVector<qint64> sizes = videoPacketSizes(file);
        QCOMPARE(sizes.size(), frames);
        // kbit/s over whole groups, so each span holds one key frame.
        const auto kbps = [&sizes](int from, int to) {
            return std::accumulate(sizes.begin() + from, sizes.begin() + to, qint64(0)) * 8.0 * 25.0 / (to - from) / 1000.0;
        };
        // (openh264 and MPEG-2 cannot squeeze this noise below about 400 kbit/s.)
        const double low = kbps(50, 120);
        const double high = kbps(150, 200);
        qInfo("%s: %.0f kbit/s at 256, then %.0f at 1536", qPrintable(codec), low, high);
        QVERIFY2(low < 256 * 1.8, qPrintable(QString::number(low)));
        QVERIFY2(high > 2.5 * low && high < 1536 * 1.5, qPrintable(QString("%1 then %2").arg(low).arg(high)));
    }

private:
    // Feeds count frames, letting the encoder keep up.

    Recording encode(const QString &configuration, int width, int height, int count)
    {
        TcpReceiver receiver;
        mf::MFWriter writer;
        if (!writer.open(EncoderConfig::writerTarget(receiver.port()), configuration))
            return {};
        for (int i = 0; i < count; ++i) {
            QElapsedTimer wait;
            wait.start();
            while (writer.pendingFrames() >= mf::MFWriter::kQueueLength - 1 && wait.elapsed() < 10000)
                QThread::msleep(2);
            if (writer.put(patternFrame(width, height, i), 40) < 0)
                return {};
        }
        return finish(writer, receiver);
    }

    // Puts burst frames at once, far faster than the encoder takes them, then
    // waits until it caught up; bursts times. The queue overflows each time.

    Recording encodeInBursts(const QString &configuration, int width, int height, int bursts, int burst)
    {
        TcpReceiver receiver;
        mf::MFWriter writer;
        if (!writer.open(EncoderConfig::writerTarget(receiver.port()), configuration))
            return {};
        int index = 0;
        for (int b = 0; b < bursts; ++b) {
            std::vector<mf::MFFramePtr> frames;
            for (int i = 0; i < burst; ++i)
                frames.push_back(patternFrame(width, height, index++));
            for (const mf::MFFramePtr &frame : frames) {
                if (writer.put(frame, 0) < 0)
                    return {};
            }
            QElapsedTimer wait;
            wait.start();
            while (writer.pendingFrames() > 0 && wait.elapsed() < 30000)
                QThread::msleep(5);
        }
        return finish(writer, receiver);
    }

    Recording finish(mf::MFWriter &writer, TcpReceiver &receiver)
    {
        writer.close();
        Recording recording;
        recording.dropped = writer.droppedFrames();
        recording.queued = writer.queuedFrames();
        recording.encoded = writer.framesEncoded();
        recording.repeated = writer.framesRepeated();
        recording.bytesWritten = writer.bytesWritten();
        if (receiver.waitClosed(10000))
            recording.data = receiver.data();
        return recording;
    }

    // Encodes count frames; before frame i of changes it waits until the
    // encoder caught up and asks for the new rate (kbit/s).

    Recording encodeWithRateChanges(const QString &configuration, int count, const QMap<int, int> &changes)
    {
        TcpReceiver receiver;
        mf::MFWriter writer;
        if (!writer.open(EncoderConfig::writerTarget(receiver.port()), configuration))
            return {};
        for (int i = 0; i < count; ++i) {
            QElapsedTimer wait;
            wait.start();
            const int most = changes.contains(i) ? 0 : mf::MFWriter::kQueueLength - 1;
            while (writer.pendingFrames() > most && wait.elapsed() < 10000)
                QThread::msleep(2);
            if (changes.contains(i))
                writer.setVideoBitRate(changes.value(i) * 1000);
            if (writer.put(patternFrame(320, 180, i), 40) < 0)
                return {};
        }
        return finish(writer, receiver);
    }

    QString save(const QByteArray &data, const QString &name) { return saveBytes(m_dir.filePath(name), data); }

    QTemporaryDir m_dir;
};

ORVANTA_TEST_MAIN(TestMFWriter, TestMain::Offscreen)
#include "tst_MFWriter.moc"
