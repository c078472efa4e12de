// Emits one message of the type named by its argument through the program's handler, so that
// a test can read exactly what reaches standard error.
#include "app/MessageHandler.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

int main(int argc, char *argv[])
{
    qInstallMessageHandler(MessageHandler);
    const QByteArray type = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    const char *text = argc > 2 ? argv[2] : "abc";
    if (type == "debug")
        qDebug("%s", text);
    else if (type == "info")
        qInfo("%s", text);
    else if (type == "warning")
        qWarning("%s", text);
    else if (type == "critical")
        qCritical("%s", text);
    else if (type == "fatal")
        qFatal("%s", text);
    else if (type == "other")
        qt_message_output(QtMsgType(7), QMessageLogContext(), QString::fromLocal8Bit(text));
    return 0;
}
