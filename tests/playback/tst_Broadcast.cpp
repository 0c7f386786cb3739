#include "TestSupport.h"
#include "media/EncoderConfig.h"
#include "media/engine/MFReader.h"
#include "media/engine/MFWriter.h"
#include "transport/RESender.h"
#include "tests/support/TsChecker.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace testsupport;

// The whole way of a broadcast on loopback: writer -> relay -> studio, and the
// studio's echo of it read back as the feedback.
class TestBroadcast : public QObject
{
    Q_OBJECT

private slots:
    void writerThroughRelayToStudioAndBack();
    void stopRecordsEveryByteToTheLastFrame();
};

namespace {
const QByteArray kNullPacket = QByteArray::fromHex("471fff10") + QByteArray(184, char(0xFF));

// The relay may put null packets ahead of and behind the encoder's stream.
QByteArray withoutStuffing(QByteArray stream)
{
    while (stream.startsWith(kNullPacket))
        stream.remove(0, kNullPacket.size());
    while (stream.endsWith(kNullPacket))
        stream.chop(kNullPacket.size());
    return stream;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
}

// Stop as the window does it: the writer closes, the relay is told to stop
// at once. The recording holds every byte the writer wrote and every frame.
void TestBroadcast::stopRecordsEveryByteToTheLastFrame()
{
    QTemporaryDir records;
    QVERIFY(records.isValid());
    StudioServer studio("echo", 0, records.path());
    QVERIFY(studio.isRunning());
    RESender relay(nullptr);
    relay.startRelay("127.0.0.1", studio.srtPort(), "tail", 120);
    QTRY_VERIFY_WITH_TIMEOUT(relay.listenPort != 0, 10000);
    std::shared_ptr<mf::MFWriter> writer = EncoderConfig::createWriter(1024, 128, relay.listenPort, "libx264");
    QVERIFY(writer && writer->isOpen());

    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 60; ++i) {
        while (clock.elapsed() < i * 40)
            QThread::msleep(2);
        QVERIFY(writer->put(patternFrame(640, 360, i), 40) >= 0);
    }
    writer->close();
    relay.stopRelay();
    QVERIFY(relay.wait(10000));

    const QString recording = records.filePath("tail.ts");
    QByteArray recorded;
    QElapsedTimer flushed;  // the studio writes a closed stream out at once, a live one periodically
    flushed.start();
    do {
        QTest::qWait(100);
        recorded = withoutStuffing(readFile(recording));
    } while (quint64(recorded.size()) < writer->bytesWritten() && flushed.elapsed() < 5000);
    QCOMPARE(quint64(recorded.size()), writer->bytesWritten());

    const TsChecker checker(recorded);
    QVERIFY2(checker.continuityErrors() == 0 && checker.syncErrors() == 0, qPrintable(checker.summary()));
    QCOMPARE(quint64(checker.videoPts().size()), writer->framesEncoded());
    const QJsonObject video = streamOfType(probe(recording, true), "video");
    QCOMPARE(quint64(video.value("nb_read_frames").toString().toInt()), writer->framesEncoded());
    QVERIFY(writer->framesEncoded() >= 60);
}

void TestBroadcast::writerThroughRelayToStudioAndBack()
{
    QTemporaryDir records;
    QVERIFY(records.isValid());
    StudioServer studio("echo", 0, records.path());
    QVERIFY(studio.isRunning());

    mf::MFReader feedback;
    QVERIFY(feedback.open(QString("srt://127.0.0.1:%1?mode=caller&streamid=field#7#feedbackplay").arg(studio.srtPort()),
                          "network.low_delay=true network.buffer_max=2"));

    RESender relay(nullptr);
    relay.startRelay("127.0.0.1", studio.srtPort(), "field#7", 120);
    QTRY_VERIFY_WITH_TIMEOUT(relay.listenPort != 0, 5000);

    std::shared_ptr<mf::MFWriter> writer = EncoderConfig::createWriter(1024, 128, relay.listenPort, "libx264");
    QVERIFY(writer);
    QVERIFY(writer->isOpen());

    int echoed = 0;
    const int frames = 75;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < frames; ++i) {
        while (clock.elapsed() < i * 40)
            QThread::msleep(2);
        QVERIFY(writer->put(patternFrame(640, 360, i), 40) >= 0);
        if (const mf::MFFramePtr frame = feedback.read(0); frame && frame->image().size() == QSize(640, 360))
            ++echoed;
    }
    writer->close();
    QElapsedTimer tail;
    tail.start();
    while (echoed == 0 && tail.elapsed() < 5000) {
        if (const mf::MFFramePtr frame = feedback.read(200); frame && frame->image().size() == QSize(640, 360))
            ++echoed;
    }
    feedback.close();
    relay.stopRelay();
    QVERIFY(relay.wait(5000));
    QVERIFY2(echoed > 0, "no picture came back from the studio");
    QCOMPARE(writer->droppedFrames(), quint64(0));

    // The studio recorded what the relay forwarded: a complete transport stream.
    const QString recording = records.filePath("field%237.ts");
    QJsonObject probed, video;
    QElapsedTimer flushed;  // the studio flushes its recordings periodically
    flushed.start();
    do {
        QTest::qWait(200);
        probed = probe(recording, true);
        video = streamOfType(probed, "video");
    } while (video.value("nb_read_frames").toString().toInt() < frames && flushed.elapsed() < 5000);
    QCOMPARE(video.value("codec_name").toString(), QStringLiteral("h264"));
    QCOMPARE(video.value("width").toInt(), 640);
    QCOMPARE(video.value("height").toInt(), 360);
    QCOMPARE(video.value("nb_read_frames").toString().toInt(), frames);
    QCOMPARE(streamOfType(probed, "audio").value("codec_name").toString(), QStringLiteral("aac"));
}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    TestBroadcast test;
    const int status = QTest::qExec(&test, argc, argv);
    return status;
}

#include "tst_Broadcast.moc"
