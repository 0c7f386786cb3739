// What scripts/run.sh builds: the program and the studio server, and nothing
// of the tests, benchmarks or fuzz targets.
#include "tests/support/TestMain.h"

class TestRunBuild : public QObject
{
    Q_OBJECT
private slots:
    void buildsOnlyTheProgramAndTheStudio()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        QProcess plan;
        plan.setProcessChannelMode(QProcess::SeparateChannels);
        plan.start("bash", {ORVANTA_SOURCE_DIR "/scripts/run.sh", "--plan", folder.filePath("build")});
        QVERIFY(plan.waitForFinished(120000));
        QVERIFY2(plan.exitCode() == 0, plan.readAllStandardError().constData());
        const QStringList commands = QString::fromLocal8Bit(plan.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        QVERIFY(commands.size() > 50);
        bool linksProgram = false;
        bool linksStudio = false;
        for (QString command : commands) {
            // Only what the commands build counts, not where the folders are.
            command.replace(folder.path(), "<build>").replace(ORVANTA_SOURCE_DIR, "<source>");
            for (const char *area : {"/tests/", "/bench/", "/fuzz/", "test_", "bench_", "fuzz_"})
                QVERIFY2(!command.contains(QLatin1String(area)), qPrintable(command));
            linksProgram |= command.contains(" -o app/orvanta ");
            linksStudio |= command.contains(" -o tools/orvanta-studio/orvanta-studio ");
        }
        QVERIFY(linksProgram);
        QVERIFY(linksStudio);
    }
};

ORVANTA_TEST_MAIN(TestRunBuild, TestMain::Core)
#include "tst_RunBuild.moc"
