// The studio test server as its clients rely on it: routing by the stream
// ID's suffix, the caller gate and its refusal reasons, skip and drop
// counting, the echo to feedback callers, the paced and looped feedback file.
#include "tests/support/TestMain.h"

#include "tools/orvanta-studio/TsTiming.h"
#include "transport/srt/SrtLibrary.h"
#include "transport/srt/SrtSocket.h"

#include "tests/support/FfmpegPrograms.h"
#include "tests/support/LossyPath.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TsEdits.h"

#include <srt/access_control.h>
#include <srt/srt.h>

#include <arpa/inet.h>

namespace {
constexpr int kWaitMs = 10000;
constexpr int kMessage = 1316;

// A libsrt caller with libsrt's default MSS and the stream ID as raw bytes;
// *rejectReason says why the studio turned it away.
SrtSocket dial(quint16 port, const QByteArray &streamId, int *rejectReason = nullptr, int latency = 120,
               int receiveBufferPackets = 0)
{
    SrtSocket socket(srt_create_socket());
    const auto set = [&](SRT_SOCKOPT option, int value) { srt_setsockflag(socket.get(), option, &value, sizeof value); };
    srt_setsockflag(socket.get(), SRTO_STREAMID, streamId.constData(), streamId.size());
    set(SRTO_PEERLATENCY, latency);
    set(SRTO_RCVTIMEO, 5000);
    if (receiveBufferPackets > 0) {
        set(SRTO_FC, qMax(32, receiveBufferPackets));
        set(SRTO_RCVBUF, receiveBufferPackets * (1360 - 28));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    const bool failed = srt_connect(socket.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) == SRT_ERROR;
    if (rejectReason)
        *rejectReason = failed ? srt_getrejectreason(socket.get()) : 0;
    return failed ? SrtSocket() : std::move(socket);
}

// Messages of 1316 bytes, each telling its stream (tag) and number apart.
QByteArray messages(char tag, int count, int first = 0)
{
    QByteArray bytes;
    for (int i = first; i < first + count; ++i)
        bytes += QByteArray::number(i).rightJustified(8, '0') + QByteArray(kMessage - 8, tag);
    return bytes;
}

bool sendAll(const SrtSocket &socket, const QByteArray &bytes, int pauseMs = 0)
{
    for (int at = 0; at < bytes.size(); at += kMessage) {
        if (srt_send(socket.get(), bytes.constData() + at, kMessage) != kMessage)
            return false;
        QThread::msleep(pauseMs);
    }
    return true;
}

// Receives messages until `bytes` arrived or a receive times out.
QByteArray receive(const SrtSocket &socket, int bytes)
{
    QByteArray received;
    char buffer[1500];
    int size = 0;
    while (received.size() < bytes && (size = srt_recvmsg(socket.get(), buffer, sizeof buffer)) > 0)
        received.append(buffer, size);
    return received;
}

TsTiming timingOf(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    TsTiming timing;
    if (!buffer.open(QIODevice::ReadOnly) || !timing.scan(&buffer))
        qWarning("no packet to time");
    return timing;
}
}

class TestStudio : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    QByteArray m_clip;  // two seconds of MPEG-2 at 25 pictures a second

private slots:
    void initTestCase()
    {
        startSrtLibrary();
        m_clip = makeClip(m_dir.filePath("clip.ts"), {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25", "-t", "2",
                                                       "-c:v", "mpeg2video", "-b:v", "400k", "-f", "mpegts"});
    }

    // A caller without an ID is refused as a bad request, a second media
    // caller of an ID as a conflict, callers beyond --max-callers as an
    // overload; other kinds of the ID are welcome, and a caller that leaves
    // frees its place.
    void callersAreRefusedWithTheirReason()
    {
        StudioProcess studio({"--max-callers", "3"});
        QVERIFY2(studio.start(), studio.output().constData());
        int reason = 0;
        for (const QByteArray id : {"", "#control"}) {
            QVERIFY(!dial(studio.srtPort(), id, &reason).isValid());
            QCOMPARE(reason, SRT_REJX_BAD_REQUEST);
        }
        SrtSocket media = dial(studio.srtPort(), "cap");
        QVERIFY(media.isValid());
        QVERIFY(!dial(studio.srtPort(), "cap", &reason).isValid());
        QCOMPARE(reason, SRT_REJX_CONFLICT);
        SrtSocket control = dial(studio.srtPort(), "cap#control");
        SrtSocket feedback = dial(studio.srtPort(), "cap#feedbackplay");
        QVERIFY(control.isValid() && feedback.isValid());
        QVERIFY(!dial(studio.srtPort(), "other", &reason).isValid());
        QCOMPARE(reason, SRT_REJX_OVERLOAD);
        media.reset();
        QVERIFY(!studio.waitForStream("cap", "media", 0, kWaitMs, 0).isEmpty());
        SrtSocket after = dial(studio.srtPort(), "other", &reason);
        QVERIFY2(after.isValid(), qPrintable(QString::number(reason)));
    }

