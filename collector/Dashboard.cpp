#include "Dashboard.h"

#include "DashboardPages.h"
#include "Figures.h"
#include "PasswordHash.h"
#include "RollUpCache.h"
#include "Store.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSemaphore>
#include <QUrl>
#include <QUrlQuery>

#include <sodium.h>

#include <mutex>
#include <vector>

namespace {

const char sessionCookie[] = "kelvane_session";
// Binds the login form to the browser that loaded it: the form's token must equal it.
const char loginCookie[] = "kelvane_login";
const qint64 sessionLifetimeMs = 12 * 3600 * 1000;
const int tokenBytes = 32;
// Argon2id takes tens of megabytes per check: a burst of logins must not exhaust memory.
const int concurrentPasswordChecks = 2;
// Longer names or passwords are refused before any hashing.
const int longestCredential = 1024;
// Without a date range the overview shows the last 30 days; ranges are capped at ten years.
const int defaultDays = 30;
const int longestRangeDays = 3660;

const char failedLogin[] = "The name or the password is not right, or the form had expired. "
                           "Please try again.";
const char refusedForm[] = "The form had expired or came from another site. "
                           "Reload the page and try again.";

QByteArray base64Url(const QByteArray &bytes)
{
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    randombytes_buf(bytes.data(), size_t(bytes.size()));
    return bytes;
}

// Only this digest of a session token is stored: the table holds no working cookies.
QByteArray tokenHash(const QByteArray &token)
{
    QByteArray hash(crypto_generichash_BYTES, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<unsigned char *>(hash.data()), size_t(hash.size()),
                       reinterpret_cast<const unsigned char *>(token.constData()),
                       quint64(token.size()), nullptr, 0);
    return hash;
}

bool sameSecret(const QByteArray &a, const QByteArray &b)
{
    return !a.isEmpty() && a.size() == b.size()
        && sodium_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}

// application/x-www-form-urlencoded, as browsers send forms and queries.
QUrlQuery formFields(QByteArray encoded)
{
    encoded.replace('+', "%20");
    return QUrlQuery(QString::fromLatin1(encoded));
}

QString field(const QUrlQuery &fields, const QString &name)
{
    return fields.queryItemValue(name, QUrl::FullyDecoded);
}

QByteArray cookie(const HttpRequest &request, const QByteArray &name)
{
    for (const auto &header : request.headers) {
        if (header.first != "cookie")
            continue;
        for (const QByteArray &pair : header.second.split(';')) {
            const int equals = pair.indexOf('=');
            if (equals > 0 && pair.left(equals).trimmed() == name)
                return pair.mid(equals + 1).trimmed();
        }
    }
    return QByteArray();
}

// A form posted from another site is refused even before its token is looked at. Browsers
// send "Origin: null" for our own forms under Referrer-Policy: no-referrer, so null proves
// nothing either way and the token decides.
bool crossOrigin(const HttpRequest &request)
{
    const QByteArray site = request.header("sec-fetch-site");
    if (!site.isEmpty() && site != "same-origin" && site != "none")
        return true;
    const QByteArray origin = request.header("origin");
    if (origin.isEmpty() || origin == "null")
        return false;
    const QUrl url(QString::fromLatin1(origin));
    if (!url.isValid())
        return true;
    // Behind a proxy that rewrites Host, the browser's host arrives as X-Forwarded-Host.
    const QString authority = url.authority(QUrl::FullyEncoded);
    for (const QByteArray &name : {QByteArray("host"), QByteArray("x-forwarded-host")}) {
        const QByteArray host = request.header(name).split(',').constFirst().trimmed();
        if (!host.isEmpty()
            && authority.compare(QString::fromLatin1(host), Qt::CaseInsensitive) == 0)
            return false;
    }
    return true;
}

// A form of a signed-in page: from our own pages and carrying the session's token.
bool formAccepted(const HttpRequest &request, const QUrlQuery &fields,
                  const Store::Session &session)
{
    return !crossOrigin(request)
        && sameSecret(field(fields, QStringLiteral("csrf")).toLatin1(), session.csrfToken);
}

bool throughTls(const HttpRequest &request)
{
    return request.header("x-forwarded-proto").trimmed().toLower() == "https";
}

QByteArray cookieHeader(const HttpRequest &request, const QByteArray &name,
                        const QByteArray &value, const QByteArray &path, qint64 maxAgeSeconds)
{
    QByteArray header = name + '=' + value + "; Path=" + path + "; Max-Age="
        + QByteArray::number(maxAgeSeconds) + "; HttpOnly; SameSite=Strict";
    if (throughTls(request))
        header += "; Secure";
    return header;
}

void addSecurityHeaders(HttpResponse &response, bool cacheable = false)
{
    response.headers.append({QByteArrayLiteral("Content-Security-Policy"),
                             QByteArrayLiteral("default-src 'none'; style-src 'self'; "
                                               "img-src 'self' data:; form-action 'self'; "
                                               "frame-ancestors 'none'")});
    response.headers.append({QByteArrayLiteral("X-Content-Type-Options"),
                             QByteArrayLiteral("nosniff")});
    response.headers.append({QByteArrayLiteral("X-Frame-Options"), QByteArrayLiteral("DENY")});
    response.headers.append({QByteArrayLiteral("Referrer-Policy"),
                             QByteArrayLiteral("no-referrer")});
    response.headers.append({QByteArrayLiteral("Cache-Control"),
                             cacheable ? QByteArrayLiteral("max-age=3600")
                                       : QByteArrayLiteral("no-store")});
}

HttpResponse page(int status, const QString &html)
{
    HttpResponse response;
    response.status = status;
    response.headers.append({QByteArrayLiteral("Content-Type"),
                             QByteArrayLiteral("text/html; charset=utf-8")});
    addSecurityHeaders(response);
    response.body = html.toUtf8();
    return response;
}

HttpResponse redirect(const QByteArray &location)
{
    HttpResponse response;
    response.status = 303;
    response.headers.append({QByteArrayLiteral("Location"), location});
    addSecurityHeaders(response);
    return response;
}

HttpResponse notice(const DashboardPages::Viewer &viewer, int status, const QString &title,
                    const QString &text)
{
    return page(status, DashboardPages::notice(viewer, title, text));
}

HttpResponse methodNotAllowed(const QByteArray &allowed)
{
    HttpResponse response = notice(DashboardPages::Viewer(), 405,
                                   QStringLiteral("Method not allowed"),
                                   QStringLiteral("This page does not answer that method."));
    response.headers.append({QByteArrayLiteral("Allow"), allowed});
    return response;
}

std::optional<qint32> int32Field(const QString &text)
{
    bool ok = false;
    const qint32 value = text.trimmed().toInt(&ok);
    return ok ? std::optional<qint32>(value) : std::nullopt;
}

QDate dateField(const QUrlQuery &query, const QString &name)
{
    return QDate::fromString(field(query, name), Qt::ISODate);
}

} // namespace

