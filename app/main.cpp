#include "app/window/MainWindow.h"
#include "app/services/SingleInstance.h"
#include "app/services/Startup.h"

#include "diagnostics/LogFile.h"

#include <QApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const QString answer = Startup::commandLineAnswer(arguments);
    if (!answer.isEmpty()) {
        std::fputs(answer.toLocal8Bit().constData(), stdout);
        return 0;
    }
    Startup::choosePlatform();
    QApplication app(argc, argv);
    app.setStyleSheet(Startup::styleSheet() + Startup::readabilityStyleSheet());
    const QString link = Startup::linkArgument(app.arguments());
    // A program already running takes the link (or just comes to the front).
    SingleInstance instance;
    if (instance.handOverOrListen(link) == SingleInstance::Role::HandedOver)
        return 0;
    // Only the instance that runs keeps the session log.
    LogFile::install();
    MainWindow window(link);
    QObject::connect(&instance, &SingleInstance::linkReceived, &window, &MainWindow::openLink);
    window.show();
    return app.exec();
}
