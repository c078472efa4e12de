#pragma once

#include "Store.h"

#include <string>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

// Storage in one SQLite file, for a single collector machine. WAL with full syncs, so that a
// committed batch survives a crash or a power loss while readers go on during writes.
class SqliteStore : public Store
{
public:
    // Opens or creates the file and brings its schema to the current version.
    static std::unique_ptr<SqliteStore> open(const QString &path, QString *error);
    ~SqliteStore() override;

    // How long a write waits for another connection's lock before answering Busy.
    void setBusyTimeout(int ms);
    // Caps the file at this many pages; writes beyond it answer Full (0: SQLite's limit).
    void setMaxPageCount(qint64 pages);

    StoreResult append(const std::vector<Event> &events) override;
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

private:
    explicit SqliteStore(sqlite3 *db);
    QString migrate();
    // The statement for the SQL, prepared once per connection and reset for reuse.
    sqlite3_stmt *statement(const char *sql, int *rc);
    StoreResult error(int rc, const QString &doing) const;
    int exec(const char *sql);
    void rollback();
    StoreResult writeBatch(const std::vector<Event> &events);

    sqlite3 *m_db = nullptr;
    std::unordered_map<std::string, sqlite3_stmt *> m_statements;
};