struct Dashboard::Private
{
    QString database;

    // Idle connections; a request takes one and gives it back, so each is used by one thread
    // at a time.
    std::mutex poolMutex;
    std::vector<std::unique_ptr<Store>> idle;

    RollUpCache rollUps;
    QSemaphore passwordChecks{concurrentPasswordChecks};
    std::once_flag decoyOnce;
    QByteArray decoyHash;

    class Connection
    {
    public:
        explicit Connection(Private *d) : d(d)
        {
            {
                std::lock_guard<std::mutex> lock(d->poolMutex);
                if (!d->idle.empty()) {
                    store = std::move(d->idle.back());
                    d->idle.pop_back();
                }
            }
            if (!store) {
                QString error;
                store = Store::open(d->database, &error);
            }
        }
        ~Connection()
        {
            if (!store)
                return;
            std::lock_guard<std::mutex> lock(d->poolMutex);
            d->idle.push_back(std::move(store));
        }
        Connection(const Connection &) = delete;
        Connection &operator=(const Connection &) = delete;

        Store *operator->() const { return store.get(); }
        Store &operator*() const { return *store; }
        explicit operator bool() const { return bool(store); }

    private:
        Private *d;
        std::unique_ptr<Store> store;
    };

    struct SignedIn
    {
        QByteArray tokenHash;
        Store::Session session;
        DashboardPages::Viewer viewer() const
        {
            return {session.account, QString::fromLatin1(session.csrfToken)};
        }
    };

