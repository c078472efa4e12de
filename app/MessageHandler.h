#pragma once

#include <QtGlobal>

class QMessageLogContext;
class QString;

// Prints every diagnostic as one "Debug: ", "Warning: ", "Critical: " or "Fatal: " line on
// standard error; a fatal message then aborts. Other message types print nothing.
void MessageHandler(QtMsgType Type, const QMessageLogContext &Context, const QString &Message);
