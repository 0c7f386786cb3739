#include "app/CpuLoad.h"
#include "app/LogsDlg.h"
#include "diagnostics/SystemReport.h"

#include "tests/support/TestMain.h"

namespace {
// Recorded from a 4-core machine three seconds apart; the second adds
// user 240, nice 0, system 60, idle 2580, iowait 120 (total 3000, idle 2700).
const QByteArray kStat1 = "cpu  4705 356 584 3699176 23 23 0 0 0 0\n"
                          "cpu0 1393 280 134 899022 12 13 0 0 0 0\n"
                          "intr 114930548 113199788 3 0 5 263 0 0 0 0\n";
const QByteArray kStat2 = "cpu  4945 356 644 3701756 143 23 0 0 0 0\n"
                          "cpu0 1453 280 149 899667 42 13 0 0 0 0\n";
// Then user 3000, all of it a guest's (already part of user time, so it must
// not count twice), and idle 3000: half the time busy.
const QByteArray kStat3 = "cpu  7945 356 644 3704756 143 23 0 0 3000 0\n";
const QByteArray kMissing = "<missing>";

bool writeFile(const QString &path, const QByteArray &content)
{
    if (content == kMissing)
        return !QFile::exists(path) || QFile::remove(path);
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}
} // namespace

class TestCpuAndReport : public QObject
{
    Q_OBJECT
    QTemporaryDir temp;

private slots:
    // Successive samples of one stat file and the label after each.
    void cpuLoadFromRecordedSamples()
    {
        const QString stat = temp.filePath("stat");
        CpuLoad cpu(stat);
        const QList<QPair<QByteArray, QString>> steps = {
            {kStat1, "CPU: 0%"}, // against zero: since boot, 1 - (3699176 + 23) / 3704867
            // Failed reads show as such and keep the previous sample.
            {kMissing, "CPU: -100%"},
            {"intr 1 2 3\n", "CPU: -100%"},
            {"cpu  12 x 3 4\n", "CPU: -100%"},
            {kStat2, "CPU: 10%"},
            {kStat2, "CPU: 100%"}, // nothing elapsed: the load reads as full
            {kStat3, "CPU: 50%"},
        };
        for (const auto &step : steps) {
            QVERIFY(writeFile(stat, step.first));
            QCOMPARE(cpu.update(), step.second);
        }
    }

    void cpuLoadFormulaAndRounding()
    {
        CpuLoad::Times times;
        QVERIFY(CpuLoad::parseProcStat("cpu  10 0 0 80 10\n", &times));
        QCOMPARE(times.idle, quint64(90));
        QCOMPARE(times.total, quint64(100));
        QVERIFY(CpuLoad::parseProcStat("cpu 1 2 3 4\n", &times)); // old kernels: four fields
        QCOMPARE(times.total, quint64(10));
        QCOMPARE(CpuLoad::labelText(0.3749f), QString("CPU: 37%"));
        QCOMPARE(CpuLoad::labelText(0.3751f), QString("CPU: 38%"));
        QCOMPARE(CpuLoad::labelText(-1.0f), QString("CPU: -100%"));
        QVERIFY(CpuLoad("/proc/stat").update().contains(QRegularExpression("^CPU: \\d+%$")));
    }

