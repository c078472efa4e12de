#pragma once

#include "Store.h"

#include <string>
#include <unordered_map>

typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;

// Storage in a PostgreSQL database that several collectors, on several machines, write to at
// once: roll-ups are added to with upserts, never read and written back, and schema upgrades
// run under an advisory lock.
class PostgresStore : public Store
{
public:
    // Connects (libpq URI or key=value string) and brings the schema to the current version.
    static std::unique_ptr<PostgresStore> open(const QString &conninfo, QString *error);
    ~PostgresStore() override;

    StoreResult append(const std::vector<Event> &events) override;
    // One connection commits while the other builds its batch.
    int usefulWriters() const override { return 2; }
    StoreResult forEachEvent(const std::function<void(const QByteArray &json)> &visit) override;
    qint64 forgetUser(const QString &userId) override;
    qint64 deleteEventsBefore(qint64 receivedAtMs) override;

    std::optional<std::vector<Announcement>> announcements() override;
    StoreResult announce(const Announcement &announcement) override;
    bool withdraw(qint32 appId, std::optional<qint32> brandId) override;

    std::optional<std::vector<DailyCount>> dailyCounts(const QDate &from, const QDate &to,
                                                       std::optional<qint32> appId) override;
    std::optional<std::vector<DurationBucket>> durations(const QDate &from, const QDate &to,
                                                         std::optional<qint32> appId) override;

    StoreResult setAccount(const QString &name, const QByteArray &passwordHash) override;
    std::optional<QByteArray> passwordHash(const QString &name) override;
    StoreResult addSession(const QByteArray &tokenHash, const QString &account,
                           const QByteArray &csrfToken, qint64 expiresAtMs) override;
    std::optional<Session> session(const QByteArray &tokenHash) override;
    void removeSession(const QByteArray &tokenHash) override;

    // The schema version this code creates and understands.
    static int schemaVersion();

    // A bound parameter in text form; empty for SQL NULL.
    using Param = std::optional<QByteArray>;

private:
    explicit PostgresStore(PGconn *conn);
    QString migrate();
    // Connects again after the server went away; false when it is still out of reach.
    bool connected(StoreResult *result);
    // Runs the SQL as a statement prepared once per connection; never null.
    PGresult *run(const char *sql, const std::vector<Param> &params);
    bool command(const char *sql, const std::vector<Param> &params = {},
                 StoreResult *result = nullptr, const QString &doing = {});
    StoreResult error(PGresult *result, const QString &doing) const;
    void rollback();
    StoreResult writeBatch(const std::vector<Event> &events);

    PGconn *m_conn = nullptr;
    std::unordered_map<std::string, std::string> m_statements;   // SQL to prepared name
};