    std::optional<SignedIn> signedIn(const HttpRequest &request, Connection &store);

    HttpResponse loginPage(const HttpRequest &request, int status, const QString &error);
    HttpResponse login(const HttpRequest &request);
    HttpResponse logout(const HttpRequest &request);
    HttpResponse overview(const HttpRequest &request);
    HttpResponse announcements(const HttpRequest &request);
    HttpResponse changeAnnouncement(const HttpRequest &request);
    HttpResponse unavailable();
};

std::optional<Dashboard::Private::SignedIn>
Dashboard::Private::signedIn(const HttpRequest &request, Connection &store)
{
    const QByteArray token = QByteArray::fromBase64(cookie(request, sessionCookie),
                                                    QByteArray::Base64UrlEncoding);
    if (token.size() != tokenBytes)
        return std::nullopt;
    const QByteArray hash = tokenHash(token);
    const std::optional<Store::Session> session = store->session(hash);
    if (!session)
        return std::nullopt;
    if (session->expiresAtMs <= QDateTime::currentMSecsSinceEpoch()) {
        store->removeSession(hash);
        return std::nullopt;
    }
    return SignedIn{hash, *session};
}

HttpResponse Dashboard::Private::unavailable()
{
    HttpResponse response = notice(DashboardPages::Viewer(), 503,
                                   QStringLiteral("Database unavailable"),
                                   QStringLiteral("The database cannot be reached just now. "
                                                  "Please try again in a moment."));
    response.headers.append({QByteArrayLiteral("Retry-After"), QByteArrayLiteral("5")});
    return response;
}

HttpResponse Dashboard::Private::loginPage(const HttpRequest &request, int status,
                                           const QString &error)
{
    // A fresh form token each time the form is shown; the cookie carries its twin.
    const QByteArray token = base64Url(randomBytes(tokenBytes));
    HttpResponse response = page(status, DashboardPages::login(QString::fromLatin1(token),
                                                                error));
    response.headers.append({QByteArrayLiteral("Set-Cookie"),
                             cookieHeader(request, loginCookie, token, "/login", 3600)});
    return response;
}

HttpResponse Dashboard::Private::login(const HttpRequest &request)
{
    const QUrlQuery fields = formFields(request.body);
    const QByteArray name = field(fields, QStringLiteral("name")).toUtf8();
    const QByteArray password = field(fields, QStringLiteral("password")).toUtf8();
    const QByteArray formToken = field(fields, QStringLiteral("csrf")).toLatin1();
    const QString failed = QString::fromLatin1(failedLogin);

    // Every failure answers alike, so the answer tells nothing about which part was wrong.
    if (crossOrigin(request) || !sameSecret(formToken, cookie(request, loginCookie))
        || name.isEmpty() || name.size() > longestCredential
        || password.size() > longestCredential) {
        return loginPage(request, 403, failed);
    }

    Connection store(this);
    if (!store)
        return unavailable();
    std::call_once(decoyOnce, [this] { decoyHash = PasswordHash::make(randomBytes(16)); });
    const std::optional<QByteArray> hash = store->passwordHash(QString::fromUtf8(name));

    if (!passwordChecks.tryAcquire(1, 30000))
        return unavailable();
    // An unknown name costs the same hashing as a known one.
    const bool verified = PasswordHash::verify(hash ? *hash : decoyHash, password) && hash;
    passwordChecks.release();
    if (!verified)
        return loginPage(request, 403, failed);

    const QByteArray token = randomBytes(tokenBytes);
    const QByteArray csrf = base64Url(randomBytes(tokenBytes));
    const StoreResult added = store->addSession(tokenHash(token), QString::fromUtf8(name), csrf,
                                                QDateTime::currentMSecsSinceEpoch()
                                                    + sessionLifetimeMs);
    if (!added.ok())
        return unavailable();
    HttpResponse response = redirect("/");
    response.headers.append({QByteArrayLiteral("Set-Cookie"),
                             cookieHeader(request, sessionCookie, base64Url(token), "/",
                                          sessionLifetimeMs / 1000)});
    response.headers.append({QByteArrayLiteral("Set-Cookie"),
                             cookieHeader(request, loginCookie, QByteArray(), "/login", 0)});
    return response;
}

