#pragma once

#include "Event.h"

#include <QDate>
#include <QString>

#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

// The roll-up rows one batch of events adds, summed per key so that storing them costs one
// upsert per distinct key rather than one per event. Backends look up the state of the
// conversions the batch mentions, let add() update it, and write back what changed.
class RollUp
{
public:
    // ConversionID and UserID: IDs are only unique per user.
    using ConversionKey = std::pair<QString, QString>;
    struct Conversion
    {
        std::optional<QString> format;   // from ConversionStarted, when seen
        bool cancelled = false;
        bool changed = false;            // to be written back
        qint64 touchedAtMs = 0;
    };
    // day ("YYYY-MM-DD"), app ID, app version, metric, key
    using CountKey = std::tuple<QString, qint32, QString, QString, QString>;
    // day, app ID, app version, format, whole seconds
    using DurationKey = std::tuple<QString, qint32, QString, QString, qint64>;

    // The conversions whose stored state add() needs.
    static std::set<ConversionKey> conversionKeys(const std::vector<Event> &events);

    // Counts the events in order. `conversions` holds the stored state of the keys that were
    // found; add() inserts the ones it meets first and marks what it changes.
    void add(const std::vector<Event> &events, std::map<ConversionKey, Conversion> *conversions);

    static QString day(qint64 receivedAtMs);
    // The date of a day as day() writes it; invalid for anything else.
    static QDate parseDay(const char *text, qsizetype size);

    std::map<CountKey, qint64> counts;
    std::map<DurationKey, qint64> durations;

private:
    void count(const Event &event, const QString &day, const QString &metric,
               const QString &key);
};
