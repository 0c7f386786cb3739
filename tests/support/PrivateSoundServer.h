#pragma once
#include <QDir>
#include <QProcess>
#include <QString>
#include <QTest>

// A PulseAudio server of a test's own on a socket in a folder of its own,
// with a null sink ("restart_sink") as its default output: it can be killed and
// started again on the same socket, as a user's server restarts, without
// disturbing the tests that share the environment's server. use() points
// this process (and the programs it starts) at it.
class PrivateSoundServer
{
public:
    static constexpr int kStartMs = 10000;

    // modules: more to load, as "module-name arguments".
    explicit PrivateSoundServer(const QString &folder, const QStringList &modules = {})
        : m_folder(folder), m_modules(modules)
    {
        QDir().mkpath(m_folder + "/runtime");
        QDir().mkpath(m_folder + "/state");
        QFile::setPermissions(m_folder + "/runtime", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    ~PrivateSoundServer()
    {
        kill();
        if (m_using && m_saved.isNull())
            qunsetenv("PULSE_SERVER");
        else if (m_using)
            qputenv("PULSE_SERVER", m_saved);
    }

    QString socket() const { return m_folder + "/native"; }
    QString monitor() const { return QStringLiteral("restart_sink.monitor"); }
    void use()
    {
        if (!m_using)
            m_saved = qgetenv("PULSE_SERVER");
        m_using = true;
        qputenv("PULSE_SERVER", "unix:" + socket().toUtf8());
    }

    // Starts the server and waits until it answers.
    bool start()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PULSE_RUNTIME_PATH", m_folder + "/runtime");
        environment.insert("PULSE_STATE_PATH", m_folder + "/state");
        m_server.setProcessEnvironment(environment);
        m_server.setProcessChannelMode(QProcess::MergedChannels);
        QStringList arguments{"-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no",
                              "--log-target=stderr",
                              "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket(),
                              "--load=module-null-sink sink_name=restart_sink"};
        for (const QString &module : m_modules)
            arguments << "--load=" + module;
        m_server.start("pulseaudio", arguments);
        if (!m_server.waitForStarted(kStartMs))
            return false;
        return QTest::qWaitFor([&] { return answers() || m_server.state() != QProcess::Running; }, kStartMs)
               && m_server.state() == QProcess::Running;
    }
    // Ends it at once, as a crash would.
    void kill()
    {
        if (m_server.state() == QProcess::NotRunning)
            return;
        m_server.kill();
        m_server.waitForFinished(kStartMs);
        QFile::remove(socket());
    }
    QByteArray log() { return m_server.readAll(); }

private:
    bool answers() const
    {
        QProcess info;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PULSE_SERVER", "unix:" + socket());
        info.setProcessEnvironment(environment);
        info.start("pactl", {"info"});
        return info.waitForFinished(kStartMs) && info.exitCode() == 0;
    }

    QString m_folder;
    QStringList m_modules;
    QProcess m_server;
    QByteArray m_saved;
    bool m_using = false;
};
