#pragma once

#include <QString>

// Text placed into HTML or SVG markup. Every value that came from a client, the database or a
// form goes through escape(), attributes included.
namespace Html {

QString escape(const QString &text);

} // namespace Html
