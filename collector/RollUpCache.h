#pragma once

#include "Figures.h"
#include "Store.h"

#include <QDate>
#include <QSet>
#include <QString>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// The dashboard's memory of settled days. Roll-ups are keyed by the day events arrived on, so
// once a day is over its rows no longer change: they are read from the database once, and a
// page over a long range then reads only the last days. Safe to share between threads.
class RollUpCache
{
    struct Day
    {
        std::vector<DailyCount> counts;
        std::vector<DurationBucket> durations;
    };

public:
    // The rows of one page: the remembered days it shows, held for as long as it needs them,
    // and the rows read for it alone.
    class Rows
    {
    public:
        Figures::Rows parts() const;

    private:
        friend class RollUpCache;
        std::vector<std::shared_ptr<const Day>> m_days;
        Day m_fresh;
    };

    // The roll-ups of every application for from..to, today being the collector's UTC date.
    // Nothing when the database could not be read; days that failed are not remembered.
    std::optional<Rows> read(Store &store, const QDate &from, const QDate &to,
                             const QDate &today);

private:
    // Every application's rows of from..to, not split by day; nothing when a read failed.
    static std::optional<Day> readSpan(Store &store, const QDate &from, const QDate &to);
    // Versions, metrics, keys and formats repeat on every day: kept once each.
    void share(QString *text);

    std::mutex m_mutex;
    std::map<QDate, std::shared_ptr<const Day>> m_days;
    QSet<QString> m_texts;
};
