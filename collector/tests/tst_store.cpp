// Both storage backends against the same cases: what goes in comes back byte for byte, the
// roll-ups a small known data set gives, announcements, forgetting and retention, schema
// versions, and writes that fail leaving nothing behind.

#include "PostgresCluster.h"
#include "PostgresStore.h"
#include "RollUpCache.h"
#include "SqliteStore.h"
#include "Store.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>

#include <memory>
#include <thread>

namespace {

const qint64 day1 = 1765440000000;          // 2025-12-11 08:00 UTC
const qint64 day2 = 1765583999999;          // 2025-12-12 23:59:59.999 UTC
const qint64 hour = 3600 * 1000;

Event makeEvent(const QString &method, const QString &userId, qint64 receivedAtMs,
            const QJsonObject &own = {}, qint32 appId = 7,
            const QString &appVersion = QStringLiteral("1.2.3"))
{
    QJsonObject fields{{"APIVersion", "1.0"},
                       {"AppID", QString::number(appId)},
                       {"AppSessionID", "s-" + userId},
                       {"AppVersion", appVersion},
                       {"BrandID", "-3"},
                       {"DateTimeClient", "20251211080000"},
                       {"Method", method},
                       {"OS", "Linux"},
                       {"OSVersion", "Debian 12"},
                       {"UserID", userId}};
    for (auto it = own.begin(); it != own.end(); ++it)
        fields.insert(it.key(), it.value());
    Event e;
    e.method = method;
    e.brandId = -3;
    e.appId = appId;
    e.appVersion = appVersion;
    e.userId = userId;
    e.appSessionId = "s-" + userId;
    e.receivedAtMs = receivedAtMs;
    e.fields = fields;
    return e;
}

QByteArray stored(const Event &e)
{
    return QJsonDocument(e.fields).toJson(QJsonDocument::Compact);
}

QList<QByteArray> allEvents(Store *store)
{
    QList<QByteArray> list;
    const StoreResult result = store->forEachEvent([&](const QByteArray &json) {
        list.append(json);
    });
    if (!result.ok())
        qWarning("forEachEvent: %s", qPrintable(result.reason));
    return list;
}

QStringList countRows(const std::vector<DailyCount> &counts)
{
    QStringList rows;
    for (const DailyCount &c : counts)
        rows << QStringLiteral("%1 %2 %3 %4 %5 %6")
                    .arg(c.day.toString(Qt::ISODate))
                    .arg(c.appId)
                    .arg(c.appVersion, c.metric, c.key)
                    .arg(c.count);
    rows.sort();
    return rows;
}

QStringList durationRows(const std::vector<DurationBucket> &buckets)
{
    QStringList rows;
    for (const DurationBucket &b : buckets)
        rows << QStringLiteral("%1 %2 %3 %4 %5 %6")
                    .arg(b.day.toString(Qt::ISODate))
                    .arg(b.appId)
                    .arg(b.appVersion, b.format)
                    .arg(b.seconds)
                    .arg(b.count);
    rows.sort();
    return rows;
}

qint64 eventTotal(Store *store)
{
    qint64 total = 0;
    const std::vector<DailyCount> counts =
        store->dailyCounts(QDate(2000, 1, 1), QDate(2100, 1, 1), {}).value();
    for (const DailyCount &c : counts)
        if (c.metric == QLatin1String("Event"))
            total += c.count;
    return total;
}

QString statusName(const StoreResult &result)
{
    static const char *const names[] = {"Ok", "Unavailable", "Busy", "Full", "Failed"};
    return QString::fromLatin1(names[result.status]) + QStringLiteral(": ") + result.reason;
}

} // namespace

class tst_Store : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void roundTrip_data();
    void roundTrip();
    void rollUps_data() { backends(); }
    void rollUps();
    void announcements_data() { backends(); }
    void announcements();
    void accountsAndSessions_data() { backends(); }
    void accountsAndSessions();
    void forgetAndRetention_data() { backends(); }
    void forgetAndRetention();
    void schemaVersions_data() { backends(); }
    void schemaVersions();
    void concurrentOpen_data() { backends(); }
    void concurrentOpen();
    void openErrors_data();
    void openErrors();
    void concurrentWriters_data() { backends(); }
    void concurrentWriters();
    void sqliteFullStoresNothing();
    void sqliteBusyStoresNothing();
    void postgresUnavailableStoresNothing();
    void postgresFailedBatchStoresNothing();
    void appendThroughput_data() { backends(); }
    void appendThroughput();

