// The collector as the program meets it: real HTTP on 127.0.0.1, the HTTP server, the API
// handler and the group-commit writer in this process, SQLite in a temporary folder.

#include "ApiHandler.h"
#include "EventWriter.h"
#include "HttpServer.h"
#include "PostgresCluster.h"
#include "Store.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>

#include <memory>

namespace {

QByteArray eventBody(const QByteArray &method, const QByteArray &own = QByteArray(),
                     const QByteArray &appVersion = "1.0", const QByteArray &brandId = "0")
{
    return "PostData={\"APIVersion\":\"1.0\",\"AppID\":\"7\",\"AppSessionID\":\"s-1\","
           "\"AppVersion\":\"" + appVersion + "\",\"BrandID\":\"" + brandId + "\","
           "\"DateTimeClient\":\"20251211080000\"," + own + (own.isEmpty() ? "" : ",")
           + "\"Method\":\"" + method + "\",\"OS\":\"Linux\",\"OSVersion\":\"Debian 12\","
           "\"UserID\":\"u-1\"}&";
}

// Everything the store holds, as exported.
QList<QJsonObject> storedEvents(const QString &database)
{
    QString error;
    std::unique_ptr<Store> store = Store::open(database, &error);
    QList<QJsonObject> events;
    if (!store) {
        qWarning("cannot open the store: %s", qPrintable(error));
        return events;
    }
    store->forEachEvent([&events](const QByteArray &json) {
        events.append(QJsonDocument::fromJson(json).object());
    });
    return events;
}

// One collector, put together as the serve command does, minus the dashboard.
struct Collector
{
    Collector(const QString &database, HttpServer::Options options,
              ApiHandler::Options apiOptions = ApiHandler::Options())
    {
        QString error;
        std::unique_ptr<Store> writerStore = Store::open(database, &error);
        std::unique_ptr<Store> announcementStore = Store::open(database, &error);
        if (!writerStore || !announcementStore)
            qFatal("cannot open the store: %s", qPrintable(error));
        writer = std::make_unique<EventWriter>(std::move(writerStore));
        api = std::make_unique<ApiHandler>(writer.get(), std::move(announcementStore),
                                           apiOptions);
        options.listen = QStringLiteral("127.0.0.1:0");
        server = std::make_unique<HttpServer>(
            options,
            [this](const HttpRequest &request, const HttpServer::Reply &reply) {
                api->handle(request, reply);
            },
            [](const HttpRequest &request) {
                HttpResponse response;
                response.status = 404;
                response.body = "elsewhere " + request.method + " " + request.path;
                return response;
            },
            &ApiHandler::error);
        if (!server->start(&error))
            qFatal("cannot start the server: %s", qPrintable(error));
    }

    ~Collector()
    {
        server->quiesce();
        writer->stop();
        server->stop();
    }

    QUrl url(const QString &path = QStringLiteral("/API/")) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server->port()).arg(path));
    }

    std::unique_ptr<EventWriter> writer;
    std::unique_ptr<ApiHandler> api;
    std::unique_ptr<HttpServer> server;
};

struct Answer
{
    int status = 0;
    QByteArray body;
    QJsonObject object;
};

// One complete answer read off a raw connection: head, then Content-Length bytes of body.
QByteArray readAnswer(QTcpSocket *socket, int timeoutMs = 10000)
{
    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        const int headEnd = data.indexOf("\r\n\r\n");
        if (headEnd >= 0) {
            const QByteArray head = data.left(headEnd).toLower();
            const int at = head.indexOf("content-length:");
            const int length = at < 0 ? 0
                : head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toInt();
            if (data.size() >= headEnd + 4 + length)
                return data;
        }
        if (socket->bytesAvailable() == 0 && !socket->waitForReadyRead(100)
            && socket->state() != QAbstractSocket::ConnectedState)
            break;
        data += socket->readAll();
    }
    return data;
}

} // namespace

class TestCollectorServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void events_data();
    void events();
    void otherPathsAndMethods();
    void keepAlive();
    void bodyLimit_data();
    void bodyLimit();
    void idleConnectionClosed();
    void connectionLimit();
    void update_data();
    void update();
    void announcementsRefreshed();
    void lockedDatabase();
    void postgresStopped();

private:
    Answer post(const QUrl &url, const QByteArray &body);
    // Switches the test to a fresh PostgreSQL database instead of the SQLite file.
    bool usePostgres();

    QTemporaryDir m_home;
    std::unique_ptr<PostgresCluster> m_postgres;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_database;
    QNetworkAccessManager m_network;
};

void TestCollectorServer::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
    m_network.setProxy(QNetworkProxy::NoProxy);
}

void TestCollectorServer::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_database = QStringLiteral("sqlite:") + m_dir->filePath(QStringLiteral("events.sqlite"));
}

bool TestCollectorServer::usePostgres()
{
    QString error;
    if (!m_postgres)
        m_postgres = std::make_unique<PostgresCluster>();
    if (m_postgres->start(&error))
        m_database = m_postgres->createDatabase(&error);
    if (m_database.startsWith(QLatin1String("postgresql:")))
        return true;
    qWarning("PostgreSQL: %s", qPrintable(error));
    return false;
}

Answer TestCollectorServer::post(const QUrl &url, const QByteArray &body)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    QNetworkReply *reply = m_network.post(request, body);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    Answer answer;
    if (!finished.wait(30000)) {
        qWarning("no answer");
        delete reply;
        return answer;
    }
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = reply->readAll();
    answer.object = QJsonDocument::fromJson(answer.body).object();
    reply->deleteLater();
    return answer;
}

void TestCollectorServer::events_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");   // empty: accepted
    QTest::addColumn<bool>("postgres");

    struct Case
    {
        const char *name;
        QByteArray body;
        int status;
        QString reason;
    };
    const Case cases[] = {
        {"NewUser",
         eventBody("NewUser", "\"Email\":\"\",\"OSCurrencySymbol\":\"\xa4\","
                              "\"OSLocale\":\"de_DE\",\"OSTimeZone\":\"\""),
         200, QString()},
        {"ConversionStarted, raw & + = and Latin-1 in names",
         eventBody("ConversionStarted",
                   "\"ConversionID\":\"c\",\"FFMPEGArguments\":\"-y -metadata title=R&B+1\","
                   "\"FileExtension\":\"flac\",\"FileName\":\"M\xfcsic & Co+.flac\","
                   "\"FilePath\":\"/m/a=b\",\"FileSize\":\"12\",\"FormatToConvertTo\":\"mp3\""),
         200, QString()},
        {"ConversionCancelled",
         eventBody("ConversionCancelled",
                   "\"ConversionDurationInSeconds\":3,\"ConversionID\":\"c\","
                   "\"ConversionPercentageComplete\":40,\"ConvertedFileSize\":\"99\""),
         200, QString()},
        {"AppClosed", eventBody("AppClosed", "\"SecondsSinceAppStarted\":\"5\""), 200,
         QString()},
        {"not JSON", "PostData={\"Method\":&", 400, QStringLiteral("not JSON")},
        {"form-encoded", "PostData=%7B%7D&", 400, QStringLiteral("not JSON")},
        {"unknown Method", eventBody("AppUpdated"), 422, QStringLiteral("unknown Method")},
        {"huge number",
         eventBody("ConversionCompleted", "\"ConversionDurationInSeconds\":1e300"), 422,
         QStringLiteral("ConversionDurationInSeconds")},
        {"empty", QByteArray(), 400, QStringLiteral("empty")},
    };
    for (const bool postgres : {false, true}) {
        for (const Case &c : cases) {
            const QByteArray name = QByteArray(c.name) + (postgres ? ", PostgreSQL" : ", SQLite");
            QTest::newRow(name.constData()) << c.body << c.status << c.reason << postgres;
        }
    }
}

