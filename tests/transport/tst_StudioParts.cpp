// The studio's parts without sockets: routing, caller admission and the
// timing of a looped feedback file.
#include "tests/support/TestMain.h"

#include "tools/orvanta-studio/CallerGate.h"
#include "tools/orvanta-studio/StreamRoute.h"
#include "tools/orvanta-studio/TsTiming.h"

#include "tests/support/FfmpegPrograms.h"
#include "tests/support/TsChecker.h"
#include "tests/support/TsEdits.h"

#include <srt/access_control.h>

namespace {
enum Edit { Whole, OnePcr, NoClock, Spliced, ClockJumps };

// Every third PCR about 6 h off.
QByteArray withClockJumps(QByteArray clip)
{
    int pcrs = 0;
    for (int offset = 0; offset + 188 <= clip.size(); offset += 188) {
        const bool carriesPcr = (clip[offset + 3] & 0x20) && uchar(clip[offset + 4]) >= 7 && (clip[offset + 5] & 0x10);
        if (carriesPcr && ++pcrs % 3 == 0)
            clip[offset + 6] = char(uchar(clip[offset + 6]) ^ 0x80);
    }
    return clip;
}

QByteArray noClockAtAll()
{
    QByteArray noise(188 * 1000, '\0');
    for (int offset = 0; offset < noise.size(); offset += 188)
        noise[offset] = 0x47;
    return noise;
}
}

class TestStudioParts : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QByteArray m_clip;  // two seconds of MPEG-2 at 25 pictures a second

    QByteArray edited(Edit edit) const
    {
        switch (edit) {
        case Whole: return m_clip;
        case OnePcr: return keepFirstPcrs(m_clip, 1);
        case NoClock: return noClockAtAll();
        case Spliced: return m_clip + m_clip;  // a continued recording: the clock goes back once
        case ClockJumps: return withClockJumps(m_clip);
        }
        return {};
    }

private slots:
    void initTestCase()
    {
        m_clip = makeClip(m_dir.filePath("clip.ts"), {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25", "-t", "2",
                                                       "-c:v", "mpeg2video", "-b:v", "400k", "-f", "mpegts"});
        QVERIFY(!m_clip.isEmpty());
        QCOMPARE(TsChecker(keepFirstPcrs(m_clip, 1)).pcrCount(), 1);
    }

    void routesBySuffix()
    {
        const StreamRoute feedback = StreamRoute::parse("me#feedbackplay");
        QCOMPARE(feedback.kind, StreamRoute::Feedback);
        QCOMPARE(feedback.id, QByteArray("me"));
        QCOMPARE(StreamRoute::parse("me#control").kind, StreamRoute::Control);
        QCOMPARE(StreamRoute::parse("me#speedtest").kind, StreamRoute::SpeedTest);
        QCOMPARE(StreamRoute::parse("me#other").kind, StreamRoute::Media);
        QVERIFY(!StreamRoute::parse("#control").isValid());
    }

    void gateCapsCallersAndMediaIds()
    {
        CallerGate gate(3);
        QCOMPARE(gate.admit(1, StreamRoute::parse("a")), 0);
        QCOMPARE(gate.admit(2, StreamRoute::parse("a")), SRT_REJX_CONFLICT);
        QCOMPARE(gate.admit(2, StreamRoute::parse("a#feedbackplay")), 0);
        QCOMPARE(gate.admit(1, StreamRoute::parse("a")), 0);  // the same caller again
        QCOMPARE(gate.admit(3, StreamRoute::parse("")), SRT_REJX_BAD_REQUEST);
        QCOMPARE(gate.admit(3, StreamRoute::parse("b")), 0);
        QCOMPARE(gate.admit(4, StreamRoute::parse("c")), SRT_REJX_OVERLOAD);
        gate.release(1);
        QCOMPARE(gate.count(), 2);
        QCOMPARE(gate.admit(4, StreamRoute::parse("a")), 0);
    }

    // minUs/maxUs bound the whole; halfUs (when not -1) is when the middle
    // byte is due, give or take 0.2 s.
    void timing_data()
    {
        QTest::addColumn<int>("edit");
        QTest::addColumn<int>("source");  // -1: any
        QTest::addColumn<qint64>("minUs");
        QTest::addColumn<qint64>("maxUs");
        QTest::addColumn<qint64>("halfUs");
        const qint64 fallbackUs = qint64(188 * 1000 * 8 / TsTiming::kFallbackBitsPerSecond * 1e6);
        QTest::newRow("pcr") << int(Whole) << int(TsTiming::ClockReferences) << 1900000ll << 2600000ll << -1ll;
        QTest::newRow("one pcr") << int(OnePcr) << int(TsTiming::ByteRateFromTimeStamps) << 1900000ll << 2600000ll
                                 << -2ll;
        QTest::newRow("no clock") << int(NoClock) << int(TsTiming::FallbackByteRate) << fallbackUs * 99 / 100
                                  << fallbackUs * 101 / 100 << -1ll;
        QTest::newRow("splice") << int(Spliced) << int(TsTiming::ClockReferences) << 3800000ll << 5200000ll << 0ll;
        // Not followed into a burst: the file goes no faster than its whole lasts.
        QTest::newRow("clock jumps") << int(ClockJumps) << -1 << 1500000ll << 4000000ll << -1ll;
    }

    void timing()
    {
        QFETCH(int, edit);
        QFETCH(int, source);
        QFETCH(qint64, minUs);
        QFETCH(qint64, maxUs);
        QFETCH(qint64, halfUs);
        const QByteArray bytes = edited(Edit(edit));
        QBuffer buffer;
        buffer.setData(bytes);
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        TsTiming timing;
        QVERIFY(timing.scan(&buffer));
        if (source >= 0)
            QCOMPARE(int(timing.source()), source);
        QVERIFY2(timing.durationUs() >= minUs && timing.durationUs() < maxUs, qPrintable(timing.describe()));
        qint64 previous = -1;
        for (qint64 offset = 0; offset <= bytes.size(); offset += 1316) {
            QVERIFY(timing.timeAtUs(offset) >= previous);
            previous = timing.timeAtUs(offset);
        }
        if (halfUs == -2)  // one byte rate: exactly half way
            QCOMPARE(timing.timeAtUs(bytes.size() / 2), timing.durationUs() / 2);
        if (halfUs == 0) {  // each part of the splice lasts what it lasts alone
            buffer.close();
            buffer.setData(m_clip);
            QVERIFY(buffer.open(QIODevice::ReadOnly));
            TsTiming single;
            QVERIFY(single.scan(&buffer));
            QVERIFY(qAbs(timing.durationUs() - 2 * single.durationUs()) < 200000);
            QVERIFY(qAbs(timing.timeAtUs(m_clip.size()) - single.durationUs()) < 200000);
        }
    }
};

ORVANTA_TEST_MAIN(TestStudioParts, TestMain::Core)
#include "tst_StudioParts.moc"
