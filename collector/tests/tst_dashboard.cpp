// The dashboard as the HTTP server calls it: requests in, responses out, over a SQLite store
// seeded with a known set of events.

#include "Dashboard.h"
#include "PasswordHash.h"
#include "Store.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <sodium.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

const QString account = QStringLiteral("admin");
const QByteArray password = QByteArrayLiteral("correct horse+battery&staple");
const QByteArray range = QByteArrayLiteral("from=2026-03-01&to=2026-03-31");
const QString hostileVersion = QStringLiteral("<script>alert(\"v\")</script>");
const QString hostileLocale = QStringLiteral("<script>alert('l')</script>");

qint64 at(const char *day, int hour = 12)
{
    return QDateTime(QDate::fromString(QLatin1String(day), Qt::ISODate), QTime(hour, 0), Qt::UTC)
        .toMSecsSinceEpoch();
}

Event event(const QString &method, qint32 appId, const QString &version, qint64 receivedAtMs,
            const QJsonObject &extra = QJsonObject())
{
    Event e;
    e.method = method;
    e.appId = appId;
    e.appVersion = version;
    e.userId = QStringLiteral("user-1");
    e.appSessionId = QStringLiteral("session-1");
    e.receivedAtMs = receivedAtMs;
    e.fields = extra;
    e.fields.insert(QStringLiteral("Method"), method);
    e.fields.insert(QStringLiteral("AppID"), QString::number(appId));
    e.fields.insert(QStringLiteral("AppVersion"), version);
    return e;
}

// Application 7, mostly version 1.0, in March 2026:
//   new users 3 (de_DE, fr_FR, a hostile locale), installs 2 (de_DE), opens 4 (OS 12, 12, 11,
//   12) plus one by a hostile version;
//   conversions: 7 mp3 jobs completed in 1, 2, 3, 4, 5, 6, 100 s; 4 flac in 10, 20, 30, 40 s;
//   one mp3 cancelled (and then completed, as the program sends it); one failed with EC3;
//   one still running: 14 started, 11 completed, 1 cancelled, 1 failed; EC1 twice.
// Application 9: 5 new users. Application 11: one opening today, for the default range.
std::vector<Event> knownEvents()
{
    const QString v1 = QStringLiteral("1.0");
    std::vector<Event> events;
    const auto locale = [](const QString &name) {
        return QJsonObject{{QStringLiteral("OSLocale"), name}};
    };
    const auto os = [](const QString &name) {
        return QJsonObject{{QStringLiteral("OSVersion"), name}};
    };
    events.push_back(event(QStringLiteral("NewUser"), 7, v1, at("2026-03-02"),
                           locale(QStringLiteral("de_DE"))));
    events.push_back(event(QStringLiteral("NewUser"), 7, v1, at("2026-03-02"),
                           locale(QStringLiteral("fr_FR"))));
    events.push_back(event(QStringLiteral("NewUser"), 7, v1, at("2026-03-03"),
                           locale(hostileLocale)));
    for (int i = 0; i < 2; ++i) {
        events.push_back(event(QStringLiteral("AppInstalled"), 7, v1, at("2026-03-02"),
                               locale(QStringLiteral("de_DE"))));
    }
    for (const char *osVersion : {"12", "12", "11"}) {
        events.push_back(event(QStringLiteral("AppOpened"), 7, v1, at("2026-03-02"),
                               os(QLatin1String(osVersion))));
    }
    events.push_back(event(QStringLiteral("AppOpened"), 7, v1, at("2026-03-03"),
                           os(QStringLiteral("12"))));
    events.push_back(event(QStringLiteral("AppOpened"), 7, hostileVersion, at("2026-03-02"),
                           os(QStringLiteral("12"))));

    const auto start = [&](const QString &id, const char *format) {
        events.push_back(event(QStringLiteral("ConversionStarted"), 7, v1, at("2026-03-02", 10),
                               {{QStringLiteral("ConversionID"), id},
                                {QStringLiteral("FormatToConvertTo"), QLatin1String(format)}}));
    };
    const auto complete = [&](const QString &id, int seconds) {
        events.push_back(event(QStringLiteral("ConversionCompleted"), 7, v1,
                               at("2026-03-02", 11),
                               {{QStringLiteral("ConversionID"), id},
                                {QStringLiteral("ConversionDurationInSeconds"), seconds}}));
    };
    const int mp3Seconds[] = {6, 1, 100, 3, 2, 5, 4};
    for (int i = 0; i < 7; ++i) {
        start(QStringLiteral("m%1").arg(i), "mp3");
        complete(QStringLiteral("m%1").arg(i), mp3Seconds[i]);
    }
    for (int i = 1; i <= 4; ++i) {
        start(QStringLiteral("f%1").arg(i), "flac");
        complete(QStringLiteral("f%1").arg(i), 10 * i);
    }
    start(QStringLiteral("cancelled"), "mp3");
    events.push_back(event(QStringLiteral("ConversionCancelled"), 7, v1, at("2026-03-02", 11),
                           {{QStringLiteral("ConversionID"), QStringLiteral("cancelled")},
                            {QStringLiteral("ConversionPercentageComplete"), 40},
                            {QStringLiteral("ConversionDurationInSeconds"), 9}}));
    complete(QStringLiteral("cancelled"), 9);
    start(QStringLiteral("failed"), "mp3");
    events.push_back(event(QStringLiteral("AppFailed"), 7, v1, at("2026-03-02", 11),
                           {{QStringLiteral("ErrorCode"), QStringLiteral("EC3")}}));
    start(QStringLiteral("running"), "mp3");
    for (int i = 0; i < 2; ++i) {
        events.push_back(event(QStringLiteral("AppFailed"), 7, v1, at("2026-03-03"),
                               {{QStringLiteral("ErrorCode"), QStringLiteral("EC1")}}));
    }

    for (int i = 0; i < 5; ++i) {
        events.push_back(event(QStringLiteral("NewUser"), 9, v1, at("2026-03-04"),
                               locale(QStringLiteral("en_GB"))));
    }
    events.push_back(event(QStringLiteral("AppOpened"), 11, QStringLiteral("3.0"),
                           QDateTime::currentMSecsSinceEpoch(), os(QStringLiteral("12"))));
    return events;
}

