#include "SqliteStore.h"

#include "RollUp.h"

#include <QDateTime>
#include <QJsonDocument>

#include <sqlite3.h>

namespace {

// Each entry brings the schema from the previous version to the next; never edit a released
// one, append a new one.
const char *const migrations[] = {
    // 1
    "CREATE TABLE events ("
    " id INTEGER PRIMARY KEY,"
    " received_at_ms INTEGER NOT NULL,"
    " method TEXT NOT NULL,"
    " brand_id INTEGER NOT NULL,"
    " app_id INTEGER NOT NULL,"
    " app_version TEXT NOT NULL,"
    " user_id TEXT NOT NULL,"
    " app_session_id TEXT NOT NULL,"
    " body TEXT NOT NULL);"
    "CREATE INDEX events_user_id ON events (user_id);"
    "CREATE INDEX events_received_at ON events (received_at_ms);"
    "CREATE TABLE daily_counts ("
    " day TEXT NOT NULL, app_id INTEGER NOT NULL, app_version TEXT NOT NULL,"
    " metric TEXT NOT NULL, key TEXT NOT NULL, count INTEGER NOT NULL,"
    " PRIMARY KEY (day, app_id, app_version, metric, key)) WITHOUT ROWID;"
    "CREATE TABLE durations ("
    " day TEXT NOT NULL, app_id INTEGER NOT NULL, app_version TEXT NOT NULL,"
    " format TEXT NOT NULL, seconds INTEGER NOT NULL, count INTEGER NOT NULL,"
    " PRIMARY KEY (day, app_id, app_version, format, seconds)) WITHOUT ROWID;"
    "CREATE TABLE conversions ("
    " conversion_id TEXT NOT NULL, user_id TEXT NOT NULL, format TEXT,"
    " cancelled INTEGER NOT NULL DEFAULT 0, touched_at_ms INTEGER NOT NULL,"
    " PRIMARY KEY (conversion_id, user_id)) WITHOUT ROWID;"
    "CREATE INDEX conversions_user_id ON conversions (user_id);"
    // Brand IDs may be any integer, so "every brand" is a flag rather than a sentinel ID.
    "CREATE TABLE announcements ("
    " app_id INTEGER NOT NULL, every_brand INTEGER NOT NULL, brand_id INTEGER NOT NULL,"
    " version TEXT NOT NULL, message TEXT NOT NULL, url TEXT NOT NULL,"
    " required INTEGER NOT NULL, updated_at_ms INTEGER NOT NULL,"
    " PRIMARY KEY (app_id, every_brand, brand_id));"
    "CREATE TABLE accounts (name TEXT PRIMARY KEY, password_hash TEXT NOT NULL);"
    "CREATE TABLE sessions ("
    " token_hash TEXT PRIMARY KEY, account TEXT NOT NULL, csrf_token TEXT NOT NULL,"
    " expires_at_ms INTEGER NOT NULL);",
};
const int knownVersion = int(sizeof(migrations) / sizeof(migrations[0]));

// Resets the statement when done, so that it holds no lock and can be used again.
class Query
{
public:
    explicit Query(sqlite3_stmt *statement) : m_statement(statement) {}
    ~Query()
    {
        if (m_statement) {
            sqlite3_reset(m_statement);
            sqlite3_clear_bindings(m_statement);
        }
    }
    Query(const Query &) = delete;
    Query &operator=(const Query &) = delete;

