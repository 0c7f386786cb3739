#include "media/engine/MFReader.h"
#include "tests/support/FfmpegPrograms.h"
#include "tests/support/FreePorts.h"
#include "tests/support/SrtTestServer.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TestMain.h"

namespace {

QString url(quint16 port, const QString &streamId)
{
    return QString("srt://127.0.0.1:%1?mode=caller&streamid=%2").arg(port).arg(streamId);
}

} // namespace

class TestMFReader : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_splash = m_dir.filePath("splash.png");
    QString feedbackOptions() const
    {
        return QString("network.low_delay=true network.buffer_max=2 network.open_async=true "
                       "network.show_attempts=false network.open_image='%1'").arg(m_splash);
    }

private slots:
    void initTestCase()
    {
        QImage splash(200, 100, QImage::Format_RGB32);
        splash.fill(Qt::red);
        QVERIFY(splash.save(m_splash));
    }

    void splashThenPictures_data()
    {
        QTest::addColumn<QString>("codec");
        QTest::newRow("h264") << "libx264";
        QTest::newRow("hevc") << "libx265";
        QTest::newRow("mpeg2") << "mpeg2video";
    }

    void splashThenPictures()
    {
        QFETCH(QString, codec);
        const QString stream = m_dir.filePath(codec + ".ts");
        QVERIFY(!makeClip(stream, testPictureAndTone("testsrc=size=640x360", 4, 48000)
                                      + QStringList{"-c:v", codec, "-g", "25", "-bf", "0", "-pix_fmt", "yuv420p",
                                                    "-c:a", "aac", "-f", "mpegts"}).isEmpty());
        // The splash comes out while there is no server yet: the port is picked
        // before the studio exists, and the studio then binds it.
        const quint16 port = freeLoopbackPort();
        mf::MFReader reader;
        const QString streamId = "tester#1 &x=?#feedbackplay";
        QVERIFY(reader.open(url(port, streamId), feedbackOptions()));
        for (int i = 0; i < 3; ++i) {
            const mf::MFFramePtr splash = reader.read(-1);
            QVERIFY(splash);
            QCOMPARE(splash->image().size(), QSize(200, 100));
        }
        QVERIFY(!reader.hasPicture());

        StudioProcess studio({"--feedback", stream});
        studio.setSrtPort(port);
        QVERIFY2(studio.start(), studio.output().constData());
        int pictures = 0;
        int soundSamples = 0;
        QElapsedTimer timer;
        timer.start();
        while (pictures < 25 && timer.elapsed() < 20000) {
            const mf::MFFramePtr frame = reader.read(-1);
            if (!frame)
                continue;
            if (frame->audioSampleCount() > 0) {
                QCOMPARE(frame->format().audio.channels, 2);
                QCOMPARE(frame->format().audio.sampleRate, 44100);
                soundSamples += frame->audioSampleCount();
            }
            // Sound that found no picture in time (a slow decoder, a start
            // between key frames) comes out alone.
            if (frame->image().isNull()) {
                QVERIFY(frame->audioSampleCount() > 0);
                continue;
            }
            if (frame->width() == 200 && pictures == 0) {
                QCOMPARE(frame->image().pixel(10, 10), QColor(Qt::red).rgb());
                continue;
            }
            QCOMPARE(frame->image().size(), QSize(640, 360));
            QCOMPARE(frame->image().format(), QImage::Format_RGB32);
            ++pictures;
        }
        QCOMPARE(pictures, 25);
        QVERIFY(reader.hasPicture());
        QVERIFY(soundSamples > 44100 / 2);
        // The server saw the stream ID as sent.
        QCOMPARE(StudioProcess::findStream(studio.status(), "tester#1 &x=?", "feedback").value("streamid").toString(),
                 streamId);
        QElapsedTimer closing;
        closing.start();
        reader.close();
        QVERIFY(closing.elapsed() < 3000);
    }

    // A server that sends nothing; it sees the stream ID as sent, any character included.
    void silentServerReturnsWithinASecond()
    {
        SrtTestServer server;
        QVERIFY(server.listen());
        const QString streamId = QString::fromUtf8("Zoë#7&a=b?c d#feedbackplay");
        mf::MFReader reader;
        QVERIFY(reader.open(url(server.port(), streamId), "network.open_async=true"));
        QVERIFY(server.waitForCallers(1, 5000));
        QCOMPARE(server.streamIds(), QStringList{streamId});
        // Without a splash picture nothing comes out, and each read gives up;
        // so does the close.
        for (int i = 0; i < 3; ++i) {
            QElapsedTimer timer;
            timer.start();
            if (i < 2)
                QVERIFY(!reader.read(-1));
            else
                reader.close();
            QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
        }
        QVERIFY(!reader.read(100));
    }

    void synchronousOpenFailsWithoutServer()
    {
        const quint16 port = freeLoopbackPort();  // nobody listens there
        mf::MFReader reader;
        QVERIFY(!reader.open(url(port, "x"), "network.open_async=false"));
        QVERIFY(!reader.open("http://127.0.0.1:1/", ""));
        // Asynchronous: open succeeds, the splash shows while it keeps trying.
        QVERIFY(reader.open(url(port, "x"), feedbackOptions()));
        const mf::MFFramePtr frame = reader.read(-1);
        QVERIFY(frame);
        QCOMPARE(frame->width(), 200);
    }
};

ORVANTA_TEST_MAIN(TestMFReader, TestMain::Offscreen)
#include "tst_MFReader.moc"