private:
    static QStringList backendNames();
    static void backends();
    // A new, empty database of the backend, or empty with m_error set.
    QString freshDatabase(const QString &backend);
    // The first column of the first row the SQL gives, through a connection of our own.
    QString rawQuery(const QString &backend, const QString &database, const QByteArray &sql);

    QTemporaryDir m_home;
    std::unique_ptr<PostgresCluster> m_postgres;
    int m_sqliteFiles = 0;
    QString m_error;
};

QStringList tst_Store::backendNames()
{
    return {QStringLiteral("sqlite"), QStringLiteral("postgresql")};
}

void tst_Store::backends()
{
    QTest::addColumn<QString>("backend");
    for (const QString &name : backendNames())
        QTest::newRow(qPrintable(name)) << name;
}

void tst_Store::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
}

QString tst_Store::freshDatabase(const QString &backend)
{
    if (backend == QLatin1String("sqlite"))
        return QStringLiteral("sqlite:%1/db-%2.sqlite").arg(m_home.path()).arg(++m_sqliteFiles);
    if (!m_postgres)
        m_postgres = std::make_unique<PostgresCluster>();
    if (!m_postgres->start(&m_error))
        return {};
    return m_postgres->createDatabase(&m_error);
}

QString tst_Store::rawQuery(const QString &backend, const QString &database,
                            const QByteArray &sql)
{
    QString value;
    if (backend == QLatin1String("sqlite")) {
        sqlite3 *db = nullptr;
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_open(database.mid(7).toUtf8().constData(), &db) == SQLITE_OK
            && sqlite3_prepare_v2(db, sql.constData(), -1, &statement, nullptr) == SQLITE_OK
            && sqlite3_step(statement) == SQLITE_ROW)
            value = QString::fromUtf8(
                reinterpret_cast<const char *>(sqlite3_column_text(statement, 0)));
        sqlite3_finalize(statement);
        sqlite3_close(db);
        return value;
    }
    PGconn *conn = PQconnectdb(database.toUtf8().constData());
    PGresult *result = PQexec(conn, sql.constData());
    if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) > 0)
        value = QString::fromUtf8(PQgetvalue(result, 0, 0));
    PQclear(result);
    PQfinish(conn);
    return value;
}

void tst_Store::roundTrip_data()
{
    QTest::addColumn<QString>("backend");
    QTest::addColumn<QJsonObject>("own");
    const QList<QPair<const char *, QJsonObject>> cases = {
        {"plain", {{"OSLocale", "de_DE"}}},
        {"latin-1 and beyond",
         {{"Email", QString::fromUtf8("jürgen@exämple.de")},
          {"DebugInfo", QString::fromUtf8("日本語 ✓ 🎵 Ω")}}},
        {"sql-looking text",
         {{"FileExtension", "'); DROP TABLE events;--"},
          {"FFMPEGArguments", "-i \"a b\" \\ ; -- ' '' %s %n ?1 :name $1"}}},
        {"empty values and numbers",
         {{"Email", ""}, {"ConversionPercentageComplete", 100},
          {"ConversionDurationInSeconds", 0}}},
        {"control characters", {{"DebugInfo", QString::fromUtf8("a\nb\tc\u0001d\"e")}}},
        {"large", {{"DebugInfo", QString(100000, QLatin1Char('x'))}}},
    };
    for (const QString &backend : backendNames())
        for (const auto &c : cases)
            QTest::addRow("%s: %s", qPrintable(backend), c.first) << backend << c.second;
}

void tst_Store::roundTrip()
{
    QFETCH(QString, backend);
    QFETCH(QJsonObject, own);
    const QString database = freshDatabase(backend);
    QVERIFY2(!database.isEmpty(), qPrintable(m_error));
    QString error;
    std::unique_ptr<Store> store = Store::open(database, &error);
    QVERIFY2(store, qPrintable(error));

    const std::vector<Event> batch = {
        makeEvent("AppFailed", "u-1", day1, own),
        makeEvent("NewUser", QString::fromUtf8("ü-2"), day1 + 1, own)};
    const StoreResult result = store->append(batch);
    QVERIFY2(result.ok(), qPrintable(statusName(result)));
    QVERIFY(store->append({makeEvent("AppClosed", "u-3", day1 + 2, own)}).ok());

    const QList<QByteArray> expected = {stored(batch[0]), stored(batch[1]),
                                        stored(makeEvent("AppClosed", "u-3", day1 + 2, own))};
    QCOMPARE(allEvents(store.get()), expected);

    // What was committed is there for the next connection too.
    store.reset();
    store = Store::open(database, &error);
    QVERIFY2(store, qPrintable(error));
    QCOMPARE(allEvents(store.get()), expected);
}

