#pragma once

#include "Event.h"

#include <QByteArray>
#include <QDate>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// "Version V is out" for one application, or for one application of one brand.
struct Announcement
{
    qint32 appId = 0;
    std::optional<qint32> brandId;   // empty: every brand's copy of the application
    QString version;                 // dotted numbers, compared part by part
    QString message;
    QString url;
    bool required = false;
    qint64 updatedAtMs = 0;
};

// One row of the daily roll-ups that the dashboard reads instead of the events. Roll-ups hold
// no personal data, so they stay when events are deleted for retention or forgetUser().
//   metric "Event"              key: the event's Method
//   metric "ErrorCode"          key: "EC1".."EC8" (from AppFailed)
//   metric "ConversionOutcome"  key: "started", "completed" (a finished job that was not
//                               cancelled), "cancelled", "failed" (AppFailed EC2..EC8)
//   metric "OSVersion"          key: the OSVersion word (counted on AppOpened)
//   metric "OSLocale"           key: the OSLocale name (counted on NewUser and AppInstalled)
struct DailyCount
{
    QDate day;           // UTC day the events arrived on
    qint32 appId = 0;
    QString appVersion;
    QString metric;
    QString key;
    qint64 count = 0;
};

// Completed conversions of one day by output format ("FormatToConvertTo" of the job's
// ConversionStarted) and whole seconds ("ConversionDurationInSeconds").
struct DurationBucket
{
    QDate day;
    qint32 appId = 0;
    QString appVersion;
    QString format;
    qint64 seconds = 0;
    qint64 count = 0;
};

// Why a write did not happen; the answer to the client says so.
struct StoreResult
{
    enum Status {
        Ok,
        Unavailable,   // the database cannot be reached or opened
        Busy,          // locked by another writer beyond the wait
        Full,          // the disk or the database is full
        Failed,        // any other refusal
    };
    Status status = Ok;
    QString reason;

    bool ok() const { return status == Ok; }
};

// Storage of events, roll-ups, announcements and dashboard accounts. One object is one
// connection and is used by one thread at a time; open one per thread that needs one.
class Store
{
public:
    virtual ~Store() = default;

    // "sqlite:PATH" or "postgresql://..." (libpq's URI form). Creates the schema or migrates it
    // to the current version. Returns null and sets *error when the database cannot be used.
    static std::unique_ptr<Store> open(const QString &database, QString *error);

    // Stores the events and their roll-ups in one transaction. Ok means committed and durable:
    // only then may a client be told SUCCESS. On any failure nothing of the batch is stored.
    virtual StoreResult append(const std::vector<Event> &events) = 0;
    // How many connections of this kind are worth writing events at once: a database that
    // takes one writer at a time makes any more only wait for its lock.
    virtual int usefulWriters() const { return 1; }

    // Every stored event's object, oldest first, as compact UTF-8 JSON.
    virtual StoreResult forEachEvent(const std::function<void(const QByteArray &json)> &visit) = 0;
    // Deletes everything stored for the user; the number of events deleted, or -1 on failure.
    virtual qint64 forgetUser(const QString &userId) = 0;
    // Deletes the events that arrived before the time; the number deleted, or -1 on failure.
    virtual qint64 deleteEventsBefore(qint64 receivedAtMs) = 0;

    // The read methods answer nothing (not an empty list) when the database could not be read.
    virtual std::optional<std::vector<Announcement>> announcements() = 0;
    // Replaces the announcement for the same application and brand.
    virtual StoreResult announce(const Announcement &announcement) = 0;
    // False when there was nothing to withdraw.
    virtual bool withdraw(qint32 appId, std::optional<qint32> brandId) = 0;

    // Roll-ups of the days from..to (inclusive); every application when appId is empty.
    virtual std::optional<std::vector<DailyCount>> dailyCounts(const QDate &from, const QDate &to,
                                                               std::optional<qint32> appId) = 0;
    virtual std::optional<std::vector<DurationBucket>> durations(const QDate &from,
                                                                 const QDate &to,
                                                                 std::optional<qint32> appId) = 0;

    // Dashboard accounts: the password hash is an encoded salted slow hash (PasswordHash).
    virtual StoreResult setAccount(const QString &name, const QByteArray &passwordHash) = 0;
    virtual std::optional<QByteArray> passwordHash(const QString &name) = 0;
    // Dashboard sessions, shared by every collector on the database. Only a hash of the token
    // is kept, so the table does not hold working cookies.
    virtual StoreResult addSession(const QByteArray &tokenHash, const QString &account,
                                   const QByteArray &csrfToken, qint64 expiresAtMs) = 0;
    struct Session
    {
        QString account;
        QByteArray csrfToken;
        qint64 expiresAtMs = 0;
    };
    virtual std::optional<Session> session(const QByteArray &tokenHash) = 0;
    virtual void removeSession(const QByteArray &tokenHash) = 0;
};