QByteArray header(const HttpResponse &response, const QByteArray &name)
{
    for (const auto &h : response.headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

QList<QByteArray> setCookies(const HttpResponse &response)
{
    QList<QByteArray> cookies;
    for (const auto &h : response.headers) {
        if (h.first.compare("Set-Cookie", Qt::CaseInsensitive) == 0)
            cookies.append(h.second);
    }
    return cookies;
}

// "name=value" of the cookie the response sets, or empty.
QByteArray cookieSet(const HttpResponse &response, const QByteArray &name)
{
    for (const QByteArray &cookie : setCookies(response)) {
        if (cookie.startsWith(name + '='))
            return cookie.left(cookie.indexOf(';'));
    }
    return QByteArray();
}

QString formToken(const HttpResponse &response)
{
    static const QRegularExpression token(QStringLiteral("name=\"csrf\" value=\"([^\"]+)\""));
    return token.match(QString::fromUtf8(response.body)).captured(1);
}

// The text of the element with the id, tags inside it removed.
QString textOf(const HttpResponse &response, const QString &id)
{
    const QRegularExpression element(QStringLiteral("id=\"%1\"[^>]*>([^<]*)<")
                                         .arg(QRegularExpression::escape(id)));
    const QRegularExpressionMatch match = element.match(QString::fromUtf8(response.body));
    return match.hasMatch() ? match.captured(1) : QStringLiteral("(no element %1)").arg(id);
}

HttpRequest request(const QByteArray &method, const QByteArray &target,
                    const QByteArray &cookies = QByteArray(),
                    const QByteArray &body = QByteArray())
{
    HttpRequest r;
    r.method = method;
    const int question = target.indexOf('?');
    r.path = question < 0 ? target : target.left(question);
    r.query = question < 0 ? QByteArray() : target.mid(question + 1);
    r.headers.append(qMakePair(QByteArray("host"), QByteArray("127.0.0.1:47900")));
    if (!cookies.isEmpty())
        r.headers.append({"cookie", cookies});
    if (method == "POST")
        r.headers.append(qMakePair(QByteArray("content-type"),
                                   QByteArray("application/x-www-form-urlencoded")));
    r.body = body;
    return r;
}

QByteArray formBody(const QList<QPair<QByteArray, QByteArray>> &fields)
{
    QByteArray body;
    for (const auto &f : fields) {
        if (!body.isEmpty())
            body += '&';
        body += f.first + '=' + QUrl::toPercentEncoding(QString::fromUtf8(f.second));
    }
    return body;
}

} // namespace

class tst_Dashboard : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void signedOutRequestsGoToLogin_data();
    void signedOutRequestsGoToLogin();
    void failedLoginsAnswerAlike_data();
    void failedLoginsAnswerAlike();
    void loginSetsSessionCookie_data();
    void loginSetsSessionCookie();
    void securityHeadersOnEveryAnswer_data();
    void securityHeadersOnEveryAnswer();
    void figures_data();
    void figures();
    void overlappingRangesAddUp();
    void todaysEventsShowAtOnce();
    void concurrentPages();
    void hostileTextIsEscaped();
    void announcementNeedsFormToken_data();
    void announcementNeedsFormToken();
    void announceAndWithdraw();
    void logout();
    void expiredSessionIsRefused();
    void unusableDatabaseAnswersUnavailable();

private:
    struct Login
    {
        QByteArray cookie;   // "kelvane_session=..."
        QByteArray formToken;
    };
    // Loads the login form and posts it; fields override the form's own.
    HttpResponse postLogin(const QByteArray &name, const QByteArray &pass,
                           const QByteArray &tokenMode = "form",
                           const QList<QPair<QByteArray, QByteArray>> &headers = {});
    Login login();
    HttpResponse get(const QByteArray &target);

    QTemporaryDir m_dir;
    QString m_database;
    std::unique_ptr<Store> m_store;
    std::unique_ptr<Dashboard> m_dashboard;
    Login m_session;
};

