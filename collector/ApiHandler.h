#pragma once

#include "EventParser.h"
#include "EventWriter.h"
#include "Http.h"
#include "Store.h"

#include <QJsonObject>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// The telemetry endpoint: a body becomes an event, the event goes to the writer, and the client
// hears SUCCESS only once the write that carried it has committed. AppOpened answers may carry
// the update announced for the client's application.
class ApiHandler
{
public:
    using Reply = std::function<void(const HttpResponse &response)>;

    struct Options
    {
        bool keepFileNames = false;
        // Announcements are read again this often, since another process may change them.
        std::chrono::milliseconds announcementRefresh = std::chrono::seconds(5);
    };

    // announcementStore: a connection of its own for reading announcements; may be null.
    ApiHandler(EventWriter *writer, std::unique_ptr<Store> announcementStore,
               const Options &options);
    ~ApiHandler();

    // Calls reply exactly once: at once for a refused body, else from the writer's thread.
    void handle(const HttpRequest &request, const Reply &reply);

    // {"Status":"ERROR","Reason":...} with the status (and Retry-After where trying later helps).
    static HttpResponse error(int status, const QString &reason);
    // The object as compact JSON in ASCII: anything beyond it as \uXXXX, which every client
    // reads alike whatever encoding it assumes.
    static QByteArray asciiJson(const QJsonObject &object);

    // Negative, zero or positive as a is below, equal to or above b, dotted part by part as
    // numbers; missing parts count as 0 ("2" equals "2.0").
    static int compareVersions(const QString &a, const QString &b);
    // The announcement that applies to an application of a brand at a version: the brand's own
    // before the one for every brand, and only when it is newer than the version.
    static std::optional<Announcement> updateFor(const std::vector<Announcement> &announcements,
                                                 qint32 appId, qint32 brandId,
                                                 const QString &version);

private:
    HttpResponse success(const Event &event) const;
    void refreshLoop();

    EventWriter *const m_writer;
    std::unique_ptr<Store> m_announcementStore;
    const Options m_options;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::vector<Announcement> m_announcements;
    std::thread m_refresher;
};
