#include "Figures.h"

#include <QHash>
#include <QMap>
#include <QSet>

#include <algorithm>
#include <map>

namespace {

const int errorCodeCount = 8;

Figures::Ranking ranked(const QHash<QString, qint64> &totals)
{
    Figures::Ranking ranking;
    for (auto it = totals.cbegin(); it != totals.cend(); ++it)
        ranking.append({it.key(), it.value()});
    std::sort(ranking.begin(), ranking.end(), [](const auto &a, const auto &b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    return ranking;
}

} // namespace

Figures Figures::compute(const std::vector<DailyCount> &counts,
                         const std::vector<DurationBucket> &durations, const QDate &from,
                         const QDate &to, std::optional<qint32> application,
                         const std::optional<QString> &version)
{
    return compute(Rows{{&counts}, {&durations}}, from, to, application, version);
}

Figures Figures::compute(const Rows &rows, const QDate &from, const QDate &to,
                         std::optional<qint32> application,
                         const std::optional<QString> &version)
{
    Figures figures;
    const qint64 dayCount = from.isValid() && to.isValid() && from <= to ? from.daysTo(to) + 1
                                                                         : 0;
    for (qint64 i = 0; i < dayCount; ++i)
        figures.days.append(from.addDays(i));
    figures.newUsers.fill(0, figures.days.size());
    figures.installs.fill(0, figures.days.size());
    figures.opens.fill(0, figures.days.size());

    QMap<QString, qint64> errorCodes;
    for (int i = 1; i <= errorCodeCount; ++i)
        errorCodes.insert(QStringLiteral("EC%1").arg(i), 0);
    QHash<QString, qint64> osVersions;
    QHash<QString, qint64> locales;
    QSet<qint32> applications;
    QSet<QString> versions;

    for (const std::vector<DailyCount> *part : rows.counts) {
        for (const DailyCount &row : *part) {
            if (row.day < from || row.day > to)
                continue;
            applications.insert(row.appId);
            if (application && row.appId != *application)
                continue;
            versions.insert(row.appVersion);
            if (version && row.appVersion != *version)
                continue;
            const qint64 index = from.daysTo(row.day);
            if (row.metric == QLatin1String("Event")) {
                if (row.key == QLatin1String("NewUser")) {
                    figures.newUsers[index] += row.count;
                    figures.totalNewUsers += row.count;
                } else if (row.key == QLatin1String("AppInstalled")) {
                    figures.installs[index] += row.count;
                    figures.totalInstalls += row.count;
                } else if (row.key == QLatin1String("AppOpened")) {
                    figures.opens[index] += row.count;
                    figures.totalOpens += row.count;
                }
            } else if (row.metric == QLatin1String("ConversionOutcome")) {
                if (row.key == QLatin1String("started"))
                    figures.conversionsStarted += row.count;
                else if (row.key == QLatin1String("completed"))
                    figures.conversionsCompleted += row.count;
                else if (row.key == QLatin1String("cancelled"))
                    figures.conversionsCancelled += row.count;
                else if (row.key == QLatin1String("failed"))
                    figures.conversionsFailed += row.count;
            } else if (row.metric == QLatin1String("ErrorCode")) {
                errorCodes[row.key] += row.count;
            } else if (row.metric == QLatin1String("OSVersion")) {
                osVersions[row.key] += row.count;
            } else if (row.metric == QLatin1String("OSLocale")) {
                locales[row.key] += row.count;
            }
        }
    }

    for (auto it = errorCodes.cbegin(); it != errorCodes.cend(); ++it) {
        // The eight known codes first in their order; anything else a client sent after them.
        figures.errorCodes.append({it.key(), it.value()});
    }
    std::stable_sort(figures.errorCodes.begin(), figures.errorCodes.end(),
                     [](const auto &a, const auto &b) {
                         const auto number = [](const QString &code) {
                             bool ok = false;
                             const int n = code.mid(2).toInt(&ok);
                             return code.startsWith(QLatin1String("EC")) && ok ? n : 1000;
                         };
                         return number(a.first) < number(b.first);
                     });
    figures.osVersions = ranked(osVersions);
    figures.locales = ranked(locales);

    // Per format, the count of each whole number of seconds over every day and version.
    QMap<QString, std::map<qint64, qint64>> byFormat;
    for (const std::vector<DurationBucket> *part : rows.durations) {
        for (const DurationBucket &bucket : *part) {
            if (bucket.day < from || bucket.day > to)
                continue;
            if ((application && bucket.appId != *application)
                || (version && bucket.appVersion != *version))
                continue;
            byFormat[bucket.format][bucket.seconds] += bucket.count;
        }
    }
    for (auto it = byFormat.cbegin(); it != byFormat.cend(); ++it) {
        Duration duration;
        duration.format = it.key();
        std::vector<QPair<qint64, qint64>> buckets;
        for (const auto &bucket : it.value()) {
            buckets.push_back({bucket.first, bucket.second});
            duration.count += bucket.second;
        }
        if (duration.count == 0)
            continue;
        duration.medianSeconds = percentile(buckets, 50);
        duration.p95Seconds = percentile(buckets, 95);
        figures.durations.append(duration);
    }

    figures.applications = applications.values();
    std::sort(figures.applications.begin(), figures.applications.end());
    figures.versions = versions.values();
    std::sort(figures.versions.begin(), figures.versions.end());
    return figures;
}

qint64 Figures::percentile(std::vector<QPair<qint64, qint64>> buckets, int percent)
{
    std::sort(buckets.begin(), buckets.end());
    qint64 total = 0;
    for (const auto &bucket : buckets)
        total += std::max<qint64>(bucket.second, 0);
    if (total == 0)
        return 0;
    // Rank ceil(percent/100 * total), at least the first observation.
    const qint64 rank = std::max<qint64>(1, (qint64(percent) * total + 99) / 100);
    qint64 seen = 0;
    for (const auto &bucket : buckets) {
        seen += std::max<qint64>(bucket.second, 0);
        if (seen >= rank)
            return bucket.first;
    }
    return buckets.back().first;
}

std::optional<double> Figures::rate(qint64 part, qint64 whole)
{
    if (whole <= 0)
        return std::nullopt;
    return double(part) / double(whole);
}
