#include "app/MessageHandler.h"

#include <QString>

#include <cstdio>
#include <cstdlib>

void MessageHandler(QtMsgType Type, const QMessageLogContext &, const QString &Message)
{
    const QByteArray text = Message.toLocal8Bit();
    switch (Type) {
    case QtDebugMsg:
        fprintf(stderr, "Debug: %s\n", text.constData());
        break;
    case QtWarningMsg:
        fprintf(stderr, "Warning: %s\n", text.constData());
        break;
    case QtCriticalMsg:
        fprintf(stderr, "Critical: %s\n", text.constData());
        break;
    case QtFatalMsg:
        fprintf(stderr, "Fatal: %s\n", text.constData());
        abort();
    default:
        // Qt 5's info messages and any later type print nothing.
        break;
    }
}
