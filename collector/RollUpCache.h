#pragma once

#include "Store.h"

#include <QDate>
#include <QSet>
#include <QString>

#include <map>
#include <mutex>
#include <vector>

// The dashboard's memory of settled days. Roll-ups are keyed by the day events arrived on, so
// once a day is over its rows no longer change: they are read from the database once, and a
// page over a long range then reads only the last days. Safe to share between threads.
class RollUpCache
{
public:
    // The roll-ups of every application for from..to, today being the collector's UTC date.
    void read(Store &store, const QDate &from, const QDate &to, const QDate &today,
              std::vector<DailyCount> *counts, std::vector<DurationBucket> *durations);

private:
    struct Day
    {
        std::vector<DailyCount> counts;
        std::vector<DurationBucket> durations;
    };

    // Versions, metrics, keys and formats repeat on every day: kept once each.
    void share(QString *text);

    std::mutex m_mutex;
    std::map<QDate, Day> m_days;
    QSet<QString> m_texts;
};
