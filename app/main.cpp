#include "app/MainWindow.h"
#include "app/Startup.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setStyleSheet(Startup::styleSheet());
    const QString link = Startup::linkArgument(app.arguments());
    MainWindow window(link);
    window.show();
    return app.exec();
}
