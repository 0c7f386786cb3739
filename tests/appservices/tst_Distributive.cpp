#include "BoxWatcher.h"

#include "app/DistributiveExporter.h"
#include "app/LinkSharing.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QDate kDate(2026, 3, 14);
const QString kFolder = "Orvanta_2026-03-14";

bool writeFile(const QString &path, const QByteArray &content, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    file.close();
    return !executable || file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}

// Stands in for the program: records its arguments, one file each, in the
// working directory, which START.sh sets to its own folder.
const QByteArray kRecordingProgram = "#!/bin/sh\n"
                                     "echo \"$#\" > argc\n"
                                     "n=0\n"
                                     "for a in \"$@\"; do n=$((n+1)); printf '%s' \"$a\" > \"arg$n\"; done\n";

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString("<missing>");
}
} // namespace

class TestDistributive : public QObject
{
    Q_OBJECT

    QTemporaryDir temp;
    QString programDir;

    QStringList runStartScript(const QString &exportFolder)
    {
        QProcess process;
        process.setWorkingDirectory(QDir::rootPath()); // the script must find its own folder
        process.start("/bin/sh", {exportFolder + "/START.sh"});
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(1000);
            return {"timeout"};
        }
        QStringList recorded{readText(exportFolder + "/argc").trimmed()};
        for (int i = 1; i <= recorded.first().toInt() && i < 10; ++i)
            recorded << readText(exportFolder + QString("/arg%1").arg(i));
        return recorded;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(temp.isValid());
        programDir = temp.filePath("program");
        QVERIFY(writeFile(programDir + "/orvanta", kRecordingProgram, true));
        QVERIFY(writeFile(programDir + "/lib/libengine.so.1", "elf"));
        QVERIFY(writeFile(programDir + "/.hidden", "secret"));
        QVERIFY(writeFile(programDir + "/share/.cache/blob", "cached"));
        QVERIFY(writeFile(programDir + "/share/data/readme.txt", "text"));
        QVERIFY(QFile::link(programDir + "/share", programDir + "/share/data/loop"));
    }

    void linkText()
    {
        LinkFields fields{"srt://10.0.0.5:9000", "cam1", 2000, "128", "HD", true};
        QCOMPARE(LinkSharing::buildLink(fields), QString("srt://10.0.0.5:9000/cam1/2000/128/HD/DBL"));
        fields.twoFrames = false;
        QCOMPARE(LinkSharing::buildLink(fields), QString("srt://10.0.0.5:9000/cam1/2000/128/HD"));

        const QString shared = "orvanta://10.0.0.5:9000/cam1/2000/128/HD";
        QCOMPARE(LinkSharing::shareableLink(LinkSharing::buildLink(fields)), shared);
        fields.server = "10.0.0.5:9000";
        QCOMPARE(LinkSharing::shareableLink(LinkSharing::buildLink(fields)), shared);
        QCOMPARE(LinkSharing::shareableLink("SRT://h:1/s"), QString("orvanta://SRT://h:1/s"));

        LinkSharing::copyToClipboard("srt://10.0.0.5:9000/cam1/2000/128/HD");
        QCOMPARE(QApplication::clipboard()->text(QClipboard::Clipboard), shared);
    }

    void exportCopiesVisibleEntriesAndNamesFolders()
    {
        const QString target = temp.filePath("exports");
        QVERIFY(QDir().mkpath(target));
        DistributiveExporter exporter(nullptr, programDir);
        const QString first = exporter.exportTo(target, "srt://10.0.0.5:9000/cam1/2000/128/HD", kDate);
        QCOMPARE(first, QDir(target).filePath(kFolder));
        QVERIFY(exporter.copyFailures().isEmpty());

        const QFileInfo program(first + "/App/orvanta");
        QVERIFY(program.isExecutable());
        QVERIFY(QFileInfo::exists(first + "/App/lib/libengine.so.1"));
        QVERIFY(QFileInfo::exists(first + "/App/share/data/readme.txt"));
        QVERIFY(!QFileInfo::exists(first + "/App/.hidden"));
        QVERIFY(!QFileInfo::exists(first + "/App/share/.cache"));
        QVERIFY(QFileInfo(first + "/START.sh").isExecutable());

        const QString second = exporter.exportTo(target, "x", kDate);
        QCOMPARE(second, QDir(target).filePath(kFolder + " (2)"));
        QCOMPARE(exporter.exportTo(target, "x", kDate), QDir(target).filePath(kFolder + " (3)"));
    }

    void namingGivesUpAfterHundredTries()
    {
        const QString target = temp.filePath("crowded");
        QVERIFY(QDir().mkpath(target + "/" + kFolder));
        for (int n = 2; n <= 100; ++n)
            QVERIFY(QDir().mkpath(target + "/" + kFolder + QString(" (%1)").arg(n)));
        QWidget window;
        DistributiveExporter exporter(&window, programDir);
        BoxWatcher watcher;
        QCOMPARE(exporter.exportTo(target, "x", kDate), QString());
        QVERIFY(watcher.seen);
        QCOMPARE(watcher.title, QString("Warning"));
        QCOMPARE(watcher.icon, int(QMessageBox::Warning));
        QCOMPARE(watcher.parent, &window);
        QVERIFY(watcher.text.contains(target));
        QVERIFY(!QFileInfo::exists(target + "/" + kFolder + " (101)"));
        QCOMPARE(QDir(target).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 100);
    }

    void refusesTargetInsideProgramFolder()
    {
        for (const QString &inside : {programDir, programDir + "/share", programDir + "/share/data/loop"}) {
            DistributiveExporter exporter(nullptr, programDir);
            BoxWatcher watcher;
            QCOMPARE(exporter.exportTo(inside, "x", kDate), QString());
            QVERIFY(watcher.seen);
            QCOMPARE(watcher.title, QString("Warning"));
            QVERIFY(!QFileInfo::exists(inside + "/" + kFolder));
        }
        // A sibling whose name merely starts with the program folder's name is fine.
        const QString sibling = programDir + "-exports";
        QVERIFY(QDir().mkpath(sibling));
        QVERIFY(!DistributiveExporter::isSameOrInside(sibling, programDir));
    }

    void startScriptPassesHostileLinksAsText()
    {
        const QString marker = temp.filePath("pwned");
        const QStringList streamIds = {
            "x\";touch " + marker + ";\"",
            "$(touch " + marker + ")",
            "`touch " + marker + "`",
            "a'b;touch " + marker + ";'c",
            "'",
            "it's \\ $HOME * ?\nsecond line",
            "-h",
        };
        const QString target = temp.filePath("quoting");
        QVERIFY(QDir().mkpath(target));
        int n = 0;
        for (const QString &streamId : streamIds) {
            const QString link = "srt://127.0.0.1:9000/" + streamId + "/2000/128/HD";
            DistributiveExporter exporter(nullptr, programDir);
            const QString folder = exporter.exportTo(target, link, kDate.addDays(++n));
            QVERIFY(!folder.isEmpty());
            QFile script(folder + "/START.sh");
            QVERIFY(script.open(QIODevice::ReadOnly));
            QVERIFY(script.readAll().startsWith("#!/bin/sh\n"));
            QCOMPARE(runStartScript(folder), (QStringList{"1", link}));
            QVERIFY2(!QFileInfo::exists(marker), qPrintable(streamId));
        }
    }

    void copyFailuresAreCollectedAndReported()
    {
        const QString target = temp.filePath("again/App");
        DistributiveExporter exporter(nullptr, programDir);
        exporter.copyFolder(programDir, target);
        QVERIFY(exporter.copyFailures().isEmpty());
        // Existing files are not overwritten: each one is a reported failure.
        exporter.copyFolder(programDir, target);
        QStringList failures = exporter.copyFailures();
        failures.sort();
        QCOMPARE(failures, (QStringList{programDir + "/lib/libengine.so.1", programDir + "/orvanta",
                                        programDir + "/share/data/readme.txt"}));
    }

    void exportReportsFilesThatCannotBeCopied()
    {
        // A source path just under the system's limit gets too long in the
        // export, where it sits deeper: the copy cannot be written.
        const QString broken = temp.filePath("brokenprogram");
        QVERIFY(writeFile(broken + "/orvanta", kRecordingProgram, true));
        QString deep = broken;
        while (deep.size() < 4000)
            deep += "/" + QString(qMin(200, 4000 - deep.size()) + 1, 'd');
        const QString deepFile = deep + "/" + QString(4085 - deep.size(), 'f');
        QVERIFY(writeFile(deepFile, "data"));

        const QString target = temp.filePath("brokenexport");
        QVERIFY(QDir().mkpath(target));
        QWidget window;
        DistributiveExporter exporter(&window, broken);
        BoxWatcher watcher;
        const QString folder = exporter.exportTo(target, "srt://h:1/s", kDate);
        QCOMPARE(folder, QDir(target).filePath(kFolder));
        QCOMPARE(exporter.copyFailures().size(), 1);
        QVERIFY(deepFile.startsWith(exporter.copyFailures().first()));
        QVERIFY(watcher.seen);
        QCOMPARE(watcher.title, QString("Warning"));
        QCOMPARE(watcher.parent, &window);
        QCOMPARE(watcher.text, "These files could not be copied:\n" + exporter.copyFailures().first());
        QVERIFY(QFileInfo(folder + "/START.sh").isExecutable());
        QVERIFY(QFileInfo(folder + "/App/orvanta").isExecutable());
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestDistributive test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_Distributive.moc"
