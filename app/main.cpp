#include "app/MessageHandler.h"
#include "config/Configuration.h"
#include "ui/MainWindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    qInstallMessageHandler(MessageHandler);
    QApplication application(argc, argv);
    Configuration::Initialize();
    MainWindow window;
    window.show();
    return application.exec();
}
