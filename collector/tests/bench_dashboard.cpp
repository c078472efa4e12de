// How long the dashboard's pages take over a large store: seeds a database with events spread
// over a year (through Store::append, so the roll-ups are the real ones), then times each page.
//   bench_dashboard [--events N] [--database DB]
// Without --database, a SQLite database in a temporary folder. Prints figures; asserts nothing.

#include "Dashboard.h"
#include "PasswordHash.h"
#include "Store.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Spreads an index over a field's values without the fields moving in step with one another.
quint64 mix(quint64 x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

Event makeEvent(qint64 index, qint64 now)
{
    static const char *const versions[] = {"1.0", "1.1", "1.2", "2.0", "2.1"};
    static const char *const formats[] = {"mp3", "ogg", "opus", "flac", "wav", "m4a"};
    const quint64 h = mix(quint64(index));
    // A day of the last year, and a method with roughly the program's mix.
    const qint64 day = qint64(h % 365);
    const int kind = int(h / 365 % 100);
    Event e;
    e.appId = int(h / 36500 % 3) + 1;
    e.appVersion = QLatin1String(versions[h / 109500 % 5]);
    e.userId = QStringLiteral("user-%1").arg(index % 200000);
    e.appSessionId = QStringLiteral("session-%1").arg(index / 20);
    e.receivedAtMs = now - day * 86400000LL - qint64(h >> 40) % 86400 * 1000;
    const quint64 g = mix(h);
    QJsonObject &f = e.fields;
    const QString conversion = QStringLiteral("c-%1").arg(g % 1000000);
    if (kind < 40) {
        e.method = QStringLiteral("AppOpened");
        f.insert(QStringLiteral("OSVersion"), QStringLiteral("os-%1").arg(g % 20));
    } else if (kind < 60) {
        // Starts and ends meet by chance, as IDs repeat; an end whose start was not seen
        // counts under the format "?".
        e.method = g % 2 == 0 ? QStringLiteral("ConversionStarted")
                              : QStringLiteral("ConversionCompleted");
        f.insert(QStringLiteral("ConversionID"), conversion);
        f.insert(QStringLiteral("FormatToConvertTo"), QLatin1String(formats[g / 2 % 6]));
        // Mostly a few seconds, one in eight up to ten minutes.
        const int seconds = g / 12 % 8 == 0 ? int(g / 96 % 600) : int(g / 96 % 30);
        f.insert(QStringLiteral("ConversionDurationInSeconds"), seconds);
    } else if (kind < 62) {
        e.method = QStringLiteral("AppFailed");
        f.insert(QStringLiteral("ErrorCode"), QStringLiteral("EC%1").arg(g % 8 + 1));
    } else if (kind < 68) {
        e.method = kind % 2 ? QStringLiteral("NewUser") : QStringLiteral("AppInstalled");
        f.insert(QStringLiteral("OSLocale"), QStringLiteral("ll_%1").arg(g % 40));
    } else {
        e.method = QStringLiteral("AppClosed");
    }
    f.insert(QStringLiteral("Method"), e.method);
    return e;
}

QByteArray cookieFrom(const HttpResponse &response, const QByteArray &name)
{
    for (const auto &header : response.headers) {
        if (header.first == "Set-Cookie" && header.second.startsWith(name + '='))
            return header.second.left(header.second.indexOf(';'));
    }
    return QByteArray();
}

HttpRequest request(const QByteArray &method, const QByteArray &path, const QByteArray &query,
                    const QByteArray &cookie, const QByteArray &body = QByteArray())
{
    HttpRequest r;
    r.method = method;
    r.path = path;
    r.query = query;
    r.headers.append(qMakePair(QByteArray("host"), QByteArray("127.0.0.1")));
    r.headers.append(qMakePair(QByteArray("cookie"), cookie));
    r.body = body;
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    qint64 eventCount = 1000000;
    QString database;
    for (int i = 1; i + 1 < arguments.size(); i += 2) {
        if (arguments.at(i) == QLatin1String("--events"))
            eventCount = arguments.at(i + 1).toLongLong();
        else if (arguments.at(i) == QLatin1String("--database"))
            database = arguments.at(i + 1);
    }
    QTemporaryDir dir;
    QString path;
    if (database.isEmpty()) {
        path = dir.filePath(QStringLiteral("bench.db"));
        database = QStringLiteral("sqlite:") + path;
    }

    QString error;
    std::unique_ptr<Store> store = Store::open(database, &error);
    if (!store) {
        std::fprintf(stderr, "bench_dashboard: %s\n", qPrintable(error));
        return 1;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QElapsedTimer seeding;
    seeding.start();
    const qint64 batch = 10000;
    for (qint64 first = 0; first < eventCount; first += batch) {
        std::vector<Event> events;
        for (qint64 i = first; i < std::min(eventCount, first + batch); ++i)
            events.push_back(makeEvent(i, now));
        const StoreResult result = store->append(events);
        if (!result.ok()) {
            std::fprintf(stderr, "bench_dashboard: append failed: %s\n",
                         qPrintable(result.reason));
            return 1;
        }
    }
    const double seconds = seeding.elapsed() / 1000.0;
    std::printf("seeded %lld events in %.1f s (%.0f events/s)", eventCount, seconds,
                seconds > 0 ? eventCount / seconds : 0.0);
    if (!path.isEmpty())
        std::printf(", database %.0f MB", QFileInfo(path).size() / 1e6);
    std::printf("\n");

    store->setAccount(QStringLiteral("bench"), PasswordHash::make("bench"));
    Dashboard dashboard(database);
    const HttpResponse form = dashboard.handle(request("GET", "/login", QByteArray(),
                                                       QByteArray()));
    const QByteArray loginCookie = cookieFrom(form, "kelvane_login");
    const QByteArray token = loginCookie.mid(loginCookie.indexOf('=') + 1);
    const HttpResponse login = dashboard.handle(
        request("POST", "/login", QByteArray(), loginCookie,
                "name=bench&password=bench&csrf=" + token));
    const QByteArray session = cookieFrom(login, "kelvane_session");
    if (session.isEmpty()) {
        std::fprintf(stderr, "bench_dashboard: login failed\n");
        return 1;
    }

    const QDate today = QDateTime::currentDateTimeUtc().date();
    const QByteArray year = "from=" + today.addDays(-364).toString(Qt::ISODate).toLatin1()
        + "&to=" + today.toString(Qt::ISODate).toLatin1();
    const struct {
        const char *name;
        QByteArray path;
        QByteArray query;
    } pages[] = {
        {"overview, all applications, last 30 days", "/", ""},
        {"overview, one application and version, 30 days", "/", "app=2&version=1.2"},
        {"overview, all applications, 365 days", "/", year},
        {"announcements", "/announcements", ""},
    };
    // The share of the storage reads in a year's overview.
    {
        using Counts = std::vector<DailyCount>;
        using Buckets = std::vector<DurationBucket>;
        QElapsedTimer timer;
        timer.start();
        const size_t counts =
            store->dailyCounts(today.addDays(-364), today, std::nullopt).value_or(Counts()).size();
        const double countsMs = timer.nsecsElapsed() / 1e6;
        timer.restart();
        const size_t buckets =
            store->durations(today.addDays(-364), today, std::nullopt).value_or(Buckets()).size();
        std::printf("a year of roll-ups: %zu daily counts in %.1f ms, %zu duration buckets in "
                    "%.1f ms\n",
                    counts, countsMs, buckets, timer.nsecsElapsed() / 1e6);
    }
    const int runs = 20;
    for (const auto &page : pages) {
        std::vector<double> times;
        int status = 0;
        for (int i = 0; i < runs; ++i) {
            QElapsedTimer timer;
            timer.start();
            status = dashboard.handle(request("GET", page.path, page.query, session)).status;
            times.push_back(timer.nsecsElapsed() / 1e6);
        }
        // The first view reads every day from the database; later ones only the last days.
        const double first = times.front();
        std::sort(times.begin(), times.end());
        std::printf("%-48s status %d  first %7.1f ms  median %7.1f ms  max %7.1f ms\n",
                    page.name, status, first, times[runs / 2], times.back());
    }

    // What the collector does at its start: a fresh dashboard reads the last year into memory
    // on a thread of its own, and the first year-long page then reads only the last days.
    {
        Dashboard started(database);
        QElapsedTimer timer;
        timer.start();
        started.rememberLastYear();
        const double rememberMs = timer.nsecsElapsed() / 1e6;
        timer.restart();
        const int status = started.handle(request("GET", "/", year, session)).status;
        std::printf("after a start: remembering the last year %.1f ms, then the first 365-day "
                    "overview status %d in %.1f ms\n",
                    rememberMs, status, timer.nsecsElapsed() / 1e6);
    }
    return 0;
}