void tst_Dashboard::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qputenv("HOME", m_dir.path().toUtf8());
    m_database = QStringLiteral("sqlite:") + m_dir.filePath(QStringLiteral("collector.db"));
    QString error;
    m_store = Store::open(m_database, &error);
    QVERIFY2(m_store, qPrintable(error));
    const StoreResult stored = m_store->append(knownEvents());
    QVERIFY2(stored.ok(), qPrintable(stored.reason));
    QVERIFY(m_store->setAccount(account, PasswordHash::make(password)).ok());
    m_dashboard = std::make_unique<Dashboard>(m_database);
    m_session = login();
    QVERIFY(!m_session.cookie.isEmpty());
}

HttpResponse tst_Dashboard::postLogin(const QByteArray &name, const QByteArray &pass,
                                      const QByteArray &tokenMode,
                                      const QList<QPair<QByteArray, QByteArray>> &headers)
{
    const HttpResponse form = m_dashboard->handle(request("GET", "/login"));
    const QByteArray loginCookie = cookieSet(form, "kelvane_login");
    QByteArray token = formToken(form).toLatin1();
    QByteArray cookies = loginCookie;
    if (tokenMode == "missing")
        token.clear();
    else if (tokenMode == "wrong")
        token = "A" + token.mid(1) == token ? "B" + token.mid(1) : "A" + token.mid(1);
    else if (tokenMode == "no cookie")
        cookies.clear();
    QList<QPair<QByteArray, QByteArray>> fields = {{"name", name}, {"password", pass}};
    if (!token.isEmpty())
        fields.append({"csrf", token});
    HttpRequest r = request("POST", "/login", cookies, formBody(fields));
    r.headers.append(headers);
    return m_dashboard->handle(r);
}

