#include "app/CpuLoad.h"
#include "app/DistributiveExporter.h"
#include "app/LibraryBundle.h"
#include "app/LogsDlg.h"
#include "diagnostics/SystemReport.h"

#include "tests/support/BoxWatcher.h"
#include "tests/support/TestMain.h"

#include <csignal>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
const QDate kDate(2026, 3, 14);
const QString kFolder = "Orvanta_2026-03-14";
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

bool writeFile(const QString &path, const QByteArray &content, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    file.close();
    return !executable || file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}

bool copyFile(const QString &from, const QString &to)
{
    return QDir().mkpath(QFileInfo(to).path()) && QFile::copy(from, to);
}

// Stands in for the program: records its argument count, the paths START.sh
// set and its arguments, in the working directory (START.sh's own folder).
const QByteArray kRecordingProgram = "#!/bin/sh\n"
                                     "printf '%s|%s|%s|' \"$#\" \"$LD_LIBRARY_PATH\" \"$QT_PLUGIN_PATH\" > record\n"
                                     "printf '%s' \"$@\" >> record\n";

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString("<missing>");
}

// Everything below a folder, hidden entries included, relative to it.
QStringList tree(const QString &folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(folder).relativeFilePath(it.next());
    entries.sort();
    return entries;
}

// Root writes into any folder; for the length of a test it loses the
// capabilities that let it, as an ordinary user never had them.
struct WithoutFileOverride
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2] = {};
    bool active = ::geteuid() == 0 && ::syscall(SYS_capget, &header, saved) == 0 && drop();
    bool drop()
    {
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        for (int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            reduced[0].effective &= ~(1u << capability);
        return ::syscall(SYS_capset, &header, reduced) == 0;
    }
    ~WithoutFileOverride()
    {
        if (active)
            ::syscall(SYS_capset, &header, saved);
    }
};

// Writes beyond a size fail with "File too large", part-way through a file
// as on a full disk.
struct FileSizeLimit
{
    rlimit saved{};
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit limited{bytes, saved.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved); }
};
} // namespace

// What the window offers without a network: the portable export, the CPU
// indicator and the system report.
class TestLocalServices : public QObject
{
    Q_OBJECT

    QTemporaryDir temp;
    QString programDir;
    QString programFile;
    QString pluginDir;

    DistributiveExporter exporter(QWidget *parent = nullptr) const
    {
        DistributiveExporter made(parent, programFile);
        made.setPluginFolder(pluginDir);
        return made;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(temp.isValid());
        // A small real program and, as the X11 plugin, a real library large
        // enough to fill the disk of the failure table.
        programDir = temp.filePath("program");
        programFile = programDir + "/orvanta";
        QVERIFY(copyFile("/bin/true", programFile));
        pluginDir = temp.filePath("plugins");
        QVERIFY(copyFile(ORVANTA_SRT_LIBRARY, pluginDir + "/platforms/libqxcb.so"));
        QVERIFY(QDir().mkpath(programDir + "/share/data"));
        QVERIFY(QFile::link(programDir + "/share", programDir + "/share/data/loop"));
        // A sibling whose name merely starts with the program folder's name is outside.
        QVERIFY(!DistributiveExporter::isSameOrInside(programDir + "-exports", programDir));
    }

