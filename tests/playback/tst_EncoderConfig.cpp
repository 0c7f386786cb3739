#include "media/EncoderConfig.h"
#include "media/engine/WriterConfiguration.h"
#include "tests/support/TestMain.h"

using Rows = QList<QPair<QString, QString>>;

class TestEncoderConfig : public QObject
{
    Q_OBJECT

private slots:
    // What the writer makes of the configuration the form's rates give it.
    void configuration_data()
    {
        QTest::addColumn<int>("video");
        QTest::addColumn<int>("audio");
        QTest::addColumn<QString>("codec");
        QTest::addColumn<QString>("videoCodec");
        QTest::addColumn<QString>("audioCodec");
        QTest::newRow("both") << 1024 << 128 << "libx264" << "libx264" << "aac";
        QTest::newRow("audio only") << 0 << 64 << "libx264" << "null" << "aac";
        QTest::newRow("video only") << 2048 << 0 << "q264hw" << "q264hw" << "null";
        QTest::newRow("negative video") << -5 << 128 << "libx264" << "null" << "aac";
    }

    void configuration()
    {
        QFETCH(int, video);
        QFETCH(int, audio);
        QFETCH(QString, codec);
        QFETCH(QString, videoCodec);
        QFETCH(QString, audioCodec);
        const auto config = mf::WriterConfiguration::parse(EncoderConfig::writerConfiguration(video, audio, codec));
        QCOMPARE(config.format, QStringLiteral("mpegts"));
        QCOMPARE(config.playWhileRecording, false);
        QCOMPARE(config.videoCodec, videoCodec);
        QCOMPARE(config.audioCodec, audioCodec);
        QCOMPARE(config.hasVideo(), video > 0);
        QCOMPARE(config.hasAudio(), audio > 0);
        if (config.hasVideo()) {
            QCOMPARE(config.videoProfile, QStringLiteral("Main"));
            QCOMPARE(QVector<qint64>({config.gopSize, config.videoBitRate, config.videoMaxRate}),
                     QVector<qint64>({50, video * 1000, video * 1000}));
        }
        if (config.hasAudio())
            QCOMPARE(QVector<qint64>({config.audioBitRate, config.audioMinRate, config.audioMaxRate}),
                     QVector<qint64>(3, audio * 1000));
    }

    // Beyond what a qint64 holds a rate is refused: the key is skipped, the
    // encoder keeps its rate.
    void unknownKeysAndRatesAreIgnored()
    {
        const QList<QPair<QString, qint64>> rates{{"2M", 2000000}, {"96000", 96000}, {"-1K", -1},
            {"9223372036854775K", 9223372036854775000}, {"9223372036854776K", -1}, {"9223372036855M", -1}};
        for (const auto &rate : rates)
            QCOMPARE(mf::WriterConfiguration::parseRate(rate.first), rate.second);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unknown configuration key.*colour"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ignoring.*video::b.*fast"));
        const auto config = mf::WriterConfiguration::parse(
            "format='mpegts' colour='red' video::codec='mpeg2video' video::b='fast' video::g='25'");
        QCOMPARE(config.videoCodec, QStringLiteral("mpeg2video"));
        QCOMPARE(config.videoBitRate, qint64(0));
        QCOMPARE(config.gopSize, 25);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ignoring.*video::b.*9223372036854775807K"));
        QCOMPARE(mf::WriterConfiguration::parse("video::codec='libx264' video::b='9223372036854775807K'").videoBitRate,
                 qint64(0));
    }

    void offeredRows_data()
    {
        const QString hevcQsv = "HEVC Intel Quick Sync (Hardware) EXPERIMENTAL";
        QTest::addColumn<QStringList>("available");
        QTest::addColumn<Rows>("expected");
        QTest::newRow("both hevc qsv") << QStringList{"q265hw", "hevc_qsv"}
                                       << Rows{{hevcQsv, "hevc_qsv"}, {hevcQsv, "q265hw"}};
        QTest::newRow("case differs") << QStringList{"LIBX264", "Mpeg2video", "libopenh264 "} << Rows{};
        QTest::newRow("software only, x264 first")
            << QStringList{"mpeg2video", "libopenh264", "libx264"}
            << Rows{{"x264 (Software)", "libx264"}, {"Open h264 (Software)", "libopenh264"}, {"mpeg-2", "mpeg2video"}};
        QTest::newRow("x264 after the hardware rows")
            << QStringList{"libx264", "n265", "n264", "q264hw", "q264sw", "c264"}
            << Rows{{"Intel Quick Sync (Hardware)", "q264hw"}, {"Intel Quick Sync (Sofware)", "q264sw"},
                    {"Cuda 264 (Hardware)", "c264"}, {"Nvidia NVEncoder (Hardware)", "n264"},
                    {"x264 (Software)", "libx264"}, {"HEVC Nvidia (Hardware) EXPERIMENTAL", "n265"}};
        QTest::newRow("nothing") << QStringList{} << Rows{};
    }

    void offeredRows()
    {
        QFETCH(QStringList, available);
        QFETCH(Rows, expected);
        Rows rows;
        for (const auto &row : EncoderConfig::offeredEncoders(available))
            rows.append({row.text, row.codec});
        QCOMPARE(rows, expected);
    }
};

ORVANTA_TEST_MAIN(TestEncoderConfig, TestMain::Core)
#include "tst_EncoderConfig.moc"
