#pragma once

#include <QtGlobal>

class QMessageLogContext;
class QString;

// Prints every diagnostic on standard error as one line starting with "Debug: ", "Warning: ",
// "Critical: " or "Fatal: "; a message that spans lines prints each of its lines so. A fatal
// message then aborts. Other message types print nothing.
void MessageHandler(QtMsgType Type, const QMessageLogContext &Context, const QString &Message);