tst_Dashboard::Login tst_Dashboard::login()
{
    const HttpResponse response = postLogin(account.toUtf8(), password);
    Login result;
    result.cookie = cookieSet(response, "kelvane_session");
    const HttpResponse page = m_dashboard->handle(request("GET", "/", result.cookie));
    result.formToken = formToken(page).toLatin1();
    return result;
}

HttpResponse tst_Dashboard::get(const QByteArray &target)
{
    return m_dashboard->handle(request("GET", target, m_session.cookie));
}

void tst_Dashboard::signedOutRequestsGoToLogin_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("cookie");
    QTest::newRow("overview") << QByteArray("/?" + range) << QByteArray();
    QTest::newRow("announcements") << QByteArray("/announcements") << QByteArray();
    QTest::newRow("made-up session")
        << QByteArray("/") << QByteArray("kelvane_session=" + QByteArray(43, 'A'));
    QTest::newRow("malformed session") << QByteArray("/") << QByteArray("kelvane_session=%%");
}

void tst_Dashboard::signedOutRequestsGoToLogin()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, cookie);
    const HttpResponse response = m_dashboard->handle(request("GET", target, cookie));
    QCOMPARE(response.status, 303);
    QCOMPARE(header(response, "Location"), QByteArray("/login"));
    QVERIFY(!response.body.contains("total-new-users"));
}

void tst_Dashboard::failedLoginsAnswerAlike_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("pass");
    QTest::addColumn<QByteArray>("tokenMode");
    QTest::addColumn<QByteArray>("fetchSite");
    QTest::newRow("wrong password") << account.toUtf8() << QByteArray("wrong")
                                    << QByteArray("form") << QByteArray();
    QTest::newRow("unknown name") << QByteArray("nobody") << password << QByteArray("form")
                                  << QByteArray();
    QTest::newRow("empty password") << account.toUtf8() << QByteArray() << QByteArray("form")
                                    << QByteArray();
    QTest::newRow("missing form token") << account.toUtf8() << password << QByteArray("missing")
                                        << QByteArray();
    QTest::newRow("wrong form token") << account.toUtf8() << password << QByteArray("wrong")
                                      << QByteArray();
    QTest::newRow("token without its cookie") << account.toUtf8() << password
                                              << QByteArray("no cookie") << QByteArray();
    QTest::newRow("cross-site post") << account.toUtf8() << password << QByteArray("form")
                                     << QByteArray("cross-site");
}

void tst_Dashboard::failedLoginsAnswerAlike()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, pass);
    QFETCH(QByteArray, tokenMode);
    QFETCH(QByteArray, fetchSite);
    QList<QPair<QByteArray, QByteArray>> headers;
    if (!fetchSite.isEmpty())
        headers.append({"sec-fetch-site", fetchSite});
    const HttpResponse response = postLogin(name, pass, tokenMode, headers);
    QCOMPARE(response.status, 403);
    QVERIFY(cookieSet(response, "kelvane_session").isEmpty());
    // The same words whatever was wrong, and a fresh form to try again.
    QCOMPARE(textOf(response, QStringLiteral("login-error")),
             QStringLiteral("The name or the password is not right, or the form had expired. "
                            "Please try again."));
    QVERIFY(!formToken(response).isEmpty());
}

void tst_Dashboard::loginSetsSessionCookie_data()
{
    QTest::addColumn<bool>("tls");
    QTest::newRow("plain http") << false;
    QTest::newRow("behind a TLS proxy") << true;
}