HttpResponse Dashboard::Private::logout(const HttpRequest &request)
{
    Connection store(this);
    if (!store)
        return unavailable();
    const std::optional<SignedIn> user = signedIn(request, store);
    if (!user)
        return redirect("/login");
    const QUrlQuery fields = formFields(request.body);
    if (!formAccepted(request, fields, user->session)) {
        return notice(user->viewer(), 403, QStringLiteral("Refused"),
                      QString::fromLatin1(refusedForm));
    }
    store->removeSession(user->tokenHash);
    HttpResponse response = redirect("/login");
    response.headers.append({QByteArrayLiteral("Set-Cookie"),
                             cookieHeader(request, sessionCookie, QByteArray(), "/", 0)});
    return response;
}

HttpResponse Dashboard::Private::overview(const HttpRequest &request)
{
    Connection store(this);
    if (!store)
        return unavailable();
    const std::optional<SignedIn> user = signedIn(request, store);
    if (!user)
        return redirect("/login");

    const QUrlQuery query = formFields(request.query);
    DashboardPages::OverviewChoice choice;
    choice.to = dateField(query, QStringLiteral("to"));
    if (!choice.to.isValid())
        choice.to = QDateTime::currentDateTimeUtc().date();
    choice.from = dateField(query, QStringLiteral("from"));
    if (!choice.from.isValid())
        choice.from = choice.to.addDays(1 - defaultDays);
    if (choice.from > choice.to)
        std::swap(choice.from, choice.to);
    if (choice.from.daysTo(choice.to) >= longestRangeDays)
        choice.from = choice.to.addDays(1 - longestRangeDays);
    choice.application = int32Field(field(query, QStringLiteral("app")));
    if (query.hasQueryItem(QStringLiteral("version"))
        && field(query, QStringLiteral("version")) != QLatin1String("*")) {
        choice.version = field(query, QStringLiteral("version"));
    }

    const std::optional<RollUpCache::Rows> rows =
        rollUps.read(*store, choice.from, choice.to, QDateTime::currentDateTimeUtc().date());
    if (!rows)
        return unavailable();
    const Figures figures = Figures::compute(rows->parts(), choice.from, choice.to,
                                             choice.application, choice.version);
    return page(200, DashboardPages::overview(user->viewer(), choice, figures));
}

HttpResponse Dashboard::Private::announcements(const HttpRequest &request)
{
    Connection store(this);
    if (!store)
        return unavailable();
    const std::optional<SignedIn> user = signedIn(request, store);
    if (!user)
        return redirect("/login");
    const std::optional<std::vector<Announcement>> list = store->announcements();
    if (!list)
        return unavailable();
    return page(200, DashboardPages::announcements(user->viewer(), *list,
                                                   DashboardPages::AnnouncementForm()));
}

