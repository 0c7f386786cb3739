#include "tests/support/FfmpegPrograms.h"
#include "tests/support/TsChecker.h"

#include "tests/support/TestMain.h"

// The transport stream checker against streams made by the ffmpeg program
// and against copies damaged on purpose.
class TestTsChecker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(!cleanStream().isEmpty(), "the ffmpeg program is needed");
    }

    void cleanH264Stream()
    {
        const QByteArray stream = cleanStream();
        const TsChecker checker(stream);
        QCOMPARE(checker.packetCount(), stream.size() / TsChecker::kPacketSize);
        QCOMPARE(checker.syncErrors(), 0);
        QCOMPARE(checker.trailingBytes(), 0);
        QVERIFY2(checker.continuityErrors() == 0, qPrintable(checker.summary()));
        QCOMPARE(checker.videoStreamType(), 0x1b);
        QCOMPARE(checker.pcrPid(), checker.videoPid());
        QVERIFY(checker.pcrCount() > 50);
        // ffmpeg's default for 25 fps: a PCR every second picture.
        QVERIFY2(checker.largestPcrGapMs() > 0 && checker.largestPcrGapMs() <= 100, qPrintable(checker.summary()));
        QCOMPARE(checker.videoPts().size(), 150);
        QCOMPARE(checker.largestVideoGapMs(), 40.0);
        const QVector<qint64> keys = checker.keyFramePts();
        QCOMPARE(keys.size(), 3);
        QCOMPARE(keys.at(0), checker.videoPts().first());
        for (int i = 1; i < keys.size(); ++i)
            QCOMPARE(keys.at(i) - keys.at(i - 1), qint64(2 * 90000));
        QCOMPARE(checker.largestKeyFrameSpacingMs(), 2000.0);
    }

    void mpeg2KeyFrames()
    {
        const TsChecker checker(makeStream("mpeg2.ts", {"-c:v", "mpeg2video", "-g", "25", "-bf", "0"}));
        QVERIFY2(checker.continuityErrors() == 0, qPrintable(checker.summary()));
        QCOMPARE(checker.videoStreamType(), 0x02);
        QCOMPARE(checker.videoPts().size(), 150);
        QCOMPARE(checker.keyFramePts().size(), 6);
        QCOMPARE(checker.largestKeyFrameSpacingMs(), 1000.0);
    }

    void droppedPacketIsContinuityError()
    {
        QByteArray stream = cleanStream();
        const int videoPid = TsChecker(stream).videoPid();
        const QVector<int> video = payloadPackets(stream, videoPid);
        stream.remove(video.at(video.size() / 2), TsChecker::kPacketSize);
        const TsChecker checker(stream);
        QCOMPARE(checker.continuityErrors(), 1);
        QCOMPARE(checker.continuityErrorsByPid().value(videoPid), 1);
        QCOMPARE(checker.syncErrors(), 0);
    }

    void oneDuplicateIsAllowed()
    {
        QByteArray stream = cleanStream();
        const int videoPid = TsChecker(stream).videoPid();
        const int at = payloadPackets(stream, videoPid).at(100);
        const QByteArray packet = stream.mid(at, TsChecker::kPacketSize);
        stream.insert(at, packet);
        QCOMPARE(TsChecker(stream).continuityErrors(), 0);
        // A second copy is one too many.
        stream.insert(at, packet);
        QCOMPARE(TsChecker(stream).continuityErrors(), 1);
    }

    void adaptationOnlyPacketKeepsCounter()
    {
        QByteArray stream = cleanStream();
        const int videoPid = TsChecker(stream).videoPid();
        const int at = payloadPackets(stream, videoPid).at(100);
        // Adaptation field only, no payload, carrying the counter of the packet before it.
        QByteArray stuffing(TsChecker::kPacketSize, char(0xff));
        stuffing[0] = char(0x47);
        stuffing[1] = char(videoPid >> 8 & 0x1f);
        stuffing[2] = char(videoPid & 0xff);
        stuffing[3] = char(0x20 | counterAt(stream, at));
        stuffing[4] = char(183);
        stuffing[5] = char(0x00);
        stream.insert(at + TsChecker::kPacketSize, stuffing);
        QCOMPARE(TsChecker(stream).continuityErrors(), 0);
    }

    void discontinuityRestartsCounting()
    {
        QByteArray stream = cleanStream();
        const int videoPid = TsChecker(stream).videoPid();
        const QVector<int> video = payloadPackets(stream, videoPid);
        // Remove a packet, then flag the next one as a discontinuity: an
        // announced break is no error.
        const int lost = video.at(200);
        const int next = video.at(201);
        QCOMPARE(uchar(stream.at(next + 3)) & 0x20, 0);  // plain payload packet, no adaptation field yet
        QByteArray flagged = stream.mid(next, TsChecker::kPacketSize);
        flagged[3] = char(uchar(flagged.at(3)) | 0x20);
        flagged.insert(4, QByteArray("\x01\x80", 2));  // adaptation field of one byte: discontinuity
        flagged.truncate(TsChecker::kPacketSize);
        stream.replace(next, TsChecker::kPacketSize, flagged);
        stream.remove(lost, TsChecker::kPacketSize);
        QCOMPARE(TsChecker(stream).continuityErrors(), 0);
    }

    void lostSyncIsCountedOnce()
    {
        QByteArray stream = cleanStream();
        const int packets = stream.size() / TsChecker::kPacketSize;
        stream[500 * TsChecker::kPacketSize] = char(0x46);
        const TsChecker checker(stream);
        QCOMPARE(checker.syncErrors(), 1);
        QCOMPARE(checker.packetCount(), packets - 1);
        QCOMPARE(checker.trailingBytes(), 0);
    }

    void truncatedPacketIsReported()
    {
        QByteArray stream = cleanStream();
        stream.chop(100);
        const TsChecker checker(stream);
        QCOMPARE(checker.trailingBytes(), TsChecker::kPacketSize - 100);
        QCOMPARE(checker.syncErrors(), 0);
    }

    void sparsePcrIsMeasured()
    {
        const TsChecker checker(makeStream("sparse.ts", {"-c:v", "libx264", "-g", "50", "-bf", "0"}, {"-pcr_period", "300"}));
        QVERIFY2(checker.continuityErrors() == 0, qPrintable(checker.summary()));
        // The first picture at or after 300 ms carries the next PCR.
        QVERIFY2(checker.largestPcrGapMs() >= 300 && checker.largestPcrGapMs() <= 340, qPrintable(checker.summary()));
    }

    void unreadableFileIsEmpty()
    {
        const TsChecker checker = TsChecker::fromFile(m_dir.filePath("missing.ts"));
        QCOMPARE(checker.packetCount(), 0);
        QCOMPARE(checker.videoPid(), -1);
        QCOMPARE(checker.largestKeyFrameSpacingMs(), 0.0);
        QFile file(m_dir.filePath("clean.ts"));
        QVERIFY(file.exists());
        QCOMPARE(TsChecker::fromFile(file.fileName()).packetCount(), cleanStream().size() / TsChecker::kPacketSize);
    }

private:
    // 6 s of a 25 fps test picture with a tone, made by the ffmpeg program.

    QByteArray makeStream(const QString &name, const QStringList &videoArgs, const QStringList &muxArgs = {})
    {
        const QStringList inputs{"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i",
                                 "sine=frequency=440:sample_rate=44100", "-t", "6"};
        return makeClip(m_dir.filePath(name), inputs + videoArgs + QStringList{"-c:a", "aac", "-f", "mpegts"} + muxArgs);
    }

    QByteArray cleanStream()
    {
        if (m_clean.isEmpty())
            m_clean = makeStream("clean.ts", {"-c:v", "libx264", "-g", "50", "-bf", "0", "-x264-params", "scenecut=0"});
        return m_clean;
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

    static int counterAt(const QByteArray &stream, int offset) { return uchar(stream.at(offset + 3)) & 0x0f; }

    QTemporaryDir m_dir;
    QByteArray m_clean;
};

ORVANTA_TEST_MAIN(TestTsChecker, TestMain::Core)
#include "tst_TsChecker.moc"