void tst_Dashboard::loginSetsSessionCookie()
{
    QFETCH(bool, tls);
    QList<QPair<QByteArray, QByteArray>> headers = {{"origin", "http://127.0.0.1:47900"},
                                                    {"sec-fetch-site", "same-origin"}};
    if (tls)
        headers.append(qMakePair(QByteArray("x-forwarded-proto"), QByteArray("https")));
    const HttpResponse response = postLogin(account.toUtf8(), password, "form", headers);
    QCOMPARE(response.status, 303);
    QCOMPARE(header(response, "Location"), QByteArray("/"));
    QByteArray session;
    for (const QByteArray &cookie : setCookies(response)) {
        if (cookie.startsWith("kelvane_session="))
            session = cookie;
    }
    QVERIFY2(session.contains("; HttpOnly"), session.constData());
    QVERIFY2(session.contains("; SameSite=Strict"), session.constData());
    QVERIFY2(session.contains("; Path=/;") || session.endsWith("; Path=/"), session.constData());
    QCOMPARE(session.contains("; Secure"), tls);
    const QByteArray value = session.left(session.indexOf(';')).mid(16);
    QCOMPARE(QByteArray::fromBase64(value, QByteArray::Base64UrlEncoding).size(), 32);

    const QByteArray cookie = session.left(session.indexOf(';'));
    const HttpResponse overview = m_dashboard->handle(request("GET", "/", cookie));
    QCOMPARE(overview.status, 200);
    QVERIFY(overview.body.contains("Logged in as admin"));
}

void tst_Dashboard::securityHeadersOnEveryAnswer_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<bool>("signedIn");
    QTest::addColumn<int>("status");
    QTest::newRow("login page") << QByteArray("/login") << false << 200;
    QTest::newRow("overview") << QByteArray("/?" + range) << true << 200;
    QTest::newRow("announcements") << QByteArray("/announcements") << true << 200;
    QTest::newRow("redirect to login") << QByteArray("/") << false << 303;
    QTest::newRow("not found") << QByteArray("/nothing/here") << true << 404;
    QTest::newRow("stylesheet") << QByteArray("/dashboard.css") << false << 200;
}

void tst_Dashboard::securityHeadersOnEveryAnswer()
{
    QFETCH(QByteArray, target);
    QFETCH(bool, signedIn);
    QFETCH(int, status);
    const HttpResponse response = m_dashboard->handle(
        request("GET", target, signedIn ? m_session.cookie : QByteArray()));
    QCOMPARE(response.status, status);
    const QByteArray policy = header(response, "Content-Security-Policy");
    for (const char *directive : {"default-src 'none'", "style-src 'self'", "form-action 'self'",
                                  "frame-ancestors 'none'"}) {
        QVERIFY2(policy.contains(directive), policy.constData());
    }
    QVERIFY(!policy.contains("script-src"));
    QCOMPARE(header(response, "X-Content-Type-Options"), QByteArray("nosniff"));
    QCOMPARE(header(response, "X-Frame-Options"), QByteArray("DENY"));
    QCOMPARE(header(response, "Referrer-Policy"), QByteArray("no-referrer"));
    if (target != "/dashboard.css")
        QCOMPARE(header(response, "Cache-Control"), QByteArray("no-store"));
    else
        QVERIFY(header(response, "Content-Type").startsWith("text/css"));
    // Pages carry no inline script or style for the policy to block.
    QVERIFY(!response.body.contains("<script"));
    QVERIFY(!response.body.contains("style="));
}