void TestCollectorServer::events()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, reason);
    QFETCH(bool, postgres);
    if (postgres)
        QVERIFY(usePostgres());

    Collector collector(m_database, HttpServer::Options());
    const Answer answer = post(collector.url(), body);
    QCOMPARE(answer.status, status);
    QVERIFY2(!answer.body.isEmpty(), "an answer body");
    for (char c : answer.body)
        QVERIFY2(uchar(c) < 0x80, answer.body.constData());

    const QList<QJsonObject> stored = storedEvents(m_database);
    if (reason.isEmpty()) {
        QCOMPARE(answer.object, QJsonObject({{"Status", "SUCCESS"}}));
        QCOMPARE(stored.size(), 1);
        QJsonObject expected = QJsonDocument::fromJson(
            QString::fromLatin1(body.mid(9, body.size() - 10)).toUtf8()).object();
        expected.remove(QStringLiteral("FilePath"));
        expected.remove(QStringLiteral("FileName"));
        QCOMPARE(stored.first(), expected);
    } else {
        QCOMPARE(answer.object.value(QLatin1String("Status")).toString(),
                 QStringLiteral("ERROR"));
        QVERIFY2(answer.object.value(QLatin1String("Reason")).toString().contains(reason),
                 answer.body.constData());
        QCOMPARE(stored.size(), 0);
    }
}

void TestCollectorServer::otherPathsAndMethods()
{
    Collector collector(m_database, HttpServer::Options());

    QNetworkReply *reply = m_network.get(QNetworkRequest(collector.url()));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 405);
    QCOMPARE(reply->rawHeader("Allow"), QByteArrayLiteral("POST"));
    QCOMPARE(QJsonDocument::fromJson(reply->readAll()).object().value("Status").toString(),
             QStringLiteral("ERROR"));
    delete reply;

    // Anything outside the API path goes to the dashboard, whatever the method.
    const Answer elsewhere = post(collector.url(QStringLiteral("/API/x")), eventBody("AppOpened"));
    QCOMPARE(elsewhere.status, 404);
    QCOMPARE(elsewhere.body, QByteArrayLiteral("elsewhere POST /API/x"));
    QCOMPARE(storedEvents(m_database).size(), 0);
}

void TestCollectorServer::keepAlive()
{
    Collector collector(m_database, HttpServer::Options());
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), collector.server->port());
    QVERIFY(socket.waitForConnected(5000));
    for (int i = 0; i < 3; ++i) {
        const QByteArray body = eventBody("AppOpened");
        socket.write("POST /API/ HTTP/1.1\r\nHost: x\r\nContent-Length: "
                     + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        const QByteArray answer = readAnswer(&socket);
        QVERIFY2(answer.startsWith("HTTP/1.1 200"), answer.constData());
        QVERIFY2(answer.endsWith("{\"Status\":\"SUCCESS\"}"), answer.constData());
        QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
    }
    QCOMPARE(storedEvents(m_database).size(), 3);
}

void TestCollectorServer::bodyLimit_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("body");   // all that is sent of the body
    QTest::addColumn<int>("status");

    const QByteArray post = "POST /API/ HTTP/1.1\r\nHost: x\r\n";
    // Announced too large: answered before the body is sent at all.
    QTest::newRow("Content-Length 64 KiB + 1")
        << post + "Content-Length: 65537\r\n\r\n" << QByteArray(100, 'x') << 413;
    QTest::newRow("Content-Length huge")
        << post + "Content-Length: 99999999999\r\n\r\n" << QByteArray() << 413;
    QTest::newRow("Content-Length 64 KiB + 1, 100-continue")
        << post + "Expect: 100-continue\r\nContent-Length: 65537\r\n\r\n" << QByteArray() << 413;
    QTest::newRow("exactly 64 KiB") << post + "Content-Length: 65536\r\n\r\n"
                                    << "PostData=" + QByteArray(65536 - 10, ' ') + "&" << 400;
    // Without a length the body is read, but not kept beyond the limit.
    QByteArray chunks;
    for (int i = 0; i < 17; ++i)
        chunks += "1000\r\n" + QByteArray(4096, 'x') + "\r\n";
    QTest::newRow("chunked 68 KiB") << post + "Transfer-Encoding: chunked\r\n\r\n"
                                    << chunks + "0\r\n\r\n" << 413;
}

