#include "TestSupport.h"
#include "media/EncoderConfig.h"
#include "media/engine/MFWriter.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace testsupport;

class TestMFWriter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void softwareCodecs_data();
    void softwareCodecs();
    void audioOnly();
    void x264HoldsItsRate();
    void putNeverWaitsForTheEncoder();
    void putsFailWhenNotOpen();
    void openFailsWithoutListener();
    void availableCodecs();

private:
    // Feeds count frames, letting the encoder keep up, and returns the bytes received.
    QByteArray encode(const QString &configuration, int width, int height, int count, quint64 *dropped = nullptr);
    QString save(const QByteArray &data, const QString &name);

    QTemporaryDir m_dir;
};

void TestMFWriter::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QProcess which;
    which.start("ffprobe", {"-version"});
    QVERIFY2(which.waitForFinished(10000), "ffprobe is needed");
}

QByteArray TestMFWriter::encode(const QString &configuration, int width, int height, int count, quint64 *dropped)
{
    TcpReceiver receiver;
    mf::MFWriter writer;
    if (!writer.open(EncoderConfig::writerTarget(receiver.port()), configuration))
        return {};
    for (int i = 0; i < count; ++i) {
        QElapsedTimer wait;
        wait.start();
        while (writer.pendingFrames() >= mf::MFWriter::kQueueLength - 1 && wait.elapsed() < 10000)
            QThread::msleep(2);
        if (writer.put(patternFrame(width, height, i), 40) < 0)
            return {};
    }
    writer.close();
    if (dropped)
        *dropped = writer.droppedFrames();
    receiver.waitClosed(10000);
    return receiver.data();
}

QString TestMFWriter::save(const QByteArray &data, const QString &name)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(data);
    return path;
}

void TestMFWriter::softwareCodecs_data()
{
    QTest::addColumn<QString>("codec");
    QTest::addColumn<QString>("codecName");
    QTest::addColumn<QString>("profile");
    QTest::newRow("libx264") << "libx264" << "h264" << "Main";
    QTest::newRow("libopenh264") << "libopenh264" << "h264" << "Main";
    QTest::newRow("mpeg2video") << "mpeg2video" << "mpeg2video" << "Main";
}

void TestMFWriter::softwareCodecs()
{
    QFETCH(QString, codec);
    QFETCH(QString, codecName);
    QFETCH(QString, profile);
    const int frames = 30;
    quint64 dropped = 99;
    const QByteArray data = encode(EncoderConfig::writerConfiguration(1024, 128, codec), 960, 540, frames, &dropped);
    QVERIFY(!data.isEmpty());
    QCOMPARE(dropped, quint64(0));
    QCOMPARE(uchar(data.at(0)), uchar(0x47));  // TS sync byte
    QCOMPARE(data.size() % 188, 0);

    const QJsonObject probed = probe(save(data, codec + ".ts"), true);
    QCOMPARE(probed.value("format").toObject().value("format_name").toString(), QStringLiteral("mpegts"));
    const QJsonObject video = streamOfType(probed, "video");
    QCOMPARE(video.value("codec_name").toString(), codecName);
    QCOMPARE(video.value("width").toInt(), 960);
    QCOMPARE(video.value("height").toInt(), 540);
    QCOMPARE(video.value("r_frame_rate").toString(), QStringLiteral("25/1"));
    QCOMPARE(video.value("nb_read_frames").toString().toInt(), frames);
    if (!profile.isEmpty())
        QCOMPARE(video.value("profile").toString(), profile);
    const QJsonObject audio = streamOfType(probed, "audio");
    QCOMPARE(audio.value("codec_name").toString(), QStringLiteral("aac"));
    QCOMPARE(audio.value("sample_rate").toString(), QStringLiteral("44100"));
    QCOMPARE(audio.value("channels").toInt(), 2);
    // Sound and picture cover the same time.
    const double videoEnd = video.value("duration").toString().toDouble();
    const double audioEnd = audio.value("duration").toString().toDouble();
    QVERIFY2(qAbs(videoEnd - audioEnd) < 0.1, qPrintable(QString("video %1 s, audio %2 s").arg(videoEnd).arg(audioEnd)));
}

void TestMFWriter::audioOnly()
{
    const QByteArray data = encode(EncoderConfig::writerConfiguration(0, 128, "libx264"), 320, 240, 50);
    QVERIFY(!data.isEmpty());
    const QJsonObject probed = probe(save(data, "audio.ts"));
    QCOMPARE(probed.value("streams").toArray().size(), 1);
    const QJsonObject audio = streamOfType(probed, "audio");
    QCOMPARE(audio.value("codec_name").toString(), QStringLiteral("aac"));
    QCOMPARE(audio.value("sample_rate").toString(), QStringLiteral("44100"));
    QCOMPARE(audio.value("channels").toInt(), 2);
    QVERIFY(qAbs(audio.value("duration").toString().toDouble() - 2.0) < 0.1);
}

