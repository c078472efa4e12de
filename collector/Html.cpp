#include "Html.h"

namespace Html {

QString escape(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size() + text.size() / 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '&': escaped += QLatin1String("&amp;"); break;
        case '<': escaped += QLatin1String("&lt;"); break;
        case '>': escaped += QLatin1String("&gt;"); break;
        case '"': escaped += QLatin1String("&quot;"); break;
        case '\'': escaped += QLatin1String("&#39;"); break;
        default:
            // Control characters have no place in a page and would make XML-parsed SVG invalid.
            if (c.unicode() < 0x20 && c != QLatin1Char('\n') && c != QLatin1Char('\t'))
                escaped += QChar(0xFFFD);
            else
                escaped += c;
        }
    }
    return escaped;
}

} // namespace Html
