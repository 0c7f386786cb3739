#include "tests/support/TestMain.h"

namespace {
constexpr int kProcessWaitMs = 240000;

struct Run {
    int exitCode = -1;
    QByteArray output;
};

// A program that hangs is killed with its QProcess.
Run run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(kProcessWaitMs))
        return {-1, "timed out: " + program.toLocal8Bit()};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAll()};
}
}

// What `cmake --install` and `cpack -G DEB` make of the build, and what
// scripts/run.sh would build. The entry's registration with xdg-mime and its
// hand-over of a link run in the single-instance suite.
class TestInstall : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_prefix.isValid());
        const Run installed = run("cmake", {"--install", ORVANTA_BINARY_DIR, "--prefix", m_prefix.path()});
        QVERIFY2(installed.exitCode == 0, installed.output.constData());
    }

    void programsInstalledAndRunnable()
    {
        for (const QString &name : QStringList{"orvanta", "orvanta-studio"})
            QVERIFY2(QFileInfo(m_prefix.filePath("bin/" + name)).isExecutable(), qPrintable(name));
        const Run help = run(m_prefix.filePath("bin/orvanta-studio"), {"--help"});
        QCOMPARE(help.exitCode, 0);
        QVERIFY(help.output.contains("--passphrase"));
    }

    void menuEntryHandlesOrvantaLinks()
    {
        const QString path = m_prefix.filePath("share/applications/orvanta.desktop");
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (const char *line : {"Exec=orvanta %u", "MimeType=x-scheme-handler/orvanta;", "Icon=orvanta", "Type=Application"})
            QVERIFY2(lines.contains(line), line);
        const Run validated = run("desktop-file-validate", {path});
        QVERIFY2(validated.exitCode == 0 && validated.output.isEmpty(), validated.output.constData());
    }

    void iconsInEverySize()
    {
        for (int size : {16, 24, 32, 48, 64, 128, 256}) {
            const QString path = m_prefix.filePath(QString("share/icons/hicolor/%1x%1/apps/orvanta.png").arg(size));
            const QImage icon(path);
            QCOMPARE(icon.size(), QSize(size, size));
            // Drawn, with transparent corners.
            QVERIFY(qAlpha(icon.pixel(0, 0)) == 0);
            QVERIFY(qAlpha(icon.pixel(size / 2, size / 2)) == 255);
        }
        QVERIFY(QFile::exists(m_prefix.filePath("share/icons/hicolor/scalable/apps/orvanta.svg")));
    }

    // The Debian package declares what its binaries link, and holds the
    // same files under /usr.
    void debianPackage()
    {
        QTemporaryDir out;
        QVERIFY(out.isValid());
        const Run packed = run("cpack", {"-G", "DEB", "--config", ORVANTA_BINARY_DIR "/CPackConfig.cmake", "-B",
                                         out.path()});
        QVERIFY2(packed.exitCode == 0, packed.output.constData());
        const QStringList debs = QDir(out.path()).entryList({"orvanta_*.deb"}, QDir::Files);
        QCOMPARE(debs.size(), 1);
        const QString deb = out.filePath(debs.first());
        const Run info = run("dpkg-deb", {"--info", deb});
        QCOMPARE(info.exitCode, 0);
        QByteArray dependsLine;
        for (const QByteArray &line : info.output.split('\n'))
            if (line.trimmed().startsWith("Depends:"))
                dependsLine = line;
        for (const char *package : {"libqt5widgets5", "libqt5network5", "libqt5multimedia5", "libsrt1.5-gnutls",
                                    "libavcodec59", "libavformat59", "libpulse0", "libqt5multimedia5-plugins",
                                    "libpipewire-0.3-0", "libqt5dbus5"})
            QVERIFY2(dependsLine.contains(package), dependsLine.constData());
        const Run contents = run("dpkg-deb", {"--contents", deb});
        for (const char *file : {"./usr/bin/orvanta", "./usr/bin/orvanta-studio",
                                 "./usr/share/applications/orvanta.desktop",
                                 "./usr/share/icons/hicolor/48x48/apps/orvanta.png"})
            QVERIFY2(contents.output.contains(file), contents.output.constData());
    }

    // scripts/run.sh's build, configured into a temporary folder: the program
    // and the studio server, and nothing of the tests, benchmarks or fuzz targets.
    void runScriptBuildsOnlyTheProgramAndTheStudio()
    {
        QTemporaryDir folder;
        const Run plan = run("bash", {ORVANTA_SOURCE_DIR "/scripts/run.sh", "--plan", folder.filePath("b")});
        QVERIFY2(plan.exitCode == 0, plan.output.constData());
        // Only what the commands build counts, not where the folders are.
        QString commands = QString::fromLocal8Bit(plan.output);
        commands.replace(folder.path(), "<build>").replace(ORVANTA_SOURCE_DIR, "<source>");
        QVERIFY(commands.count('\n') > 50);
        for (const char *area : {"/tests/", "/bench/", "/fuzz/", "test_", "bench_", "fuzz_"})
            QVERIFY2(!commands.contains(QLatin1String(area)), area);
        for (const char *linked : {" -o app/orvanta ", " -o tools/orvanta-studio/orvanta-studio "})
            QVERIFY2(commands.contains(QLatin1String(linked)), linked);
    }

private:
    QTemporaryDir m_prefix;
};

ORVANTA_TEST_MAIN(TestInstall, TestMain::Core)
#include "tst_Install.moc"