    void reportWithAndWithoutMedia()
    {
        QVERIFY(SystemReport::systemReport().startsWith(
            "Codecs and cointainers:\n\nContainers:\t\n\nVideo codecs:\t\n\nAudio codecs:\t\n"
            "Connected multimedia devices:\n\nVideo devices:\t\n\nAudio devices:\t\nMachine info:\n"));
        SystemReport::setMediaReportProvider([] {
            MediaReport media;
            media.containers = QStringList{"mpegts", "mp4"};
            media.videoCodecs = QStringList{"h264", "mpeg2video", "h264"};
            media.audioCodecs = QStringList{"aac", "mp2", "aac"};
            media.audioDevices = QStringList{"Built-in Audio", "PC Sounds (Loopback)"};
            return media;
        });
        const QString report = SystemReport::systemReport();
        SystemReport::setMediaReportProvider(nullptr);
        QVERIFY(report.startsWith("Codecs and cointainers:\n\nContainers:\tmpegts mp4\n"
                                  "\nVideo codecs:\th264 mpeg2video\n\nAudio codecs:\taac mp2\n"
                                  "Connected multimedia devices:\n\nVideo devices:\t\n"
                                  "\nAudio devices:\t\"Built-in Audio\", \"PC Sounds (Loopback)\"\n"
                                  "Machine info:\n\nCPU Architecture:\t" + QSysInfo::currentCpuArchitecture() + "\n"
                                  "\nCPU Frequency:\t"));
        QVERIFY(report.contains(QRegularExpression("\nCPU Frequency:\t[0-9.]+ GHz\n"
                                                   "\nCPU and/or core count:\t[1-9][0-9]*\n"
                                                   "\nRAM size:\t[0-9.]+ Gb\n"
                                                   "OS info:\n")));
        QVERIFY(report.endsWith("OS info:\n\nOS:\t" + QSysInfo::prettyProductName() + "\n\nKernel type:\t"
                                + QSysInfo::kernelType() + "\n\nKernel version:\t" + QSysInfo::kernelVersion()
                                + "\n\nHost name:\t" + QSysInfo::machineHostName() + "\n"));
    }

    void frequencyAndMemoryFromSystemFiles()
    {
        const QString absent = temp.filePath("absent"), cpufreq = temp.filePath("cpuinfo_max_freq"),
                      cpuinfo = temp.filePath("cpuinfo"), meminfo = temp.filePath("meminfo");
        QVERIFY(writeFile(cpuinfo, "processor\t: 0\nmodel name\t: Test CPU\ncpu MHz\t\t: 2394.454\n"));
        QCOMPARE(SystemReport::cpuMaxFrequencyKHz(absent, cpuinfo), quint64(2394454));
        QVERIFY(writeFile(cpufreq, "3400000\n"));
        QCOMPARE(SystemReport::cpuMaxFrequencyKHz(cpufreq, cpuinfo), quint64(3400000));
        QCOMPARE(SystemReport::cpuMaxFrequencyKHz(absent, absent), quint64(0));
        QCOMPARE(SystemReport::frequencyText(3400000), QString("3.4 GHz"));
        QCOMPARE(SystemReport::frequencyText(2394454), QString("2.39 GHz"));
        QCOMPARE(SystemReport::memoryText(16777216), QString("16.78 Gb"));
        QVERIFY(writeFile(meminfo, "MemTotal:       16777216 kB\nMemFree:         1024 kB\n"));
        QCOMPARE(SystemReport::memTotalKB(meminfo), quint64(16777216));
    }

    void logViewerShowsReportOnceAndNoLogLines()
    {
        LogsDlg dialog;
        QVERIFY(dialog.isWindow() && !dialog.isVisible());
        auto *text = dialog.findChild<QPlainTextEdit *>("plainTextEdit");
        auto *close = dialog.findChild<QPushButton *>("pushButton");
        QVERIFY(text && close);
        const QString shown = text->toPlainText();
        QVERIFY(shown.startsWith("--- System Info ---\nCodecs and cointainers:\n"));
        QCOMPARE(text->document()->blockCount(), 1 + SystemReport::systemReport().count('\n') + 1);

        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        // The text fills the window above a Close button at its left.
        QCOMPARE(close->x(), text->x());
        QVERIFY(text->geometry().bottom() < close->y());
        QVERIFY(text->width() > dialog.width() - 30);
        QVERIFY(text->height() > dialog.height() - close->height() - 40);
        close->click();
        QVERIFY(!dialog.isVisible());
        dialog.show();
        QCOMPARE(text->toPlainText(), shown);

        // Log lines go to the log, not into the report.
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("relay started"));
        dialog.logLine("relay started");
        QCOMPARE(text->toPlainText(), shown);
    }
};

ORVANTA_TEST_MAIN(TestCpuAndReport, TestMain::Offscreen | TestMain::PrivateFolders)
#include "tst_CpuAndReport.moc"
