#include "PostgresStore.h"

#include "RollUp.h"

#include <QDateTime>
#include <QJsonDocument>

#include <libpq-fe.h>

namespace {

// Each entry brings the schema from the previous version to the next; never edit a released
// one, append a new one.
const char *const migrations[] = {
    // 1
    "CREATE TABLE events ("
    " id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
    " received_at_ms bigint NOT NULL,"
    " method text NOT NULL,"
    " brand_id integer NOT NULL,"
    " app_id integer NOT NULL,"
    " app_version text NOT NULL,"
    " user_id text NOT NULL,"
    " app_session_id text NOT NULL,"
    " body text NOT NULL);"
    "CREATE INDEX events_user_id ON events (user_id);"
    "CREATE INDEX events_received_at ON events (received_at_ms);"
    "CREATE TABLE daily_counts ("
    " day date NOT NULL, app_id integer NOT NULL, app_version text NOT NULL,"
    " metric text NOT NULL, key text NOT NULL, count bigint NOT NULL,"
    " PRIMARY KEY (day, app_id, app_version, metric, key));"
    "CREATE TABLE durations ("
    " day date NOT NULL, app_id integer NOT NULL, app_version text NOT NULL,"
    " format text NOT NULL, seconds bigint NOT NULL, count bigint NOT NULL,"
    " PRIMARY KEY (day, app_id, app_version, format, seconds));"
    "CREATE TABLE conversions ("
    " conversion_id text NOT NULL, user_id text NOT NULL, format text,"
    " cancelled boolean NOT NULL DEFAULT false, touched_at_ms bigint NOT NULL,"
    " PRIMARY KEY (conversion_id, user_id));"
    "CREATE INDEX conversions_user_id ON conversions (user_id);"
    "CREATE INDEX conversions_touched_at ON conversions (touched_at_ms);"
    // Brand IDs may be any integer, so "every brand" is a flag rather than a sentinel ID.
    "CREATE TABLE announcements ("
    " app_id integer NOT NULL, every_brand boolean NOT NULL, brand_id integer NOT NULL,"
    " version text NOT NULL, message text NOT NULL, url text NOT NULL,"
    " required boolean NOT NULL, updated_at_ms bigint NOT NULL,"
    " PRIMARY KEY (app_id, every_brand, brand_id));"
    "CREATE TABLE accounts (name text PRIMARY KEY, password_hash text NOT NULL);"
    "CREATE TABLE sessions ("
    " token_hash text PRIMARY KEY, account text NOT NULL, csrf_token text NOT NULL,"
    " expires_at_ms bigint NOT NULL);"
    "CREATE INDEX sessions_expires_at ON sessions (expires_at_ms);",
};
const int knownVersion = int(sizeof(migrations) / sizeof(migrations[0]));

using Param = PostgresStore::Param;

Param text(const QString &value)
{
    return value.toUtf8();
}

Param number(qint64 value)
{
    return QByteArray::number(value);
}

Param boolean(bool value)
{
    return QByteArray(value ? "t" : "f");
}

// A PostgreSQL array literal: each element quoted, with its quotes and backslashes escaped, so
// that batches travel as a few array parameters instead of one statement per row.
class ArrayParam
{
public:
    void add(const Param &value)
    {
        m_text += m_text.isEmpty() ? "{" : ",";
        if (!value) {
            m_text += "NULL";
            return;
        }
        m_text += '"';
        for (char c : *value) {
            if (c == '"' || c == '\\')
                m_text += '\\';
            m_text += c;
        }
        m_text += '"';
    }
    Param param() const { return m_text.isEmpty() ? QByteArray("{}") : m_text + "}"; }

private:
    QByteArray m_text;
};

QString value(PGresult *result, int row, int column)
{
    return QString::fromUtf8(PQgetvalue(result, row, column),
                             PQgetlength(result, row, column));
}

QDate day(PGresult *result, int row, int column)
{
    return RollUp::parseDay(PQgetvalue(result, row, column), PQgetlength(result, row, column));
}

// Every row of a query's answer, which it frees; nothing when the query failed.
template<typename Row, typename ReadRow>
std::optional<std::vector<Row>> rows(PGresult *answer, ReadRow readRow)
{
    std::optional<std::vector<Row>> list;
    if (PQresultStatus(answer) == PGRES_TUPLES_OK) {
        list.emplace();
        list->reserve(size_t(PQntuples(answer)));
        for (int row = 0; row < PQntuples(answer); ++row)
            list->push_back(readRow(answer, row));
    }
    PQclear(answer);
    return list;
}

bool isTrue(PGresult *result, int row, int column)
{
    return PQgetvalue(result, row, column)[0] == 't';
}

} // namespace

