#include "transport/SrtConnect.h"
#include "transport/SrtSocket.h"

#include "tests/support/StudioProcess.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <srt/srt.h>

namespace {
constexpr int kWaitMs = 10000;

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

QByteArray rawHttp(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(kWaitMs))
        return QByteArray();
    socket.write(request);
    QByteArray response;
    QDeadlineTimer deadline(kWaitMs);
    while (!deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState) {
        socket.waitForReadyRead(50);
        response += socket.readAll();
    }
    return response + socket.readAll();
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
        QVERIFY(rawHttp(studio.httpPort(), "\x01\x02 garbage\r\n\r\n").startsWith("HTTP/1.0 400"));
        QVERIFY(rawHttp(studio.httpPort(), "GET /" + QByteArray(20000, 'a')).startsWith("HTTP/1.0 400"));
        QVERIFY(rawHttp(studio.httpPort(), "POST /status HTTP/1.1\r\n\r\n").startsWith("HTTP/1.0 405"));
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
        for (const char *option : {"--srt", "--http", "--record", "--feedback", "--number", "--manifest"})
            QVERIFY2(help.contains(option), option);
        QCOMPARE(process.exitCode(), 0);
        process.start(StudioProcess::binaryPath(), {"--srt", "example.com:9000"});
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

    void recordsUnderSanitisedNames()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        const QByteArray payload(1316, 'x');
        {
            SrtSocket evil = connectTo(studio, "../../escape\x01me");
            QVERIFY(evil.isValid());
            QCOMPARE(srt_send(evil.get(), payload.constData(), payload.size()), payload.size());
            QVERIFY(!studio.waitForStream("../../escape?me", "media", payload.size(), kWaitMs).isEmpty());
        }
        const QStringList files = QDir(studio.recordDir()).entryList(QDir::Files);
        QCOMPARE(files, QStringList{"_._.._escape_me.ts"});
        QVERIFY(!QFile::exists(QDir(studio.recordDir()).filePath("../../escape\x01me.ts")));

        // A second media caller with an ID already streaming is turned away.
        SrtSocket first = connectTo(studio, "twice");
        QVERIFY(first.isValid());
        QVERIFY(!studio.waitForStream("twice", "media").isEmpty());
        SrtSocket second = connectTo(studio, "twice");
        QVERIFY2(QTest::qWaitFor([&] { return studio.status().value("rejected").toInt() == 1; }, kWaitMs),
                 studio.output().constData());
    }

    void feedbackEchoesTheMediaStream()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        SrtSocket viewer = connectTo(studio, "loop#feedbackplay");
        SrtSocket other = connectTo(studio, "elsewhere#feedbackplay");
        QVERIFY(viewer.isValid() && other.isValid());
        QVERIFY(!studio.waitForStream("loop", "feedback").isEmpty());
        QVERIFY(!studio.waitForStream("elsewhere", "feedback").isEmpty());
        SrtSocket media = connectTo(studio, "loop");
        QByteArray sent;
        for (int i = 0; i < 50; ++i) {
            const QByteArray message(1316, char(i));
            sent += message;
            QCOMPARE(srt_send(media.get(), message.constData(), message.size()), message.size());
        }
        QCOMPARE(receive(viewer, sent.size()), sent);
        const int quickMs = 300;
        srt_setsockflag(other.get(), SRTO_RCVTIMEO, &quickMs, sizeof quickMs);
        QVERIFY(receive(other, 1).isEmpty());  // another user's feedback gets nothing
    }

    void feedbackFileIsLooped()
    {
        QTemporaryDir dir;
        const QString clip = dir.filePath("clip.ts");
        QProcess ffmpeg;
        ffmpeg.start("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25", "-t", "1",
                                "-c:v", "mpeg2video", "-b:v", "300k", "-f", "mpegts", clip});
        QVERIFY(ffmpeg.waitForFinished(30000));
        QFile file(clip);
        QVERIFY(file.open(QIODevice::ReadOnly) && file.size() > 0);
        const QByteArray clipBytes = file.readAll();

        StudioProcess studio({"--feedback", clip});
        QVERIFY2(studio.start(), studio.output().constData());
        SrtSocket viewer = connectTo(studio, "any#feedbackplay");
        QVERIFY(viewer.isValid());
        const QByteArray received = receive(viewer, clipBytes.size() + 1316);
        QCOMPARE(received.left(clipBytes.size()), clipBytes);
        QCOMPARE(received.mid(clipBytes.size(), 188), clipBytes.left(188));  // then from the start again
    }

    void slowFeedbackReceiverIsBounded()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        SrtSocket sleeper = connectTo(studio, "busy#feedbackplay");  // never reads
        QVERIFY(!studio.waitForStream("busy", "feedback").isEmpty());
        SrtSocket media = connectTo(studio, "busy");
        const QByteArray message(1316, 'm');
        QJsonObject feedback;
        for (int round = 0; round < 400 && feedback.value("dropped_bytes").toDouble() <= 0; ++round) {
            for (int i = 0; i < 500; ++i)
                srt_send(media.get(), message.constData(), message.size());
            QTest::qWait(5);
            if (round % 20 == 19)
                feedback = StudioProcess::findStream(studio.status(), "busy", "feedback");
        }
        QVERIFY2(feedback.value("dropped_bytes").toDouble() > 0, qPrintable(QJsonDocument(feedback).toJson()));
        int code = 0;
        studio.httpGet("/status", &code);
        QCOMPARE(code, 200);
    }
};

QTEST_GUILESS_MAIN(TestStudio)
#include "tst_Studio.moc"
