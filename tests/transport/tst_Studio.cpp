#include "transport/SrtConnect.h"
#include "transport/srt/SrtLibrary.h"
#include "transport/srt/SrtSocket.h"

#include "tests/support/FfmpegPrograms.h"
#include "tests/support/LossyPath.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TsChecker.h"
#include "tests/support/TsEdits.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QUdpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <srt/access_control.h>
#include <srt/srt.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <thread>

namespace {
constexpr int kWaitMs = 10000;
constexpr int kMessage = 1316;

struct CallerOptions {
    int latency = 120;
    int mss = 1360;               // 0: libsrt's default
    int receiveBufferPackets = 0;  // 0: libsrt's default
    int connectTimeoutMs = 3000;
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
    set(SRTO_CONNTIMEO, options.connectTimeoutMs);
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

int connectedCount(const QJsonObject &status)
{
    int count = 0;
    for (const QJsonValue &stream : status.value("streams").toArray())
        count += stream.toObject().value("connected").toBool() ? 1 : 0;
    return count;
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

QJsonObject jsonOf(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

SrtSocket connectTo(const StudioProcess &studio, const QString &streamId, int latency = 120)
{
    int socket = -1;
    const QString failure = srtConnect(&socket, "127.0.0.1", studio.srtPort(), streamId, latency);
    if (!failure.isEmpty())
        qWarning() << "connect failed:" << failure;
    const int timeoutMs = 5000;
    srt_setsockflag(socket, SRTO_RCVTIMEO, &timeoutMs, sizeof timeoutMs);
    return SrtSocket(socket);
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

    void defaultLookupManifestAndErrors()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        int code = 0;
        QJsonObject reply = jsonOf(studio.httpGet("/api/srt/get_url/123-456-789", &code));
        QCOMPARE(code, 200);
        QCOMPARE(reply.value("url").toString(), QString("orvanta://127.0.0.1:9000/demo/2048/128/HD"));
        QVERIFY(!reply.contains("error"));
        reply = jsonOf(studio.httpGet("/api/srt/get_url/111111111", &code));
        QCOMPARE(code, 200);
        QCOMPARE(reply.value("state").toString(), QString("false"));
        QVERIFY(reply.contains("error"));
        QVERIFY(!reply.contains("url"));

        reply = jsonOf(studio.httpGet("/downloads/orvanta_win.json", &code));
        QCOMPARE(code, 200);
        QCOMPARE(reply.value("build").toInt(), 22);
        studio.httpGet("/nothing/here", &code);
        QCOMPARE(code, 404);

        // Garbage gets an error answer, and the server keeps serving.
        QVERIFY(studio.rawHttp("\x01\x02 garbage\r\n\r\n", kWaitMs).startsWith("HTTP/1.0 400"));
        QVERIFY(studio.rawHttp("GET /" + QByteArray(20000, 'a'), kWaitMs).startsWith("HTTP/1.0 400"));
        QVERIFY(studio.rawHttp("POST /status HTTP/1.1\r\n\r\n", kWaitMs).startsWith("HTTP/1.0 405"));
        studio.httpGet("/status", &code);
        QCOMPARE(code, 200);
        QVERIFY2(studio.stop(), studio.output().constData());  // SIGTERM ends it cleanly
    }

    void numbersAndManifestFromTheCommandLine()
    {
        QTemporaryDir dir;
        const QString manifest = dir.filePath("manifest.json");
        QFile file(manifest);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{\"build\":23,\"msg\":\"New\",\"url\":\"http://127.0.0.1/x\"}");
        file.close();
        StudioProcess studio({"--number", "987-654-321=orvanta://127.0.0.1:9100/a/1/2/SD", "--number",
                              "555555555=orvanta://127.0.0.1:9100/b/1/2/HD/DBL", "--manifest", manifest});
        QVERIFY2(studio.start(), studio.output().constData());
        QCOMPARE(jsonOf(studio.httpGet("/api/srt/get_url/987654321")).value("url").toString(),
                 QString("orvanta://127.0.0.1:9100/a/1/2/SD"));
        QCOMPARE(jsonOf(studio.httpGet("/api/srt/get_url/555-555-555")).value("url").toString(),
                 QString("orvanta://127.0.0.1:9100/b/1/2/HD/DBL"));
        QVERIFY(jsonOf(studio.httpGet("/api/srt/get_url/123456789")).contains("error"));
        QCOMPARE(jsonOf(studio.httpGet("/downloads/orvanta_win.json")).value("build").toInt(), 23);
    }

    void helpAndBadArguments()
    {
        QProcess process;
        process.start(StudioProcess::binaryPath(), {"--help"});
        QVERIFY(process.waitForFinished(kWaitMs));
        const QString help = process.readAllStandardOutput();
        for (const char *option : {"--srt", "--http", "--record", "--feedback", "--number", "--manifest", "--max-callers"})
            QVERIFY2(help.contains(option), option);
        QCOMPARE(process.exitCode(), 0);
        process.start(StudioProcess::binaryPath(), {"--srt", "example.com:9000"});
        QVERIFY(process.waitForFinished(kWaitMs));
        QVERIFY(process.exitCode() != 0);
        process.start(StudioProcess::binaryPath(), {"--max-callers", "0"});
        QVERIFY(process.waitForFinished(kWaitMs));
        QVERIFY(process.exitCode() != 0);
    }

    void survivesGarbageOnTheSrtPort()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        QUdpSocket udp;
        QRandomGenerator random(5);
        for (int i = 0; i < 2000; ++i) {
            QByteArray datagram(int(random.bounded(1, 1500)), Qt::Uninitialized);
            for (char &c : datagram)
                c = char(random.bounded(256));
            if (i % 3 == 0)
                datagram[0] = char(0x80);  // looks like an SRT control packet
            udp.writeDatagram(datagram, QHostAddress::LocalHost, studio.srtPort());
        }
        SrtSocket caller = connectTo(studio, "after-garbage");
        QVERIFY(caller.isValid());
        QVERIFY(!studio.waitForStream("after-garbage", "media").isEmpty());
    }

    // Each media stream records into a file of its own whose name stays in
    // the record folder: an ID that climbs out, "a/b" and "a_b" streaming at
    // once, and libsrt's longest stream ID (512 bytes), which arrives whole
    // and names its file cut with a hash, as the README says.
    void recordingsGetSafeDistinctNames()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        const QByteArray payload(kMessage, 'x');
        {
            SrtSocket evil = dial(studio.srtPort(), "../../escape\x01me");
            QVERIFY(evil.isValid());
            QCOMPARE(srt_send(evil.get(), payload.constData(), payload.size()), payload.size());
            const QJsonObject seen = studio.waitForStream("../../escape?me", "media", payload.size(), kWaitMs);
            QCOMPARE(seen.value("record").toString(), QString("%2E.%2F..%2Fescape%01me.ts"));
        }
        QCOMPARE(studio.recording("../../escape?me"), payload);
        QVERIFY(!QFile::exists(QDir(studio.recordDir()).filePath("../../escape\x01me.ts")));

        SrtSocket slash = dial(studio.srtPort(), "a/b");
        SrtSocket underscore = dial(studio.srtPort(), "a_b");
        QVERIFY(slash.isValid() && underscore.isValid());
        const QByteArray slashBytes = messages('S', 200);
        const QByteArray underscoreBytes = messages('U', 200);
        for (int at = 0; at < slashBytes.size(); at += kMessage) {
            QCOMPARE(srt_send(slash.get(), slashBytes.constData() + at, kMessage), kMessage);
            QCOMPARE(srt_send(underscore.get(), underscoreBytes.constData() + at, kMessage), kMessage);
        }

        QByteArray id = "long/";
        while (id.size() < 512)
            id += QByteArray::number(id.size() % 10);
        SrtSocket caller = dial(studio.srtPort(), id);
        QVERIFY(caller.isValid());
        const QByteArray sent = messages('L', 20);
        QVERIFY(sendAll(caller, sent));
        const QJsonObject seen = studio.waitForStream(QString::fromLatin1(id), "media", sent.size());
        QVERIFY2(!seen.isEmpty(), studio.output().constData());
        QCOMPARE(seen.value("streamid").toString(), QString::fromLatin1(id));
        const QString name = seen.value("record").toString();
        QVERIFY2(name.startsWith("long%2F5678901234") && name.contains('~') && name.endsWith(".ts")
                     && name.size() < 255,
                 qPrintable(name));

        slash.reset();
        underscore.reset();
        caller.reset();
        QCOMPARE(studio.recording("a/b"), slashBytes);
        QCOMPARE(studio.recording("a_b"), underscoreBytes);
        QCOMPARE(studio.recording(QString::fromLatin1(id)), sent);
        QCOMPARE(QDir(studio.recordDir()).entryList(QDir::Files),
                 (QStringList{"%2E.%2F..%2Fescape%01me.ts", "a%2Fb.ts", "a_b.ts", name}));
    }

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