int PostgresStore::schemaVersion()
{
    return knownVersion;
}

PostgresStore::PostgresStore(PGconn *conn) : m_conn(conn) {}

PostgresStore::~PostgresStore()
{
    PQfinish(m_conn);
}

std::unique_ptr<PostgresStore> PostgresStore::open(const QString &conninfo, QString *error)
{
    // A server that does not answer at all must not hold a writer for good; a connect_timeout
    // in the URI still wins, as later entries override earlier ones.
    const QByteArray uri = conninfo.toUtf8();
    const char *const keywords[] = {"connect_timeout", "dbname", nullptr};
    const char *const values[] = {"10", uri.constData(), nullptr};
    PGconn *conn = PQconnectdbParams(keywords, values, 1);
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
        *error = QStringLiteral("cannot connect to the PostgreSQL database: %1")
                     .arg(conn ? QString::fromUtf8(PQerrorMessage(conn)).trimmed()
                               : QStringLiteral("out of memory"));
        PQfinish(conn);
        return nullptr;
    }
    std::unique_ptr<PostgresStore> store(new PostgresStore(conn));
    if (PQsetClientEncoding(conn, "UTF8") != 0) {
        *error = QStringLiteral("the PostgreSQL database does not take UTF-8");
        return nullptr;
    }
    // "Already exists, skipping" notices of the schema check would end up on standard error.
    PQclear(PQexec(conn, "SET client_min_messages TO warning"));
    const QString problem = store->migrate();
    if (!problem.isEmpty()) {
        *error = QStringLiteral("PostgreSQL database: %1").arg(problem);
        return nullptr;
    }
    return store;
}

bool PostgresStore::connected(StoreResult *result)
{
    if (PQstatus(m_conn) == CONNECTION_OK)
        return true;
    PQreset(m_conn);
    // Prepared statements belong to the old server session.
    m_statements.clear();
    if (PQstatus(m_conn) == CONNECTION_OK && PQsetClientEncoding(m_conn, "UTF8") == 0)
        return true;
    if (result) {
        result->status = StoreResult::Unavailable;
        result->reason = QStringLiteral("database unavailable: %1")
                             .arg(QString::fromUtf8(PQerrorMessage(m_conn)).trimmed());
    }
    return false;
}

PGresult *PostgresStore::run(const char *sql, const std::vector<Param> &params)
{
    auto found = m_statements.find(sql);
    if (found == m_statements.end()) {
        const std::string name = "kelvane_" + std::to_string(m_statements.size());
        PGresult *prepared = PQprepare(m_conn, name.c_str(), sql, 0, nullptr);
        if (PQresultStatus(prepared) != PGRES_COMMAND_OK)
            return prepared;
        PQclear(prepared);
        found = m_statements.emplace(sql, name).first;
    }
    std::vector<const char *> values;
    values.reserve(params.size());
    for (const Param &param : params)
        values.push_back(param ? param->constData() : nullptr);
    PGresult *result = PQexecPrepared(m_conn, found->second.c_str(), int(values.size()),
                                      values.data(), nullptr, nullptr, 0);
    if (!result)
        result = PQmakeEmptyPGresult(m_conn, PGRES_FATAL_ERROR);
    return result;
}

bool PostgresStore::command(const char *sql, const std::vector<Param> &params,
                            StoreResult *result, const QString &doing)
{
    PGresult *answer = run(sql, params);
    const ExecStatusType status = PQresultStatus(answer);
    const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!ok && result)
        *result = error(answer, doing);
    PQclear(answer);
    return ok;
}

