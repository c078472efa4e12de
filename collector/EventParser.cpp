#include "EventParser.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QRegularExpression>

#include <cmath>
#include <limits>

namespace {

const QByteArray prefix = QByteArrayLiteral("PostData=");
const char suffix = '&';

const char *const methods[] = {
    "NewUser",           "AppInstalled",        "AppOpened",           "AppFailed",
    "ConversionStarted", "ConversionCancelled", "ConversionCompleted", "AppClosed",
};

// Members that, wherever they appear, must be text.
const char *const stringFields[] = {
    "APIVersion", "AppVersion",   "OS",        "OSVersion",     "DateTimeClient",
    "Email",      "OSLocale",     "OSCurrencySymbol",           "OSTimeZone",
    "ErrorCode",  "DebugInfo",    "ConversionID", "FilePath",   "FileName",
    "FileExtension", "FormatToConvertTo", "FFMPEGArguments",
};

// Counts sent as decimal text.
const char *const digitFields[] = {"FileSize", "ConvertedFileSize", "SecondsSinceAppStarted"};

// Counts sent as JSON numbers, with the range the client's integers can take.
struct NumberField
{
    const char *name;
    double minimum;
    double maximum;
};
const NumberField numberFields[] = {
    {"ConversionDurationInSeconds", 0, std::numeric_limits<qint32>::max()},
    {"ConversionPercentageComplete", 0, 100},
};

EventParser::Result refuse(int status, const QString &reason)
{
    EventParser::Result result;
    result.refusal.status = status;
    result.refusal.reason = reason;
    return result;
}

// A short, printable quotation of client text for a reason; never the whole of it.
QString quoted(const QString &text)
{
    QString shown = text.left(40);
    for (QChar &c : shown) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            c = QLatin1Char('?');
    }
    return QLatin1Char('"') + shown + (text.size() > 40 ? QLatin1String("...\"")
                                                        : QLatin1String("\""));
}

// Decimal digits with an optional leading minus, nothing else (no spaces, no plus sign).
bool isDecimal(const QString &text, bool allowMinus)
{
    int start = allowMinus && text.startsWith(QLatin1Char('-')) ? 1 : 0;
    if (text.size() <= start)
        return false;
    for (int i = start; i < text.size(); ++i) {
        if (text.at(i) < QLatin1Char('0') || text.at(i) > QLatin1Char('9'))
            return false;
    }
    return true;
}

// The 32-bit identifiers; false when absent, not text, not decimal or out of range.
bool readInt32(const QJsonObject &object, const char *name, qint32 *value)
{
    const QJsonValue member = object.value(QLatin1String(name));
    if (!member.isString() || !isDecimal(member.toString(), true))
        return false;
    bool ok = false;
    const qint64 number = member.toString().toLongLong(&ok);
    if (!ok || number < std::numeric_limits<qint32>::min()
        || number > std::numeric_limits<qint32>::max())
        return false;
    *value = qint32(number);
    return true;
}

// Where an absolute path begins: "/", a drive letter or a network share.
bool startsAbsolutePath(const QString &text, int at)
{
    if (at >= text.size())
        return false;
    if (text.at(at) == QLatin1Char('/'))
        return true;
    if (text.mid(at, 2) == QLatin1String("\\\\"))
        return true;
    return at + 2 < text.size() && text.at(at).isLetter() && text.at(at + 1) == QLatin1Char(':')
           && (text.at(at + 2) == QLatin1Char('/') || text.at(at + 2) == QLatin1Char('\\'));
}

// The converter's command line as the program reports it: "-i", the source, the configured
// arguments and the output, joined with single spaces and nothing quoted. Names may hold
// spaces and " - ", so the source is matched whole where the event names it; the output is the
// last absolute path. What is left are the configured arguments, which hold no names.
QString withoutFileNames(const QString &arguments, const QString &source)
{
    QString text = arguments;
    const QString input = QStringLiteral("-i ");
    if (text.startsWith(input)) {
        int end = -1;
        const int from = input.size();
        if (!source.isEmpty() && text.mid(from).startsWith(source)
            && (text.size() == from + source.size()
                || text.at(from + source.size()) == QLatin1Char(' ')))
            end = from + source.size();
        if (end < 0)
            end = text.indexOf(QLatin1String(" -"), from);
        if (end < 0)
            end = text.size();
        text.replace(from, end - from, QStringLiteral("<source>"));
    }
    for (int at = text.size() - 1; at > 0; --at) {
        if (text.at(at - 1) == QLatin1Char(' ') && startsAbsolutePath(text, at)) {
            text = text.left(at) + QStringLiteral("<output>");
            break;
        }
    }
    return text;
}

