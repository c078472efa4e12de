#include "RollUp.h"

#include <QDateTime>
#include <QJsonValue>

namespace {

QString conversionId(const Event &event)
{
    return event.fields.value(QLatin1String("ConversionID")).toString();
}

bool isConversionEvent(const QString &method)
{
    return method == QLatin1String("ConversionStarted")
           || method == QLatin1String("ConversionCancelled")
           || method == QLatin1String("ConversionCompleted");
}

// Durations are JSON numbers; tolerate digits in a string as the sizes are sent that way.
qint64 wholeSeconds(const QJsonValue &value)
{
    if (value.isDouble())
        return qint64(value.toDouble());
    if (value.isString())
        return value.toString().toLongLong();
    return 0;
}

} // namespace

std::set<RollUp::ConversionKey> RollUp::conversionKeys(const std::vector<Event> &events)
{
    std::set<ConversionKey> keys;
    for (const Event &event : events) {
        if (isConversionEvent(event.method) && !conversionId(event).isEmpty())
            keys.emplace(conversionId(event), event.userId);
    }
    return keys;
}

QString RollUp::day(qint64 receivedAtMs)
{
    return QDateTime::fromMSecsSinceEpoch(receivedAtMs, Qt::UTC).date().toString(Qt::ISODate);
}

QDate RollUp::parseDay(const char *text, qsizetype size)
{
    // Read straight from the database's bytes: a year's page reads some hundred thousand rows.
    if (!text || size != 10 || text[4] != '-' || text[7] != '-')
        return QDate();
    int parts[3] = {0, 0, 0};
    const int starts[3] = {0, 5, 8};
    const int lengths[3] = {4, 2, 2};
    for (int part = 0; part < 3; ++part) {
        for (int i = starts[part]; i < starts[part] + lengths[part]; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return QDate();
            parts[part] = parts[part] * 10 + (text[i] - '0');
        }
    }
    return QDate(parts[0], parts[1], parts[2]);
}

void RollUp::count(const Event &event, const QString &day, const QString &metric,
                   const QString &key)
{
    ++counts[CountKey(day, event.appId, event.appVersion, metric, key)];
}

void RollUp::add(const std::vector<Event> &events,
                 std::map<ConversionKey, Conversion> *conversions)
{
    static const QString outcome = QStringLiteral("ConversionOutcome");
    for (const Event &event : events) {
        const QString d = day(event.receivedAtMs);
        const QString &method = event.method;
        count(event, d, QStringLiteral("Event"), method);

        if (method == QLatin1String("AppFailed")) {
            const QString code = event.fields.value(QLatin1String("ErrorCode")).toString();
            count(event, d, QStringLiteral("ErrorCode"), code);
            // EC1 is not about a conversion; the others are a job that went wrong.
            static const QStringList conversionFailures = {
                "EC2", "EC3", "EC4", "EC5", "EC6", "EC7", "EC8"};
            if (conversionFailures.contains(code))
                count(event, d, outcome, QStringLiteral("failed"));
        } else if (method == QLatin1String("AppOpened")) {
            count(event, d, QStringLiteral("OSVersion"),
                  event.fields.value(QLatin1String("OSVersion")).toString());
        } else if (method == QLatin1String("NewUser")
                   || method == QLatin1String("AppInstalled")) {
            count(event, d, QStringLiteral("OSLocale"),
                  event.fields.value(QLatin1String("OSLocale")).toString());
        } else if (isConversionEvent(method)) {
            const QString id = conversionId(event);
            Conversion unknown;
            Conversion *job = &unknown;
            if (!id.isEmpty())
                job = &(*conversions)[ConversionKey(id, event.userId)];
            if (method == QLatin1String("ConversionStarted")) {
                count(event, d, outcome, QStringLiteral("started"));
                job->format =
                    event.fields.value(QLatin1String("FormatToConvertTo")).toString();
                job->changed = true;
            } else if (method == QLatin1String("ConversionCancelled")) {
                // A re-sent cancel is the same job: count it once.
                if (!job->cancelled)
                    count(event, d, outcome, QStringLiteral("cancelled"));
                job->cancelled = true;
                job->changed = true;
            } else if (!job->cancelled) {
                // The program also sends ConversionCompleted after a cancel; only a job that
                // ran to its end counts as completed and has a duration worth showing.
                count(event, d, outcome, QStringLiteral("completed"));
                const QString format = job->format.value_or(QStringLiteral("?"));
                ++durations[DurationKey(
                    d, event.appId, event.appVersion, format,
                    wholeSeconds(event.fields.value(
                        QLatin1String("ConversionDurationInSeconds"))))];
            }
            job->touchedAtMs = event.receivedAtMs;
        }
    }
}