StoreResult PostgresStore::error(PGresult *answer, const QString &doing) const
{
    const QByteArray state = PQresultErrorField(answer, PG_DIAG_SQLSTATE);
    QString message = QString::fromUtf8(PQresultErrorMessage(answer)).trimmed();
    if (message.isEmpty())
        message = QString::fromUtf8(PQerrorMessage(m_conn)).trimmed();
    const QString why = QStringLiteral("%1: %2").arg(doing, message);
    StoreResult result;
    if (PQstatus(m_conn) != CONNECTION_OK || state.startsWith("08") || state == "57P01"
        || state == "57P02" || state == "57P03" || state == "53300") {
        result.status = StoreResult::Unavailable;
        result.reason = QStringLiteral("database unavailable (%1)").arg(why);
    } else if (state == "53100") {
        result.status = StoreResult::Full;
        result.reason = QStringLiteral("database disk full (%1)").arg(why);
    } else if (state == "40001" || state == "40P01" || state == "55P03") {
        result.status = StoreResult::Busy;
        result.reason = QStringLiteral("database busy (%1)").arg(why);
    } else {
        result.status = StoreResult::Failed;
        result.reason = QStringLiteral("database error (%1)").arg(why);
    }
    return result;
}

void PostgresStore::rollback()
{
    if (PQstatus(m_conn) == CONNECTION_OK && PQtransactionStatus(m_conn) != PQTRANS_IDLE)
        PQclear(PQexec(m_conn, "ROLLBACK"));
}

QString PostgresStore::migrate()
{
    // Collectors started together take turns; the later ones find the work done.
    StoreResult result;
    if (!command("SELECT pg_advisory_lock(4932166787470150245)", {}, &result,
                 QStringLiteral("waiting for the schema lock")))
        return result.reason;
    QString problem;
    if (command("BEGIN", {}, &result, QStringLiteral("starting the schema upgrade"))
        && command("CREATE TABLE IF NOT EXISTS schema_version (version integer NOT NULL)", {},
                   &result, QStringLiteral("creating the version table"))) {
        PGresult *answer = run("SELECT coalesce(max(version), 0) FROM schema_version", {});
        int version = -1;
        if (PQresultStatus(answer) == PGRES_TUPLES_OK && PQntuples(answer) == 1)
            version = value(answer, 0, 0).toInt();
        else
            problem = error(answer, QStringLiteral("reading the schema version")).reason;
        PQclear(answer);
        if (version > knownVersion) {
            problem = QStringLiteral("the schema is at version %1, newer than this collector "
                                     "knows (%2); use a newer collector")
                          .arg(version)
                          .arg(knownVersion);
        }
        for (int next = version + 1; problem.isEmpty() && version >= 0 && next <= knownVersion;
             ++next) {
            PGresult *applied = PQexec(m_conn, migrations[next - 1]);
            if (PQresultStatus(applied) != PGRES_COMMAND_OK)
                problem = error(applied, QStringLiteral("upgrading the schema to version %1")
                                             .arg(next))
                              .reason;
            PQclear(applied);
            if (problem.isEmpty()
                && (!command("DELETE FROM schema_version", {}, &result, "recording the version")
                    || !command("INSERT INTO schema_version (version) VALUES ($1)",
                                {number(next)}, &result, "recording the version")))
                problem = result.reason;
        }
        if (problem.isEmpty()
            && !command("COMMIT", {}, &result, QStringLiteral("committing the schema")))
            problem = result.reason;
    } else {
        problem = result.reason;
    }
    rollback();
    command("SELECT pg_advisory_unlock(4932166787470150245)");
    return problem;
}

StoreResult PostgresStore::append(const std::vector<Event> &events)
{
    StoreResult result;
    if (events.empty() || !connected(&result))
        return result;
    if (!command("BEGIN", {}, &result, QStringLiteral("starting the write")))
        return result;
    result = writeBatch(events);
    if (result.ok())
        command("COMMIT", {}, &result, QStringLiteral("committing the events"));
    if (!result.ok())
        rollback();
    return result;
}

