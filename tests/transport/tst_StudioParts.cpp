// The studio's parts without sockets: recording names, caller admission and
// the timing of a looped feedback file.
#include "tools/orvanta-studio/CallerGate.h"
#include "tools/orvanta-studio/StreamRoute.h"
#include "tools/orvanta-studio/TsTiming.h"

#include "tests/support/FfmpegPrograms.h"
#include "tests/support/TsChecker.h"
#include "tests/support/TsEdits.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <srt/access_control.h>

namespace {
QString nameOf(const QByteArray &id)
{
    StreamRoute route;
    route.id = id;
    return route.recordFileName();
}

// Two seconds of MPEG-2 at 25 pictures a second.
QByteArray makeClip(const QString &path)
{
    return makeClip(path, {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25", "-t", "2", "-c:v", "mpeg2video",
                           "-b:v", "400k", "-f", "mpegts"});
}

TsTiming timingOf(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    TsTiming timing;
    [[maybe_unused]] const bool scanned = timing.scan(&buffer);
    return timing;
}
}

class TestStudioParts : public QObject
{
    Q_OBJECT
private slots:
    void plainIdsKeepTheirName()
    {
        QCOMPARE(nameOf("demo"), QString("demo.ts"));
        QCOMPARE(nameOf("relay-10mb"), QString("relay-10mb.ts"));
        QCOMPARE(nameOf("a_b.c"), QString("a_b.c.ts"));
    }

    void namesNeverCollideOrLeaveTheFolder()
    {
        const QList<QByteArray> ids{"a/b", "a_b", "a%2Fb", "a%b", "a~b", ".hidden", "%2Ehidden", "..", ".", "x\x01",
                                    "x\x02", "\xff", "\xfe", "a b", "a+b", "field#7", "A", "a"};
        QSet<QString> names;
        for (const QByteArray &id : ids) {
            const QString name = nameOf(id);
            QVERIFY2(!name.contains('/') && !name.startsWith('.'), qPrintable(name));
            names.insert(name);
        }
        QCOMPARE(names.size(), ids.size());
        QCOMPARE(nameOf("a/b"), QString("a%2Fb.ts"));
        QCOMPARE(nameOf("a%b"), QString("a%25b.ts"));
        QCOMPARE(nameOf(".hidden"), QString("%2Ehidden.ts"));
        QCOMPARE(nameOf("field#7"), QString("field%237.ts"));
    }

    void longIdsAreCutWithAHash()
    {
        const QByteArray longId(512, 'x');
        QByteArray almost = longId;
        almost[511] = 'y';
        const QString name = nameOf(longId);
        QVERIFY(name.size() < 255);
        const QByteArray hash = QCryptographicHash::hash(longId, QCryptographicHash::Sha256).left(16).toHex();
        QCOMPARE(name, QString(160, 'x') + '~' + QString::fromLatin1(hash) + ".ts");
        QVERIFY(name != nameOf(almost));
        // Three characters each once encoded; no "%XX" is cut.
        const QByteArray encoded(512, '/');
        QVERIFY(nameOf(encoded).startsWith(QString("%2F").repeated(53) + '~'));
        QVERIFY(nameOf("x" + encoded).startsWith('x' + QString("%2F").repeated(53) + '~'));
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
        QCOMPARE(StreamRoute::printable("a\x01z"), QString("a?z"));
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

    void timingFollowsPcr()
    {
        QTemporaryDir dir;
        const QByteArray clip = makeClip(dir.filePath("clip.ts"));
        QVERIFY(!clip.isEmpty());
        const TsTiming timing = timingOf(clip);
        QCOMPARE(timing.source(), TsTiming::ClockReferences);
        QVERIFY2(timing.durationUs() >= 1900000 && timing.durationUs() < 2600000, qPrintable(timing.describe()));
        qint64 previous = -1;
        for (qint64 offset = 0; offset <= clip.size(); offset += 1316) {
            QVERIFY(timing.timeAtUs(offset) >= previous);
            previous = timing.timeAtUs(offset);
        }
    }

    void timingWithOnePcrUsesTheByteRate()
    {
        QTemporaryDir dir;
        const QByteArray clip = keepFirstPcrs(makeClip(dir.filePath("clip.ts")), 1);
        QCOMPARE(TsChecker(clip).pcrCount(), 1);
        const TsTiming timing = timingOf(clip);
        QCOMPARE(timing.source(), TsTiming::ByteRateFromTimeStamps);
        QVERIFY2(timing.durationUs() >= 1900000 && timing.durationUs() < 2600000, qPrintable(timing.describe()));
        QCOMPARE(timing.timeAtUs(clip.size() / 2), timing.durationUs() / 2);
    }

    void timingWithoutAnyClockUsesTheFallback()
    {
        QByteArray noise(188 * 1000, '\0');
        for (int offset = 0; offset < noise.size(); offset += 188)
            noise[offset] = 0x47;
        const TsTiming timing = timingOf(noise);
        QCOMPARE(timing.source(), TsTiming::FallbackByteRate);
        const double bitsPerSecond = noise.size() * 8.0 / (double(timing.durationUs()) / 1e6);
        QVERIFY(qAbs(bitsPerSecond - TsTiming::kFallbackBitsPerSecond) < TsTiming::kFallbackBitsPerSecond * 0.01);
    }

    // Two recordings one after the other (a continued recording): the clock
    // goes back once, and each part still lasts what it lasts.
    void timingFollowsPcrAcrossASplice()
    {
        QTemporaryDir dir;
        const QByteArray clip = makeClip(dir.filePath("clip.ts"));
        QVERIFY(!clip.isEmpty());
        const TsTiming single = timingOf(clip);
        const TsTiming spliced = timingOf(clip + clip);
        QCOMPARE(spliced.source(), TsTiming::ClockReferences);
        QVERIFY2(qAbs(spliced.durationUs() - 2 * single.durationUs()) < 200000, qPrintable(spliced.describe()));
        QVERIFY(qAbs(spliced.timeAtUs(clip.size()) - single.durationUs()) < 200000);
    }

    // A clock that jumps about often is not followed into a burst: the file
    // goes no faster than its whole lasts.
    void timingSurvivesClockJumps()
    {
        QTemporaryDir dir;
        QByteArray clip = makeClip(dir.filePath("clip.ts"));
        QVERIFY(!clip.isEmpty());
        int pcrs = 0;
        for (int offset = 0; offset + 188 <= clip.size(); offset += 188) {
            const bool carriesPcr = (clip[offset + 3] & 0x20) && uchar(clip[offset + 4]) >= 7 && (clip[offset + 5] & 0x10);
            if (carriesPcr && ++pcrs % 3 == 0)
                clip[offset + 6] = char(uchar(clip[offset + 6]) ^ 0x80);  // about 6 h off
        }
        const TsTiming timing = timingOf(clip);
        QVERIFY2(timing.durationUs() >= 1500000 && timing.durationUs() < 4000000, qPrintable(timing.describe()));
    }
};

QTEST_GUILESS_MAIN(TestStudioParts)
#include "tst_StudioParts.moc"
