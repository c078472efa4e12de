#include "app/MessageHandler.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *Prefix(QtMsgType Type)
{
    switch (Type) {
    case QtDebugMsg:
        return "Debug: ";
    case QtWarningMsg:
        return "Warning: ";
    case QtCriticalMsg:
        return "Critical: ";
    case QtFatalMsg:
        return "Fatal: ";
    default:
        // Qt 5's info messages and any later type print nothing.
        return nullptr;
    }
}

} // namespace

void MessageHandler(QtMsgType Type, const QMessageLogContext &, const QString &Message)
{
    const char *prefix = Prefix(Type);
    if (prefix) {
        // A message may span lines (Qt 6.8 warns over four lines about a locale that is not
        // UTF-8): each of its lines gets the prefix. The whole message goes out in one call,
        // so that another thread's message does not land between its lines. A line's text
        // stops at its first NUL byte, as it did when the handler printed it with "%s".
        const QByteArray text = Message.toLocal8Bit();
        const char *const prefixEnd = prefix + strlen(prefix);
        const char *begin = text.constData();
        const char *const textEnd = begin + text.size();
        QByteArray output;
        output.reserve(text.size() + (prefixEnd - prefix) + 1);
        while (true) {
            const char *end = static_cast<const char *>(memchr(begin, '\n', textEnd - begin));
            const bool last = !end;
            if (last)
                end = textEnd;
            const char *nul = static_cast<const char *>(memchr(begin, '\0', end - begin));
            output.append(prefix, int(prefixEnd - prefix));
            output.append(begin, int((nul ? nul : end) - begin));
            output.append('\n');
            if (last)
                break;
            begin = end + 1;
        }
        fwrite(output.constData(), 1, size_t(output.size()), stderr);
        // Windows' C library buffers stderr when it is a file or a pipe; a line still in the
        // buffer would be lost with a process that ends abruptly.
        fflush(stderr);
    }
    if (Type == QtFatalMsg)
        abort();
}
