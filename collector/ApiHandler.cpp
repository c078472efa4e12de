#include "ApiHandler.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QStringList>

#include <algorithm>
#include <limits>

namespace {

HttpResponse jsonResponse(int status, const QJsonObject &object)
{
    HttpResponse response;
    response.status = status;
    response.headers.append({QByteArrayLiteral("Content-Type"),
                             QByteArrayLiteral("application/json")});
    response.body = ApiHandler::asciiJson(object);
    return response;
}

HttpResponse storeError(const StoreResult &result)
{
    const QString reason = result.reason.isEmpty() ? QStringLiteral("storage failed")
                                                   : result.reason;
    switch (result.status) {
    case StoreResult::Ok:
        break;
    case StoreResult::Unavailable:
        return ApiHandler::error(503, QStringLiteral("storage unavailable: ") + reason);
    case StoreResult::Busy:
        return ApiHandler::error(503, QStringLiteral("storage busy: ") + reason);
    case StoreResult::Full:
        return ApiHandler::error(507, QStringLiteral("storage full: ") + reason);
    case StoreResult::Failed:
        break;
    }
    return ApiHandler::error(500, QStringLiteral("storage failed: ") + reason);
}

// The leading digits of a part; "3rc1" counts as 3, a part without digits as 0.
qint64 partNumber(const QString &part)
{
    qint64 number = 0;
    for (QChar c : part) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            break;
        if (number > (std::numeric_limits<qint64>::max() - 9) / 10)
            break;   // absurdly long parts compare by their first eighteen digits
        number = number * 10 + (c.unicode() - '0');
    }
    return number;
}

} // namespace

ApiHandler::ApiHandler(EventWriter *writer, std::unique_ptr<Store> announcementStore,
                       const Options &options)
    : m_writer(writer)
    , m_announcementStore(std::move(announcementStore))
    , m_options(options)
{
    if (m_announcementStore) {
        m_announcements = m_announcementStore->announcements().value_or(
            std::vector<Announcement>());
        m_refresher = std::thread([this] { refreshLoop(); });
    }
}

ApiHandler::~ApiHandler()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_refresher.joinable())
        m_refresher.join();
}

void ApiHandler::refreshLoop()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_wake.wait_for(lock, m_options.announcementRefresh, [this] { return m_stopping; }))
            return;
        lock.unlock();
        // Read outside the lock: requests keep the previous list meanwhile, and after a
        // failed read until one succeeds.
        std::optional<std::vector<Announcement>> fresh = m_announcementStore->announcements();
        lock.lock();
        if (fresh)
            m_announcements = std::move(*fresh);
    }
}

void ApiHandler::handle(const HttpRequest &request, const Reply &reply)
{
    EventParser::Options parserOptions;
    parserOptions.keepFileNames = m_options.keepFileNames;
    EventParser::Result parsed = EventParser::parse(
        request.body, parserOptions, QDateTime::currentMSecsSinceEpoch());
    if (!parsed.ok()) {
        reply(error(parsed.refusal.status, parsed.refusal.reason));
        return;
    }

    Event event = *parsed.event;
    const EventWriter::Submitted submitted = m_writer->submit(
        std::move(*parsed.event), [this, event, reply](const StoreResult &result) {
            reply(result.ok() ? success(event) : storeError(result));
        });
    if (submitted == EventWriter::Submitted::Full)
        reply(error(503, QStringLiteral("busy, try again later")));
    else if (submitted == EventWriter::Submitted::Stopped)
        reply(error(503, QStringLiteral("shutting down, try again later")));
}

HttpResponse ApiHandler::success(const Event &event) const
{
    QJsonObject answer{{QStringLiteral("Status"), QStringLiteral("SUCCESS")}};
    if (event.method == QLatin1String("AppOpened")) {
        std::optional<Announcement> update;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            update = updateFor(m_announcements, event.appId, event.brandId, event.appVersion);
        }
        if (update) {
            const QJsonObject prompt{
                {QStringLiteral("Required"), update->required ? 1 : 0},
                {QStringLiteral("Message"), update->message},
                {QStringLiteral("BrowsableURL"), update->url},
            };
            answer.insert(QStringLiteral("Contents"),
                          QJsonObject{{QStringLiteral("Update"), prompt}});
        }
    }
    return jsonResponse(200, answer);
}

HttpResponse ApiHandler::error(int status, const QString &reason)
{
    HttpResponse response = jsonResponse(status, QJsonObject{
        {QStringLiteral("Status"), QStringLiteral("ERROR")},
        {QStringLiteral("Reason"), reason},
    });
    if (status == 503)
        response.headers.append({QByteArrayLiteral("Retry-After"), QByteArrayLiteral("5")});
    return response;
}

QByteArray ApiHandler::asciiJson(const QJsonObject &object)
{
    const QString text =
        QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
    QByteArray ascii;
    ascii.reserve(text.size());
    for (QChar c : text) {
        // Outside strings the writer emits only ASCII, so escaping here stays valid JSON.
        if (c.unicode() < 0x7f) {
            ascii.append(char(c.unicode()));
        } else {
            ascii.append("\\u");
            ascii.append(QByteArray::number(c.unicode(), 16).rightJustified(4, '0'));
        }
    }
    return ascii;
}

int ApiHandler::compareVersions(const QString &a, const QString &b)
{
    const QStringList left = a.split(QLatin1Char('.'));
    const QStringList right = b.split(QLatin1Char('.'));
    for (int i = 0; i < std::max(left.size(), right.size()); ++i) {
        const qint64 x = i < left.size() ? partNumber(left.at(i)) : 0;
        const qint64 y = i < right.size() ? partNumber(right.at(i)) : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

std::optional<Announcement> ApiHandler::updateFor(const std::vector<Announcement> &announcements,
                                                  qint32 appId, qint32 brandId,
                                                  const QString &version)
{
    const Announcement *chosen = nullptr;
    for (const Announcement &announcement : announcements) {
        if (announcement.appId != appId)
            continue;
        if (announcement.brandId == brandId) {
            chosen = &announcement;
            break;
        }
        if (!announcement.brandId && !chosen)
            chosen = &announcement;
    }
    if (!chosen || compareVersions(chosen->version, version) <= 0)
        return std::nullopt;
    return *chosen;
}
