#include "tests/support/TestMain.h"

#include "transport/srt/SrtLibrary.h"
#include "transport/srt/SrtSocket.h"

#include "tests/support/FfmpegPrograms.h"
#include "tests/support/LossyPath.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TsChecker.h"
#include "tests/support/TsEdits.h"

#include <srt/access_control.h>
#include <srt/srt.h>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {
constexpr int kWaitMs = 10000;
constexpr int kMessage = 1316;

struct CallerOptions {
    int latency = 120;
    int mss = 1360;               // 0: libsrt's default
    int receiveBufferPackets = 0;  // 0: libsrt's default
};

// A libsrt caller with the stream ID as raw bytes; when the studio turns it
// away, *rejectReason tells why (srt_getrejectreason).
SrtSocket dial(quint16 port, const QByteArray &streamId, int *rejectReason = nullptr,
               const CallerOptions &options = CallerOptions())
{
    SrtSocket socket(srt_create_socket());
    const auto set = [&](SRT_SOCKOPT option, int value) { srt_setsockflag(socket.get(), option, &value, sizeof value); };
    srt_setsockflag(socket.get(), SRTO_STREAMID, streamId.constData(), streamId.size());
    set(SRTO_PEERLATENCY, options.latency);
    if (options.mss > 0)
        set(SRTO_MSS, options.mss);
    if (options.receiveBufferPackets > 0) {
        set(SRTO_FC, qMax(32, options.receiveBufferPackets));
        set(SRTO_RCVBUF, options.receiveBufferPackets * (1360 - 28));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (rejectReason)
        *rejectReason = 0;
    if (srt_connect(socket.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) == SRT_ERROR) {
        if (rejectReason)
            *rejectReason = srt_getrejectreason(socket.get());
        return SrtSocket();
    }
    const int timeoutMs = 5000;
    srt_setsockflag(socket.get(), SRTO_RCVTIMEO, &timeoutMs, sizeof timeoutMs);
    return socket;
}

// Messages of 1316 bytes, each telling its stream (tag) and number apart.
QByteArray messages(char tag, int count)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i) {
        QByteArray message(kMessage, tag);
        message.replace(0, 8, QByteArray::number(i).rightJustified(8, '0'));
        bytes += message;
    }
    return bytes;
}

bool sendAll(const SrtSocket &socket, const QByteArray &bytes)
{
    for (int at = 0; at < bytes.size(); at += kMessage) {
        if (srt_send(socket.get(), bytes.constData() + at, kMessage) != kMessage)
            return false;
    }
    return true;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A two-second MPEG-2 clip made by ffmpeg in which only the first packet with
// a PCR keeps it; the later ones become stuffing.
QByteArray singlePcrClip(const QString &path)
{
    const QByteArray clip = makeClip(path, {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-t", "2", "-c:v",
                                            "mpeg2video", "-b:v", "800k", "-f", "mpegts"});
    const QByteArray edited = keepFirstPcrs(clip, 1);
    QFile file(path);
    if (TsChecker(clip).pcrCount() < 2 || !file.open(QIODevice::WriteOnly) || file.write(edited) != edited.size())
        return QByteArray();
    return edited;
}

// Receives messages until `bytes` arrived or a receive times out.
QByteArray receive(const SrtSocket &socket, int bytes)
{
    QByteArray received;
    char buffer[1500];
    while (received.size() < bytes) {
        const int size = srt_recvmsg(socket.get(), buffer, sizeof buffer);
        if (size <= 0)
            break;
        received.append(buffer, size);
    }
    return received;
}

}