    // The reported rate spans the first to the last byte, not idle time after.
    void rateCoversTheDataOnly()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        SrtSocket media = connectTo(studio, "steady");
        QVERIFY(media.isValid());
        const QByteArray message(1316, 'r');
        QElapsedTimer sending;
        sending.start();
        for (int i = 0; i < 50; ++i) {
            QCOMPARE(srt_send(media.get(), message.constData(), message.size()), message.size());
            QThread::msleep(10);
        }
        const double expectedMbps = 50 * 1316 * 8 / (sending.elapsed() * 1000.0);
        QVERIFY(!studio.waitForStream("steady", "media", 50 * 1316).isEmpty());
        QTest::qWait(1500);
        const double mbps = StudioProcess::findStream(studio.status(), "steady", "media").value("mbps").toDouble();
        QVERIFY2(mbps > expectedMbps * 0.6, qPrintable(QString("%1 Mbit/s, sent at %2").arg(mbps).arg(expectedMbps)));
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
        SrtSocket other = connectTo(studio, "elsewhere#feedbackplay");
        QVERIFY(viewer.isValid() && other.isValid());
        QCOMPARE(studio.waitForStream("loop", "feedback").value("mss").toInt(), 1360);
        QVERIFY(!studio.waitForStream("elsewhere", "feedback").isEmpty());
        SrtSocket media = connectTo(studio, "loop");
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