void TestCollectorServer::bodyLimit()
{
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, body);
    QFETCH(int, status);

    Collector collector(m_database, HttpServer::Options());
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), collector.server->port());
    QVERIFY(socket.waitForConnected(5000));
    socket.write(head + body);
    const QByteArray answer = readAnswer(&socket);
    QVERIFY2(answer.startsWith("HTTP/1.1 " + QByteArray::number(status)), answer.constData());
    QVERIFY2(answer.contains("\"Status\":\"ERROR\""), answer.constData());
    QCOMPARE(storedEvents(m_database).size(), 0);
}

void TestCollectorServer::idleConnectionClosed()
{
    HttpServer::Options options;
    options.connectionTimeoutSeconds = 1;
    Collector collector(m_database, options);
    QTcpSocket idle, slow;
    for (QTcpSocket *socket : {&idle, &slow}) {
        socket->connectToHost(QStringLiteral("127.0.0.1"), collector.server->port());
        QVERIFY(socket->waitForConnected(5000));
    }
    // Half a request, then nothing: as idle as saying nothing at all.
    slow.write("POST /API/ HTTP/1.1\r\nHost: x\r\nContent-Length: 500\r\n\r\nPostData={");
    for (QTcpSocket *socket : {&idle, &slow}) {
        if (socket->state() != QAbstractSocket::UnconnectedState)
            QVERIFY(socket->waitForDisconnected(10000));
    }
    QCOMPARE(storedEvents(m_database).size(), 0);
}

void TestCollectorServer::connectionLimit()
{
    HttpServer::Options options;
    options.connectionLimit = 3;
    options.threads = 1;   // one thread holds the whole limit, so it is exact
    Collector collector(m_database, options);

    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < 5; ++i) {
        sockets.push_back(std::make_unique<QTcpSocket>());
        sockets.back()->connectToHost(QStringLiteral("127.0.0.1"), collector.server->port());
        QVERIFY(sockets.back()->waitForConnected(5000));
        QTest::qWait(50);   // accepted in this order
    }
    const QByteArray body = eventBody("AppOpened");
    const QByteArray request = "POST /API/ HTTP/1.1\r\nHost: x\r\nContent-Length: "
                               + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    int answered = 0;
    for (auto &socket : sockets) {
        socket->write(request);
        socket->flush();
    }
    for (size_t i = 0; i < sockets.size(); ++i) {
        const QByteArray answer = readAnswer(sockets[i].get(), 3000);
        if (answer.startsWith("HTTP/1.1 200"))
            ++answered;
        else
            QVERIFY2(answer.isEmpty(), answer.constData());
    }
    QCOMPARE(answered, 3);
    QCOMPARE(storedEvents(m_database).size(), 3);

    // Freed places are served again.
    sockets.clear();
    QTest::qWait(200);
    QCOMPARE(post(collector.url(), body).object.value("Status").toString(),
             QStringLiteral("SUCCESS"));
}

