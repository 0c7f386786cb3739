#include "app/services/InstanceFolder.h"
#include "app/services/SingleInstance.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TestMain.h"

namespace {
constexpr int kWaitMs = 30000;
const QString kProgram = QStringLiteral(ORVANTA_BINARY_DIR "/app/orvanta");
void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}
QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);
}
}

// One program per user: a later start hands its link to the running one; its
// private temporary folder, with the shared one (the test's TMPDIR) set up as
// another user of the machine could have left it.
class TestSingleInstance : public QObject
{
    Q_OBJECT
    QTemporaryDir m_home;
    QByteArray m_output;
    QTemporaryDir victim; // what a planted link points at
    const QString shared = QDir::tempPath();

    // Runs a program to its end: its exit code, -1 if it crashed or hung (killed with its QProcess).
    int run(const QString &program, const QStringList &arguments, QByteArray *out = nullptr)
    {
        QProcess process;
        process.start(program, arguments);
        const bool ended = process.waitForFinished(kWaitMs);
        if (out)
            *out = process.readAllStandardOutput();
        return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QByteArray collect(QProcess &process) { return m_output += process.readAll(); }

private slots:
    void initTestCase()
    {
        for (const char *folder : {"runtime", "config", "data/applications"})
            QVERIFY(QDir().mkpath(m_home.filePath(folder)));
        QFile::setPermissions(m_home.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        for (const char *name : {"CONFIG", "DATA", "STATE"})
            qputenv(qPrintable(QString("XDG_%1_HOME").arg(name)), QFile::encodeName(m_home.filePath(QString(name).toLower())));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_home.filePath("runtime")));
        qputenv("XDG_DATA_DIRS", QFile::encodeName(m_home.filePath("data")));
        qputenv("PATH", QFile::encodeName(QFileInfo(kProgram).path()) + ":" + qgetenv("PATH")); // for xdg-open
        qunsetenv("XDG_CURRENT_DESKTOP");
        qunsetenv("QT_QPA_PLATFORM");
        if (qEnvironmentVariableIsEmpty("DISPLAY")) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
            qputenv("DISPLAY", ":0"); // xdg-open asks for one; offscreen programs ignore it
        }
    }
    void init() { writeFile(victim.filePath("precious.txt"), "keep me"); }
    void cleanup() { QCOMPARE(readFile(victim.filePath("precious.txt")), QByteArray("keep me")); }

    // A file left where the socket was (a crashed program) is taken over;
    // only the user reaches the socket; an oversized message is dropped.
    void socketRules()
    {
        const QString path = m_home.filePath("runtime/in-process");
        writeFile(path, {});
        SingleInstance running(path);
        QCOMPARE(running.handOverOrListen("orvanta://first"), SingleInstance::Role::Running);
        QVERIFY(running.isListening());
        const auto others = QFile::ReadOther | QFile::WriteOther | QFile::ReadGroup | QFile::WriteGroup;
        QCOMPARE(QFileInfo(path).permissions() & others, QFile::Permissions());
        QSignalSpy received(&running, &SingleInstance::linkReceived);
        QLocalSocket flood;
        flood.connectToServer(path);
        QVERIFY(flood.waitForConnected(kWaitMs));
        flood.write(QByteArray(SingleInstance::kMaxMessageBytes + 10, 'x'));
        QTRY_VERIFY_WITH_TIMEOUT(flood.state() == QLocalSocket::UnconnectedState, kWaitMs);
        QCOMPARE(received.size(), 0);
    }

    // Real programs (offscreen without a display): a second start hands over
    // its link and ends; --help answers without a hand-over; a plain start
    // only raises the first; xdg-open's menu entry hands over too, and its
    // link, which would replace the live broadcast, waits for the user's word.
    void secondProgramStartHandsOverToTheFirst()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        TestMain::confirmServer(QString("127.0.0.1:%1").arg(studio.srtPort()));
        QProcess first;
        first.setProcessChannelMode(QProcess::MergedChannels);
        first.start(kProgram, QStringList());
        QVERIFY(first.waitForStarted(kWaitMs));
        QVERIFY2(QTest::qWaitFor([&] {
                     QLocalSocket probe;
                     probe.connectToServer(m_home.filePath("runtime/orvanta-instance"));
                     return probe.waitForConnected(200);
                 }, kWaitMs), first.readAll().constData());

        const QString link = QString("orvanta://127.0.0.1:%1/handed/1024/64/SD").arg(studio.srtPort());
        QCOMPARE(run(kProgram, {link}), 0);
        QVERIFY2(!studio.waitForStream("handed", "media", 20000, kWaitMs).isEmpty(), first.readAll().constData());
        QByteArray help; // its texts are the start-up suite's
        QCOMPARE(run(kProgram, {"--help"}, &help), 0);
        QVERIFY2(help.startsWith("orvanta 1.0 (build 22)\nStreams the screen"), help.constData());
        QVERIFY(!collect(first).contains("-- raised by a later start"));
        QCOMPARE(run(kProgram, {}), 0);
        QVERIFY(QTest::qWaitFor([&] { return collect(first).contains("-- raised by a later start"); }, kWaitMs));
        QVERIFY(readFile(m_home.filePath("state/orvanta/orvanta.log")).contains("raised by a later start"));

        QVERIFY(QFile::copy(QStringLiteral(ORVANTA_SOURCE_DIR "/packaging/orvanta.desktop"),
                            m_home.filePath("data/applications/orvanta.desktop")));
        QCOMPARE(run("xdg-mime", {"default", "orvanta.desktop", "x-scheme-handler/orvanta"}), 0);
        QCOMPARE(run("xdg-open", {QString("orvanta://127.0.0.1:%1/opened/1024/64/SD").arg(studio.srtPort())}), 0);
        QVERIFY(QTest::qWaitFor([&] { return collect(first).contains("-- a link asks to start: waiting for the user"); },
                                kWaitMs));
        const qint64 live = StudioProcess::count(studio.waitForStream("handed", "media"), "bytes");
        QVERIFY(!studio.waitForStream("handed", "media", live + 20000, kWaitMs, 1).isEmpty());
        QVERIFY(StudioProcess::findStream(studio.status(), "opened", "media").isEmpty());
        QCOMPARE(first.state(), QProcess::Running);
        first.terminate();
        QVERIFY(first.waitForFinished(kWaitMs));
    }

    void plantedLinkIsNeitherWrittenNorRemoved()
    {
        qunsetenv("XDG_RUNTIME_DIR");
        // The name the program once used, planted as a link to another user's files.
        QVERIFY(QFile::link(victim.path(), shared + "/orvanta"));
        QString folderPath;
        {
            InstanceFolder folder;
            QVERIFY(folder.isValid());
            folderPath = folder.path();
            // A folder of its own beside the planted name; its name and mode are the window's suite's.
            QCOMPARE(QFileInfo(folderPath).dir().path(), QDir(shared).path());
            const QString splash = folder.addCopy(":/splash", "splash.png");
            QCOMPARE(splash, folderPath + "/splash.png");
            QCOMPARE(QImage(splash).size(), QSize(1280, 720));
            QCOMPARE(folder.addCopy(":/splash", "../escaped.png"), QString());
        }
        QVERIFY(!QFileInfo::exists(folderPath));
        QVERIFY(!QFileInfo::exists(shared + "/escaped.png"));
        QVERIFY(QFileInfo(shared + "/orvanta").isSymLink());
        QCOMPARE(entries(victim.path()), QStringList{"precious.txt"});
        QFile::remove(shared + "/orvanta");
    }

    // Whatever was changed in the folder meanwhile, removal, once or twice,
    // takes only its own file (beside another instance: the window's suite).
    void removalTakesOnlyItsOwnFile_data()
    {
        QTest::addColumn<int>("change");
        QTest::newRow("a link in place of its file") << 0;
        QTest::newRow("a file it did not make") << 1;
        QTest::newRow("the folder replaced by a link") << 2;
    }
    void removalTakesOnlyItsOwnFile()
    {
        QFETCH(int, change);
        InstanceFolder folder;
        const QString splash = folder.addCopy(":/splash", "splash.png");
        QVERIFY(!splash.isEmpty());
        if (change == 0) {
            QVERIFY(QFile::remove(splash));
            QVERIFY(QFile::link(victim.filePath("precious.txt"), splash));
        } else if (change == 1) {
            writeFile(folder.path() + "/not-ours.bin", "x");
        } else if (change == 2) {
            QVERIFY(QFile::remove(splash));
            QVERIFY(QDir().rmdir(folder.path()));
            QVERIFY(QFile::link(victim.path(), folder.path()));
            writeFile(victim.filePath("splash.png"), "not the program's");
        }
        folder.remove();
        folder.remove();
        if (change == 0)
            QVERIFY(!QFileInfo::exists(folder.path()));
        if (change == 1)
            QCOMPARE(entries(folder.path()), QStringList{"not-ours.bin"});
        if (change == 2) {
            QCOMPARE(readFile(victim.filePath("splash.png")), QByteArray("not the program's"));
            QVERIFY(QFile::remove(folder.path()) && QFile::remove(victim.filePath("splash.png")));
        }
        QDir(folder.path()).removeRecursively();
    }

    // The runtime folder when it is private; open to others, a link or a
    // relative path: the temporary folder.
    void runtimeFolderWhenPrivate()
    {
        QTemporaryDir runtime;
        const auto owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
        QVERIFY(QFile::setPermissions(runtime.path(), owner));
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        QCOMPARE(InstanceFolder::baseLocation(), QDir(runtime.path()).path());
        QCOMPARE(QFileInfo(InstanceFolder().path()).dir().path(), QDir(runtime.path()).path());
        QVERIFY(QFile::setPermissions(runtime.path(), owner | QFileDevice::WriteOther | QFileDevice::ExeOther));
        QCOMPARE(InstanceFolder::baseLocation(), QDir::tempPath());
        QVERIFY(QFile::setPermissions(runtime.path(), owner));
        const QString link = shared + "/runtime-link";
        QVERIFY(QFile::link(runtime.path(), link));
        qputenv("XDG_RUNTIME_DIR", link.toLocal8Bit());
        QCOMPARE(InstanceFolder::baseLocation(), QDir::tempPath());
        qputenv("XDG_RUNTIME_DIR", "relative/path");
        QCOMPARE(InstanceFolder::baseLocation(), QDir::tempPath());
        QFile::remove(link);
    }
};

ORVANTA_TEST_MAIN(TestSingleInstance, TestMain::Core | TestMain::PrivateFolders)
#include "tst_SingleInstance.moc"
