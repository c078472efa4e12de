#pragma once

#include "Store.h"

#include <QDate>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// The dashboard's figures for one application (or all) and one version (or all) over a range
// of days, computed from the daily roll-ups alone so that a page costs the same however many
// events are stored.
class Figures
{
public:
    struct Duration
    {
        QString format;
        qint64 count = 0;
        qint64 medianSeconds = 0;
        qint64 p95Seconds = 0;
    };
    using Ranking = QList<QPair<QString, qint64>>;
    // Roll-up rows in parts (days remembered earlier, rows just read), so that none is copied.
    struct Rows
    {
        std::vector<const std::vector<DailyCount> *> counts;
        std::vector<const std::vector<DurationBucket> *> durations;
    };

    // The rows of every application; application and version empty: all of them.
    static Figures compute(const Rows &rows, const QDate &from, const QDate &to,
                           std::optional<qint32> application,
                           const std::optional<QString> &version);
    static Figures compute(const std::vector<DailyCount> &counts,
                           const std::vector<DurationBucket> &durations, const QDate &from,
                           const QDate &to, std::optional<qint32> application,
                           const std::optional<QString> &version);

    // The smallest value that at least percent of the observations do not exceed (the
    // nearest-rank method: always a duration that really occurred). Buckets: (seconds, count).
    static qint64 percentile(std::vector<QPair<qint64, qint64>> buckets, int percent);
    // part / whole, or empty when there is no whole to speak of.
    static std::optional<double> rate(qint64 part, qint64 whole);

    QList<QDate> days;                 // from..to, one entry per day
    QList<qint64> newUsers;            // per day, parallel to days
    QList<qint64> installs;
    QList<qint64> opens;
    qint64 totalNewUsers = 0;
    qint64 totalInstalls = 0;
    qint64 totalOpens = 0;

    qint64 conversionsStarted = 0;
    qint64 conversionsCompleted = 0;
    qint64 conversionsCancelled = 0;
    qint64 conversionsFailed = 0;

    Ranking errorCodes;   // EC1..EC8 in order, zeros included
    Ranking osVersions;   // most frequent first
    Ranking locales;
    QList<Duration> durations;   // by format name

    // For the selectors: the applications seen in the range, and the chosen application's
    // versions.
    QList<qint32> applications;
    QStringList versions;
};