void TestCollectorServer::update_data()
{
    QTest::addColumn<QString>("announced");
    QTest::addColumn<QByteArray>("running");
    QTest::addColumn<bool>("offered");
    QTest::addColumn<bool>("postgres");

    struct Case
    {
        const char *name;
        const char *announced;
        QByteArray running;
        bool offered;
    };
    const Case cases[] = {
        {"1.10 over 1.2", "1.10", "1.2", true},
        {"1.2 under 1.10", "1.2", "1.10", false},
        {"2 equals 2.0", "2", "2.0", false},
        {"2.0 equals 2", "2.0", "2", false},
        {"2.0.1 over 2", "2.0.1", "2", true},
        {"same", "1.4.2", "1.4.2", false},
        {"10 over 9.9.9", "10", "9.9.9", true},
        {"over an empty version", "0.1", "", true},
        {"older", "1.0", "1.0.0.1", false},
    };
    for (const Case &c : cases) {
        QTest::newRow(c.name) << QString::fromLatin1(c.announced) << c.running << c.offered
                              << false;
    }
    // The announcements' way through PostgreSQL, once each way.
    QTest::newRow("1.10 over 1.2, PostgreSQL") << "1.10" << QByteArray("1.2") << true << true;
    QTest::newRow("2 equals 2.0, PostgreSQL") << "2" << QByteArray("2.0") << false << true;
}

void TestCollectorServer::update()
{
    QFETCH(QString, announced);
    QFETCH(QByteArray, running);
    QFETCH(bool, offered);
    QFETCH(bool, postgres);
    if (postgres)
        QVERIFY(usePostgres());

    {
        QString error;
        std::unique_ptr<Store> store = Store::open(m_database, &error);
        QVERIFY2(store, qPrintable(error));
        Announcement everyBrand;
        everyBrand.appId = 7;
        everyBrand.version = announced;
        everyBrand.message = QString::fromUtf8("Version %1 is out — schön").arg(announced);
        everyBrand.url = QStringLiteral("https://example.org/get?a=1&b=2");
        everyBrand.required = true;
        QVERIFY(store->announce(everyBrand).ok());
        Announcement otherApp = everyBrand;
        otherApp.appId = 8;
        otherApp.version = QStringLiteral("99");
        QVERIFY(store->announce(otherApp).ok());
    }
    Collector collector(m_database, HttpServer::Options());

    const Answer answer = post(collector.url(), eventBody("AppOpened", {}, running));
    QCOMPARE(answer.object.value("Status").toString(), QStringLiteral("SUCCESS"));
    QCOMPARE(answer.object.contains(QLatin1String("Contents")), offered);
    if (offered) {
        const QJsonObject update = answer.object.value("Contents").toObject().value("Update")
                                       .toObject();
        QCOMPARE(update.value("Required").toInt(-1), 1);
        QCOMPARE(update.value("Message").toString(),
                 QString::fromUtf8("Version %1 is out — schön").arg(announced));
        QCOMPARE(update.value("BrowsableURL").toString(),
                 QStringLiteral("https://example.org/get?a=1&b=2"));
        QVERIFY2(answer.body.contains("\\u2014") && answer.body.contains("sch\\u00f6n"),
                 answer.body.constData());
    }
    // Other events never carry an update.
    const Answer closed = post(collector.url(), eventBody("AppClosed", {}, running));
    QCOMPARE(closed.object, QJsonObject({{"Status", "SUCCESS"}}));
}

