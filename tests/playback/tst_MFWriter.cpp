// The writer against a local receiver: its streams checked by ffprobe and the stream
// checker (itself checked first on streams from ffmpeg), its configuration, the encoders offered.
#include "media/EncoderConfig.h"
#include "media/engine/MFWriter.h"
#include "media/engine/WriterConfiguration.h"
#include "tests/support/FfmpegPrograms.h"
#include "tests/support/FreePorts.h"
#include "tests/support/PatternFrame.h"
#include "tests/support/TcpReceiver.h"
#include "tests/support/TsChecker.h"
#include "tests/support/TestMain.h"

#include <numeric>

namespace {

constexpr qint64 kTicksPerFrame = 90000 / 25;
using Rows = QList<QPair<QString, QString>>;

// kbit/s of video packets [from, to) at 25 frames a second.
double kbps(const QVector<qint64> &sizes, int from, int to)
{
    return std::accumulate(sizes.begin() + from, sizes.begin() + to, qint64(0)) * 8.0 * 25.0 / (to - from) / 1000.0;
}

double seconds(const QJsonObject &stream) { return stream.value("duration").toString().toDouble(); }

// The bytes the receiver got up to the writer's close.
QByteArray finish(mf::MFWriter &writer, TcpReceiver &receiver)
{
    writer.close();
    return receiver.waitClosed(10000) ? receiver.data() : QByteArray();
}

} // namespace

class TestMFWriter : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_clean;
    const QStringList kCleanArgs{"-c:v", "libx264", "-g", "50", "-bf", "0", "-x264-params", "scenecut=0"};
    // 6 s of a 25 fps test picture with a tone, made by the ffmpeg program.
    QByteArray makeStream(const QString &name, const QStringList &outputArgs)
    {
        const QStringList in{"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i", "sine"};
        const QStringList out{"-t", "6", "-c:a", "aac", "-f", "mpegts"};
        return makeClip(m_dir.filePath(name), in + outputArgs + out);
    }

    enum Edit { Drop, Duplicate, TwoDuplicates, AdaptationOnly, Discontinuity, LostSync, Truncate };