void tst_Store::rollUps()
{
    QFETCH(QString, backend);
    const QString database = freshDatabase(backend);
    QVERIFY2(!database.isEmpty(), qPrintable(m_error));
    QString error;
    std::unique_ptr<Store> store = Store::open(database, &error);
    QVERIFY2(store, qPrintable(error));

    const std::vector<Event> first = {
        makeEvent("NewUser", "u1", day1, {{"OSLocale", "de_DE"}, {"Email", ""}}),
        makeEvent("AppInstalled", "u1", day1, {{"OSLocale", "de_DE"}}),
        makeEvent("AppOpened", "u1", day1),
        makeEvent("ConversionStarted", "u1", day1,
              {{"ConversionID", "c1"}, {"FormatToConvertTo", "mp3"}}),
        makeEvent("ConversionCompleted", "u1", day1,
              {{"ConversionID", "c1"}, {"ConversionDurationInSeconds", 12}}),
        makeEvent("ConversionStarted", "u1", day1,
              {{"ConversionID", "c2"}, {"FormatToConvertTo", "flac"}}),
        // The program sends Completed after Cancelled: one cancelled job, not a completed one.
        makeEvent("ConversionCancelled", "u1", day1,
              {{"ConversionID", "c2"}, {"ConversionDurationInSeconds", 3}}),
        makeEvent("ConversionCompleted", "u1", day1,
              {{"ConversionID", "c2"}, {"ConversionDurationInSeconds", 3}}),
        makeEvent("AppFailed", "u1", day1, {{"ErrorCode", "EC3"}}),
        makeEvent("AppFailed", "u1", day1, {{"ErrorCode", "EC1"}}),
    };
    // Same conversion ID from another user: another job.
    const std::vector<Event> second = {makeEvent("ConversionStarted", "u2", day1 + hour,
                                             {{"ConversionID", "c1"},
                                              {"FormatToConvertTo", "ogg"}})};
    const std::vector<Event> third = {
        makeEvent("ConversionCompleted", "u2", day2,
              {{"ConversionID", "c1"}, {"ConversionDurationInSeconds", 7}}),
        makeEvent("ConversionCompleted", "u3", day2,
              {{"ConversionID", "c9"}, {"ConversionDurationInSeconds", 5}}),
        makeEvent("ConversionCompleted", "u1", day2,
              {{"ConversionID", "c2"}, {"ConversionDurationInSeconds", 3}}),
        makeEvent("AppOpened", "u1", day2, {{"OSVersion", "Windows 11"}}, 8, "2.0"),
    };
    for (const auto *batch : {&first, &second, &third}) {
        const StoreResult result = store->append(*batch);
        QVERIFY2(result.ok(), qPrintable(statusName(result)));
    }

    const QStringList day1App7 = {
        "2025-12-11 7 1.2.3 ConversionOutcome cancelled 1",
        "2025-12-11 7 1.2.3 ConversionOutcome completed 1",
        "2025-12-11 7 1.2.3 ConversionOutcome failed 1",
        "2025-12-11 7 1.2.3 ConversionOutcome started 3",
        "2025-12-11 7 1.2.3 ErrorCode EC1 1",
        "2025-12-11 7 1.2.3 ErrorCode EC3 1",
        "2025-12-11 7 1.2.3 Event AppFailed 2",
        "2025-12-11 7 1.2.3 Event AppInstalled 1",
        "2025-12-11 7 1.2.3 Event AppOpened 1",
        "2025-12-11 7 1.2.3 Event ConversionCancelled 1",
        "2025-12-11 7 1.2.3 Event ConversionCompleted 2",
        "2025-12-11 7 1.2.3 Event ConversionStarted 3",
        "2025-12-11 7 1.2.3 Event NewUser 1",
        "2025-12-11 7 1.2.3 OSLocale de_DE 2",
        "2025-12-11 7 1.2.3 OSVersion Debian 12 1",
    };
    const QStringList day2App7 = {
        "2025-12-12 7 1.2.3 ConversionOutcome completed 2",
        "2025-12-12 7 1.2.3 Event ConversionCompleted 3",
    };
    const QStringList day2App8 = {
        "2025-12-12 8 2.0 Event AppOpened 1",
        "2025-12-12 8 2.0 OSVersion Windows 11 1",
    };
    const QDate d1(2025, 12, 11), d2(2025, 12, 12);
    QCOMPARE(countRows(store->dailyCounts(d1, d2, {}).value()), day1App7 + day2App7 + day2App8);
    QCOMPARE(countRows(store->dailyCounts(d1, d1, {}).value()), day1App7);
    QCOMPARE(countRows(store->dailyCounts(d1, d2, 8).value()), day2App8);
    QCOMPARE(countRows(store->dailyCounts(d2, d2, 7).value()), day2App7);
    QVERIFY(store->dailyCounts(d2.addDays(1), d2.addDays(9), {}).value().empty());

    const QStringList durations = {
        "2025-12-11 7 1.2.3 mp3 12 1",
        "2025-12-12 7 1.2.3 ? 5 1",
        "2025-12-12 7 1.2.3 ogg 7 1",
    };
    QCOMPARE(durationRows(store->durations(d1, d2, {}).value()), durations);
    QCOMPARE(durationRows(store->durations(d2, d2, 7).value()), durations.mid(1));
    QVERIFY(store->durations(d1, d2, 8).value().empty());

    // Counts add up across batches rather than being replaced.
    QVERIFY(store->append({makeEvent("AppOpened", "u4", day2, {{"OSVersion", "Windows 11"}}, 8,
                                 "2.0")})
                .ok());
    QCOMPARE(countRows(store->dailyCounts(d2, d2, 8).value()),
             QStringList({"2025-12-12 8 2.0 Event AppOpened 2",
                          "2025-12-12 8 2.0 OSVersion Windows 11 2"}));
}