class TestStudio : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { startSrtLibrary(); }

    // A caller that comes back with its ID continues its recording.
    void reconnectingCallerContinuesItsRecording()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        const QByteArray first = messages('1', 100);
        const QByteArray second = messages('2', 100);
        {
            SrtSocket caller = dial(studio.srtPort(), "again");
            QVERIFY(caller.isValid() && sendAll(caller, first));
            QVERIFY(!studio.waitForStream("again", "media", first.size()).isEmpty());
        }
        QVERIFY(!studio.waitForStream("again", "media", 0, kWaitMs, 0).isEmpty());
        SrtSocket caller = dial(studio.srtPort(), "again");
        QVERIFY(caller.isValid() && sendAll(caller, second));
        QVERIFY(!studio.waitForStream("again", "media", second.size(), kWaitMs, 1).isEmpty());
        QVERIFY2(QTest::qWaitFor([&] { return readFile(studio.recordFile("again")) == first + second; }, kWaitMs),
                 qPrintable(QString::number(readFile(studio.recordFile("again")).size())));
        QCOMPARE(QDir(studio.recordDir()).entryList(QDir::Files), QStringList{"again.ts"});
        const QJsonObject again = StudioProcess::findStream(studio.status(), "again", "media");
        QCOMPARE(StudioProcess::count(again, "lost_messages"), 0);
    }

    // A live receiver skips a message that misses its play-out time; the
    // studio counts every skip. Through a path whose round trip (80 ms) is
    // longer than the latency (20 ms), each lost packet is skipped.
    void skippedMessagesAreCounted()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        LossyPath path(studio.srtPort(), "0.05", {"--delay", "40"});
        QVERIFY(path.ready());
        CallerOptions shortLatency;
        shortLatency.latency = 20;
        SrtSocket caller = dial(path.port(), "skips", nullptr, shortLatency);
        QVERIFY(caller.isValid());
        const QByteArray sent = messages('s', 300);
        for (int at = 0; at < sent.size(); at += kMessage) {
            QCOMPARE(srt_send(caller.get(), sent.constData() + at, kMessage), kMessage);
            QThread::msleep(2);
        }
        QTest::qWait(500);
        caller.reset();
        const QJsonObject closed = studio.waitForStream("skips", "media", 0, kWaitMs, 0);
        QVERIFY(!closed.isEmpty());
        const QByteArray recorded = readFile(studio.recordFile("skips"));
        QVERIFY(recorded.size() % kMessage == 0 && !recorded.isEmpty());
        const int first = recorded.left(8).toInt();
        const int last = recorded.right(kMessage).left(8).toInt();
        const int missing = last - first + 1 - recorded.size() / kMessage;
        QVERIFY2(missing > 0, qPrintable(QString("messages %1 to %2, none missing").arg(first).arg(last)));
        QCOMPARE(StudioProcess::count(closed, "lost_messages"), qint64(missing));
        QVERIFY(studio.output().contains(QString(", %1 messages lost").arg(missing).toUtf8()));
    }

    // Callers are screened during their handshake: a second media caller of
    // an ID is refused as a conflict, callers beyond --max-callers with the
    // overload reason; a place is free again once a caller leaves.
    void callersAreRefusedWithTheirReason()
    {
        StudioProcess studio({"--max-callers", "3"});
        QVERIFY2(studio.start(), studio.output().constData());
        SrtSocket media = dial(studio.srtPort(), "cap");
        QVERIFY(media.isValid());
        int reason = 0;
        SrtSocket twice = dial(studio.srtPort(), "cap", &reason);
        QVERIFY(!twice.isValid());
        QCOMPARE(reason, SRT_REJX_CONFLICT);
        QCOMPARE(studio.status().value("rejected").toInt(), 1);
        // Other kinds of the ID are welcome.
        SrtSocket control = dial(studio.srtPort(), "cap#control");
        SrtSocket feedback = dial(studio.srtPort(), "cap#feedbackplay");
        QVERIFY(control.isValid() && feedback.isValid());

        SrtSocket over = dial(studio.srtPort(), "other", &reason);
        QVERIFY(!over.isValid());
        QCOMPARE(reason, SRT_REJX_OVERLOAD);
        QCOMPARE(studio.status().value("rejected").toInt(), 2);
        QVERIFY(studio.output().contains("too many callers"));

        media.reset();
        QVERIFY(!studio.waitForStream("cap", "media", 0, kWaitMs, 0).isEmpty());
        SrtSocket after = dial(studio.srtPort(), "other", &reason);
        QVERIFY2(after.isValid(), qPrintable(QString::number(reason)));
        QVERIFY(!studio.waitForStream("other", "media", 0, kWaitMs, 1).isEmpty());
    }

    // The media stream goes to the feedback callers of its ID only, one
    // message per packet, also to a caller that asks for libsrt's default
    // MSS of 1500.
    void feedbackEchoesTheMediaStream()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        CallerOptions defaults;
        defaults.mss = 0;
        SrtSocket viewer = dial(studio.srtPort(), "loop#feedbackplay", nullptr, defaults);
        SrtSocket other = dial(studio.srtPort(), "elsewhere#feedbackplay");
        QVERIFY(viewer.isValid() && other.isValid());
        QCOMPARE(studio.waitForStream("loop", "feedback").value("mss").toInt(), 1360);
        QVERIFY(!studio.waitForStream("elsewhere", "feedback").isEmpty());
        SrtSocket media = dial(studio.srtPort(), "loop");
        const QByteArray sent = messages('m', 100);
        QVERIFY(sendAll(media, sent));
        QCOMPARE(receive(viewer, sent.size()), sent);
        SRT_TRACEBSTATS stats{};
        QCOMPARE(srt_bstats(viewer.get(), &stats, 0), 0);
        QCOMPARE(stats.pktRecvTotal, 100);
        const int quickMs = 300;
        srt_setsockflag(other.get(), SRTO_RCVTIMEO, &quickMs, sizeof quickMs);
        QVERIFY(receive(other, 1).isEmpty());  // another user's feedback gets nothing
    }

    // A feedback receiver that reads nothing: what the studio could not
    // deliver to it is counted, and the count grows with what was sent.
    void feedbackReaderThatReadsNothingCountsDrops()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        CallerOptions tiny;
        tiny.receiveBufferPackets = 32;
        SrtSocket sleeper = dial(studio.srtPort(), "busy#feedbackplay", nullptr, tiny);  // never reads
        QVERIFY(sleeper.isValid());
        QVERIFY(!studio.waitForStream("busy", "feedback").isEmpty());
        SrtSocket media = dial(studio.srtPort(), "busy");
        const QByteArray batch = messages('d', 400);
        qint64 sentToMedia = 0;
        QJsonObject feedback;
        // libsrt drops what waited too long as more comes, so the stream goes
        // on (a message every 50 ms) while the count is awaited.
        const auto droppedReaches = [&](qint64 bytes) {
            QDeadlineTimer deadline(kWaitMs);
            while (!deadline.hasExpired()) {
                feedback = StudioProcess::findStream(studio.status(), "busy", "feedback");
                if (StudioProcess::count(feedback, "dropped_bytes") >= bytes)
                    return true;
                if (srt_send(media.get(), batch.constData(), kMessage) == kMessage)
                    sentToMedia += kMessage;
                QTest::qWait(50);
            }
            return false;
        };
        QVERIFY(sendAll(media, batch));
        sentToMedia += batch.size();
        // All but what fits the receiver's 32-packet buffer is lost.
        QVERIFY2(droppedReaches(batch.size() - 64 * kMessage), qPrintable(QJsonDocument(feedback).toJson()));
        const qint64 firstDropped = StudioProcess::count(feedback, "dropped_bytes");
        QVERIFY(sendAll(media, batch));
        sentToMedia += batch.size();
        QVERIFY2(droppedReaches(firstDropped + batch.size()), qPrintable(QJsonDocument(feedback).toJson()));
        QVERIFY(StudioProcess::count(feedback, "dropped_bytes") <= sentToMedia);
        QCOMPARE(StudioProcess::count(feedback, "dropped_bytes") % kMessage, 0);
    }

    // A feedback file with a single PCR goes at its byte rate, from its start
    // and then from the start again; meanwhile the studio takes new callers,
    // and SIGTERM ends it within a second.
    void feedbackFileIsPacedAndLooped()
    {
        QTemporaryDir dir;
        const QString clipPath = dir.filePath("one-pcr.ts");
        const QByteArray clip = singlePcrClip(clipPath);
        QVERIFY(!clip.isEmpty());
        const double fileBytesPerSecond = clip.size() / 2.0;  // two seconds of pictures
        StudioProcess studio({"--feedback", clipPath});
        QVERIFY2(studio.start(), studio.output().constData());
        SrtSocket viewer = dial(studio.srtPort(), "pace#feedbackplay");
        QVERIFY(viewer.isValid());
        QByteArray received = receive(viewer, 1);
        QElapsedTimer clock;
        clock.start();
        received += receive(viewer, clip.size() + kMessage - received.size());
        const double bytesPerSecond = (received.size() - kMessage) / (clock.elapsed() / 1000.0);
        qInfo("received %.0f bytes/s, the file holds %.0f bytes/s", bytesPerSecond, fileBytesPerSecond);
        QVERIFY2(bytesPerSecond <= fileBytesPerSecond * 1.2, qPrintable(QString::number(bytesPerSecond)));
        QVERIFY2(bytesPerSecond >= fileBytesPerSecond * 0.3, qPrintable(QString::number(bytesPerSecond)));
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
};

ORVANTA_TEST_MAIN(TestStudio, TestMain::Core)
#include "tst_Studio.moc"