    void loaderListing_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("name"); // empty: the line names no library
        QTest::addColumn<QString>("path");
        auto row = [](const char *tag, const QString &line, const QString &name = {}, const QString &path = {}) {
            QTest::newRow(tag) << line << name << path;
        };
        row("found", "\tlibQt5Core.so.5 => /lib/x86_64-linux-gnu/libQt5Core.so.5 (0x00007f1c2a400000)", "libQt5Core.so.5",
            "/lib/x86_64-linux-gnu/libQt5Core.so.5");
        row("space in path", "\tlibx.so.1 => /opt/my libs/libx.so.1 (0x0000000000001000)", "libx.so.1",
            "/opt/my libs/libx.so.1");
        row("missing", "\tlibsrt-gnutls.so.1.5 => not found", "libsrt-gnutls.so.1.5", "not found");
        row("vdso", "\tlinux-vdso.so.1 (0x00007ffd1b7f2000)");
        row("loader", "\t/lib64/ld-linux-x86-64.so.2 (0x00007f1c2b0f1000)");
        row("empty", "");
    }

    void loaderListing()
    {
        QFETCH(QString, line);
        QFETCH(QString, name);
        QString parsedName, parsedPath;
        QCOMPARE(LibraryBundle::parseLine(line, &parsedName, &parsedPath), !name.isEmpty());
        if (!name.isEmpty()) {
            QCOMPARE(parsedName, name);
            QTEST(parsedPath, "path");
        }
    }

    void baseSet_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("base");
        for (const char *name : {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2", "libstdc++.so.6", "libgcc_s.so.1",
                                 "libX11.so.6", "libxcb.so.1", "libxcb-xkb.so.1", "libGL.so.1", "libEGL.so.1",
                                 "libfontconfig.so.1", "libfreetype.so.6", "libpulse.so.0", "libasound.so.2",
                                 "libglib-2.0.so.0", "libdbus-1.so.3", "libz.so.1"})
            QTest::newRow(name) << name << true;
        for (const char *name : {"libQt5Core.so.5", "libQt5XcbQpa.so.5", "libavcodec.so.59", "libsrt-gnutls.so.1.5",
                                 "libopenh264.so.7", "libx264.so.164", "libgnutls.so.30", "libicuuc.so.72",
                                 "libzvbi.so.0", "libmfx.so.1"})
            QTest::newRow(name) << name << false;
    }

    void baseSet()
    {
        QFETCH(QString, name);
        QFETCH(bool, base);
        QCOMPARE(LibraryBundle::isBaseLibrary(name), base);
    }

    // What the copy holds and how much is the real program's export's
    // business (tests/app); here, its name, its settings and where it goes.
    void exportNamesItsFolderAfterTheDay()
    {
        const QString target = temp.filePath("exports");
        QVERIFY(QDir().mkpath(target));
        const DistributiveExporter::Result first = exporter().exportTo(target, "srt://10.0.0.5:9000/cam1/2000/128/HD", kDate);
        QCOMPARE(first.error, QString());
        QCOMPARE(first.folder, QDir(target).filePath(kFolder));
        QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{kFolder});
        QVERIFY(QFileInfo(first.folder + "/START.sh").isExecutable());
        QCOMPARE(readText(first.folder + "/App/qt.conf"), QString("[Paths]\nPrefix = .\nPlugins = plugins\n"));
        // Made in a private staging folder, the copy ends up readable by others as a folder made by hand is.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        QCOMPARE(int(QFileInfo(first.folder).permissions() & 07), int(~mask & 07)); // the "other" bits

        QCOMPARE(exporter().exportTo(target, "x", kDate).folder, QDir(target).filePath(kFolder + " (2)"));
        QCOMPARE(exporter().exportTo(target, "x", kDate).folder, QDir(target).filePath(kFolder + " (3)"));
        QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{kFolder, kFolder + " (2)", kFolder + " (3)"}));
    }

    // Each failure is reported, in a box and on the status line, and
    // leaves the chosen folder as it was.
    void failuresLeaveNothingBehind_data()
    {
        QTest::addColumn<QString>("target"); // empty: a folder of its own
        QTest::addColumn<QString>("trouble");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("where"); // empty: the target
        QTest::newRow("no permission") << QString() << "read-only" << "Permission denied" << QString();
        QTest::newRow("no space left") << QString() << "full" << "File too large" << "into the export";
        QTest::newRow("hundred names taken") << QString() << "crowded" << "100 folders named " + kFolder << QString();
        const QString outside = "must lie outside the program folder " + programDir;
        QTest::newRow("program folder") << programDir << QString() << outside << programDir;
        QTest::newRow("inside it") << programDir + "/share" << QString() << outside << programDir;
        QTest::newRow("linked inside") << programDir + "/share/data/loop" << QString() << outside << programDir;
    }

    void failuresLeaveNothingBehind()
    {
        QFETCH(QString, target);
        QFETCH(QString, trouble);
        QFETCH(QString, reason);
        QFETCH(QString, where);
        QTemporaryDir own;
        QVERIFY(own.isValid());
        if (target.isEmpty())
            target = own.path();
        if (where.isEmpty())
            where = target;
        for (int n = 1; trouble == "crowded" && n <= 100; ++n)
            QVERIFY(QDir().mkpath(target + "/" + kFolder + (n == 1 ? QString() : QString(" (%1)").arg(n))));
        const QStringList before = tree(target);
        const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
        QVERIFY(QFile::setPermissions(own.path(), trouble == "read-only" ? ownerOnly & ~QFileDevice::WriteOwner : ownerOnly));
        QMainWindow window;
        DistributiveExporter::Result result;
        {
            WithoutFileOverride asUser;
            FileSizeLimit limit(trouble == "full" ? 64 * 1024 : RLIM_INFINITY);
            result = exporter(&window).exportTo(target, "srt://h:1/s", kDate);
        }
        QFile::setPermissions(own.path(), ownerOnly);
        QCOMPARE(result.folder, QString());
        QVERIFY2(result.error.contains(reason) && result.error.contains(where), qPrintable(result.error));
        QCOMPARE(tree(target), before);

        BoxWatcher watcher;
        exporter(&window).report(result);
        QVERIFY(watcher.seen);
        QCOMPARE(watcher.title, QString("Warning"));
        QCOMPARE(watcher.icon, int(QMessageBox::Warning));
        QCOMPARE(watcher.parent, &window);
        QCOMPARE(watcher.text, result.error);
        QCOMPARE(window.statusBar()->currentMessage(), "Export failed: " + result.error);
    }

    void statusLineSaysWhereAndHowLarge()
    {
        QMainWindow window;
        BoxWatcher watcher;
        exporter(&window).report({"/home/me/Desktop/Orvanta_2026-03-14 (2)", 253292272, QString()});
        QCOMPARE(window.statusBar()->currentMessage(),
                 QString("Exported to /home/me/Desktop/Orvanta_2026-03-14 (2) (253.3 MB)"));
        QTest::qWait(50);
        QVERIFY(!watcher.seen);
    }

    void folderDialogStartsInAFolderThatExists()
    {
        const QByteArray savedHome = qgetenv("HOME");
        QTemporaryDir home;
        qputenv("HOME", home.path().toLocal8Bit());
        const QString withoutDesktop = DistributiveExporter::startFolder();
        QVERIFY(QDir().mkpath(home.filePath("Desktop")));
        const QString withDesktop = DistributiveExporter::startFolder();
        qputenv("HOME", savedHome);
        QCOMPARE(withoutDesktop, home.path());
        QCOMPARE(withDesktop, home.filePath("Desktop"));
    }

    void startScriptPassesHostileLinksAsText()
    {
        const QString marker = temp.filePath("pwned");
        const QStringList streamIds = {"x\";touch " + marker + ";\"", "$(touch " + marker + ")", "`touch " + marker + "`",
                                       "a'b;touch " + marker + ";'c", "'", "it's \\ $HOME * ?\nsecond line", "-h"};
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LD_LIBRARY_PATH", "/outer");
        int n = 0;
        for (const QString &streamId : streamIds) {
            // A folder name with a blank and a quote: the paths START.sh sets must survive it.
            const QString folder = temp.filePath(QString("quoting/it's %1").arg(++n));
            QVERIFY(writeFile(folder + "/App/orvanta", kRecordingProgram, true));
            const QString link = "srt://127.0.0.1:9000/" + streamId + "/2000/128/HD";
            QVERIFY(DistributiveExporter::writeStartScript(folder, link));
            QVERIFY(readText(folder + "/START.sh").startsWith("#!/bin/sh\n"));
            QProcess shell;
            shell.setProcessEnvironment(environment);
            shell.setWorkingDirectory(QDir::rootPath()); // the script must find its own folder
            shell.start("/bin/sh", {folder + "/START.sh"});
            QVERIFY(shell.waitForFinished(10000));
            QCOMPARE(readText(folder + "/record"), "1|" + folder + "/App/lib:/outer|" + folder + "/App/plugins|" + link);
            QVERIFY2(!QFileInfo::exists(marker), qPrintable(streamId));
        }
    }

    // Successive samples of one stat file and the label after each; the
    // formula's parts.
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
            QVERIFY(step.first == kMissing ? QFile::remove(stat) : writeFile(stat, step.first));
            QCOMPARE(cpu.update(), step.second);
        }
        CpuLoad::Times times;
        QVERIFY(CpuLoad::parseProcStat("cpu 1 2 3 4\n", &times)); // old kernels: four fields
        QCOMPARE(times.total, quint64(10));
        QCOMPARE(CpuLoad::labelText(0.3749f), QString("CPU: 37%"));
        QCOMPARE(CpuLoad::labelText(0.3751f), QString("CPU: 38%"));
        QCOMPARE(CpuLoad::labelText(-1.0f), QString("CPU: -100%"));
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

ORVANTA_TEST_MAIN(TestLocalServices, TestMain::Offscreen | TestMain::PrivateFolders)
#include "tst_LocalServices.moc"
