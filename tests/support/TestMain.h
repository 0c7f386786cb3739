#pragma once
// What every test suite includes, and its main():
//     ORVANTA_TEST_MAIN(TestSomething, TestMain::Gui | TestMain::PrivateFolders)
#include "tests/support/PrivateHome.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

#include <cstdio>
#include <memory>
#include <optional>

namespace TestMain {

enum Flag {
    Core = 0,            // a QCoreApplication: no pictures, no windows
    Gui = 1,             // a QApplication on the platform the environment names
    Offscreen = 2 | Gui, // ... offscreen unless QT_QPA_PLATFORM names another
    PrivateFolders = 4,  // own settings and temporary folders, removed at the end
    SoundServer = 8,     // plays or records through the test environment's sound server
};

// Why the test environment's sound server (ORVANTA_PULSE) cannot serve: its client's
// complaint and the end of its log; empty while it answers, or where the environment
// has none.
inline QString soundServerProblem()
{
    if (qEnvironmentVariableIsEmpty("ORVANTA_PULSE"))
        return QString();
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {QStringLiteral("info")});
    if (pactl.waitForFinished(10000) && pactl.exitStatus() == QProcess::NormalExit && pactl.exitCode() == 0)
        return QString();
    pactl.kill();
    QString problem = QStringLiteral("the test sound server does not answer (pactl: %1)")
                          .arg(QString::fromLocal8Bit(pactl.readAllStandardError()).trimmed());
    QFile log(qEnvironmentVariable("ORVANTA_ENV_DIR") + QStringLiteral("/pulse.log"));
    if (log.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = log.readAll().trimmed().split('\n');
        problem += QStringLiteral("; the end of its log:");
        for (const QByteArray &line : lines.mid(qMax(0, lines.size() - 10)))
            problem += QStringLiteral("\n    ") + QString::fromLocal8Bit(line);
    }
    return problem;
}

inline QString settingsFile()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + "/Velmora/Orvanta.ini";
}

// Marks a server ("host:port") as one the user broadcast to before, whose
// links start without a question.
inline void confirmServer(const QString &server)
{
    QSettings settings(settingsFile(), QSettings::IniFormat);
    QStringList servers = settings.value("CONFIRMED_SERVERS").toStringList();
    servers.prepend(server);
    settings.setValue("CONFIRMED_SERVERS", servers);
}

template <class Suite>
int run(int argc, char **argv, int flags)
{
    std::optional<PrivateHome> home;
    if (flags & PrivateFolders) {
        home.emplace();
        if (!home->isValid())
            return 1;
    }
    if ((flags & Offscreen) == Offscreen && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::unique_ptr<QCoreApplication> app;
    if (flags & Gui)
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    // Without the sound server its suites would fail on what it should have shown (a missing
    // device, silence); they fail with its state instead.
    const bool needsSound = flags & SoundServer;
    QString problem = needsSound ? soundServerProblem() : QString();
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "FAIL!  : %s: %s\n", Suite::staticMetaObject.className(), qPrintable(problem));
        return 1;
    }
    Suite suite;
    const int failures = QTest::qExec(&suite, argc, argv);
    problem = failures && needsSound ? soundServerProblem() : QString();
    if (!problem.isEmpty())
        std::fprintf(stderr, "FAIL!  : %s: the failures above may come from the sound server: %s\n",
                     Suite::staticMetaObject.className(), qPrintable(problem));
    return failures;
}

} // namespace TestMain

#define ORVANTA_TEST_MAIN(Suite, flags)                   \
    int main(int argc, char **argv)                       \
    {                                                     \
        return TestMain::run<Suite>(argc, argv, (flags)); \
    }