StoreResult PostgresStore::writeBatch(const std::vector<Event> &events)
{
    StoreResult result;
    {
        ArrayParam at, method, brand, app, version, user, session, body;
        for (const Event &event : events) {
            at.add(number(event.receivedAtMs));
            method.add(text(event.method));
            brand.add(number(event.brandId));
            app.add(number(event.appId));
            version.add(text(event.appVersion));
            user.add(text(event.userId));
            session.add(text(event.appSessionId));
            body.add(QJsonDocument(event.fields).toJson(QJsonDocument::Compact));
        }
        // WITH ORDINALITY keeps the batch's order in the IDs, which is the export's order.
        if (!command("INSERT INTO events (received_at_ms, method, brand_id, app_id,"
                     " app_version, user_id, app_session_id, body)"
                     " SELECT a, m, b, p, v, u, s, j FROM unnest($1::bigint[], $2::text[],"
                     " $3::integer[], $4::integer[], $5::text[], $6::text[], $7::text[],"
                     " $8::text[]) WITH ORDINALITY AS t(a, m, b, p, v, u, s, j, n) ORDER BY n",
                     {at.param(), method.param(), brand.param(), app.param(), version.param(),
                      user.param(), session.param(), body.param()},
                     &result, QStringLiteral("storing events")))
            return result;
    }

    std::map<RollUp::ConversionKey, RollUp::Conversion> conversions;
    const std::set<RollUp::ConversionKey> keys = RollUp::conversionKeys(events);
    if (!keys.empty()) {
        ArrayParam ids, users;
        for (const RollUp::ConversionKey &key : keys) {
            ids.add(text(key.first));
            users.add(text(key.second));
        }
        PGresult *answer = run("SELECT c.conversion_id, c.user_id, c.format, c.cancelled"
                               " FROM conversions c JOIN unnest($1::text[], $2::text[])"
                               " AS k(i, u) ON c.conversion_id = k.i AND c.user_id = k.u",
                               {ids.param(), users.param()});
        if (PQresultStatus(answer) != PGRES_TUPLES_OK) {
            result = error(answer, QStringLiteral("reading conversions"));
            PQclear(answer);
            return result;
        }
        for (int row = 0; row < PQntuples(answer); ++row) {
            RollUp::Conversion &job =
                conversions[RollUp::ConversionKey(value(answer, row, 0), value(answer, row, 1))];
            if (!PQgetisnull(answer, row, 2))
                job.format = value(answer, row, 2);
            job.cancelled = isTrue(answer, row, 3);
        }
        PQclear(answer);
    }
    RollUp rollUp;
    rollUp.add(events, &conversions);

    // Merged rather than overwritten, as another collector may have written the same job.
    ArrayParam ids, users, formats, cancelled, touched;
    bool anyJob = false;
    for (const auto &[key, job] : conversions) {
        if (!job.changed)
            continue;
        anyJob = true;
        ids.add(text(key.first));
        users.add(text(key.second));
        formats.add(job.format ? text(*job.format) : Param());
        cancelled.add(boolean(job.cancelled));
        touched.add(number(job.touchedAtMs));
    }
    if (anyJob
        && !command("INSERT INTO conversions AS c (conversion_id, user_id, format, cancelled,"
                    " touched_at_ms) SELECT * FROM unnest($1::text[], $2::text[], $3::text[],"
                    " $4::boolean[], $5::bigint[]) ON CONFLICT (conversion_id, user_id)"
                    " DO UPDATE SET format = coalesce(EXCLUDED.format, c.format),"
                    " cancelled = c.cancelled OR EXCLUDED.cancelled,"
                    " touched_at_ms = greatest(c.touched_at_ms, EXCLUDED.touched_at_ms)",
                    {ids.param(), users.param(), formats.param(), cancelled.param(),
                     touched.param()},
                    &result, QStringLiteral("storing conversions")))
        return result;

    // Keys go in sorted order, so that concurrent writers lock rows in the same order.
    if (!rollUp.counts.empty()) {
        ArrayParam days, apps, versions, metrics, names, counts;
        for (const auto &[key, count] : rollUp.counts) {
            days.add(text(std::get<0>(key)));
            apps.add(number(std::get<1>(key)));
            versions.add(text(std::get<2>(key)));
            metrics.add(text(std::get<3>(key)));
            names.add(text(std::get<4>(key)));
            counts.add(number(count));
        }
        if (!command("INSERT INTO daily_counts AS t (day, app_id, app_version, metric, key,"
                     " count) SELECT * FROM unnest($1::date[], $2::integer[], $3::text[],"
                     " $4::text[], $5::text[], $6::bigint[])"
                     " ON CONFLICT (day, app_id, app_version, metric, key)"
                     " DO UPDATE SET count = t.count + EXCLUDED.count",
                     {days.param(), apps.param(), versions.param(), metrics.param(),
                      names.param(), counts.param()},
                     &result, QStringLiteral("storing counts")))
            return result;
    }
    if (!rollUp.durations.empty()) {
        ArrayParam days, apps, versions, formats, seconds, counts;
        for (const auto &[key, count] : rollUp.durations) {
            days.add(text(std::get<0>(key)));
            apps.add(number(std::get<1>(key)));
            versions.add(text(std::get<2>(key)));
            formats.add(text(std::get<3>(key)));
            seconds.add(number(std::get<4>(key)));
            counts.add(number(count));
        }
        if (!command("INSERT INTO durations AS t (day, app_id, app_version, format, seconds,"
                     " count) SELECT * FROM unnest($1::date[], $2::integer[], $3::text[],"
                     " $4::text[], $5::bigint[], $6::bigint[])"
                     " ON CONFLICT (day, app_id, app_version, format, seconds)"
                     " DO UPDATE SET count = t.count + EXCLUDED.count",
                     {days.param(), apps.param(), versions.param(), formats.param(),
                      seconds.param(), counts.param()},
                     &result, QStringLiteral("storing durations")))
            return result;
    }
    return result;
}