void tst_Dashboard::figures_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("expected");
    const QByteArray app7 = "app=7&" + range;
    const QByteArray v1 = "app=7&version=1.0&" + range;
    QTest::newRow("new users") << app7 << "total-new-users" << "3";
    QTest::newRow("installs") << app7 << "total-installs" << "2";
    QTest::newRow("opens, all versions") << app7 << "total-opens" << "5";
    QTest::newRow("opens, version 1.0") << v1 << "total-opens" << "4";
    QTest::newRow("new users, all applications") << range << "total-new-users" << "8";
    QTest::newRow("new users, application 9") << "app=9&" + range << "total-new-users" << "5";
    QTest::newRow("nothing in another range") << QByteArray("app=7&from=2026-04-01&to=2026-04-30")
                                              << "total-new-users" << "0";
    QTest::newRow("default range is the last 30 days") << QByteArray("app=11") << "total-opens"
                                                       << "1";
    QTest::newRow("started") << v1 << "conversions-started" << "14";
    QTest::newRow("completed") << v1 << "conversions-completed" << "11";
    QTest::newRow("cancelled") << v1 << "conversions-cancelled" << "1";
    QTest::newRow("failed") << v1 << "conversions-failed" << "1";
    QTest::newRow("completion rate") << v1 << "conversions-completed-rate" << "78.6%";
    QTest::newRow("cancel rate") << v1 << "conversions-cancelled-rate" << "7.1%";
    QTest::newRow("failure rate") << v1 << "conversions-failed-rate" << "7.1%";
    QTest::newRow("EC1") << app7 << "error-EC1" << "2";
    QTest::newRow("EC3") << app7 << "error-EC3" << "1";
    QTest::newRow("EC8 shown as zero") << app7 << "error-EC8" << "0";
    QTest::newRow("mp3 completed") << v1 << "duration-mp3-count" << "7";
    QTest::newRow("mp3 median") << v1 << "duration-mp3-median" << "4";
    QTest::newRow("mp3 95th percentile") << v1 << "duration-mp3-p95" << "100";
    QTest::newRow("flac median of an even count") << v1 << "duration-flac-median" << "20";
    QTest::newRow("flac 95th percentile") << v1 << "duration-flac-p95" << "40";
}

void tst_Dashboard::figures()
{
    QFETCH(QByteArray, query);
    QFETCH(QString, id);
    QFETCH(QString, expected);
    const HttpResponse response = get("/?" + query);
    QCOMPARE(response.status, 200);
    QCOMPARE(textOf(response, id), expected);
}

void tst_Dashboard::overlappingRangesAddUp()
{
    // A fresh dashboard remembers settled days as it reads them: ranges that overlap what it
    // already holds must still count every day once.
    Dashboard dashboard(m_database);
    const auto newUsers = [&](const QByteArray &query) {
        return textOf(dashboard.handle(request("GET", "/?app=7&" + query, m_session.cookie)),
                      QStringLiteral("total-new-users"));
    };
    QCOMPARE(newUsers("from=2026-03-03&to=2026-03-03"), QStringLiteral("1"));
    QCOMPARE(newUsers("from=2026-03-01&to=2026-03-31"), QStringLiteral("3"));
    QCOMPARE(newUsers("from=2026-03-02&to=2026-03-02"), QStringLiteral("2"));
    QCOMPARE(newUsers("from=2026-02-01&to=2026-03-02"), QStringLiteral("2"));
}

void tst_Dashboard::todaysEventsShowAtOnce()
{
    const auto opens = [&] { return textOf(get("/?app=12"), QStringLiteral("total-opens")); };
    QCOMPARE(opens(), QStringLiteral("0"));
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QString opened = QStringLiteral("AppOpened");
    const QString version = QStringLiteral("1.0");
    QVERIFY(m_store->append({::event(opened, 12, version, now),
                             ::event(opened, 12, version, now - 86400000)}).ok());
    QCOMPARE(opens(), QStringLiteral("2"));
}

void tst_Dashboard::concurrentPages()
{
    // The server calls handle() from several threads: connections and remembered days are
    // shared between them. A fresh dashboard, so that the threads fill its memory together.
    Dashboard dashboard(m_database);
    const QList<QPair<QByteArray, QString>> pages = {
        {"/?app=7&from=2026-03-01&to=2026-03-31", QStringLiteral("3")},
        {"/?app=7&from=2026-03-03&to=2026-03-10", QStringLiteral("1")},
        {"/?app=9&from=2026-02-01&to=2026-03-31", QStringLiteral("5")},
        {"/?from=2026-03-02&to=2026-03-02", QStringLiteral("2")},
    };
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                const auto &page = pages.at((t + i) % pages.size());
                const HttpResponse response = dashboard.handle(
                    request("GET", page.first, m_session.cookie));
                if (textOf(response, QStringLiteral("total-new-users")) != page.second)
                    ++wrong;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    QCOMPARE(wrong.load(), 0);
}