    void feedbackFileIsLooped()
    {
        QTemporaryDir dir;
        const QString clip = dir.filePath("clip.ts");
        const QByteArray clipBytes = makeClip(clip, {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25", "-t", "1",
                                                     "-c:v", "mpeg2video", "-b:v", "300k", "-f", "mpegts"});
        QVERIFY(!clipBytes.isEmpty());

        StudioProcess studio({"--feedback", clip});
        QVERIFY2(studio.start(), studio.output().constData());
        SrtSocket viewer = connectTo(studio, "any#feedbackplay");
        QVERIFY(viewer.isValid());
        const QByteArray received = receive(viewer, clipBytes.size() + 1316);
        QCOMPARE(received.left(clipBytes.size()), clipBytes);
        QCOMPARE(received.mid(clipBytes.size(), 188), clipBytes.left(188));  // then from the start again
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
        qInfo("dropped %lld of %lld bytes sent to a receiver that reads nothing",
              StudioProcess::count(feedback, "dropped_bytes"), sentToMedia);
        QVERIFY(StudioProcess::count(feedback, "dropped_bytes") <= sentToMedia);
        QCOMPARE(StudioProcess::count(feedback, "dropped_bytes") % kMessage, 0);
    }

    // A feedback file with a single PCR goes at its byte rate, as received by
    // an independent receiver (srt-live-transmit); meanwhile the studio takes
    // new callers, and SIGTERM ends it within a second.
    void singlePcrFeedbackFileIsPaced()
    {
        QTemporaryDir dir;
        const QString clipPath = dir.filePath("one-pcr.ts");
        const QByteArray clip = singlePcrClip(clipPath);
        QVERIFY(!clip.isEmpty());
        const double fileBytesPerSecond = clip.size() / 2.0;  // two seconds of pictures

        StudioProcess studio({"--feedback", clipPath});
        QVERIFY2(studio.start(), studio.output().constData());
        QProcess receiver;
        receiver.start("srt-live-transmit",
                       {"-q", "-a:no", QStringLiteral("srt://127.0.0.1:%1?streamid=pace#feedbackplay").arg(studio.srtPort()),
                        "file://con"});
        QVERIFY(receiver.waitForStarted(kWaitMs));
        QByteArray received;
        QDeadlineTimer firstBytes(kWaitMs);
        while (received.isEmpty() && !firstBytes.hasExpired()) {
            receiver.waitForReadyRead(100);
            received += receiver.readAllStandardOutput();
        }
        QVERIFY2(!received.isEmpty(), studio.output().constData());
        QElapsedTimer clock;
        clock.start();
        const qint64 atStart = received.size();
        while (clock.elapsed() < 3000) {
            receiver.waitForReadyRead(50);
            received += receiver.readAllStandardOutput();
        }
        const double seconds = clock.elapsed() / 1000.0;
        const double bytesPerSecond = (received.size() - atStart) / seconds;
        qInfo("received %.0f bytes/s, the file holds %.0f bytes/s", bytesPerSecond, fileBytesPerSecond);
        QVERIFY2(bytesPerSecond <= fileBytesPerSecond * 1.2, qPrintable(QString::number(bytesPerSecond)));
        QVERIFY2(bytesPerSecond >= fileBytesPerSecond * 0.3, qPrintable(QString::number(bytesPerSecond)));
        QCOMPARE(received.left(188), clip.left(188));

        SrtSocket newcomer = dial(studio.srtPort(), "newcomer");
        QVERIFY(newcomer.isValid());
        QVERIFY(!studio.waitForStream("newcomer", "media").isEmpty());
        QElapsedTimer stopping;
        stopping.start();
        QVERIFY2(studio.stop(), studio.output().constData());
        qInfo("stopped %lld ms after SIGTERM while pumping", stopping.elapsed());
        QVERIFY(stopping.elapsed() < 1000);
        receiver.kill();
        receiver.waitForFinished(kWaitMs);
    }