void TestMFWriter::x264HoldsItsRate()
{
    const int frames = 250;  // 10 s
    const QByteArray data = encode(EncoderConfig::writerConfiguration(1024, 0, "libx264"), 960, 540, frames);
    QVERIFY(!data.isEmpty());
    QProcess ffprobe;
    ffprobe.start("ffprobe", {"-v", "error", "-select_streams", "v", "-show_entries", "packet=size",
                              "-of", "csv=p=0", save(data, "rate.ts")});
    QVERIFY(ffprobe.waitForFinished(60000));
    qint64 bytes = 0;
    int packets = 0;
    for (const QByteArray &line : ffprobe.readAllStandardOutput().split('\n')) {
        if (!line.trimmed().isEmpty()) {
            bytes += line.trimmed().split(',').first().toLongLong();
            ++packets;
        }
    }
    QCOMPARE(packets, frames);
    const double kbps = bytes * 8.0 / 10.0 / 1000.0;
    qInfo("x264 video rate over 10 s: %.0f kbit/s (target 1024)", kbps);
    QVERIFY2(kbps > 1024 * 0.85 && kbps < 1024 * 1.15, qPrintable(QString::number(kbps)));
}

void TestMFWriter::putNeverWaitsForTheEncoder()
{
    TcpReceiver receiver;
    mf::MFWriter writer;
    QVERIFY(writer.open(EncoderConfig::writerTarget(receiver.port()),
                        EncoderConfig::writerConfiguration(1024, 128, "libx264")));
    const int frames = 40;
    for (int i = 0; i < frames; ++i)
        QVERIFY(writer.put(patternFrame(1280, 720, i), 40) >= 0);
    writer.close();
    QVERIFY(receiver.waitClosed(10000));
    // A burst far faster than real time: some pictures are dropped, none of the sound.
    QVERIFY(writer.droppedFrames() > 0);
    QCOMPARE(writer.droppedFrames() + writer.queuedFrames(), quint64(frames));
    const QJsonObject probed = probe(save(receiver.data(), "burst.ts"));
    const double audioEnd = streamOfType(probed, "audio").value("duration").toString().toDouble();
    QVERIFY2(qAbs(audioEnd - frames / 25.0) < 0.1, qPrintable(QString::number(audioEnd)));
}

void TestMFWriter::putsFailWhenNotOpen()
{
    mf::MFWriter writer;
    QVERIFY(writer.put(patternFrame(64, 64, 0), 40) < 0);
    TcpReceiver receiver;
    QVERIFY(writer.open(EncoderConfig::writerTarget(receiver.port()),
                        EncoderConfig::writerConfiguration(512, 0, "mpeg2video")));
    QVERIFY(writer.put(patternFrame(64, 64, 0), 40) >= 0);
    writer.close();
    QVERIFY(writer.put(patternFrame(64, 64, 1), 40) < 0);
    writer.close();  // a second close is harmless
}

void TestMFWriter::openFailsWithoutListener()
{
    int port = 0;
    {
        TcpReceiver gone;
        port = gone.port();
    }
    mf::MFWriter writer;
    QVERIFY(!writer.open(EncoderConfig::writerTarget(port), EncoderConfig::writerConfiguration(1024, 128, "libx264")));
    QVERIFY(!writer.open(EncoderConfig::writerTarget(port), EncoderConfig::writerConfiguration(1024, 128, "nonesuch")));
    QVERIFY(writer.put(patternFrame(64, 64, 0), 40) < 0);
}

void TestMFWriter::availableCodecs()
{
    const QStringList codecs = mf::MFWriter::availableVideoCodecs();
    QVERIFY(codecs.contains("libx264"));
    QVERIFY(codecs.contains("libopenh264"));
    QVERIFY(codecs.contains("mpeg2video"));
    QCOMPARE(mf::MFWriter::availableVideoCodecs(), codecs);
    const auto offered = EncoderConfig::offeredEncoders(codecs);
    QVERIFY(!offered.isEmpty());
    if (!codecs.contains("q264hw") && !codecs.contains("c264") && !codecs.contains("n264"))
        QCOMPARE(offered.first().codec, QStringLiteral("libx264"));
}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    TestMFWriter test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_MFWriter.moc"