void tst_Store::announcements()
{
    QFETCH(QString, backend);
    const QString database = freshDatabase(backend);
    QVERIFY2(!database.isEmpty(), qPrintable(m_error));
    QString error;
    std::unique_ptr<Store> store = Store::open(database, &error);
    QVERIFY2(store, qPrintable(error));
    QVERIFY(store->announcements().value().empty());

    auto make = [](qint32 app, std::optional<qint32> brand, const QString &version,
                   bool required) {
        Announcement a;
        a.appId = app;
        a.brandId = brand;
        a.version = version;
        a.message = QString::fromUtf8("Version %1 is out — «neu» '); DROP TABLE x;--")
                        .arg(version);
        a.url = "https://example.org/download?v=" + version + "&a=1";
        a.required = required;
        a.updatedAtMs = day1 + version.size();
        return a;
    };
    auto describe = [](const std::vector<Announcement> &list) {
        QStringList rows;
        for (const Announcement &a : list)
            rows << QStringLiteral("%1/%2 %3 %4 %5 %6 %7")
                        .arg(a.appId)
                        .arg(a.brandId ? QString::number(*a.brandId) : QStringLiteral("all"))
                        .arg(a.version, a.message, a.url)
                        .arg(a.required)
                        .arg(a.updatedAtMs);
        rows.sort();
        return rows;
    };

    const Announcement everyBrand = make(7, std::nullopt, "2.0", false);
    const Announcement brandMinus3 = make(7, -3, "2.1", true);
    const Announcement brand0 = make(7, 0, "2.0.1", false);
    const Announcement otherApp = make(9, std::nullopt, "1.0", false);
    for (const Announcement &a : {everyBrand, brandMinus3, brand0, otherApp})
        QVERIFY(store->announce(a).ok());
    QCOMPARE(describe(store->announcements().value()),
             describe({everyBrand, brandMinus3, brand0, otherApp}));

    // The same application and brand: replaced, not added.
    const Announcement newer = make(7, std::nullopt, "2.2.10", true);
    QVERIFY(store->announce(newer).ok());
    QCOMPARE(describe(store->announcements().value()),
             describe({newer, brandMinus3, brand0, otherApp}));

    QVERIFY(store->withdraw(7, -3));
    QVERIFY(!store->withdraw(7, -3));
    QVERIFY(!store->withdraw(8, std::nullopt));
    QVERIFY(store->withdraw(9, std::nullopt));
    QCOMPARE(describe(store->announcements().value()), describe({newer, brand0}));
}

