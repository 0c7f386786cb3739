// The whole way of a broadcast on loopback: writer -> relay -> studio, and
// the studio's echo of it read back as the feedback.
#include "media/EncoderConfig.h"
#include "media/engine/MFReader.h"
#include "media/engine/MFWriter.h"
#include "transport/RESender.h"

#include "tests/support/FfmpegPrograms.h"
#include "tests/support/LoopbackEndpoint.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/PatternFrame.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TestMain.h"
#include "tests/support/TsChecker.h"
#include "tests/support/TsEdits.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>

constexpr int kWaitMs = 10000;

class TestBroadcast : public QObject
{
    Q_OBJECT

private slots:
    void writerThroughRelayToStudioAndBack_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QByteArray>("passphrase");
        QTest::newRow("plain") << "field#7" << QByteArray();
        QTest::newRow("encrypted") << "sealed" << QByteArray("studio passphrase 1");
    }

    // Pictures at 25 a second, then a stop as the window does it (the writer
    // closes, the relay is told to stop at once). The recording holds every
    // byte the writer wrote and every frame, and the feedback showed the
    // pictures on their way back (decrypted, with a passphrase on the studio
    // that the relay and the reader hold; a reader with another is refused).
    void writerThroughRelayToStudioAndBack()
    {
        QFETCH(QString, id);
        QFETCH(QByteArray, passphrase);
        StudioProcess studio(passphrase.isEmpty() ? QStringList{}
                                                  : QStringList{"--passphrase", QString::fromUtf8(passphrase)});
        QVERIFY2(studio.start(), studio.output().constData());
        const QString url =
            QString("srt://127.0.0.1:%1?mode=caller&streamid=%2#feedbackplay").arg(studio.srtPort()).arg(id);
        if (!passphrase.isEmpty()) {
            mf::MFReader stranger;
            stranger.setPassphrase("another passphrase");
            QVERIFY(!stranger.open(url, "network.open_async=false"));
        }
        mf::MFReader feedback;
        feedback.setPassphrase(passphrase);
        QVERIFY(feedback.open(url, "network.low_delay=true network.buffer_max=2"));
        RESender relay;
        relay.startRelay(loopbackEndpoint(studio.srtPort(), id, 120, passphrase));
        QTRY_VERIFY_WITH_TIMEOUT(relay.listenPort != 0, kWaitMs);
        QCOMPARE(relay.connectResult().described(), QString());
        std::shared_ptr<mf::MFWriter> writer = EncoderConfig::createWriter(1024, 128, relay.listenPort, "libx264");
        QVERIFY(writer && writer->isOpen());

        const auto isEcho = [](const mf::MFFramePtr &f) { return f && f->image().size() == QSize(640, 360); };
        const int frames = 75;
        int echoed = 0;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < frames; ++i) {
            while (clock.elapsed() < i * 40)
                QThread::msleep(2);
            QVERIFY2(writer->put(patternFrame(640, 360, i), 40) >= 0, qPrintable(QString::number(i)));
            echoed += isEcho(feedback.read(0)) ? 1 : 0;
        }
        writer->close();
        relay.stopRelay();
        QVERIFY(relay.wait(kWaitMs));
        for (QDeadlineTimer tail(kWaitMs); echoed == 0 && !tail.hasExpired();)
            echoed += isEcho(feedback.read(200)) ? 1 : 0;
        feedback.close();
        QVERIFY2(echoed > 0, "no picture came back from the studio");

        const QByteArray recorded = withoutNullPacketEdges(studio.recording(id));
        QCOMPARE(quint64(recorded.size()), writer->bytesWritten());
        const TsChecker checker(recorded);
        QVERIFY2(checker.continuityErrors() == 0 && checker.syncErrors() == 0, qPrintable(checker.summary()));
        // A machine too busy to encode in time drops pictures: each queued one is encoded, and
        // repeats fill the gaps wider than two frames, so the pictures still span every frame.
        QCOMPARE(writer->queuedFrames() + writer->droppedFrames(), quint64(frames));
        QCOMPARE(writer->framesEncoded(), writer->queuedFrames() + writer->framesRepeated());
        const QVector<qint64> pts = checker.videoPts();
        QCOMPARE(quint64(pts.size()), writer->framesEncoded());
        const auto [first, last] = std::minmax_element(pts.cbegin(), pts.cend());
        QCOMPARE(*last - *first, qint64(frames - 1) * 90000 / 25);
        QVERIFY2(checker.largestVideoGapMs() <= 80, qPrintable(checker.summary()));

        const QString recording = studio.recordFile(id);
        QCOMPARE(decodeErrors(recording), QString());
        const QJsonObject probed = probe(recording, true);
        QCOMPARE(probeFields(streamOfType(probed, "video"), {"codec_name", "width", "height", "nb_read_frames"}),
                 QString("h264 640 360 %1").arg(writer->framesEncoded()));
        QCOMPARE(probeFields(streamOfType(probed, "audio"), {"codec_name"}), QStringLiteral("aac"));
    }

    void onlyOurWriterIsForwarded_data()
    {
        QTest::addColumn<bool>("intruderSends");
        QTest::newRow("intruder sends a red picture") << true;
        QTest::newRow("intruder connects and stays silent") << false;
    }

    // Any process of the machine may connect to the relay's loopback port,
    // and here one does before our writer: bash through /dev/tcp, the port
    // taken from the relay's log line (another user would read it from
    // /proc/net/tcp). The relay turns it away and forwards our writer's
    // stream alone, byte for byte, and the intruder holds nothing up.
    void onlyOurWriterIsForwarded()
    {
        QFETCH(bool, intruderSends);
        QTemporaryDir folder;
        const QString red = folder.filePath("red.ts");
        if (intruderSends)
            QVERIFY(!makeClip(red, {"-f", "lavfi", "-i", "color=red:size=640x360:rate=25", "-t", "4", "-c:v",
                                    "libx264", "-f", "mpegts"}).isEmpty());
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        MessageCapture log;
        QProcess intruder;
        intruder.start("bash", {"-c", "read -r port && exec 3<>/dev/tcp/127.0.0.1/$port && echo connected || exit 1;"
                                      " [ -n \"$1\" ] && cat \"$1\" >&3; sleep 60",
                                "intruder", intruderSends ? red : QString()});
        RESender relay;
        relay.startRelay(loopbackEndpoint(studio.srtPort(), "ours", 120));
        QVERIFY(log.waitFor("RESender LISTEN PORT:", kWaitMs));
        const QString port = QRegularExpression("LISTEN PORT:(\\d+)")
                                 .match(log.lines().filter("RESender LISTEN PORT:").first())
                                 .captured(1);
        intruder.write(port.toLatin1() + "\n");
        QVERIFY(QTest::qWaitFor([&] { return intruder.readAllStandardOutput().contains("connected"); }, kWaitMs));

        QTRY_VERIFY_WITH_TIMEOUT(relay.listenPort != 0, kWaitMs);
        std::shared_ptr<mf::MFWriter> writer = EncoderConfig::createWriter(1024, 128, relay.listenPort, "libx264");
        QVERIFY(writer && writer->isOpen());
        QVERIFY(log.waitFor("RESender SUCCESS", kWaitMs));
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 25; ++i) {
            while (clock.elapsed() < i * 40)
                QThread::msleep(2);
            QVERIFY(writer->put(patternFrame(640, 360, i), 40) >= 0);
        }
        writer->close();
        relay.stopRelay();
        QVERIFY(relay.wait(kWaitMs));
        intruder.kill();
        intruder.waitForFinished(kWaitMs);

        QCOMPARE(log.count("RESender: refused a connection that is not ours from 127.0.0.1:"), 1);
        QCOMPARE(log.count("connections that were not ours"), 0);  // that one only
        const QByteArray recorded = withoutNullPacketEdges(studio.recording("ours"));
        QCOMPARE(quint64(recorded.size()), writer->bytesWritten());
        const TsChecker checker(recorded);
        QCOMPARE(quint64(checker.videoPts().size()), writer->framesEncoded());
    }
};

ORVANTA_TEST_MAIN(TestBroadcast, TestMain::Offscreen)
#include "tst_Broadcast.moc"