StoreResult PostgresStore::forEachEvent(const std::function<void(const QByteArray &json)> &visit)
{
    StoreResult result;
    if (!connected(&result))
        return result;
    // Row by row: an export of millions of events never sits in memory as a whole.
    if (!PQsendQueryParams(m_conn, "SELECT body FROM events ORDER BY id", 0, nullptr, nullptr,
                           nullptr, nullptr, 0)) {
        PGresult *answer = PQmakeEmptyPGresult(m_conn, PGRES_FATAL_ERROR);
        result = error(answer, QStringLiteral("reading events"));
        PQclear(answer);
        return result;
    }
    PQsetSingleRowMode(m_conn);
    while (PGresult *answer = PQgetResult(m_conn)) {
        const ExecStatusType status = PQresultStatus(answer);
        if (status == PGRES_SINGLE_TUPLE)
            visit(QByteArray(PQgetvalue(answer, 0, 0), PQgetlength(answer, 0, 0)));
        else if (status != PGRES_TUPLES_OK && result.ok())
            result = error(answer, QStringLiteral("reading events"));
        PQclear(answer);
    }
    return result;
}

qint64 PostgresStore::forgetUser(const QString &userId)
{
    if (!connected(nullptr) || !command("BEGIN"))
        return -1;
    PGresult *answer = run("DELETE FROM events WHERE user_id = $1", {text(userId)});
    qint64 deleted = -1;
    if (PQresultStatus(answer) == PGRES_COMMAND_OK)
        deleted = QByteArray(PQcmdTuples(answer)).toLongLong();
    PQclear(answer);
    if (deleted < 0 || !command("DELETE FROM conversions WHERE user_id = $1", {text(userId)})
        || !command("COMMIT")) {
        rollback();
        return -1;
    }
    return deleted;
}

