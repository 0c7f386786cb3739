#pragma once
// What every test suite includes, and its main():
//     ORVANTA_TEST_MAIN(TestSomething, TestMain::Gui | TestMain::PrivateFolders)
#include "tests/support/PrivateHome.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

#include <memory>
#include <optional>

namespace TestMain {

enum Flag {
    Core = 0,            // a QCoreApplication: no pictures, no windows
    Gui = 1,             // a QApplication on the platform the environment names
    Offscreen = 2 | Gui, // ... offscreen unless QT_QPA_PLATFORM names another
    PrivateFolders = 4,  // own settings and temporary folders, removed at the end
};

inline QString settingsFile()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + "/Velmora/Orvanta.ini";
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
    Suite suite;
    return QTest::qExec(&suite, argc, argv);
}

} // namespace TestMain

#define ORVANTA_TEST_MAIN(Suite, flags)                   \
    int main(int argc, char **argv)                       \
    {                                                     \
        return TestMain::run<Suite>(argc, argv, (flags)); \
    }