void tst_Store::accountsAndSessions()
{
    QFETCH(QString, backend);
    const QString database = freshDatabase(backend);
    QVERIFY2(!database.isEmpty(), qPrintable(m_error));
    QString error;
    std::unique_ptr<Store> store = Store::open(database, &error);
    QVERIFY2(store, qPrintable(error));

    QVERIFY(!store->passwordHash("admin"));
    QVERIFY(store->setAccount("admin", "$argon2id$v=19$m=65536,t=2,p=1$c2FsdA$aGFzaA").ok());
    QVERIFY(store->setAccount(QString::fromUtf8("zoë"), "$argon2id$second").ok());
    QVERIFY(store->setAccount("admin", "$argon2id$replaced").ok());
    QCOMPARE(store->passwordHash("admin").value_or("none"), QByteArray("$argon2id$replaced"));
    QCOMPARE(store->passwordHash(QString::fromUtf8("zoë")).value_or("none"),
             QByteArray("$argon2id$second"));
    QVERIFY(!store->passwordHash("Admin"));

    QByteArray tokenHash;
    for (int i = 0; i < 256; ++i)
        tokenHash.append(char(i));
    const qint64 later = QDateTime::currentMSecsSinceEpoch() + hour;
    QVERIFY(store->addSession(tokenHash, "admin", QByteArray("csrf\0\xff", 6), later).ok());
    QVERIFY(store->addSession("other", QString::fromUtf8("zoë"), "t2", later + 1).ok());
    std::optional<Store::Session> session = store->session(tokenHash);
    QVERIFY(session);
    QCOMPARE(session->account, QStringLiteral("admin"));
    QCOMPARE(session->csrfToken, QByteArray("csrf\0\xff", 6));
    QCOMPARE(session->expiresAtMs, later);
    QVERIFY(!store->session(tokenHash.left(255)));

    store->removeSession(tokenHash);
    QVERIFY(!store->session(tokenHash));
    QCOMPARE(store->session("other").value_or(Store::Session()).account,
             QString::fromUtf8("zoë"));
}

void tst_Store::forgetAndRetention()
{
    QFETCH(QString, backend);
    const QString database = freshDatabase(backend);
    QVERIFY2(!database.isEmpty(), qPrintable(m_error));
    QString error;
    std::unique_ptr<Store> store = Store::open(database, &error);
    QVERIFY2(store, qPrintable(error));

    const Event started = makeEvent("ConversionStarted", "u1", day1,
                                {{"ConversionID", "c1"}, {"FormatToConvertTo", "mp3"}});
    const Event u2Old = makeEvent("AppOpened", "u2", day1);
    const Event u2New = makeEvent("AppClosed", "u2", day1 + hour);
    QVERIFY(store->append({started, makeEvent("AppOpened", "u1", day1), u2Old}).ok());
    QVERIFY(store->append({makeEvent("AppClosed", "u1", day1 + hour), u2New}).ok());
    const qint64 countedBefore = eventTotal(store.get());

    QCOMPARE(store->forgetUser("u1"), qint64(3));
    QCOMPARE(allEvents(store.get()), QList<QByteArray>({stored(u2Old), stored(u2New)}));
    QCOMPARE(store->forgetUser("u1"), qint64(0));
    QCOMPARE(store->forgetUser("'; DELETE FROM events;--"), qint64(0));
    // Roll-ups hold nobody's identity and stay.
    QCOMPARE(eventTotal(store.get()), countedBefore);
    // The user's jobs went too: a late completion no longer finds its format.
    QVERIFY(store->append({makeEvent("ConversionCompleted", "u1", day1 + 2 * hour,
                                 {{"ConversionID", "c1"}, {"ConversionDurationInSeconds", 4}})})
                .ok());
    QCOMPARE(durationRows(store->durations(QDate(2025, 12, 11), QDate(2025, 12, 11), {}).value()),
             QStringList({"2025-12-11 7 1.2.3 ? 4 1"}));
    QCOMPARE(store->forgetUser("u1"), qint64(1));

    // More old events than one deletion chunk takes.
    const int oldCount = 12345;
    std::vector<Event> old;
    for (int i = 0; i < oldCount; ++i)
        old.push_back(
            makeEvent("AppOpened", QStringLiteral("old-%1").arg(i % 50), day1 - 2 * hour));
    QVERIFY(store->append(old).ok());
    const Event edge = makeEvent("AppOpened", "u3", day1 + hour);
    QVERIFY(store->append({edge}).ok());

    QCOMPARE(store->deleteEventsBefore(day1 + hour), qint64(oldCount + 1));
    QCOMPARE(allEvents(store.get()), QList<QByteArray>({stored(u2New), stored(edge)}));
    QCOMPARE(store->deleteEventsBefore(day1 + hour), qint64(0));
    QCOMPARE(eventTotal(store.get()), countedBefore + 1 + oldCount + 1);
}

