#include "app/CpuLoad.h"
#include "app/LogsDlg.h"
#include "diagnostics/SystemReport.h"

#include <QApplication>
#include <QFile>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// Recorded from a 4-core machine three seconds apart; the second adds
// user 240, nice 0, system 60, idle 2580, iowait 120 (total 3000, idle 2700).
const QByteArray kStat1 = "cpu  4705 356 584 3699176 23 23 0 0 0 0\n"
                          "cpu0 1393 280 134 899022 12 13 0 0 0 0\n"
                          "intr 114930548 113199788 3 0 5 263 0 0 0 0\n";
const QByteArray kStat2 = "cpu  4945 356 644 3701756 143 23 0 0 0 0\n"
                          "cpu0 1453 280 149 899667 42 13 0 0 0 0\n";
// A guest's time is already part of user time and must not count twice.
const QByteArray kStat3 = "cpu  7945 356 644 3701756 143 23 0 0 3000 0\n";

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QStringList capturedDebug;
void captureDebug(QtMsgType, const QMessageLogContext &, const QString &message)
{
    capturedDebug << message;
}
} // namespace

class TestCpuAndReport : public QObject
{
    Q_OBJECT
    QTemporaryDir temp;

private slots:
    void cpuLoadFromRecordedSamples()
    {
        const QString stat = temp.filePath("stat");
        CpuLoad cpu(stat);
        QVERIFY(writeFile(stat, kStat1));
        // Against zero: the average since boot, 1 - (3699176 + 23) / 3704867.
        QCOMPARE(cpu.update(), QString("CPU: 0%"));
        QVERIFY(writeFile(stat, kStat2));
        QCOMPARE(cpu.update(), QString("CPU: 10%"));
        // Nothing elapsed: the ratio counts as 0, so the load reads as full.
        QCOMPARE(cpu.update(), QString("CPU: 100%"));
        QVERIFY(writeFile(stat, kStat3));
        QCOMPARE(cpu.update(), QString("CPU: 100%"));
    }

    void cpuLoadFailedReadKeepsPreviousSample()
    {
        const QString stat = temp.filePath("stat-missing");
        CpuLoad cpu(stat);
        QVERIFY(writeFile(stat, kStat1));
        cpu.update();
        QVERIFY(QFile::remove(stat));
        QCOMPARE(cpu.update(), QString("CPU: -100%"));
        QVERIFY(writeFile(stat, "intr 1 2 3\n"));
        QCOMPARE(cpu.update(), QString("CPU: -100%"));
        QVERIFY(writeFile(stat, "cpu  12 x 3 4\n"));
        QCOMPARE(cpu.update(), QString("CPU: -100%"));
        QVERIFY(writeFile(stat, kStat2));
        QCOMPARE(cpu.update(), QString("CPU: 10%"));
    }