    // Through a path whose round trip (80 ms) is longer than the latency
    // (20 ms) each lost packet is skipped; the studio counts every skip.
    // A studio that handled the handshake late plays everything out that
    // much later, and so repairs every loss, until its drift correction
    // catches up after about ten seconds of data: the caller sends until a
    // skip is counted.
    void skippedMessagesAreCounted()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        LossyPath path(studio.srtPort(), "0.05", {"--delay", "40"});
        QVERIFY(path.ready());
        SrtSocket caller = dial(path.port(), "skips", nullptr, 20);
        QVERIFY(caller.isValid());
        const auto skips = [&] {
            return StudioProcess::count(StudioProcess::findStream(studio.status(), "skips", "media"), "lost_messages");
        };
        constexpr int kBatch = 50;
        QDeadlineTimer deadline(3 * kWaitMs);
        for (int sent = 0; skips() == 0 && !deadline.hasExpired(); sent += kBatch)
            QVERIFY(sendAll(caller, messages('s', kBatch, sent), 2));
        // Closed once a skip is counted: the recording holds what came until then.
        QTRY_VERIFY_WITH_TIMEOUT(skips() > 0, kWaitMs);
        caller.reset();
        const QByteArray recorded = studio.recording("skips");
        QVERIFY(recorded.size() % kMessage == 0 && !recorded.isEmpty());
        const int first = recorded.left(8).toInt();
        const int last = recorded.right(kMessage).left(8).toInt();
        const int missing = last - first + 1 - recorded.size() / kMessage;
        QVERIFY2(missing > 0, qPrintable(QString("messages %1 to %2, none missing").arg(first).arg(last)));
        QCOMPARE(skips(), qint64(missing));
    }

    // The media stream goes to the feedback callers of its ID only, one
    // message per packet, also to a caller with libsrt's default MSS of 1500.
    // What the studio could not deliver to a feedback caller that reads
    // nothing is counted, and the count grows with what was sent.
    void feedbackEchoesTheMediaStreamAndCountsDrops()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        SrtSocket viewer = dial(studio.srtPort(), "loop#feedbackplay");
        SrtSocket sleeper = dial(studio.srtPort(), "busy#feedbackplay", nullptr, 120, 32);
        QVERIFY(viewer.isValid() && sleeper.isValid());
        QCOMPARE(studio.waitForStream("loop", "feedback").value("mss").toInt(), 1360);
        QVERIFY(!studio.waitForStream("busy", "feedback").isEmpty());
        SrtSocket media = dial(studio.srtPort(), "loop");
        const QByteArray sent = messages('m', 100);
        QVERIFY(sendAll(media, sent));
        QCOMPARE(receive(viewer, sent.size()), sent);
        QTest::qWait(300);  // a second packet of a message, or one to the other ID, would be in by now
        const auto packetsReceived = [](const SrtSocket &socket) {
            SRT_TRACEBSTATS stats{};
            return srt_bstats(socket.get(), &stats, 0) == 0 ? stats.pktRecvTotal : -1;
        };
        QCOMPARE(packetsReceived(viewer), 100);
        QCOMPARE(packetsReceived(sleeper), 0);

        media = dial(studio.srtPort(), "busy");
        const QByteArray batch = messages('d', 400);
        qint64 sentToMedia = 0;
        QJsonObject feedback;
        // libsrt drops what waited too long as more comes: a message every
        // 50 ms goes on while the count is awaited.
        const auto droppedReaches = [&](qint64 bytes) {
            for (QDeadlineTimer deadline(kWaitMs); !deadline.hasExpired(); QTest::qWait(50)) {
                feedback = StudioProcess::findStream(studio.status(), "busy", "feedback");
                if (StudioProcess::count(feedback, "dropped_bytes") >= bytes)
                    return true;
                if (srt_send(media.get(), batch.constData(), kMessage) == kMessage)
                    sentToMedia += kMessage;
            }
            return false;
        };
        qint64 dropped = batch.size() - 64 * kMessage;  // all but what fits the receiver's 32-packet buffer
        for (int round = 0; round < 2; ++round) {
            QVERIFY(sendAll(media, batch));
            sentToMedia += batch.size();
            QVERIFY2(droppedReaches(dropped), qPrintable(QJsonDocument(feedback).toJson()));
            dropped = StudioProcess::count(feedback, "dropped_bytes") + batch.size();
        }
        QVERIFY(StudioProcess::count(feedback, "dropped_bytes") <= sentToMedia);
        QCOMPARE(StudioProcess::count(feedback, "dropped_bytes") % kMessage, 0);
    }

    // A feedback file with a single PCR goes at its byte rate, from its start
    // and then from the start again; meanwhile the studio takes new callers,
    // and SIGTERM ends it within a second.
    void feedbackFileIsPacedAndLooped()
    {
        const QByteArray clip = keepFirstPcrs(m_clip, 1);
        StudioProcess studio({"--feedback", saveBytes(m_dir.filePath("one-pcr.ts"), clip)});
        QVERIFY2(studio.start(), studio.output().constData());
        SrtSocket viewer = dial(studio.srtPort(), "pace#feedbackplay");
        QVERIFY(viewer.isValid());
        QByteArray received = receive(viewer, 1);
        QElapsedTimer clock;
        clock.start();
        received += receive(viewer, clip.size() + kMessage - received.size());
        const double ratio = (received.size() - kMessage) / (clock.elapsed() / 1000.0) / (clip.size() / 2.0);
        QVERIFY2(ratio >= 0.3 && ratio <= 1.2, qPrintable(QString("%1 times the file's rate").arg(ratio)));
        QCOMPARE(received.left(clip.size()), clip);
        QCOMPARE(received.mid(clip.size(), 188), clip.left(188));

        SrtSocket newcomer = dial(studio.srtPort(), "newcomer");
        QVERIFY(newcomer.isValid());
        QVERIFY(!studio.waitForStream("newcomer", "media").isEmpty());
        QElapsedTimer stopping;
        stopping.start();
        QVERIFY2(studio.stop(), studio.output().constData());
        QVERIFY(stopping.elapsed() < 1000);
    }

    // When each byte of a feedback file is due: the whole lasts minUs to
    // maxUs, times never go back; "one pcr" is exactly half way at its middle,
    // each half of "splice" (a continued recording) lasts what the clip does.
    void timing_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("source");
        QTest::addColumn<qint64>("minUs");
        QTest::addColumn<qint64>("maxUs");
        QByteArray noClock(188 * 1000, '\0');
        for (int offset = 0; offset < noClock.size(); offset += 188)
            noClock[offset] = 0x47;
        const qint64 fallbackUs = qint64(noClock.size() * 8 / TsTiming::kFallbackBitsPerSecond * 1e6);
        QTest::newRow("pcr") << m_clip << int(TsTiming::ClockReferences) << 1900000ll << 2600000ll;
        QTest::newRow("one pcr") << keepFirstPcrs(m_clip, 1) << int(TsTiming::ByteRateFromTimeStamps) << 1900000ll
                                 << 2600000ll;
        QTest::newRow("no clock") << noClock << int(TsTiming::FallbackByteRate) << fallbackUs * 99 / 100
                                  << fallbackUs * 101 / 100;
        QTest::newRow("splice") << m_clip + m_clip << int(TsTiming::ClockReferences) << 3800000ll << 5200000ll;
    }
    void timing()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, source);
        QFETCH(qint64, minUs);
        QFETCH(qint64, maxUs);
        const TsTiming timing = timingOf(bytes);
        QCOMPARE(int(timing.source()), source);
        QVERIFY2(timing.durationUs() >= minUs && timing.durationUs() < maxUs, qPrintable(timing.describe()));
        for (qint64 offset = 1316; offset <= bytes.size(); offset += 1316)
            QVERIFY(timing.timeAtUs(offset) >= timing.timeAtUs(offset - 1316));
        if (QTest::currentDataTag() == QLatin1String("one pcr"))
            QCOMPARE(timing.timeAtUs(bytes.size() / 2), timing.durationUs() / 2);
        if (QTest::currentDataTag() == QLatin1String("splice")) {
            const qint64 singleUs = timingOf(m_clip).durationUs();
            QVERIFY(qAbs(timing.durationUs() - 2 * singleUs) < 200000);
            QVERIFY(qAbs(timing.timeAtUs(m_clip.size()) - singleUs) < 200000);
        }
    }
};

ORVANTA_TEST_MAIN(TestStudio, TestMain::Core)
#include "tst_Studio.moc"