void tst_Store::schemaVersions()
{
    QFETCH(QString, backend);
    const QString database = freshDatabase(backend);
    QVERIFY2(!database.isEmpty(), qPrintable(m_error));
    QString error;
    const int current = backend == QLatin1String("sqlite") ? SqliteStore::schemaVersion()
                                                           : PostgresStore::schemaVersion();
    {
        std::unique_ptr<Store> store = Store::open(database, &error);
        QVERIFY2(store, qPrintable(error));
        QVERIFY(store->append({makeEvent("AppOpened", "u1", day1)}).ok());
    }
    QCOMPARE(rawQuery(backend, database, "SELECT max(version) FROM schema_version"),
             QString::number(current));
    // Opening again leaves the schema and the data as they are.
    {
        std::unique_ptr<Store> store = Store::open(database, &error);
        QVERIFY2(store, qPrintable(error));
        QCOMPARE(allEvents(store.get()).size(), 1);
    }
    QCOMPARE(rawQuery(backend, database, "SELECT count(*) FROM schema_version"), "1");

    // A database a newer collector upgraded is not touched by this one.
    rawQuery(backend, database,
             "UPDATE schema_version SET version = " + QByteArray::number(current + 1));
    error.clear();
    QVERIFY(!Store::open(database, &error));
    QVERIFY2(error.contains(QLatin1String("newer")), qPrintable(error));
    QCOMPARE(rawQuery(backend, database, "SELECT max(version) FROM schema_version"),
             QString::number(current + 1));
}

void tst_Store::concurrentOpen()
{
    QFETCH(QString, backend);
    const QString database = freshDatabase(backend);
    QVERIFY2(!database.isEmpty(), qPrintable(m_error));
    // Collectors started together on an empty database: one creates the schema, the others
    // wait and find it done.
    const int collectors = 4;
    QString errors[collectors];
    std::vector<std::thread> threads;
    for (int i = 0; i < collectors; ++i)
        threads.emplace_back([&, i] {
            std::unique_ptr<Store> store = Store::open(database, &errors[i]);
            if (store && !store->append({makeEvent("AppOpened", "u1", day1)}).ok())
                errors[i] = QStringLiteral("append failed");
        });
    for (std::thread &thread : threads)
        thread.join();
    for (const QString &error : errors)
        QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(rawQuery(backend, database, "SELECT count(*) FROM schema_version"), "1");
    QCOMPARE(rawQuery(backend, database, "SELECT count(*) FROM events"),
             QString::number(collectors));
}

void tst_Store::openErrors_data()
{
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("mentioned");
    QTest::newRow("unknown kind") << "mysql://localhost/x" << "unknown database";
    QTest::newRow("no file") << "sqlite:" << "SQLite";
    QTest::newRow("missing folder") << "sqlite:/nonexistent-kelvane/x.sqlite"
                                    << "/nonexistent-kelvane/x.sqlite";
    QTest::newRow("not a database") << "sqlite:/proc/self/status" << "status";
    QTest::newRow("no server") << "postgresql:///x?host=/nonexistent-kelvane"
                               << "PostgreSQL";
    QTest::newRow("bad uri") << "postgres://[::1" << "PostgreSQL";
}

void tst_Store::openErrors()
{
    QFETCH(QString, database);
    QFETCH(QString, mentioned);
    QString error;
    QVERIFY(!Store::open(database, &error));
    QVERIFY2(error.contains(mentioned), qPrintable(error));
}

