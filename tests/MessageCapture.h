#pragma once

#include <QStringList>
#include <QtGlobal>

// Records the text of every debug message while it lives, and passes each message on to the
// handler that was installed before it.
class MessageCapture
{
public:
    MessageCapture()
    {
        s_Lines().clear();
        s_Previous() = qInstallMessageHandler(&MessageCapture::handle);
    }
    ~MessageCapture() { qInstallMessageHandler(s_Previous()); }

    QStringList lines() const { return s_Lines(); }
    int indexOf(const QString &line) const { return s_Lines().indexOf(line); }
    int indexStartingWith(const QString &prefix) const
    {
        for (int i = 0; i < s_Lines().size(); ++i) {
            if (s_Lines().at(i).startsWith(prefix))
                return i;
        }
        return -1;
    }
    void clear() { s_Lines().clear(); }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (type == QtDebugMsg)
            s_Lines() << text;
        if (s_Previous())
            s_Previous()(type, context, text);
    }
    static QStringList &s_Lines()
    {
        static QStringList lines;
        return lines;
    }
    static QtMessageHandler &s_Previous()
    {
        static QtMessageHandler previous = nullptr;
        return previous;
    }
};