    explicit operator bool() const { return m_statement != nullptr; }
    Query &bind(int index, const QString &text)
    {
        const QByteArray utf8 = text.toUtf8();
        sqlite3_bind_text(m_statement, index, utf8.constData(), int(utf8.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Query &bindBytes(int index, const QByteArray &utf8)
    {
        sqlite3_bind_text(m_statement, index, utf8.constData(), int(utf8.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Query &bind(int index, qint64 value)
    {
        sqlite3_bind_int64(m_statement, index, value);
        return *this;
    }
    Query &bindNull(int index)
    {
        sqlite3_bind_null(m_statement, index);
        return *this;
    }
    int step() { return sqlite3_step(m_statement); }
    void reset() { sqlite3_reset(m_statement); }
    // Steps a statement that returns no rows; SQLITE_DONE on success.
    int run()
    {
        const int rc = step();
        sqlite3_reset(m_statement);
        return rc;
    }
    qint64 integer(int column) const { return sqlite3_column_int64(m_statement, column); }
    bool isNull(int column) const
    {
        return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
    }
    QByteArray bytes(int column) const
    {
        const auto *data = static_cast<const char *>(sqlite3_column_blob(m_statement, column));
        return QByteArray(data, sqlite3_column_bytes(m_statement, column));
    }
    QString text(int column) const
    {
        const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column));
        return QString::fromUtf8(data, sqlite3_column_bytes(m_statement, column));
    }
    QDate day(int column) const
    {
        const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column));
        return RollUp::parseDay(data, sqlite3_column_bytes(m_statement, column));
    }

private:
    sqlite3_stmt *m_statement;
};

// Every row of a prepared query; nothing when it could not be prepared or read to its end.
template<typename Row, typename ReadRow>
std::optional<std::vector<Row>> rows(Query &select, ReadRow readRow)
{
    if (!select)
        return std::nullopt;
    std::vector<Row> list;
    int rc = SQLITE_OK;
    while ((rc = select.step()) == SQLITE_ROW)
        list.push_back(readRow(select));
    if (rc != SQLITE_DONE)
        return std::nullopt;
    return list;
}

// The rows of a roll-up query whose parameters are the first and last day and an optional
// application.
template<typename Row, typename ReadRow>
std::optional<std::vector<Row>> rollUpRows(Query &select, const QDate &from, const QDate &to,
                                           std::optional<qint32> appId, ReadRow readRow)
{
    if (select) {
        select.bind(1, from.toString(Qt::ISODate))
            .bind(2, to.toString(Qt::ISODate))
            .bind(3, qint64(!appId))
            .bind(4, qint64(appId.value_or(0)));
    }
    return rows<Row>(select, readRow);
}

} // namespace

int SqliteStore::schemaVersion()
{
    return knownVersion;
}

SqliteStore::SqliteStore(sqlite3 *db) : m_db(db) {}

SqliteStore::~SqliteStore()
{
    for (auto &entry : m_statements)
        sqlite3_finalize(entry.second);
    sqlite3_close(m_db);
}

std::unique_ptr<SqliteStore> SqliteStore::open(const QString &path, QString *error)
{
    if (path.isEmpty()) {
        *error = QStringLiteral("no SQLite database file named");
        return nullptr;
    }
    sqlite3 *db = nullptr;
    const int rc = sqlite3_open_v2(path.toUtf8().constData(), &db,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                       | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) {
        *error = QStringLiteral("cannot open the SQLite database %1: %2")
                     .arg(path, QString::fromUtf8(db ? sqlite3_errmsg(db)
                                                     : sqlite3_errstr(rc)));
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<SqliteStore> store(new SqliteStore(db));
    sqlite3_extended_result_codes(db, 1);
    store->setBusyTimeout(5000);
    // WAL lets the dashboard read while batches are written; FULL syncs the log at every
    // commit, so that a batch answered as stored survives a power loss.
    sqlite3_stmt *mode = nullptr;
    QByteArray journal;
    if (sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL", -1, &mode, nullptr) == SQLITE_OK
        && sqlite3_step(mode) == SQLITE_ROW)
        journal = reinterpret_cast<const char *>(sqlite3_column_text(mode, 0));
    sqlite3_finalize(mode);
    if (journal.toLower() != "wal") {
        *error = QStringLiteral("cannot use the SQLite database %1: %2")
                     .arg(path, journal.isEmpty() ? QString::fromUtf8(sqlite3_errmsg(db))
                                                  : QStringLiteral("no write-ahead log"));
        return nullptr;
    }
    if (store->exec("PRAGMA synchronous=FULL") != SQLITE_OK
        || store->exec("PRAGMA foreign_keys=ON") != SQLITE_OK) {
        *error = QStringLiteral("cannot set up the SQLite database %1: %2")
                     .arg(path, QString::fromUtf8(sqlite3_errmsg(db)));
        return nullptr;
    }
    const QString problem = store->migrate();
    if (!problem.isEmpty()) {
        *error = QStringLiteral("SQLite database %1: %2").arg(path, problem);
        return nullptr;
    }
    return store;
}

void SqliteStore::setBusyTimeout(int ms)
{
    sqlite3_busy_timeout(m_db, ms);
}

void SqliteStore::setMaxPageCount(qint64 pages)
{
    int rc = SQLITE_OK;
    // A pragma's value cannot be bound; the number is formatted from an integer.
    const QByteArray sql = "PRAGMA max_page_count=" + QByteArray::number(pages);
    Query query(statement(sql.constData(), &rc));
    if (query)
        query.step();
}

int SqliteStore::exec(const char *sql)
{
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
}

void SqliteStore::rollback()
{
    // SQLite rolls back by itself on some errors; then there is nothing left to undo.
    if (!sqlite3_get_autocommit(m_db))
        exec("ROLLBACK");
}

sqlite3_stmt *SqliteStore::statement(const char *sql, int *rc)
{
    auto found = m_statements.find(sql);
    if (found != m_statements.end()) {
        *rc = SQLITE_OK;
        return found->second;
    }
    sqlite3_stmt *prepared = nullptr;
    *rc = sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &prepared, nullptr);
    if (*rc != SQLITE_OK) {
        sqlite3_finalize(prepared);
        return nullptr;
    }
    m_statements.emplace(sql, prepared);
    return prepared;
}

StoreResult SqliteStore::error(int rc, const QString &doing) const
{
    StoreResult result;
    const QString why =
        QStringLiteral("%1: %2").arg(doing, QString::fromUtf8(sqlite3_errmsg(m_db)));
    switch (rc & 0xff) {
    case SQLITE_FULL:
        result.status = StoreResult::Full;
        result.reason = QStringLiteral("database full (%1)").arg(why);
        break;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        result.status = StoreResult::Busy;
        result.reason = QStringLiteral("database busy (%1)").arg(why);
        break;
    case SQLITE_CANTOPEN:
    case SQLITE_READONLY:
    case SQLITE_IOERR:
        result.status = StoreResult::Unavailable;
        result.reason = QStringLiteral("database unavailable (%1)").arg(why);
        break;
    default:
        result.status = StoreResult::Failed;
        result.reason = QStringLiteral("database error (%1)").arg(why);
        break;
    }
    return result;
}

QString SqliteStore::migrate()
{
    int rc = exec("BEGIN IMMEDIATE");
    if (rc != SQLITE_OK)
        return error(rc, QStringLiteral("locking for the schema")).reason;
    rc = exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    int version = 0;
    if (rc == SQLITE_OK) {
        Query query(statement("SELECT max(version) FROM schema_version", &rc));
        if (query) {
            rc = query.step();
            if (rc == SQLITE_ROW) {
                version = int(query.integer(0));
                rc = SQLITE_OK;
            }
        }
    }
    if (rc != SQLITE_OK) {
        const QString why = error(rc, QStringLiteral("reading the schema version")).reason;
        rollback();
        return why;
    }
    if (version > knownVersion) {
        rollback();
        return QStringLiteral("the schema is at version %1, newer than this collector knows "
                              "(%2); use a newer collector")
            .arg(version)
            .arg(knownVersion);
    }
    for (int next = version + 1; next <= knownVersion && rc == SQLITE_OK; ++next) {
        rc = exec(migrations[next - 1]);
        if (rc == SQLITE_OK) {
            Query query(statement("DELETE FROM schema_version", &rc));
            if (query)
                rc = query.run() == SQLITE_DONE ? SQLITE_OK : rc;
        }
        if (rc == SQLITE_OK) {
            Query query(statement("INSERT INTO schema_version (version) VALUES (?)", &rc));
            if (query) {
                const int stepped = query.bind(1, qint64(next)).run();
                rc = stepped == SQLITE_DONE ? SQLITE_OK : stepped;
            }
        }
        if (rc != SQLITE_OK) {
            const QString why =
                error(rc, QStringLiteral("upgrading the schema to version %1").arg(next)).reason;
            rollback();
            return why;
        }
    }
    rc = exec("COMMIT");
    if (rc != SQLITE_OK) {
        const QString why = error(rc, QStringLiteral("committing the schema")).reason;
        rollback();
        return why;
    }
    return {};
}

StoreResult SqliteStore::append(const std::vector<Event> &events)
{
    if (events.empty())
        return {};
    // IMMEDIATE takes the write lock up front, so a busy database shows here and not halfway.
    int rc = exec("BEGIN IMMEDIATE");
    if (rc != SQLITE_OK)
        return error(rc, QStringLiteral("starting the write"));
    StoreResult result = writeBatch(events);
    if (result.ok()) {
        rc = exec("COMMIT");
        if (rc != SQLITE_OK)
            result = error(rc, QStringLiteral("committing the events"));
    }
    if (!result.ok())
        rollback();
    return result;
}

StoreResult SqliteStore::writeBatch(const std::vector<Event> &events)
{
    int rc = SQLITE_OK;
    auto failed = [&](const char *doing) {
        return error(rc == SQLITE_OK ? sqlite3_errcode(m_db) : rc, QString::fromUtf8(doing));
    };
    {
        Query insert(statement(
            "INSERT INTO events (received_at_ms, method, brand_id, app_id, app_version,"
            " user_id, app_session_id, body) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            &rc));
        if (!insert)
            return failed("preparing to store events");
        for (const Event &event : events) {
            insert.bind(1, event.receivedAtMs)
                .bind(2, event.method)
                .bind(3, qint64(event.brandId))
                .bind(4, qint64(event.appId))
                .bind(5, event.appVersion)
                .bind(6, event.userId)
                .bind(7, event.appSessionId)
                .bindBytes(8, QJsonDocument(event.fields).toJson(QJsonDocument::Compact));
            rc = insert.run();
            if (rc != SQLITE_DONE)
                return failed("storing an event");
        }
    }

    std::map<RollUp::ConversionKey, RollUp::Conversion> conversions;
    {
        Query select(statement("SELECT format, cancelled FROM conversions"
                               " WHERE conversion_id = ? AND user_id = ?",
                               &rc));
        if (!select)
            return failed("preparing to read conversions");
        for (const RollUp::ConversionKey &key : RollUp::conversionKeys(events)) {
            select.bind(1, key.first).bind(2, key.second);
            rc = select.step();
            if (rc == SQLITE_ROW) {
                RollUp::Conversion &job = conversions[key];
                if (!select.isNull(0))
                    job.format = select.text(0);
                job.cancelled = select.integer(1) != 0;
                rc = select.step();
            }
            if (rc != SQLITE_DONE)
                return failed("reading a conversion");
            select.reset();
        }
    }
    RollUp rollUp;
    rollUp.add(events, &conversions);

    {
        Query upsert(statement(
            "INSERT INTO conversions (conversion_id, user_id, format, cancelled, touched_at_ms)"
            " VALUES (?, ?, ?, ?, ?) ON CONFLICT (conversion_id, user_id) DO UPDATE SET"
            " format = coalesce(excluded.format, format),"
            " cancelled = max(cancelled, excluded.cancelled),"
            " touched_at_ms = max(touched_at_ms, excluded.touched_at_ms)",
            &rc));
        if (!upsert)
            return failed("preparing to store conversions");
        for (const auto &[key, job] : conversions) {
            if (!job.changed)
                continue;
            upsert.bind(1, key.first).bind(2, key.second);
            if (job.format)
                upsert.bind(3, *job.format);
            else
                upsert.bindNull(3);
            upsert.bind(4, qint64(job.cancelled)).bind(5, job.touchedAtMs);
            rc = upsert.run();
            if (rc != SQLITE_DONE)
                return failed("storing a conversion");
        }
    }
    {
        Query upsert(statement(
            "INSERT INTO daily_counts (day, app_id, app_version, metric, key, count)"
            " VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (day, app_id, app_version, metric, key)"
            " DO UPDATE SET count = count + excluded.count",
            &rc));
        if (!upsert)
            return failed("preparing to store counts");
        for (const auto &[key, count] : rollUp.counts) {
            upsert.bind(1, std::get<0>(key))
                .bind(2, qint64(std::get<1>(key)))
                .bind(3, std::get<2>(key))
                .bind(4, std::get<3>(key))
                .bind(5, std::get<4>(key))
                .bind(6, count);
            rc = upsert.run();
            if (rc != SQLITE_DONE)
                return failed("storing counts");
        }
    }
    {
        Query upsert(statement(
            "INSERT INTO durations (day, app_id, app_version, format, seconds, count)"
            " VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (day, app_id, app_version, format, seconds)"
            " DO UPDATE SET count = count + excluded.count",
            &rc));
        if (!upsert)
            return failed("preparing to store durations");
        for (const auto &[key, count] : rollUp.durations) {
            upsert.bind(1, std::get<0>(key))
                .bind(2, qint64(std::get<1>(key)))
                .bind(3, std::get<2>(key))
                .bind(4, std::get<3>(key))
                .bind(5, std::get<4>(key))
                .bind(6, count);
            rc = upsert.run();
            if (rc != SQLITE_DONE)
                return failed("storing durations");
        }
    }
    return {};
}

StoreResult SqliteStore::forEachEvent(const std::function<void(const QByteArray &json)> &visit)
{
    int rc = SQLITE_OK;
    // One statement stepped row by row: WAL gives it a steady snapshot and nothing is held
    // in memory but the current row.
    Query select(statement("SELECT body FROM events ORDER BY id", &rc));
    if (!select)
        return error(rc, QStringLiteral("preparing to read events"));
    while ((rc = select.step()) == SQLITE_ROW)
        visit(select.bytes(0));
    if (rc != SQLITE_DONE)
        return error(rc, QStringLiteral("reading events"));
    return {};
}

qint64 SqliteStore::forgetUser(const QString &userId)
{
    if (exec("BEGIN IMMEDIATE") != SQLITE_OK)
        return -1;
    int rc = SQLITE_OK;
    qint64 deleted = -1;
    {
        Query events(statement("DELETE FROM events WHERE user_id = ?", &rc));
        if (events && events.bind(1, userId).run() == SQLITE_DONE) {
            deleted = sqlite3_changes64(m_db);
            Query jobs(statement("DELETE FROM conversions WHERE user_id = ?", &rc));
            if (!jobs || jobs.bind(1, userId).run() != SQLITE_DONE)
                deleted = -1;
        }
    }
    if (deleted < 0 || exec("COMMIT") != SQLITE_OK) {
        rollback();
        return -1;
    }
    return deleted;
}

qint64 SqliteStore::deleteEventsBefore(qint64 receivedAtMs)
{
    int rc = SQLITE_OK;
    // Small transactions, so that collectors writing meanwhile wait only briefly.
    Query chunk(statement("DELETE FROM events WHERE id IN (SELECT id FROM events"
                          " WHERE received_at_ms < ? ORDER BY id LIMIT 5000)",
                          &rc));
    if (!chunk)
        return -1;
    qint64 deleted = 0;
    for (;;) {
        if (chunk.bind(1, receivedAtMs).run() != SQLITE_DONE)
            return -1;
        const qint64 changed = sqlite3_changes64(m_db);
        deleted += changed;
        if (changed == 0)
            break;
    }
    // Jobs last heard of before the time cannot be completed any more.
    Query jobs(statement("DELETE FROM conversions WHERE touched_at_ms < ?", &rc));
    if (!jobs || jobs.bind(1, receivedAtMs).run() != SQLITE_DONE)
        return -1;
    return deleted;
}

std::optional<std::vector<Announcement>> SqliteStore::announcements()
{
    int rc = SQLITE_OK;
    Query select(statement("SELECT app_id, every_brand, brand_id, version, message, url,"
                           " required, updated_at_ms FROM announcements"
                           " ORDER BY app_id, every_brand DESC, brand_id",
                           &rc));
    return rows<Announcement>(select, [](const Query &row) {
        Announcement a;
        a.appId = qint32(row.integer(0));
        if (row.integer(1) == 0)
            a.brandId = qint32(row.integer(2));
        a.version = row.text(3);
        a.message = row.text(4);
        a.url = row.text(5);
        a.required = row.integer(6) != 0;
        a.updatedAtMs = row.integer(7);
        return a;
    });
}

StoreResult SqliteStore::announce(const Announcement &a)
{
    int rc = SQLITE_OK;
    Query upsert(statement(
        "INSERT INTO announcements (app_id, every_brand, brand_id, version, message, url,"
        " required, updated_at_ms) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"
        " ON CONFLICT (app_id, every_brand, brand_id) DO UPDATE SET version = excluded.version,"
        " message = excluded.message, url = excluded.url, required = excluded.required,"
        " updated_at_ms = excluded.updated_at_ms",
        &rc));
    if (!upsert)
        return error(rc, QStringLiteral("preparing to store the announcement"));
    upsert.bind(1, qint64(a.appId))
        .bind(2, qint64(a.brandId ? 0 : 1))
        .bind(3, qint64(a.brandId.value_or(0)))
        .bind(4, a.version)
        .bind(5, a.message)
        .bind(6, a.url)
        .bind(7, qint64(a.required))
        .bind(8, a.updatedAtMs);
    rc = upsert.run();
    if (rc != SQLITE_DONE)
        return error(rc, QStringLiteral("storing the announcement"));
    return {};
}

bool SqliteStore::withdraw(qint32 appId, std::optional<qint32> brandId)
{
    int rc = SQLITE_OK;
    Query remove(statement("DELETE FROM announcements"
                           " WHERE app_id = ? AND every_brand = ? AND brand_id = ?",
                           &rc));
    if (!remove)
        return false;
    remove.bind(1, qint64(appId))
        .bind(2, qint64(brandId ? 0 : 1))
        .bind(3, qint64(brandId.value_or(0)));
    return remove.run() == SQLITE_DONE && sqlite3_changes(m_db) > 0;
}

std::optional<std::vector<DailyCount>> SqliteStore::dailyCounts(const QDate &from,
                                                                const QDate &to,
                                                                std::optional<qint32> appId)
{
    int rc = SQLITE_OK;
    Query select(statement("SELECT day, app_id, app_version, metric, key, count"
                           " FROM daily_counts WHERE day >= ? AND day <= ?"
                           " AND (? OR app_id = ?)"
                           " ORDER BY day, app_id, app_version, metric, key",
                           &rc));
    return rollUpRows<DailyCount>(select, from, to, appId, [](const Query &row) {
        DailyCount c;
        c.day = row.day(0);
        c.appId = qint32(row.integer(1));
        c.appVersion = row.text(2);
        c.metric = row.text(3);
        c.key = row.text(4);
        c.count = row.integer(5);
        return c;
    });
}

std::optional<std::vector<DurationBucket>> SqliteStore::durations(const QDate &from,
                                                                  const QDate &to,
                                                                  std::optional<qint32> appId)
{
    int rc = SQLITE_OK;
    Query select(statement("SELECT day, app_id, app_version, format, seconds, count"
                           " FROM durations WHERE day >= ? AND day <= ?"
                           " AND (? OR app_id = ?)"
                           " ORDER BY day, app_id, app_version, format, seconds",
                           &rc));
    return rollUpRows<DurationBucket>(select, from, to, appId, [](const Query &row) {
        DurationBucket b;
        b.day = row.day(0);
        b.appId = qint32(row.integer(1));
        b.appVersion = row.text(2);
        b.format = row.text(3);
        b.seconds = row.integer(4);
        b.count = row.integer(5);
        return b;
    });
}

StoreResult SqliteStore::setAccount(const QString &name, const QByteArray &passwordHash)
{
    int rc = SQLITE_OK;
    Query upsert(statement("INSERT INTO accounts (name, password_hash) VALUES (?, ?)"
                           " ON CONFLICT (name) DO UPDATE SET"
                           " password_hash = excluded.password_hash",
                           &rc));
    if (!upsert)
        return error(rc, QStringLiteral("preparing to store the account"));
    rc = upsert.bind(1, name).bindBytes(2, passwordHash).run();
    if (rc != SQLITE_DONE)
        return error(rc, QStringLiteral("storing the account"));
    return {};
}

std::optional<QByteArray> SqliteStore::passwordHash(const QString &name)
{
    int rc = SQLITE_OK;
    Query select(statement("SELECT password_hash FROM accounts WHERE name = ?", &rc));
    if (!select || select.bind(1, name).step() != SQLITE_ROW)
        return std::nullopt;
    return select.bytes(0);
}

StoreResult SqliteStore::addSession(const QByteArray &tokenHash, const QString &account,
                                    const QByteArray &csrfToken, qint64 expiresAtMs)
{
    int rc = SQLITE_OK;
    // Tokens are bytes of any value; hex keeps them exact in a text column.
    Query insert(statement("INSERT INTO sessions (token_hash, account, csrf_token,"
                           " expires_at_ms) VALUES (?, ?, ?, ?)",
                           &rc));
    if (!insert)
        return error(rc, QStringLiteral("preparing to store the session"));
    rc = insert.bindBytes(1, tokenHash.toHex())
             .bind(2, account)
             .bindBytes(3, csrfToken.toHex())
             .bind(4, expiresAtMs)
             .run();
    if (rc != SQLITE_DONE)
        return error(rc, QStringLiteral("storing the session"));
    // Sessions nobody signs out of would pile up otherwise.
    Query expired(statement("DELETE FROM sessions WHERE expires_at_ms < ?", &rc));
    if (expired)
        expired.bind(1, QDateTime::currentMSecsSinceEpoch()).run();
    return {};
}

std::optional<Store::Session> SqliteStore::session(const QByteArray &tokenHash)
{
    int rc = SQLITE_OK;
    Query select(statement("SELECT account, csrf_token, expires_at_ms FROM sessions"
                           " WHERE token_hash = ?",
                           &rc));
    if (!select || select.bindBytes(1, tokenHash.toHex()).step() != SQLITE_ROW)
        return std::nullopt;
    Session s;
    s.account = select.text(0);
    s.csrfToken = QByteArray::fromHex(select.bytes(1));
    s.expiresAtMs = select.integer(2);
    return s;
}

void SqliteStore::removeSession(const QByteArray &tokenHash)
{
    int rc = SQLITE_OK;
    Query remove(statement("DELETE FROM sessions WHERE token_hash = ?", &rc));
    if (remove)
        remove.bindBytes(1, tokenHash.toHex()).run();
}