    void cpuLoadFormulaAndRounding()
    {
        CpuLoad cpu(QString{});
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

    void reportLayoutAndSectionOrder()
    {
        QMap<QString, ReportSection> sections;
        sections.insert("OS info", {{"OS", "Debian"}});
        sections.insert("Machine info", {{"B", "2"}, {"A", "1"}});
        sections.insert("Codecs and cointainers", {{"Containers", "mpegts"}});
        sections.insert("Connected multimedia devices", {{"Video devices", ""}});
        QCOMPARE(SystemReport::format(sections),
                 QString("Codecs and cointainers:\n\nContainers:\tmpegts\n"
                         "Connected multimedia devices:\n\nVideo devices:\t\n"
                         "Machine info:\n\nB:\t2\n\nA:\t1\n"
                         "OS info:\n\nOS:\tDebian\n"));
    }

    void reportWithMediaProvider()
    {
        SystemReport::setMediaReportProvider([] {
            MediaReport media;
            media.containers = QStringList{"mpegts", "mp4"};
            media.videoCodecs = QStringList{"h264", "mpeg2video", "h264"};
            media.audioCodecs = QStringList{"aac", "mp2", "aac"};
            media.videoDevices = QStringList{};
            media.audioDevices = QStringList{"Built-in Audio", "PC Sounds (Loopback)"};
            return media;
        });
        const QString report = SystemReport::systemReport();
        SystemReport::setMediaReportProvider(nullptr);

        QVERIFY(report.startsWith("Codecs and cointainers:\n\nContainers:\tmpegts mp4\n"
                                  "\nVideo codecs:\th264 mpeg2video\n"
                                  "\nAudio codecs:\taac mp2\n"
                                  "Connected multimedia devices:\n"
                                  "\nVideo devices:\t\n"
                                  "\nAudio devices:\t\"Built-in Audio\", \"PC Sounds (Loopback)\"\n"
                                  "Machine info:\n"
                                  "\nCPU Architecture:\t" + QSysInfo::currentCpuArchitecture() + "\n"
                                  "\nCPU Frequency:\t"));
        const int machine = report.indexOf("Machine info:\n");
        const int os = report.indexOf("OS info:\n");
        QVERIFY(machine > 0 && os > machine);
        QVERIFY(report.contains(QRegularExpression("\nCPU Frequency:\t[0-9.]+ GHz\n"
                                                   "\nCPU and/or core count:\t[1-9][0-9]*\n"
                                                   "\nRAM size:\t[0-9.]+ Gb\n")));
        QVERIFY(report.endsWith("OS info:\n\nOS:\t" + QSysInfo::prettyProductName() + "\n\nKernel type:\t"
                                + QSysInfo::kernelType() + "\n\nKernel version:\t" + QSysInfo::kernelVersion()
                                + "\n\nHost name:\t" + QSysInfo::machineHostName() + "\n"));
    }

    void reportWithoutMediaKeepsEmptyValues()
    {
        const QString report = SystemReport::systemReport();
        QVERIFY(report.startsWith("Codecs and cointainers:\n\nContainers:\t\n\nVideo codecs:\t\n\nAudio codecs:\t\n"
                                  "Connected multimedia devices:\n\nVideo devices:\t\n\nAudio devices:\t\n"
                                  "Machine info:\n"));
    }

    void frequencyAndMemoryFromSystemFiles()
    {
        const QString cpufreq = temp.filePath("cpuinfo_max_freq");
        const QString cpuinfo = temp.filePath("cpuinfo");
        QVERIFY(writeFile(cpuinfo, "processor\t: 0\nmodel name\t: Test CPU\ncpu MHz\t\t: 2394.454\n"));
        QCOMPARE(SystemReport::cpuMaxFrequencyKHz(temp.filePath("absent"), cpuinfo), quint64(2394454));
        QVERIFY(writeFile(cpufreq, "3400000\n"));
        QCOMPARE(SystemReport::cpuMaxFrequencyKHz(cpufreq, cpuinfo), quint64(3400000));
        QCOMPARE(SystemReport::cpuMaxFrequencyKHz(temp.filePath("absent"), temp.filePath("absent")), quint64(0));

        QCOMPARE(SystemReport::frequencyText(3400000), QString("3.4 GHz"));
        QCOMPARE(SystemReport::frequencyText(2394454), QString("2.39 GHz"));
        QCOMPARE(SystemReport::memoryText(16777216), QString("16.78 Gb"));

        const QString meminfo = temp.filePath("meminfo");
        QVERIFY(writeFile(meminfo, "MemTotal:       16777216 kB\nMemFree:         1024 kB\n"));
        QCOMPARE(SystemReport::memTotalKB(meminfo), quint64(16777216));
    }

    void logViewerShowsReportOnceAndNoLogLines()
    {
        LogsDlg dialog;
        QCOMPARE(dialog.objectName(), QString("LogsDlg"));
        QCOMPARE(dialog.windowTitle(), QString("Logs"));
        QVERIFY(dialog.isWindow());
        QVERIFY(!dialog.isVisible());

        auto *text = dialog.findChild<QPlainTextEdit *>("plainTextEdit");
        auto *close = dialog.findChild<QPushButton *>("pushButton");
        QVERIFY(text && close);
        QCOMPARE(close->text(), QString("Close"));

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
        QVERIFY(dialog.isVisible());
        QCOMPARE(text->toPlainText(), shown);

        capturedDebug.clear();
        const QtMessageHandler previous = qInstallMessageHandler(captureDebug);
        dialog.logLine("relay started");
        qInstallMessageHandler(previous);
        QCOMPARE(capturedDebug, QStringList{"--LOG: \"relay started\""});
        QCOMPARE(text->toPlainText(), shown);
        dialog.close();
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestCpuAndReport test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_CpuAndReport.moc"