void tst_Dashboard::hostileTextIsEscaped()
{
    // The version shows in the selector, the locale in the locales table.
    const HttpResponse response = get("/?app=7&" + range);
    QCOMPARE(response.status, 200);
    QVERIFY(!response.body.contains("<script"));
    QVERIFY(response.body.contains("&lt;script&gt;alert(&quot;v&quot;)&lt;/script&gt;"));
    QVERIFY(response.body.contains("&lt;script&gt;alert(&#39;l&#39;)&lt;/script&gt;"));

    // Chosen as the version, it also lands in the page's description of its scope.
    const HttpResponse chosen = get("/?app=7&version=" + QUrl::toPercentEncoding(hostileVersion)
                                    + '&' + range);
    QCOMPARE(chosen.status, 200);
    QVERIFY(!chosen.body.contains("<script"));
    QCOMPARE(textOf(chosen, QStringLiteral("total-opens")), QStringLiteral("1"));
}

void tst_Dashboard::announcementNeedsFormToken_data()
{
    QTest::addColumn<QByteArray>("token");
    QTest::addColumn<QByteArray>("fetchSite");
    QTest::addColumn<QByteArray>("origin");
    QTest::newRow("no token") << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("wrong token") << QByteArray("not-the-token") << QByteArray() << QByteArray();
    QTest::newRow("right token, cross-site") << QByteArray("session") << QByteArray("cross-site")
                                             << QByteArray();
    QTest::newRow("right token, foreign origin") << QByteArray("session") << QByteArray()
                                                 << QByteArray("https://evil.example");
}

void tst_Dashboard::announcementNeedsFormToken()
{
    QFETCH(QByteArray, token);
    QFETCH(QByteArray, fetchSite);
    QFETCH(QByteArray, origin);
    if (token == "session")
        token = m_session.formToken;
    QList<QPair<QByteArray, QByteArray>> fields = {
        {"action", "announce"}, {"app", "7"}, {"version", "2.0"}, {"message", "New!"},
        {"url", "https://example.org/"}};
    if (!token.isEmpty())
        fields.append({"csrf", token});
    HttpRequest r = request("POST", "/announcements", m_session.cookie, formBody(fields));
    if (!fetchSite.isEmpty())
        r.headers.append({"sec-fetch-site", fetchSite});
    if (!origin.isEmpty())
        r.headers.append({"origin", origin});
    const HttpResponse response = m_dashboard->handle(r);
    QCOMPARE(response.status, 403);
    QVERIFY(m_store->announcements().value().empty());
}

void tst_Dashboard::announceAndWithdraw()
{
    QVERIFY(!m_session.formToken.isEmpty());
    const auto post = [&](const QList<QPair<QByteArray, QByteArray>> &fields) {
        auto all = fields;
        all.append({"csrf", m_session.formToken});
        HttpRequest r = request("POST", "/announcements", m_session.cookie, formBody(all));
        // What a browser sends for its own form under Referrer-Policy: no-referrer.
        r.headers.append(qMakePair(QByteArray("origin"), QByteArray("null")));
        r.headers.append(qMakePair(QByteArray("sec-fetch-site"), QByteArray("same-origin")));
        return m_dashboard->handle(r);
    };

    const HttpResponse refused = post({{"action", "announce"}, {"app", "7"},
                                       {"version", "2.0 beta"}, {"message", "m"},
                                       {"url", "https://example.org/"}});
    QCOMPARE(refused.status, 422);
    QVERIFY(m_store->announcements().value().empty());
    QVERIFY(refused.body.contains("id=\"announce-error\""));

    HttpResponse response = post({{"action", "announce"}, {"app", "7"}, {"brand", "3"},
                                  {"version", "2.1.0"}, {"message", "Faster & <better>"},
                                  {"url", "https://example.org/get?a=1&b=2"}, {"required", "1"}});
    QCOMPARE(response.status, 303);
    std::vector<Announcement> stored = m_store->announcements().value();
    QCOMPARE(stored.size(), size_t(1));
    QCOMPARE(stored.front().appId, 7);
    QCOMPARE(stored.front().brandId, std::optional<qint32>(3));
    QCOMPARE(stored.front().version, QStringLiteral("2.1.0"));
    QCOMPARE(stored.front().message, QStringLiteral("Faster & <better>"));
    QCOMPARE(stored.front().url, QStringLiteral("https://example.org/get?a=1&b=2"));
    QVERIFY(stored.front().required);

    const HttpResponse list = get("/announcements");
    QVERIFY(list.body.contains("Faster &amp; &lt;better&gt;"));

    // Withdrawing for every brand leaves brand 3's announcement alone.
    response = post({{"action", "withdraw"}, {"app", "7"}, {"brand", ""}});
    QCOMPARE(response.status, 303);
    QCOMPARE(m_store->announcements().value().size(), size_t(1));
    response = post({{"action", "withdraw"}, {"app", "7"}, {"brand", "3"}});
    QCOMPARE(response.status, 303);
    QVERIFY(m_store->announcements().value().empty());
}