qint64 PostgresStore::deleteEventsBefore(qint64 receivedAtMs)
{
    if (!connected(nullptr))
        return -1;
    // Chunks in transactions of their own, so that no huge transaction holds the table.
    qint64 deleted = 0;
    for (;;) {
        PGresult *answer = run("DELETE FROM events WHERE id IN (SELECT id FROM events"
                               " WHERE received_at_ms < $1 ORDER BY id LIMIT 5000)",
                               {number(receivedAtMs)});
        const bool ok = PQresultStatus(answer) == PGRES_COMMAND_OK;
        const qint64 changed = ok ? QByteArray(PQcmdTuples(answer)).toLongLong() : 0;
        PQclear(answer);
        if (!ok)
            return -1;
        deleted += changed;
        if (changed == 0)
            break;
    }
    // Jobs last heard of before the time cannot be completed any more.
    if (!command("DELETE FROM conversions WHERE touched_at_ms < $1", {number(receivedAtMs)}))
        return -1;
    return deleted;
}

std::optional<std::vector<Announcement>> PostgresStore::announcements()
{
    if (!connected(nullptr))
        return std::nullopt;
    PGresult *answer = run("SELECT app_id, every_brand, brand_id, version, message, url,"
                           " required, updated_at_ms FROM announcements"
                           " ORDER BY app_id, every_brand DESC, brand_id",
                           {});
    return rows<Announcement>(answer, [](PGresult *answer, int row) {
        Announcement a;
        a.appId = value(answer, row, 0).toInt();
        if (!isTrue(answer, row, 1))
            a.brandId = value(answer, row, 2).toInt();
        a.version = value(answer, row, 3);
        a.message = value(answer, row, 4);
        a.url = value(answer, row, 5);
        a.required = isTrue(answer, row, 6);
        a.updatedAtMs = value(answer, row, 7).toLongLong();
        return a;
    });
}

StoreResult PostgresStore::announce(const Announcement &a)
{
    StoreResult result;
    if (connected(&result))
        command("INSERT INTO announcements AS t (app_id, every_brand, brand_id, version,"
                " message, url, required, updated_at_ms)"
                " VALUES ($1, $2, $3, $4, $5, $6, $7, $8)"
                " ON CONFLICT (app_id, every_brand, brand_id) DO UPDATE SET"
                " version = EXCLUDED.version, message = EXCLUDED.message, url = EXCLUDED.url,"
                " required = EXCLUDED.required, updated_at_ms = EXCLUDED.updated_at_ms",
                {number(a.appId), boolean(!a.brandId), number(a.brandId.value_or(0)),
                 text(a.version), text(a.message), text(a.url), boolean(a.required),
                 number(a.updatedAtMs)},
                &result, QStringLiteral("storing the announcement"));
    return result;
}

bool PostgresStore::withdraw(qint32 appId, std::optional<qint32> brandId)
{
    if (!connected(nullptr))
        return false;
    PGresult *answer = run("DELETE FROM announcements"
                           " WHERE app_id = $1 AND every_brand = $2 AND brand_id = $3",
                           {number(appId), boolean(!brandId), number(brandId.value_or(0))});
    const bool removed = PQresultStatus(answer) == PGRES_COMMAND_OK
                         && QByteArray(PQcmdTuples(answer)).toLongLong() > 0;
    PQclear(answer);
    return removed;
}

std::optional<std::vector<DailyCount>> PostgresStore::dailyCounts(const QDate &from,
                                                                  const QDate &to,
                                                                  std::optional<qint32> appId)
{
    if (!connected(nullptr))
        return std::nullopt;
    PGresult *answer = run("SELECT to_char(day, 'YYYY-MM-DD'), app_id, app_version, metric,"
                           " key, count FROM daily_counts"
                           " WHERE day >= $1::date AND day <= $2::date"
                           " AND ($3::boolean OR app_id = $4::integer)"
                           " ORDER BY day, app_id, app_version, metric, key",
                           {text(from.toString(Qt::ISODate)), text(to.toString(Qt::ISODate)),
                            boolean(!appId), number(appId.value_or(0))});
    return rows<DailyCount>(answer, [](PGresult *answer, int row) {
        DailyCount c;
        c.day = day(answer, row, 0);
        c.appId = value(answer, row, 1).toInt();
        c.appVersion = value(answer, row, 2);
        c.metric = value(answer, row, 3);
        c.key = value(answer, row, 4);
        c.count = value(answer, row, 5).toLongLong();
        return c;
    });
}