    // SIGTERM with the caller cap full and more callers knocking.
    void stopsWithinASecondWithManyCallers()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        std::vector<SrtSocket> callers;
        const QByteArray message(kMessage, 'c');
        for (int i = 0; i < 64; ++i) {
            callers.push_back(dial(studio.srtPort(), "many" + QByteArray::number(i)));
            QVERIFY(callers.back().isValid());
            srt_send(callers.back().get(), message.constData(), message.size());
        }
        QVERIFY(QTest::qWaitFor([&] { return connectedCount(studio.status()) == 64; }, kWaitMs));
        std::atomic<bool> done{false};
        std::atomic<int> refused{0};
        std::thread knocking([&] {
            CallerOptions quick;
            quick.connectTimeoutMs = 500;
            while (!done) {
                int reason = 0;
                if (!dial(studio.srtPort(), "late#control", &reason, quick).isValid() && reason == SRT_REJX_OVERLOAD)
                    ++refused;
            }
        });
        QVERIFY(QTest::qWaitFor([&] { return refused > 0; }, kWaitMs));
        QElapsedTimer stopping;
        stopping.start();
        const bool clean = studio.stop();
        const qint64 stopMs = stopping.elapsed();
        done = true;
        knocking.join();
        qInfo("stopped %lld ms after SIGTERM with 64 callers and more knocking", stopMs);
        QVERIFY2(clean, studio.output().constData());
        QVERIFY(stopMs < 1000);
        QVERIFY(studio.output().contains("orvanta-studio: stopped"));
    }
};

QTEST_GUILESS_MAIN(TestStudio)
#include "tst_Studio.moc"
