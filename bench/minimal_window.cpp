// The yardstick for start-up: a Qt widgets program that shows one empty 600 x 190 window.
#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Minimal"));
    window.setFixedSize(600, 190);
    window.show();
    return application.exec();
}