std::optional<std::vector<DurationBucket>> PostgresStore::durations(const QDate &from,
                                                                    const QDate &to,
                                                                    std::optional<qint32> appId)
{
    if (!connected(nullptr))
        return std::nullopt;
    PGresult *answer = run("SELECT to_char(day, 'YYYY-MM-DD'), app_id, app_version, format,"
                           " seconds, count FROM durations"
                           " WHERE day >= $1::date AND day <= $2::date"
                           " AND ($3::boolean OR app_id = $4::integer)"
                           " ORDER BY day, app_id, app_version, format, seconds",
                           {text(from.toString(Qt::ISODate)), text(to.toString(Qt::ISODate)),
                            boolean(!appId), number(appId.value_or(0))});
    return rows<DurationBucket>(answer, [](PGresult *answer, int row) {
        DurationBucket b;
        b.day = day(answer, row, 0);
        b.appId = value(answer, row, 1).toInt();
        b.appVersion = value(answer, row, 2);
        b.format = value(answer, row, 3);
        b.seconds = value(answer, row, 4).toLongLong();
        b.count = value(answer, row, 5).toLongLong();
        return b;
    });
}

StoreResult PostgresStore::setAccount(const QString &name, const QByteArray &passwordHash)
{
    StoreResult result;
    if (connected(&result))
        command("INSERT INTO accounts AS t (name, password_hash) VALUES ($1, $2)"
                " ON CONFLICT (name) DO UPDATE SET password_hash = EXCLUDED.password_hash",
                {text(name), Param(passwordHash)}, &result,
                QStringLiteral("storing the account"));
    return result;
}

std::optional<QByteArray> PostgresStore::passwordHash(const QString &name)
{
    if (!connected(nullptr))
        return std::nullopt;
    PGresult *answer = run("SELECT password_hash FROM accounts WHERE name = $1", {text(name)});
    std::optional<QByteArray> hash;
    if (PQresultStatus(answer) == PGRES_TUPLES_OK && PQntuples(answer) == 1)
        hash = QByteArray(PQgetvalue(answer, 0, 0), PQgetlength(answer, 0, 0));
    PQclear(answer);
    return hash;
}

StoreResult PostgresStore::addSession(const QByteArray &tokenHash, const QString &account,
                                      const QByteArray &csrfToken, qint64 expiresAtMs)
{
    StoreResult result;
    if (!connected(&result))
        return result;
    // Tokens are bytes of any value; hex keeps them exact in a text column.
    if (command("INSERT INTO sessions (token_hash, account, csrf_token, expires_at_ms)"
                " VALUES ($1, $2, $3, $4)",
                {Param(tokenHash.toHex()), text(account), Param(csrfToken.toHex()),
                 number(expiresAtMs)},
                &result, QStringLiteral("storing the session"))) {
        // Sessions nobody signs out of would pile up otherwise.
        command("DELETE FROM sessions WHERE expires_at_ms < $1",
                {number(QDateTime::currentMSecsSinceEpoch())});
    }
    return result;
}

std::optional<Store::Session> PostgresStore::session(const QByteArray &tokenHash)
{
    if (!connected(nullptr))
        return std::nullopt;
    PGresult *answer = run("SELECT account, csrf_token, expires_at_ms FROM sessions"
                           " WHERE token_hash = $1",
                           {Param(tokenHash.toHex())});
    std::optional<Session> found;
    if (PQresultStatus(answer) == PGRES_TUPLES_OK && PQntuples(answer) == 1) {
        Session s;
        s.account = value(answer, 0, 0);
        s.csrfToken = QByteArray::fromHex(PQgetvalue(answer, 0, 1));
        s.expiresAtMs = value(answer, 0, 2).toLongLong();
        found = s;
    }
    PQclear(answer);
    return found;
}

void PostgresStore::removeSession(const QByteArray &tokenHash)
{
    if (connected(nullptr))
        command("DELETE FROM sessions WHERE token_hash = $1", {Param(tokenHash.toHex())});
}
