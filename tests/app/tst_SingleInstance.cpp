#include "app/SingleInstance.h"

#include "tests/support/StudioProcess.h"

#include "tests/support/TestMain.h"

namespace {
constexpr int kStartWaitMs = 30000;
constexpr int kStreamWaitMs = 30000;

QString programPath()
{
    return QStringLiteral(ORVANTA_BINARY_DIR "/app/orvanta");
}

// Hands over from a thread of its own: the listening side needs this
// thread's event loop meanwhile.
bool handOverFromThread(const SingleInstance &instance, const QString &link)
{
    bool taken = false;
    QThread *thread = QThread::create([&] { taken = instance.handOver(link); });
    thread->start();
    const bool ended = QTest::qWaitFor([thread] { return thread->isFinished(); }, kStartWaitMs);
    if (ended)
        thread->wait();
    delete thread;
    return ended && taken;
}
}

// One program per user: a later start hands its link to the running one. In
// process for the socket's rules, then with real program processes on the
// display the tests run on (offscreen without one).
class TestSingleInstance : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        for (const char *folder : {"runtime", "config", "tmp", "data/applications"})
            QVERIFY(QDir().mkpath(m_home.filePath(folder)));
        QFile::setPermissions(m_home.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void laterStartHandsOverItsLink()
    {
        const QString path = m_home.filePath("runtime/in-process");
        SingleInstance running(path);
        QCOMPARE(running.handOverOrListen("orvanta://first"), SingleInstance::Role::Running);
        QVERIFY(running.isListening());
        // Only the user reaches the socket.
        QCOMPARE(QFileInfo(path).permissions() & (QFile::ReadOther | QFile::WriteOther | QFile::ReadGroup
                                                  | QFile::WriteGroup),
                 QFile::Permissions());
        QSignalSpy received(&running, &SingleInstance::linkReceived);
        SingleInstance later(path);
        QVERIFY(handOverFromThread(later, "orvanta://127.0.0.1:9000/id/1/2/HD//p%2Fq"));
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.at(0).at(0).toString(), QString("orvanta://127.0.0.1:9000/id/1/2/HD//p%2Fq"));
        QVERIFY(handOverFromThread(later, QString()));
        QCOMPARE(received.size(), 2);
        QCOMPARE(received.at(1).at(0).toString(), QString());
    }

    void leftoverSocketIsTakenOver()
    {
        // A program that crashed leaves a file behind where its socket was.
        const QString path = m_home.filePath("runtime/leftover");
        QFile leftover(path);
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        leftover.close();
        SingleInstance next(path);
        QCOMPARE(next.handOverOrListen(QString()), SingleInstance::Role::Running);
        QVERIFY(next.isListening());
    }

    void oversizedOrUnendedMessagesAreDropped()
    {
        const QString path = m_home.filePath("runtime/limits");
        SingleInstance running(path);
        QVERIFY(running.listen());
        QSignalSpy received(&running, &SingleInstance::linkReceived);
        QLocalSocket flood;
        flood.connectToServer(path);
        QVERIFY(flood.waitForConnected(kStartWaitMs));
        flood.write(QByteArray(SingleInstance::kMaxMessageBytes + 10, 'x'));
        QTRY_VERIFY_WITH_TIMEOUT(flood.state() == QLocalSocket::UnconnectedState, kStartWaitMs);
        QCOMPARE(received.size(), 0);
    }

    // Two real program processes: the second start hands over its link and
    // ends; the first fills its form from it and streams to the studio. A
    // plain third start only raises the first.
    void secondProgramStartHandsOverToTheFirst()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        QProcess first;
        first.setProcessEnvironment(programEnvironment());
        first.setProcessChannelMode(QProcess::MergedChannels);
        first.start(programPath(), QStringList());
        QVERIFY(first.waitForStarted(kStartWaitMs));
        QVERIFY2(waitForInstance(), first.readAll().constData());

        const QString link = QString("orvanta://127.0.0.1:%1/handed/1024/64/SD").arg(studio.srtPort());
        QCOMPARE(runSecond({link}), 0);
        QVERIFY2(!studio.waitForStream("handed", "media", 20000, kStreamWaitMs).isEmpty(), first.readAll().constData());
        QCOMPARE(first.state(), QProcess::Running);

        // --help and --version answer at once, before any hand-over.
        for (const QString &option : {QString("--help"), QString("--version")}) {
            QProcess asking;
            asking.setProcessEnvironment(programEnvironment());
            asking.start(programPath(), {option});
            QVERIFY(asking.waitForFinished(kStartWaitMs));
            QCOMPARE(asking.exitCode(), 0);
            const QByteArray answer = asking.readAllStandardOutput();
            QVERIFY2(answer.startsWith("orvanta 1.0 (build 22)\n"), answer.constData());
            QCOMPARE(answer.contains("Usage: orvanta [LINK]"), option == "--help");
        }
        QVERIFY(!collect(first).contains("-- raised by a later start"));

        QCOMPARE(runSecond({}), 0);
        QVERIFY(QTest::qWaitFor([&] { return collect(first).contains("-- raised by a later start"); }, kStartWaitMs));
        QCOMPARE(first.state(), QProcess::Running);
        // The running program keeps its session log in the state folder.
        QFile log(m_home.filePath("state/orvanta/orvanta.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("-- raised by a later start"));

        // xdg-open runs the registered menu entry, which hands over the same way.
        QVERIFY(registerMenuEntry());
        QProcess opener;
        QProcessEnvironment environment = programEnvironment();
        environment.insert("PATH", QFileInfo(programPath()).path() + ":" + environment.value("PATH"));
        if (environment.value("DISPLAY").isEmpty())
            environment.insert("DISPLAY", ":0");  // xdg-open asks for one; offscreen programs ignore it
        opener.setProcessEnvironment(environment);
        opener.start("xdg-open", {QString("orvanta://127.0.0.1:%1/opened/1024/64/SD").arg(studio.srtPort())});
        QVERIFY(opener.waitForFinished(kStartWaitMs));
        QCOMPARE(opener.exitCode(), 0);
        QVERIFY(!studio.waitForStream("opened", "media", 20000, kStreamWaitMs).isEmpty());
        QCOMPARE(first.state(), QProcess::Running);

        first.terminate();
        if (!first.waitForFinished(kStartWaitMs)) {
            first.kill();
            first.waitForFinished();
        }
    }

private:
    QProcessEnvironment programEnvironment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", m_home.filePath("runtime"));
        environment.insert("XDG_CONFIG_HOME", m_home.filePath("config"));
        environment.insert("TMPDIR", m_home.filePath("tmp"));
        environment.insert("XDG_DATA_HOME", m_home.filePath("data"));
        environment.insert("XDG_STATE_HOME", m_home.filePath("state"));
        environment.insert("XDG_DATA_DIRS", m_home.filePath("data"));
        environment.remove("XDG_CURRENT_DESKTOP");
        if (environment.value("DISPLAY").isEmpty())
            environment.insert("QT_QPA_PLATFORM", "offscreen");
        else
            environment.remove("QT_QPA_PLATFORM");
        return environment;
    }

    bool waitForInstance() const
    {
        const QString path = m_home.filePath("runtime/orvanta-instance");
        return QTest::qWaitFor(
            [&path] {
                QLocalSocket probe;
                probe.connectToServer(path);
                const bool connected = probe.waitForConnected(200);
                probe.abort();
                return connected;
            },
            kStartWaitMs);
    }

    int runSecond(const QStringList &arguments) const
    {
        QProcess second;
        second.setProcessEnvironment(programEnvironment());
        second.start(programPath(), arguments);
        if (!second.waitForFinished(kStartWaitMs)) {
            second.kill();
            second.waitForFinished();
            return -1;
        }
        return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1;
    }

    QByteArray collect(QProcess &process)
    {
        m_output += process.readAll();
        return m_output;
    }

    bool registerMenuEntry() const
    {
        const QString entry = m_home.filePath("data/applications/orvanta.desktop");
        if (!QFile::exists(entry)
            && !QFile::copy(QStringLiteral(ORVANTA_SOURCE_DIR "/packaging/orvanta.desktop"), entry))
            return false;
        QProcess mime;
        mime.setProcessEnvironment(programEnvironment());
        mime.start("xdg-mime", {"default", "orvanta.desktop", "x-scheme-handler/orvanta"});
        return mime.waitForFinished(kStartWaitMs) && mime.exitCode() == 0;
    }

    QTemporaryDir m_home;
    QByteArray m_output;
};

ORVANTA_TEST_MAIN(TestSingleInstance, TestMain::Core)
#include "tst_SingleInstance.moc"