// A converter failure's diagnostic text: the converter's path (under the user's profile on a
// per-user installation) and the command line with both file names.
QString withoutFileNamesInDiagnostics(const QString &text)
{
    static const QRegularExpression parameters(
            QStringLiteral("(With these parameters: )[^\\n]*"));
    static const QRegularExpression profile(QStringLiteral(
            "((?:^|[\\s=:])(?:[A-Za-z]:)?[/\\\\](?:Users|home|Documents and Settings)"
            "[/\\\\])[^/\\\\\\n]+"),
                                            QRegularExpression::CaseInsensitiveOption);
    QString result = text;
    result.replace(parameters, QStringLiteral("\\1<removed>"));
    result.replace(profile, QStringLiteral("\\1<user>"));
    return result;
}

} // namespace

bool EventParser::isKnownMethod(const QString &method)
{
    for (const char *name : methods) {
        if (method == QLatin1String(name))
            return true;
    }
    return false;
}

EventParser::Result EventParser::parse(const QByteArray &body, const Options &options,
                                       qint64 receivedAtMs)
{
    if (body.isEmpty())
        return refuse(400, QStringLiteral("empty body"));
    if (!body.startsWith(prefix))
        return refuse(400, QStringLiteral("the body does not start with PostData="));
    if (body.size() == prefix.size() || !body.endsWith(suffix))
        return refuse(400, QStringLiteral("the body does not end with &"));

    // The characters are Latin-1 bytes; QJsonDocument reads UTF-8, hence the round trip.
    const QString text = QString::fromLatin1(body.constData() + prefix.size(),
                                             body.size() - prefix.size() - 1);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        return refuse(400, QStringLiteral("not JSON: ") + error.errorString());
    if (!document.isObject())
        return refuse(400, QStringLiteral("the JSON is not an object"));
    QJsonObject object = document.object();

    const QJsonValue method = object.value(QLatin1String("Method"));
    if (!method.isString())
        return refuse(422, QStringLiteral("Method missing or not a string"));
    if (!isKnownMethod(method.toString()))
        return refuse(422, QStringLiteral("unknown Method ") + quoted(method.toString()));

    Event event;
    event.method = method.toString();
    event.receivedAtMs = receivedAtMs;
    for (const char *name : {"UserID", "AppSessionID"}) {
        const QJsonValue member = object.value(QLatin1String(name));
        if (!member.isString() || member.toString().isEmpty())
            return refuse(422, QLatin1String(name)
                                   + QStringLiteral(" missing, empty or not a string"));
    }
    event.userId = object.value(QLatin1String("UserID")).toString();
    event.appSessionId = object.value(QLatin1String("AppSessionID")).toString();
    if (!readInt32(object, "BrandID", &event.brandId))
        return refuse(422, QStringLiteral("BrandID is not the decimal text of a 32-bit integer"));
    if (!readInt32(object, "AppID", &event.appId))
        return refuse(422, QStringLiteral("AppID is not the decimal text of a 32-bit integer"));

    for (const char *name : stringFields) {
        const QJsonValue member = object.value(QLatin1String(name));
        if (!member.isUndefined() && !member.isString())
            return refuse(422, QLatin1String(name) + QStringLiteral(" is not a string"));
    }
    event.appVersion = object.value(QLatin1String("AppVersion")).toString();

    for (const char *name : digitFields) {
        const QJsonValue member = object.value(QLatin1String(name));
        if (member.isUndefined())
            continue;
        bool ok = false;
        if (member.isString() && isDecimal(member.toString(), false))
            member.toString().toLongLong(&ok);
        if (!ok)
            return refuse(422, QLatin1String(name)
                                   + QStringLiteral(" is not decimal text of a 64-bit count"));
    }

    for (const NumberField &field : numberFields) {
        const QJsonValue member = object.value(QLatin1String(field.name));
        if (member.isUndefined())
            continue;
        const double number = member.toDouble(std::nan(""));
        if (!member.isDouble() || !std::isfinite(number) || number != std::floor(number)
            || number < field.minimum || number > field.maximum)
            return refuse(422, QLatin1String(field.name)
                                   + QStringLiteral(" is not a whole number from %1 to %2")
                                         .arg(qint64(field.minimum))
                                         .arg(qint64(field.maximum)));
    }

    if (!options.keepFileNames) {
        // Names also stand inside the command line and the failure diagnostics.
        const QString folder = object.value(QLatin1String("FilePath")).toString();
        const QString file = object.value(QLatin1String("FileName")).toString();
        const QString source = folder.isEmpty() || file.isEmpty()
                ? QString()
                : (folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/')) + file;
        const QLatin1String arguments("FFMPEGArguments");
        if (object.value(arguments).isString())
            object.insert(arguments, withoutFileNames(object.value(arguments).toString(), source));
        const QLatin1String diagnostics("DebugInfo");
        if (object.value(diagnostics).isString())
            object.insert(diagnostics, withoutFileNamesInDiagnostics(
                                               object.value(diagnostics).toString()));
        object.remove(QLatin1String("FilePath"));
        object.remove(QLatin1String("FileName"));
    }
    event.fields = object;

    Result result;
    result.event = std::move(event);
    return result;
}