HttpResponse Dashboard::Private::changeAnnouncement(const HttpRequest &request)
{
    Connection store(this);
    if (!store)
        return unavailable();
    const std::optional<SignedIn> user = signedIn(request, store);
    if (!user) {
        return notice(DashboardPages::Viewer(), 403, QStringLiteral("Refused"),
                      QStringLiteral("Log in first."));
    }
    const QUrlQuery fields = formFields(request.body);
    if (!formAccepted(request, fields, user->session)) {
        return notice(user->viewer(), 403, QStringLiteral("Refused"),
                      QString::fromLatin1(refusedForm));
    }

    DashboardPages::AnnouncementForm form;
    form.application = field(fields, QStringLiteral("app")).trimmed();
    form.brand = field(fields, QStringLiteral("brand")).trimmed();
    form.version = field(fields, QStringLiteral("version")).trimmed();
    form.message = field(fields, QStringLiteral("message")).trimmed();
    form.url = field(fields, QStringLiteral("url")).trimmed();
    form.required = !field(fields, QStringLiteral("required")).isEmpty();
    const std::optional<qint32> application = int32Field(form.application);
    const std::optional<qint32> brand = int32Field(form.brand);
    const QString action = field(fields, QStringLiteral("action"));

    const auto refuse = [&](const QString &error) {
        form.error = error;
        const std::optional<std::vector<Announcement>> list = store->announcements();
        if (!list)
            return unavailable();
        return page(422, DashboardPages::announcements(user->viewer(), *list, form));
    };
    if (!application)
        return refuse(QStringLiteral("The application ID must be a whole number."));
    if (!form.brand.isEmpty() && !brand)
        return refuse(QStringLiteral("The brand ID must be a whole number or empty."));

    if (action == QLatin1String("withdraw")) {
        store->withdraw(*application, brand);
        return redirect("/announcements");
    }
    if (action != QLatin1String("announce"))
        return refuse(QStringLiteral("Unknown action."));

    static const QRegularExpression dottedNumbers(QStringLiteral("^[0-9]{1,9}(\\.[0-9]{1,9})*$"));
    if (!dottedNumbers.match(form.version).hasMatch())
        return refuse(QStringLiteral("The version must be dotted numbers, such as 2.1.0."));
    if (form.message.isEmpty() || form.message.size() > 2000)
        return refuse(QStringLiteral("The message must have 1 to 2000 characters."));
    const QUrl url(form.url, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || form.url.size() > 2000
        || (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http"))) {
        return refuse(QStringLiteral("The web page must be an http or https address."));
    }

    Announcement announcement;
    announcement.appId = *application;
    announcement.brandId = brand;
    announcement.version = form.version;
    announcement.message = form.message;
    announcement.url = form.url;
    announcement.required = form.required;
    announcement.updatedAtMs = QDateTime::currentMSecsSinceEpoch();
    const StoreResult result = store->announce(announcement);
    if (!result.ok())
        return refuse(QStringLiteral("The announcement was not stored: ") + result.reason);
    return redirect("/announcements");
}

void Dashboard::rememberLastYear()
{
    Private::Connection store(d.get());
    if (!store)
        return;
    const QDate today = QDateTime::currentDateTimeUtc().date();
    d->rollUps.read(*store, today.addDays(-364), today, today);
}

Dashboard::Dashboard(const QString &database)
    : d(new Private)
{
    d->database = database;
    if (sodium_init() < 0)
        qFatal("libsodium cannot be initialised");
}

Dashboard::~Dashboard() = default;

HttpResponse Dashboard::handle(const HttpRequest &request)
{
    const bool read = request.method == "GET" || request.method == "HEAD";
    const bool post = request.method == "POST";

    if (request.path == "/dashboard.css") {
        if (!read)
            return methodNotAllowed("GET, HEAD");
        HttpResponse response;
        response.headers.append({QByteArrayLiteral("Content-Type"),
                                 QByteArrayLiteral("text/css; charset=utf-8")});
        addSecurityHeaders(response, true);
        response.body = DashboardPages::stylesheet();
        return response;
    }
    if (request.path == "/login") {
        if (read)
            return d->loginPage(request, 200, QString());
        return post ? d->login(request) : methodNotAllowed("GET, HEAD, POST");
    }
    if (request.path == "/logout")
        return post ? d->logout(request) : methodNotAllowed("POST");
    if (request.path == "/")
        return read ? d->overview(request) : methodNotAllowed("GET, HEAD");
    if (request.path == "/announcements") {
        if (read)
            return d->announcements(request);
        return post ? d->changeAnnouncement(request) : methodNotAllowed("GET, HEAD, POST");
    }
    return notice(DashboardPages::Viewer(), 404, QStringLiteral("Not found"),
                  QStringLiteral("There is no page at this address."));
}
