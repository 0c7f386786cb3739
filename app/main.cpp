#include "app/MainWindow.h"
#include "app/SingleInstance.h"
#include "app/Startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    Startup::choosePlatform();
    QApplication app(argc, argv);
    app.setStyleSheet(Startup::styleSheet() + Startup::readabilityStyleSheet());
    const QString link = Startup::linkArgument(app.arguments());
    // A program already running takes the link (or just comes to the front).
    SingleInstance instance;
    if (instance.handOverOrListen(link) == SingleInstance::Role::HandedOver)
        return 0;
    MainWindow window(link);
    QObject::connect(&instance, &SingleInstance::linkReceived, &window, &MainWindow::openLink);
    window.show();
    return app.exec();
}
