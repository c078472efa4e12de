#include "RollUpCache.h"

namespace {

// Days this close to today may still grow: batches in flight, and other collectors on the
// same database whose clocks run a little apart.
const int unsettledDays = 2;
// About two years of days. Longer ranges are read from the database each time.
const qint64 mostDays = 800;

} // namespace

Figures::Rows RollUpCache::Rows::parts() const
{
    Figures::Rows parts;
    for (const auto &day : m_days) {
        parts.counts.push_back(&day->counts);
        parts.durations.push_back(&day->durations);
    }
    parts.counts.push_back(&m_fresh.counts);
    parts.durations.push_back(&m_fresh.durations);
    return parts;
}

std::optional<RollUpCache::Day> RollUpCache::readSpan(Store &store, const QDate &from,
                                                      const QDate &to)
{
    std::optional<std::vector<DailyCount>> counts = store.dailyCounts(from, to, std::nullopt);
    std::optional<std::vector<DurationBucket>> durations =
        store.durations(from, to, std::nullopt);
    if (!counts || !durations)
        return std::nullopt;
    return Day{std::move(*counts), std::move(*durations)};
}

void RollUpCache::share(QString *text)
{
    const auto known = m_texts.constFind(*text);
    if (known != m_texts.constEnd())
        *text = *known;
    else
        m_texts.insert(*text);
}

std::optional<RollUpCache::Rows> RollUpCache::read(Store &store, const QDate &from,
                                                   const QDate &to, const QDate &today)
{
    Rows rows;
    if (!from.isValid() || !to.isValid() || from > to)
        return rows;
    const QDate lastSettled = std::min(to, today.addDays(-unsettledDays));
    QDate firstFresh = from;

    if (from <= lastSettled && from.daysTo(lastSettled) < mostDays) {
        // The settled days not yet known are read in one query over their span.
        QDate firstMissing, lastMissing;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (QDate day = from; day <= lastSettled; day = day.addDays(1)) {
                if (m_days.count(day) == 0) {
                    if (!firstMissing.isValid())
                        firstMissing = day;
                    lastMissing = day;
                }
            }
        }
        std::map<QDate, Day> fetched;
        if (firstMissing.isValid()) {
            // Days without a row are known too.
            for (QDate day = firstMissing; day <= lastMissing; day = day.addDays(1))
                fetched[day];
            std::optional<Day> span = readSpan(store, firstMissing, lastMissing);
            if (!span)
                return std::nullopt;
            for (DailyCount &row : span->counts)
                fetched[row.day].counts.push_back(std::move(row));
            for (DurationBucket &row : span->durations)
                fetched[row.day].durations.push_back(std::move(row));
        }

        std::lock_guard<std::mutex> lock(m_mutex);
        if (qint64(m_days.size() + fetched.size()) > mostDays) {
            // Make room by forgetting the days this page does not show.
            for (auto it = m_days.begin(); it != m_days.end();) {
                if (it->first < from || it->first > lastSettled)
                    it = m_days.erase(it);
                else
                    ++it;
            }
        }
        if (m_days.empty())
            m_texts.clear();
        for (auto &day : fetched) {
            for (DailyCount &row : day.second.counts) {
                share(&row.appVersion);
                share(&row.metric);
                share(&row.key);
            }
            for (DurationBucket &row : day.second.durations) {
                share(&row.appVersion);
                share(&row.format);
            }
            m_days[day.first] = std::make_shared<const Day>(std::move(day.second));
        }
        for (auto it = m_days.lower_bound(from); it != m_days.end() && it->first <= lastSettled;
             ++it) {
            rows.m_days.push_back(it->second);
        }
        firstFresh = lastSettled.addDays(1);
    }

    // The days that may still change are always read afresh.
    if (firstFresh <= to) {
        std::optional<Day> fresh = readSpan(store, firstFresh, to);
        if (!fresh)
            return std::nullopt;
        rows.m_fresh = std::move(*fresh);
    }
    return rows;
}