void tst_Store::concurrentWriters()
{
    QFETCH(QString, backend);
    const QString database = freshDatabase(backend);
    QVERIFY2(!database.isEmpty(), qPrintable(m_error));
    const int batches = 40, perBatch = 100;
    QString errors[2];
    auto write = [&](int writer) {
        QString error;
        std::unique_ptr<Store> store = Store::open(database, &error);
        if (!store) {
            errors[writer] = error;
            return;
        }
        for (int b = 0; b < batches; ++b) {
            std::vector<Event> batch;
            for (int i = 0; i < perBatch; ++i)
                batch.push_back(makeEvent(i % 2 ? "AppOpened" : "AppClosed",
                                      QStringLiteral("w%1-%2").arg(writer).arg(i), day1));
            // A writer that finds the database busy tries again, as the collector does.
            StoreResult result;
            for (int attempt = 0; attempt < 20; ++attempt) {
                result = store->append(batch);
                if (result.status != StoreResult::Busy)
                    break;
            }
            if (!result.ok()) {
                errors[writer] = statusName(result);
                return;
            }
        }
    };
    std::thread first(write, 0), second(write, 1);
    first.join();
    second.join();
    QVERIFY2(errors[0].isEmpty(), qPrintable(errors[0]));
    QVERIFY2(errors[1].isEmpty(), qPrintable(errors[1]));

    QString error;
    std::unique_ptr<Store> store = Store::open(database, &error);
    QVERIFY2(store, qPrintable(error));
    QCOMPARE(allEvents(store.get()).size(), 2 * batches * perBatch);
    QCOMPARE(countRows(store->dailyCounts(QDate(2025, 12, 11), QDate(2025, 12, 11), {}).value()),
             QStringList({"2025-12-11 7 1.2.3 Event AppClosed 4000",
                          "2025-12-11 7 1.2.3 Event AppOpened 4000",
                          "2025-12-11 7 1.2.3 OSVersion Debian 12 4000"}));
}

void tst_Store::sqliteFullStoresNothing()
{
    const QString database = freshDatabase(QStringLiteral("sqlite"));
    QString error;
    std::unique_ptr<SqliteStore> store = SqliteStore::open(database.mid(7), &error);
    QVERIFY2(store, qPrintable(error));
    const Event first = makeEvent("AppOpened", "u1", day1);
    QVERIFY(store->append({first}).ok());

    // No room beyond the pages the file has now.
    store->setMaxPageCount(1);
    std::vector<Event> batch;
    for (int i = 0; i < 500; ++i)
        batch.push_back(makeEvent("AppFailed", "u2", day2,
                              {{"ErrorCode", "EC2"}, {"DebugInfo", QString(500, 'd')}}));
    const StoreResult result = store->append(batch);
    QCOMPARE(result.status, StoreResult::Full);
    QVERIFY(!result.reason.isEmpty());

    QCOMPARE(allEvents(store.get()), QList<QByteArray>({stored(first)}));
    QVERIFY(store->dailyCounts(QDate(2025, 12, 12), QDate(2025, 12, 12), {}).value().empty());
    // The connection stays usable once there is room again.
    store->setMaxPageCount(1 << 30);
    QVERIFY(store->append(batch).ok());
    QCOMPARE(allEvents(store.get()).size(), 501);
}

void tst_Store::sqliteBusyStoresNothing()
{
    const QString database = freshDatabase(QStringLiteral("sqlite"));
    QString error;
    std::unique_ptr<SqliteStore> store = SqliteStore::open(database.mid(7), &error);
    QVERIFY2(store, qPrintable(error));
    store->setBusyTimeout(100);

    sqlite3 *other = nullptr;
    QCOMPARE(sqlite3_open(database.mid(7).toUtf8().constData(), &other), SQLITE_OK);
    QCOMPARE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const StoreResult result = store->append({makeEvent("AppOpened", "u1", day1)});
    QCOMPARE(result.status, StoreResult::Busy);
    QVERIFY(!result.reason.isEmpty());
    QCOMPARE(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);

    QVERIFY(allEvents(store.get()).isEmpty());
    QVERIFY(eventTotal(store.get()) == 0);
    QVERIFY(store->append({makeEvent("AppOpened", "u1", day1)}).ok());
    QCOMPARE(allEvents(store.get()).size(), 1);
}

