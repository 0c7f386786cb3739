#include "tests/support/FfmpegPrograms.h"
#include "tests/support/TsChecker.h"

#include "tests/support/TestMain.h"

// The transport stream checker against streams made by the ffmpeg program
// and against copies damaged on purpose.
class TestTsChecker : public QObject
{
    Q_OBJECT
    const QStringList kCleanArgs{"-c:v", "libx264", "-g", "50", "-bf", "0", "-x264-params", "scenecut=0"};

private slots:
    void initTestCase() { QVERIFY2(!cleanStream().isEmpty(), "the ffmpeg program is needed"); }

    // Streams as ffmpeg writes them: no fault, every picture 40 ms after the
    // one before, key frames found in the video itself at their spacing, the
    // PCR gap measured (ffmpeg's default at 25 fps: every second picture).
    void cleanStreams_data()
    {
        QTest::addColumn<QStringList>("videoArgs");
        QTest::addColumn<QStringList>("muxArgs");
        QTest::addColumn<int>("streamType");
        QTest::addColumn<int>("keyFrames");
        QTest::addColumn<double>("minPcrGapMs");
        QTest::addColumn<double>("maxPcrGapMs");
        QTest::newRow("h264") << kCleanArgs << QStringList() << 0x1b << 3 << 1.0 << 100.0;
        QTest::newRow("mpeg2") << QStringList{"-c:v", "mpeg2video", "-g", "25", "-bf", "0"} << QStringList() << 0x02
                               << 6 << 1.0 << 100.0;
        // The first picture at or after 300 ms carries the next PCR.
        QTest::newRow("sparse pcr") << kCleanArgs << QStringList{"-pcr_period", "300"} << 0x1b << 3 << 300.0 << 340.0;
    }
    void cleanStreams()
    {
        QFETCH(QStringList, videoArgs);
        QFETCH(QStringList, muxArgs);
        QFETCH(int, streamType);
        QFETCH(int, keyFrames);
        QFETCH(double, minPcrGapMs);
        QFETCH(double, maxPcrGapMs);
        const QString name = QTest::currentDataTag();
        const QByteArray stream = name == "h264" ? cleanStream() : makeStream(name + ".ts", videoArgs, muxArgs);
        const TsChecker checker(stream);
        QCOMPARE(checker.packetCount(), stream.size() / TsChecker::kPacketSize);
        QCOMPARE(checker.syncErrors(), 0);
        QCOMPARE(checker.trailingBytes(), 0);
        QVERIFY2(checker.continuityErrors() == 0, qPrintable(checker.summary()));
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
        for (int i = 1; i < keys.size(); ++i)
            QCOMPARE(keys.at(i) - keys.at(i - 1), qint64(6 * 90000 / keyFrames));
        QCOMPARE(checker.largestKeyFrameSpacingMs(), 6000.0 / keyFrames);
    }

    // Damage done to a clean stream, and what the checker must make of it.
    void edits_data()
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

    void edits()
    {
        QFETCH(int, edit);
        QFETCH(int, continuityErrors);
        QFETCH(int, syncErrors);
        QFETCH(int, trailingBytes);
        QFETCH(int, packetsLost);
        QByteArray stream = cleanStream();
        const int videoPid = TsChecker(stream).videoPid();
        const int packets = stream.size() / TsChecker::kPacketSize;
        applyEdit(Edit(edit), stream, videoPid);
        const TsChecker checker(stream);
        QVERIFY2(checker.continuityErrors() == continuityErrors, qPrintable(checker.summary()));
        QCOMPARE(checker.continuityErrorsByPid().value(videoPid), continuityErrors);
        QCOMPARE(checker.syncErrors(), syncErrors);
        QCOMPARE(checker.trailingBytes(), trailingBytes);
        QCOMPARE(checker.packetCount(), packets - packetsLost);
    }

private:
    // 6 s of a 25 fps test picture with a tone, made by the ffmpeg program.
    QByteArray makeStream(const QString &name, const QStringList &videoArgs, const QStringList &muxArgs = {})
    {
        return makeClip(m_dir.filePath(name), testPictureAndTone("testsrc2=size=320x240", 6) + videoArgs
                                                  + QStringList{"-c:a", "aac", "-f", "mpegts"} + muxArgs);
    }

    QByteArray cleanStream()
    {
        if (m_clean.isEmpty())
            m_clean = makeStream("clean.ts", kCleanArgs);
        return m_clean;
    }

    enum Edit { Drop, Duplicate, TwoDuplicates, AdaptationOnly, Discontinuity, LostSync, Truncate };

    static void applyEdit(Edit edit, QByteArray &stream, int videoPid)
    {
        const QVector<int> video = payloadPackets(stream, videoPid);
        const int at = video.at(100);
        const QByteArray packet = stream.mid(at, TsChecker::kPacketSize);
        switch (edit) {
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
    }

    // Offsets of packets on pid that carry payload.
    static QVector<int> payloadPackets(const QByteArray &stream, int pid)
    {
        QVector<int> offsets;
        for (int at = 0; at + TsChecker::kPacketSize <= stream.size(); at += TsChecker::kPacketSize) {
            const int packetPid = (uchar(stream.at(at + 1)) & 0x1f) << 8 | uchar(stream.at(at + 2));
            if (packetPid == pid && (uchar(stream.at(at + 3)) & 0x10))
                offsets.append(at);
        }
        return offsets;
    }

    QTemporaryDir m_dir;
    QByteArray m_clean;
};

ORVANTA_TEST_MAIN(TestTsChecker, TestMain::Core)
#include "tst_TsChecker.moc"
