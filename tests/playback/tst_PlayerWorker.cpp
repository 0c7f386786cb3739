#include "media/PlayerWorker.h"
#include "media/engine/MFPreview.h"
#include "tests/support/FfmpegPrograms.h"
#include "tests/support/SrtTestServer.h"
#include "tests/support/StudioProcess.h"
#include "transport/ArrowSender.h"
#include "tests/support/TestMain.h"

namespace {

QString url(int port, const QString &streamId)
{
    return QString("srt://127.0.0.1:%1?mode=caller&streamid=%2#feedbackplay").arg(port).arg(streamId);
}

bool showsPictureOf(const PlayerWorker &player, const QSize &size)
{
    const auto preview = player.currentPreview();
    const auto frame = preview ? preview->lastFrame() : nullptr;
    return frame && frame->image().size() == size;
}

} // namespace

class TestPlayerWorker : public QObject
{
    Q_OBJECT

private slots:
    // Against a server that sends nothing: mute follows only while playing, and
    // a stop ends the run although a read is pending.
    void silentRun()
    {
        SrtTestServer server;
        QVERIFY(server.listen());
        PlayerWorker player;
        player.setWindow(1234);  // before the first start: ignored
        QCOMPARE(player.window(), quint64(0));
        player.setMute(true);  // not playing: nothing happens
        QVERIFY(!player.isMuted());

        player.startPlay(url(server.port(), "quiet"), 0);
        QTRY_VERIFY_WITH_TIMEOUT(player.isPlaying(), 5000);
        QVERIFY(server.waitForCallers(1, 5000));
        for (bool on : {true, true, false, false, true}) {
            player.setMute(on);
            QCOMPARE(player.isMuted(), on);
        }
        player.stopPlay();
        // The pending read gives up after at most a second.
        QVERIFY(player.wait(2500));
        QVERIFY(!player.isPlaying());
        QVERIFY(!player.currentPreview());
        player.setMute(false);  // stopped: nothing happens
        QVERIFY(player.isMuted());

        // A stop right after the start is not lost while the stream opens.
        player.startPlay(url(server.port(), "quiet"), 0);
        player.stopPlay();
        QVERIFY(player.wait(2500));
        QVERIFY(!player.isPlaying());
    }

    void playsIntoTheWindowAndRestartsQuickly()
    {
        QTemporaryDir dir;
        const QString stream = dir.filePath("feedback.ts");
        QVERIFY(!makeClip(stream, testPictureAndTone("testsrc=size=640x360", 3)
                                      + QStringList{"-c:v", "libx264", "-g", "25", "-bf", "0", "-pix_fmt", "yuv420p",
                                                    "-c:a", "aac", "-f", "mpegts"}).isEmpty());
        StudioProcess studio({"--feedback", stream});
        QVERIFY2(studio.start(), studio.output().constData());
        QWidget first, second;
        first.show();
        second.show();

        PlayerWorker player;
        player.startPlay(url(studio.srtPort(), "viewer"), first.winId());
        QCOMPARE(player.window(), quint64(first.winId()));
        QTRY_VERIFY_WITH_TIMEOUT(showsPictureOf(player, QSize(640, 360)), 15000);
        QCOMPARE(player.currentPreview()->attachedHandle(), quint64(first.winId()));

        player.setWindow(second.winId());
        QCOMPARE(player.window(), quint64(second.winId()));
        QCOMPARE(player.currentPreview()->attachedHandle(), quint64(second.winId()));

        // Stop and start at once: the new run waits for the old one and plays.
        player.stopPlay();
        player.startPlay(url(studio.srtPort(), "viewer"), first.winId());
        QTRY_VERIFY_WITH_TIMEOUT(player.isPlaying(), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(showsPictureOf(player, QSize(640, 360)), 15000);
        QCOMPARE(player.currentPreview()->attachedHandle(), quint64(first.winId()));
        player.stopPlay();
        QVERIFY(player.wait(2500));
    }

    void controlChannelPassThrough()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        PlayerWorker player;
        QVERIFY(!player.connectControl("127.0.0.1", studio.srtPort(), "pilot"));
        QVERIFY(!player.isControlConnected());
        player.closeControl();  // harmless without a sender

        ArrowSender *sender = player.arrowSender();
        QVERIFY(sender);
        QCOMPARE(player.arrowSender(), sender);
        QVERIFY(player.connectControl("127.0.0.1", studio.srtPort(), "pilot"));
        QVERIFY(player.isControlConnected());
        sender->arrowClicked(true);
        QVERIFY(!studio.waitForStream("pilot", "control", 10 * ArrowSender::kMessageSize).isEmpty());
        const QJsonArray arrows = studio.status().value("arrows").toArray();
        QCOMPARE(arrows.size(), 1);
        QCOMPARE(arrows.at(0).toObject().value("id").toString(), QString("pilot"));
        QCOMPARE(arrows.at(0).toObject().value("counter").toInt(), 2);
        player.closeControl();
        QVERIFY(!player.isControlConnected());
    }

    // What the reader is opened with: low delay, and the splash file's path.
    void readerOptions()
    {
        PlayerWorker player;
        const QString options = "network.low_delay=true network.buffer_max=2 network.open_async=true "
                                "network.show_attempts=false network.open_image='%1'";
        QCOMPARE(player.readerOptions(), options.arg(QString()));
        player.setSplashPath("/run/user/1000/orvanta-Ab12Cd/splash.png");
        QCOMPARE(player.splashPath(), QString("/run/user/1000/orvanta-Ab12Cd/splash.png"));
        QCOMPARE(player.readerOptions(), options.arg(player.splashPath()));
    }
};

ORVANTA_TEST_MAIN(TestPlayerWorker, TestMain::Offscreen)
#include "tst_PlayerWorker.moc"