void tst_Dashboard::logout()
{
    const Login session = login();
    QVERIFY(!session.cookie.isEmpty());

    HttpResponse response = m_dashboard->handle(
        request("POST", "/logout", session.cookie, formBody({{"csrf", "forged"}})));
    QCOMPARE(response.status, 403);
    QCOMPARE(m_dashboard->handle(request("GET", "/", session.cookie)).status, 200);

    response = m_dashboard->handle(request("POST", "/logout", session.cookie,
                                           formBody({{"csrf", session.formToken}})));
    QCOMPARE(response.status, 303);
    QCOMPARE(header(response, "Location"), QByteArray("/login"));
    QVERIFY(cookieSet(response, "kelvane_session") == "kelvane_session=");
    // The old cookie no longer opens anything, while another session still works.
    QCOMPARE(m_dashboard->handle(request("GET", "/", session.cookie)).status, 303);
    QCOMPARE(get("/").status, 200);
}

void tst_Dashboard::expiredSessionIsRefused()
{
    // A session as login stores it (a digest of the cookie's token), but already over.
    QByteArray token(32, Qt::Uninitialized);
    randombytes_buf(token.data(), size_t(token.size()));
    QByteArray digest(crypto_generichash_BYTES, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<unsigned char *>(digest.data()), size_t(digest.size()),
                       reinterpret_cast<const unsigned char *>(token.constData()),
                       quint64(token.size()), nullptr, 0);
    const QByteArray cookie = "kelvane_session="
        + token.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);

    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QVERIFY(m_store->addSession(digest, account, "form-token", now + 60000).ok());
    QCOMPARE(m_dashboard->handle(request("GET", "/", cookie)).status, 200);
    m_store->removeSession(digest);
    QVERIFY(m_store->addSession(digest, account, "form-token", now - 1).ok());
    const HttpResponse response = m_dashboard->handle(request("GET", "/", cookie));
    QCOMPARE(response.status, 303);
    QCOMPARE(header(response, "Location"), QByteArray("/login"));
    QVERIFY(!m_store->session(digest));
}

void tst_Dashboard::unusableDatabaseAnswersUnavailable()
{
    Dashboard dashboard(QStringLiteral("sqlite:")
                        + m_dir.filePath(QStringLiteral("no/such/folder/collector.db")));
    QCOMPARE(dashboard.handle(request("GET", "/login")).status, 200);
    for (const QByteArray &target : {QByteArray("/"), QByteArray("/announcements")}) {
        const HttpResponse response = dashboard.handle(request("GET", target, m_session.cookie));
        QCOMPARE(response.status, 503);
        QVERIFY(!header(response, "Retry-After").isEmpty());
        QCOMPARE(header(response, "X-Frame-Options"), QByteArray("DENY"));
    }
}

QTEST_GUILESS_MAIN(tst_Dashboard)
#include "tst_dashboard.moc"