void TestCollectorServer::announcementsRefreshed()
{
    ApiHandler::Options apiOptions;
    apiOptions.announcementRefresh = std::chrono::milliseconds(100);
    Collector collector(m_database, HttpServer::Options(), apiOptions);
    QVERIFY(!post(collector.url(), eventBody("AppOpened")).object.contains("Contents"));

    // Announced by another process: a brand's own announcement wins over every brand's.
    QString error;
    std::unique_ptr<Store> store = Store::open(m_database, &error);
    QVERIFY2(store, qPrintable(error));
    Announcement everyBrand;
    everyBrand.appId = 7;
    everyBrand.version = QStringLiteral("3.0");
    everyBrand.message = QStringLiteral("every brand");
    everyBrand.url = QStringLiteral("https://example.org/");
    QVERIFY(store->announce(everyBrand).ok());
    Announcement brand = everyBrand;
    brand.brandId = 5;
    brand.version = QStringLiteral("2.0");
    brand.message = QStringLiteral("brand 5");
    QVERIFY(store->announce(brand).ok());

    auto message = [&](const QByteArray &version, const QByteArray &brandId) {
        const Answer answer = post(collector.url(), eventBody("AppOpened", {}, version, brandId));
        return answer.object.value("Contents").toObject().value("Update").toObject()
            .value("Message").toString();
    };
    QTRY_COMPARE_WITH_TIMEOUT(message("1.0", "0"), QStringLiteral("every brand"), 10000);
    QCOMPARE(message("1.0", "5"), QStringLiteral("brand 5"));
    QCOMPARE(message("2.5", "5"), QString());   // the brand's own is not newer
    QCOMPARE(message("2.5", "6"), QStringLiteral("every brand"));

    QVERIFY(store->withdraw(7, std::nullopt));
    QTRY_COMPARE_WITH_TIMEOUT(message("1.0", "0"), QString(), 10000);
}

void TestCollectorServer::lockedDatabase()
{
    Collector collector(m_database, HttpServer::Options());
    QCOMPARE(post(collector.url(), eventBody("AppOpened")).object.value("Status").toString(),
             QStringLiteral("SUCCESS"));

    // Another writer holds the database for longer than the store waits.
    sqlite3 *other = nullptr;
    const QByteArray path = m_dir->filePath(QStringLiteral("events.sqlite")).toUtf8();
    QCOMPARE(sqlite3_open(path.constData(), &other), SQLITE_OK);
    QCOMPARE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const Answer refused = post(collector.url(), eventBody("AppClosed",
                                                           "\"SecondsSinceAppStarted\":\"1\""));
    QCOMPARE(sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);

    QCOMPARE(refused.object.value("Status").toString(), QStringLiteral("ERROR"));
    QCOMPARE(refused.status, 503);
    QVERIFY2(refused.object.value("Reason").toString().contains("busy"), refused.body.constData());
    const QList<QJsonObject> stored = storedEvents(m_database);
    QCOMPARE(stored.size(), 1);
    QCOMPARE(stored.first().value("Method").toString(), QStringLiteral("AppOpened"));

    // Once the lock is gone the same event goes in.
    QCOMPARE(post(collector.url(), eventBody("AppClosed", "\"SecondsSinceAppStarted\":\"1\""))
                 .object.value("Status").toString(),
             QStringLiteral("SUCCESS"));
    QCOMPARE(storedEvents(m_database).size(), 2);
}

void TestCollectorServer::postgresStopped()
{
    QVERIFY(usePostgres());
    Collector collector(m_database, HttpServer::Options());
    QCOMPARE(post(collector.url(), eventBody("AppOpened")).object.value("Status").toString(),
             QStringLiteral("SUCCESS"));

    m_postgres->stop();
    const Answer refused = post(collector.url(), eventBody("AppClosed",
                                                           "\"SecondsSinceAppStarted\":\"1\""));
    QCOMPARE(refused.object.value("Status").toString(), QStringLiteral("ERROR"));
    QCOMPARE(refused.status, 503);
    QVERIFY(refused.object.contains("Reason"));

    // The server back, the collector writes again without a restart.
    QString error;
    QVERIFY2(m_postgres->start(&error), qPrintable(error));
    QCOMPARE(post(collector.url(), eventBody("AppClosed", "\"SecondsSinceAppStarted\":\"1\""))
                 .object.value("Status").toString(),
             QStringLiteral("SUCCESS"));
    const QList<QJsonObject> stored = storedEvents(m_database);
    QCOMPARE(stored.size(), 2);
}

QTEST_GUILESS_MAIN(TestCollectorServer)
#include "tst_collectorserver.moc"