void tst_Store::postgresUnavailableStoresNothing()
{
    const QString database = freshDatabase(QStringLiteral("postgresql"));
    QVERIFY2(!database.isEmpty(), qPrintable(m_error));
    QString error;
    std::unique_ptr<Store> store = Store::open(database, &error);
    QVERIFY2(store, qPrintable(error));
    const Event first = makeEvent("AppOpened", "u1", day1);
    QVERIFY(store->append({first}).ok());

    m_postgres->stop();
    const StoreResult result = store->append({makeEvent("AppClosed", "u1", day1)});
    QCOMPARE(result.status, StoreResult::Unavailable);
    QVERIFY(!result.reason.isEmpty());
    // Still down: still unavailable, and no crash on the dead connection.
    QCOMPARE(store->append({makeEvent("AppClosed", "u1", day1)}).status, StoreResult::Unavailable);
    QCOMPARE(store->forEachEvent([](const QByteArray &) {}).status, StoreResult::Unavailable);
    // Reads say that they failed rather than answer empty lists, and the dashboard's memory of
    // settled days keeps none of the days it could not read.
    QVERIFY(!store->announcements());
    QVERIFY(!store->dailyCounts(QDate(2025, 12, 11), QDate(2025, 12, 12), {}));
    QVERIFY(!store->durations(QDate(2025, 12, 11), QDate(2025, 12, 12), {}));
    RollUpCache settledDays;
    const QDate today(2026, 1, 31);
    QVERIFY(!settledDays.read(*store, QDate(2025, 12, 1), QDate(2025, 12, 31), today));

    QVERIFY2(m_postgres->start(&m_error), qPrintable(m_error));
    // The next call connects again.
    const std::optional<RollUpCache::Rows> rows =
        settledDays.read(*store, QDate(2025, 12, 1), QDate(2025, 12, 31), today);
    QVERIFY(rows);
    qint64 eventsRead = 0;
    for (const std::vector<DailyCount> *part : rows->parts().counts) {
        for (const DailyCount &c : *part)
            eventsRead += c.metric == QLatin1String("Event") ? c.count : 0;
    }
    QCOMPARE(eventsRead, qint64(1));
    QCOMPARE(allEvents(store.get()), QList<QByteArray>({stored(first)}));
    QCOMPARE(eventTotal(store.get()), qint64(1));
    QVERIFY(store->append({makeEvent("AppClosed", "u1", day1)}).ok());
    QCOMPARE(allEvents(store.get()).size(), 2);
}

void tst_Store::postgresFailedBatchStoresNothing()
{
    const QString database = freshDatabase(QStringLiteral("postgresql"));
    QVERIFY2(!database.isEmpty(), qPrintable(m_error));
    QString error;
    std::unique_ptr<Store> store = Store::open(database, &error);
    QVERIFY2(store, qPrintable(error));
    const Event first = makeEvent("AppOpened", "u1", day1);
    QVERIFY(store->append({first}).ok());

    // PostgreSQL text cannot hold NUL: the events go in, then the roll-up write fails.
    const StoreResult result = store->append(
        {makeEvent("AppOpened", "u2", day2),
         makeEvent("NewUser", "u2", day2, {{"OSLocale", QString::fromUtf8("de\0DE", 5)}})});
    QCOMPARE(result.status, StoreResult::Failed);
    QVERIFY(!result.reason.isEmpty());
    QCOMPARE(allEvents(store.get()), QList<QByteArray>({stored(first)}));
    QCOMPARE(eventTotal(store.get()), qint64(1));
    QVERIFY(store->append({makeEvent("AppClosed", "u1", day1)}).ok());
}

void tst_Store::appendThroughput()
{
    QFETCH(QString, backend);
    const QString database = freshDatabase(backend);
    QVERIFY2(!database.isEmpty(), qPrintable(m_error));
    QString error;
    std::unique_ptr<Store> store = Store::open(database, &error);
    QVERIFY2(store, qPrintable(error));

    const int batches = 40, perBatch = 500;
    std::vector<std::vector<Event>> all(batches);
    for (int b = 0; b < batches; ++b)
        for (int i = 0; i < perBatch; ++i)
            all[b].push_back(makeEvent("ConversionStarted", QStringLiteral("u%1").arg(i), day1,
                                   {{"ConversionID", QStringLiteral("c%1").arg(b)},
                                    {"FormatToConvertTo", "mp3"},
                                    {"FileExtension", "wav"},
                                    {"FileSize", "12345678"},
                                    {"FFMPEGArguments", "-i in.wav -b:a 192k out.mp3"}}));
    QElapsedTimer timer;
    timer.start();
    for (const std::vector<Event> &batch : all) {
        const StoreResult result = store->append(batch);
        QVERIFY2(result.ok(), qPrintable(statusName(result)));
    }
    const qint64 ms = qMax<qint64>(1, timer.elapsed());
    qInfo("%s: %d events in batches of %d: %lld ms, %lld events/s", qPrintable(backend),
          batches * perBatch, perBatch, ms, qint64(batches) * perBatch * 1000 / ms);
    QCOMPARE(allEvents(store.get()).size(), batches * perBatch);
}

QTEST_GUILESS_MAIN(tst_Store)

#include "tst_store.moc"
