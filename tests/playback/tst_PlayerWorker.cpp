#include "media/PlayerWorker.h"
#include "media/engine/MFPreview.h"
#include "tests/support/FfmpegPrograms.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/SrtTestServer.h"
#include "tests/support/StudioProcess.h"
#include "transport/ArrowSender.h"

#include "tests/support/TestMain.h"

namespace {

QStringList muteLines(const MessageCapture &log)
{
    return log.lines().filter("MUTE");
}

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
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_stream = m_dir.filePath("feedback.ts");
        QVERIFY(!makeClip(m_stream, testPictureAndTone("testsrc=size=640x360", 3)
                                        + QStringList{"-c:v", "libx264", "-g", "25", "-bf", "0", "-pix_fmt", "yuv420p",
                                                      "-c:a", "aac", "-f", "mpegts"}).isEmpty());
    }

    // Against a server that sends nothing: mute lines only while playing, and a
    // stop ends the run although a read is pending.
    void silentRun()
    {
        SrtTestServer server;
        QVERIFY(server.listen());
        MessageCapture log;
        PlayerWorker player;
        player.setWindow(1234);  // before the first start: ignored
        QCOMPARE(player.window(), quint64(0));
        player.setMute(true);  // not playing: nothing happens
        QVERIFY(muteLines(log).isEmpty());

        player.startPlay(url(server.port(), "quiet"), 0);
        QTRY_VERIFY_WITH_TIMEOUT(player.isPlaying(), 5000);
        QVERIFY(server.waitForCallers(1, 5000));
        QVERIFY(!player.isMuted());  // the earlier mute did not carry over
        player.setMute(true);
        player.setMute(true);
        player.setMute(false);
        player.setMute(false);
        player.setMute(true);
        QCOMPARE(muteLines(log), (QStringList{"-- MUTE ON -- ", "-- MUTE OFF -- ", "-- MUTE ON -- "}));
        QVERIFY(player.isMuted());

        player.stopPlay();
        // The pending read gives up after at most a second.
        QVERIFY(player.wait(2500));
        QVERIFY(!player.isPlaying());
        QVERIFY(!player.currentPreview());
        log.clear();
        player.setMute(false);  // stopped: nothing happens
        QVERIFY(muteLines(log).isEmpty());

        // A stop right after the start is not lost while the stream opens.
        player.startPlay(url(server.port(), "quiet"), 0);
        player.stopPlay();
        QVERIFY(player.wait(2500));
        QVERIFY(!player.isPlaying());
    }

    void playsIntoTheWindowAndRestartsQuickly()
    {
        StudioProcess studio({"--feedback", m_stream});
        QVERIFY2(studio.start(), studio.output().constData());
        QWidget first, second;
        first.resize(320, 180);
        second.resize(160, 90);
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

    void splashFile()
    {
        PlayerWorker player;
        QCOMPARE(player.splashPath(), QString());
        QVERIFY(player.readerOptions().endsWith("network.open_image=''"));
        player.setSplashPath("/run/user/1000/orvanta-Ab12Cd/splash.png");
        QCOMPARE(player.splashPath(), QString("/run/user/1000/orvanta-Ab12Cd/splash.png"));
        QVERIFY(player.readerOptions().endsWith("network.open_image='/run/user/1000/orvanta-Ab12Cd/splash.png'"));
        QVERIFY(player.readerOptions().startsWith(
            "network.low_delay=true network.buffer_max=2 network.open_async=true network.show_attempts=false "));
    }

private:
    QTemporaryDir m_dir;
    QString m_stream;
};

ORVANTA_TEST_MAIN(TestPlayerWorker, TestMain::Offscreen)

#include "tst_PlayerWorker.moc"