private slots:
    void initTestCase()
    {
        m_clean = makeStream("clean.ts", kCleanArgs);
        QVERIFY2(!m_clean.isEmpty(), "the ffmpeg program is needed");
    }

    // Keeping up, each codec's stream is whole and as configured, and rates set while running are
    // followed: 1536 down to 256 kbit/s mid-group, back up later (an encoder that cannot change its
    // rate while running takes it at the next key frame). Put in bursts far faster than the encoder
    // takes them, the writer drops frames but keeps the clock: pictures and PCRs come through the
    // gaps, each group of 50 frames of stream time starts with a key frame, and the sound spans them
    // all (what it cannot keep becomes silence).
    void encodes_data()
    {
        QTest::addColumn<QString>("codec");
        QTest::addColumn<QString>("codecName");  // empty: sound only
        QTest::addColumn<int>("videoKbps");  // 1536: with the rate changes, else held within 15 % over the run
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("burst");  // 0: the encoder keeps up
        const QSize qhd(960, 540), small(320, 180);
        QTest::newRow("libx264") << "libx264" << "h264" << 1024 << qhd << 250 << 0;
        QTest::newRow("libx264 rates") << "libx264" << "h264" << 1536 << small << 200 << 0;
        QTest::newRow("libopenh264 rates") << "libopenh264" << "h264" << 1536 << small << 200 << 0;
        QTest::newRow("mpeg2video rates") << "mpeg2video" << "mpeg2video" << 1536 << small << 200 << 0;
        QTest::newRow("sound only") << "libx264" << QString() << 0 << qhd << 50 << 0;
        QTest::newRow("libx264 dropping") << "libx264" << "h264" << 1024 << qhd << 300 << 20;
        QTest::newRow("libopenh264 dropping") << "libopenh264" << "h264" << 1024 << qhd << 300 << 20;
        QTest::newRow("mpeg2video dropping") << "mpeg2video" << "mpeg2video" << 1024 << qhd << 300 << 20;
        // Far more frames than the writer keeps sound for while it is behind.
        QTest::newRow("one long stall") << "libx264" << "h264" << 512 << QSize(320, 240) << 250 << 250;
    }

    void encodes()
    {
        QFETCH(QString, codec);
        QFETCH(QString, codecName);
        QFETCH(int, videoKbps);
        QFETCH(QSize, size);
        QFETCH(int, frames);
        QFETCH(int, burst);
        const bool changesRate = videoKbps == 1536;
        const QMap<int, int> rates = changesRate ? QMap<int, int>{{20, 256}, {120, 1536}} : QMap<int, int>{};
        TcpReceiver receiver;
        mf::MFWriter writer;
        QVERIFY(writer.open(EncoderConfig::writerTarget(receiver.port()),
                            EncoderConfig::writerConfiguration(videoKbps, 128, codec)));
        const auto catchUp = [&writer](int most) {
            QElapsedTimer wait;
            wait.start();
            while (writer.pendingFrames() > most && wait.elapsed() < 30000)
                QThread::msleep(2);
        };
        // A burst is made first, so that it goes in at once; before a new rate the encoder catches up.
        for (int i = 0; i < frames;) {
            catchUp(burst || rates.contains(i) ? 0 : mf::MFWriter::kQueueLength - 2);
            if (rates.contains(i))
                writer.setVideoBitRate(rates.value(i) * 1000);
            std::vector<mf::MFFramePtr> batch;
            for (int b = 0; b < std::max(burst, 1); ++b)
                batch.push_back(patternFrame(size.width(), size.height(), i++));
            for (const mf::MFFramePtr &frame : batch)
                QVERIFY(writer.put(frame, burst ? 0 : 40) >= 0);
        }
        catchUp(0);
        const QByteArray data = finish(writer, receiver);
        const quint64 dropped = writer.droppedFrames(), encoded = writer.framesEncoded();
        QCOMPARE(writer.bytesWritten(), quint64(data.size()));
        const QString file = saveBytes(m_dir.filePath(QTest::currentDataTag() + QString(".ts")), data);
        QCOMPARE(decodeErrors(file), QString());
        const QJsonObject probed = probe(file, true);
        QCOMPARE(probed.value("format").toObject().value("format_name").toString(), QStringLiteral("mpegts"));
        const QJsonObject audio = streamOfType(probed, "audio");
        const QJsonObject video = streamOfType(probed, "video");
        QCOMPARE(probeFields(audio, {"codec_name", "sample_rate", "channels"}), QStringLiteral("aac 44100 2"));
        QCOMPARE(probed.value("streams").toArray().size(), codecName.isEmpty() ? 1 : 2);
        const double covered = seconds(codecName.isEmpty() ? audio : video);
        const double tolerance = codecName.isEmpty() ? 0.1 : 0.01;
        QVERIFY2(qAbs(covered - frames / 25.0) < tolerance, qPrintable(QString::number(covered)));
        if (codecName.isEmpty())
            return;
        QVERIFY2(qAbs(seconds(video) - seconds(audio)) < 0.08,
                 qPrintable(QString("video %1 s, audio %2 s").arg(seconds(video)).arg(seconds(audio))));

        const TsChecker checker(data);
        QVERIFY2(checker.syncErrors() == 0 && checker.continuityErrors() == 0 && checker.trailingBytes() == 0
                     && checker.largestPcrGapMs() <= 100 && checker.largestVideoGapMs() <= (burst ? 80 : 40),
                 qPrintable(checker.summary()));
        QStringList keyFrames, groupStarts;
        for (qint64 pts : checker.keyFramePts())
            keyFrames << QString::number((pts - checker.videoPts().first()) / kTicksPerFrame);
        for (int group = 0; group < frames; group += 50)
            groupStarts << QString::number(group);
        QCOMPARE(keyFrames, groupStarts);
        QCOMPARE(quint64(checker.videoPts().size()), encoded);
        QCOMPARE((checker.videoPts().last() - checker.videoPts().first()) / kTicksPerFrame, qint64(frames - 1));
        QCOMPARE(video.value("nb_read_frames").toString().toULongLong(), encoded);
        if (burst) {
            QVERIFY(dropped > 0);
            QCOMPARE(dropped + writer.queuedFrames(), quint64(frames));
            QCOMPARE(encoded, writer.queuedFrames() + writer.framesRepeated());
            QVERIFY2(checker.largestKeyFrameSpacingMs() <= 2000, qPrintable(checker.summary()));
            return;
        }
        QCOMPARE(QVector<quint64>({dropped, encoded, writer.framesRepeated()}),
                 QVector<quint64>({0, quint64(frames), 0}));
        QCOMPARE(probeFields(video, {"codec_name", "width", "height", "r_frame_rate", "profile"}),
                 QString("%1 %2 %3 25/1 Main").arg(codecName).arg(size.width()).arg(size.height()));
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
                                      qPrintable(QString("picture %1 did not leave").arg(i)), 5000);
        }
        const QByteArray data = finish(writer, receiver);
        QCOMPARE(writer.framesEncoded(), quint64(settling + 10));
        QCOMPARE(decodeErrors(saveBytes(m_dir.filePath("prompt.ts"), data)), QString());
    }

    void putsFailUnlessOpenAndCodecsOffered()
    {
        mf::MFWriter writer;
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

        const QStringList codecs = mf::MFWriter::availableVideoCodecs();
        for (const char *codec : {"libx264", "libopenh264", "mpeg2video"})
            QVERIFY2(codecs.contains(codec), codec);
    }

    // What the writer makes of the configuration the form's rates give it.
    void configuration_data()
    {
        QTest::addColumn<int>("video");
        QTest::addColumn<int>("audio");
        QTest::addColumn<QString>("codec");
        QTest::addColumn<QString>("videoCodec");
        QTest::addColumn<QString>("audioCodec");
        QTest::newRow("both") << 1024 << 128 << "libx264" << "libx264" << "aac";
        QTest::newRow("audio only") << 0 << 64 << "libx264" << "null" << "aac";
        QTest::newRow("video only") << 2048 << 0 << "q264hw" << "q264hw" << "null";
        QTest::newRow("negative video") << -5 << 128 << "libx264" << "null" << "aac";
    }

    void configuration()
    {
        QFETCH(int, video);
        QFETCH(int, audio);
        QFETCH(QString, codec);
        QFETCH(QString, videoCodec);
        QFETCH(QString, audioCodec);
        // The container, profile and group length show in what encodes() records.
        const auto config = mf::WriterConfiguration::parse(EncoderConfig::writerConfiguration(video, audio, codec));
        QCOMPARE(QStringList({config.videoCodec, config.audioCodec}), QStringList({videoCodec, audioCodec}));
        QCOMPARE(QVector<bool>({config.hasVideo(), config.hasAudio()}), QVector<bool>({video > 0, audio > 0}));
        if (config.hasVideo())
            QCOMPARE(QVector<qint64>({config.videoBitRate, config.videoMaxRate}), QVector<qint64>(2, video * 1000));
        if (config.hasAudio())
            QCOMPARE(QVector<qint64>({config.audioBitRate, config.audioMinRate, config.audioMaxRate}),
                     QVector<qint64>(3, audio * 1000));
    }

    // Beyond what a qint64 holds a rate is refused: the key is skipped, the
    // encoder keeps its rate.
    void unknownKeysAndRatesAreIgnored()
    {
        const QList<QPair<QString, qint64>> rates{{"2M", 2000000}, {"96000", 96000}, {"-1K", -1},
            {"9223372036854775K", 9223372036854775000}, {"9223372036854776K", -1}, {"9223372036855M", -1}};
        for (const auto &rate : rates)
            QCOMPARE(mf::WriterConfiguration::parseRate(rate.first), rate.second);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unknown configuration key.*colour"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ignoring.*video::b.*fast"));
        const auto config = mf::WriterConfiguration::parse(
            "format='mpegts' colour='red' video::codec='mpeg2video' video::b='fast' video::g='25'");
        QCOMPARE(config.videoCodec, QStringLiteral("mpeg2video"));
        QCOMPARE(config.videoBitRate, qint64(0));
        QCOMPARE(config.gopSize, 25);
    }

    void offeredRows_data()
    {
        const QString hevcQsv = "HEVC Intel Quick Sync (Hardware) EXPERIMENTAL";
        QTest::addColumn<QStringList>("available");
        QTest::addColumn<Rows>("expected");
        QTest::newRow("both hevc qsv") << QStringList{"q265hw", "hevc_qsv"}
                                       << Rows{{hevcQsv, "hevc_qsv"}, {hevcQsv, "q265hw"}};
        QTest::newRow("case differs") << QStringList{"LIBX264", "Mpeg2video", "libopenh264 "} << Rows{};
        QTest::newRow("software only, x264 first")
            << QStringList{"mpeg2video", "libopenh264", "libx264"}
            << Rows{{"x264 (Software)", "libx264"}, {"Open h264 (Software)", "libopenh264"}, {"mpeg-2", "mpeg2video"}};
        QTest::newRow("x264 after the hardware rows")
            << QStringList{"libx264", "n265", "n264", "q264hw", "q264sw", "c264"}
            << Rows{{"Intel Quick Sync (Hardware)", "q264hw"}, {"Intel Quick Sync (Sofware)", "q264sw"},
                    {"Cuda 264 (Hardware)", "c264"}, {"Nvidia NVEncoder (Hardware)", "n264"},
                    {"x264 (Software)", "libx264"}, {"HEVC Nvidia (Hardware) EXPERIMENTAL", "n265"}};
        QTest::newRow("nothing") << QStringList{} << Rows{};
    }

    void offeredRows()
    {
        QFETCH(QStringList, available);
        QFETCH(Rows, expected);
        Rows rows;
        for (const auto &row : EncoderConfig::offeredEncoders(available))
            rows.append({row.text, row.codec});
        QCOMPARE(rows, expected);
    }

    // The stream checker itself, on streams as ffmpeg writes them: no fault,
    // every picture 40 ms after the one before, key frames found in the video
    // itself at their spacing, the PCR gap measured (ffmpeg's default at 25
    // fps: every second picture).
    void checkerOnCleanStreams_data()
    {
        QTest::addColumn<QStringList>("outputArgs");
        QTest::addColumn<int>("streamType");
        QTest::addColumn<int>("keyFrames");
        QTest::addColumn<double>("minPcrGapMs");
        QTest::addColumn<double>("maxPcrGapMs");
        QTest::newRow("h264") << kCleanArgs << 0x1b << 3 << 1.0 << 100.0;
        const QStringList mpeg2{"-c:v", "mpeg2video", "-g", "25", "-bf", "0"}, sparse{"-pcr_period", "300"};
        QTest::newRow("mpeg2") << mpeg2 << 0x02 << 6 << 1.0 << 100.0;
        // The first picture at or after 300 ms carries the next PCR.
        QTest::newRow("sparse pcr") << kCleanArgs + sparse << 0x1b << 3 << 300.0 << 340.0;
    }
    void checkerOnCleanStreams()
    {
        QFETCH(QStringList, outputArgs);
        QFETCH(int, streamType);
        QFETCH(int, keyFrames);
        QFETCH(double, minPcrGapMs);
        QFETCH(double, maxPcrGapMs);
        const QString name = QTest::currentDataTag();
        const QByteArray stream = name == "h264" ? m_clean : makeStream(name + ".ts", outputArgs);
        const TsChecker checker(stream);
        QVERIFY2(checker.syncErrors() == 0 && checker.continuityErrors() == 0 && checker.trailingBytes() == 0,
                 qPrintable(checker.summary()));
        QCOMPARE(checker.videoStreamType(), streamType);
        QCOMPARE(checker.pcrPid(), checker.videoPid());
        QVERIFY(checker.pcrCount() > 6000 / maxPcrGapMs - 2);
        QVERIFY2(checker.largestPcrGapMs() >= minPcrGapMs && checker.largestPcrGapMs() <= maxPcrGapMs,
                 qPrintable(checker.summary()));
        QCOMPARE(checker.videoPts().size(), 150);
        QCOMPARE(checker.largestVideoGapMs(), 40.0);
        const QVector<qint64> keys = checker.keyFramePts();
        QCOMPARE(keys.size(), keyFrames);
        QCOMPARE(keys.at(0), checker.videoPts().first());
        QCOMPARE(checker.largestKeyFrameSpacingMs(), 6000.0 / keyFrames);
    }

    // Damage done to a clean stream, and what the checker must make of it.
    void checkerOnDamagedStreams_data()
    {
        QTest::addColumn<int>("edit");
        QTest::addColumn<int>("continuityErrors");
        QTest::addColumn<int>("syncErrors");
        QTest::addColumn<int>("trailingBytes");
        QTest::addColumn<int>("packetsLost");
        QTest::newRow("dropped packet") << int(Drop) << 1 << 0 << 0 << 1;
        QTest::newRow("one duplicate is allowed") << int(Duplicate) << 0 << 0 << 0 << -1;
        QTest::newRow("a second duplicate is not") << int(TwoDuplicates) << 1 << 0 << 0 << -2;
        QTest::newRow("adaptation only keeps the counter") << int(AdaptationOnly) << 0 << 0 << 0 << -1;
        QTest::newRow("announced discontinuity") << int(Discontinuity) << 0 << 0 << 0 << 1;
        QTest::newRow("lost sync counted once") << int(LostSync) << 1 << 1 << 0 << 1;
        QTest::newRow("truncated packet") << int(Truncate) << 0 << 0 << TsChecker::kPacketSize - 100 << 1;
    }

    void checkerOnDamagedStreams()
    {
        QFETCH(int, edit);
        QFETCH(int, continuityErrors);
        QFETCH(int, syncErrors);
        QFETCH(int, trailingBytes);
        QFETCH(int, packetsLost);
        QByteArray stream = m_clean;
        const int videoPid = TsChecker(stream).videoPid();
        const int packets = stream.size() / TsChecker::kPacketSize;
        QVector<int> video;  // offsets of the video packets with payload
        for (int at = 0; at + TsChecker::kPacketSize <= stream.size(); at += TsChecker::kPacketSize) {
            const int pid = (uchar(stream.at(at + 1)) & 0x1f) << 8 | uchar(stream.at(at + 2));
            if (pid == videoPid && (uchar(stream.at(at + 3)) & 0x10))
                video.append(at);
        }
        const int at = video.at(100);
        const QByteArray packet = stream.mid(at, TsChecker::kPacketSize);
        switch (Edit(edit)) {
        case Drop:
            stream.remove(video.at(video.size() / 2), TsChecker::kPacketSize);
            break;
        case TwoDuplicates:
            stream.insert(at, packet);
            Q_FALLTHROUGH();
        case Duplicate:
            stream.insert(at, packet);
            break;
        case AdaptationOnly: {
            // No payload, carrying the counter of the packet before it.
            QByteArray stuffing(TsChecker::kPacketSize, char(0xff));
            const char header[] = {0x47, char(videoPid >> 8 & 0x1f), char(videoPid & 0xff),
                                   char(0x20 | (uchar(packet.at(3)) & 0x0f)), char(183), 0x00};
            stuffing.replace(0, sizeof header, header, sizeof header);
            stream.insert(at + TsChecker::kPacketSize, stuffing);
            break;
        }
        case Discontinuity: {
            // A packet lost, the next one flagged as a discontinuity: an announced break.
            const int next = video.at(201);
            QByteArray flagged = stream.mid(next, TsChecker::kPacketSize);
            QCOMPARE(uchar(flagged.at(3)) & 0x20, 0);  // plain payload packet, no adaptation field yet
            flagged[3] = char(uchar(flagged.at(3)) | 0x20);
            flagged.insert(4, QByteArray("\x01\x80", 2));  // adaptation field of one byte: discontinuity
            flagged.truncate(TsChecker::kPacketSize);
            stream.replace(next, TsChecker::kPacketSize, flagged);
            stream.remove(video.at(200), TsChecker::kPacketSize);
            break;
        }
        case LostSync:
            stream[500 * TsChecker::kPacketSize] = char(0x46);
            break;
        case Truncate:
            stream.chop(100);
            break;
        }
        const TsChecker checker(stream);
        QVERIFY2(checker.continuityErrors() == continuityErrors, qPrintable(checker.summary()));
        QCOMPARE(checker.continuityErrorsByPid().value(videoPid), continuityErrors);
        QCOMPARE(checker.syncErrors(), syncErrors);
        QCOMPARE(checker.trailingBytes(), trailingBytes);
        QCOMPARE(checker.packetCount(), packets - packetsLost);
    }
};

ORVANTA_TEST_MAIN(TestMFWriter, TestMain::Offscreen)
#include "tst_MFWriter.moc"
