// kelvane-collector run as its users run it: the commands, their options and configuration
// file, their exit statuses, and a served collector stopped by SIGTERM while answering.

#include "PasswordHash.h"
#include "Store.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run runCollector(const QStringList &arguments, const QByteArray &input = QByteArray())
{
    QProcess process;
    process.start(QStringLiteral(KELVANE_COLLECTOR_BINARY), arguments);
    Run run;
    if (!process.waitForStarted(10000))
        return run;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

Event storedEvent(const QString &userId, qint64 receivedAtMs)
{
    Event event;
    event.method = QStringLiteral("AppOpened");
    event.appId = 7;
    event.userId = userId;
    event.appSessionId = QStringLiteral("s");
    event.receivedAtMs = receivedAtMs;
    event.fields = QJsonObject{{"Method", "AppOpened"}, {"UserID", userId}, {"AppID", "7"},
                               {"BrandID", "0"}, {"AppSessionID", "s"}};
    return event;
}

QStringList exportedUsers(const QByteArray &exported)
{
    QStringList users;
    for (const QByteArray &line : exported.split('\n')) {
        if (!line.isEmpty())
            users.append(QJsonDocument::fromJson(line).object().value("UserID").toString());
    }
    return users;
}

} // namespace

class TestCollectorCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void usageErrors_data();
    void usageErrors();
    void unusableDatabase();
    void serveUntilSigterm();
    void announceAndWithdraw();
    void forget();
    void account();

private:
    QTemporaryDir m_home;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_database;
};

void TestCollectorCommands::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toUtf8());
}

void TestCollectorCommands::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_database = QStringLiteral("sqlite:") + m_dir->filePath(QStringLiteral("c.sqlite"));
}

void TestCollectorCommands::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("config");   // written to a file passed as --config when set
    QTest::addColumn<QString>("message");

    const QString db = QStringLiteral("--database=sqlite:unused.sqlite");
    QTest::newRow("no command") << QStringList() << QString() << "no command";
    QTest::newRow("unknown command") << QStringList{"start"} << QString() << "unknown command";
    QTest::newRow("option of another command")
        << QStringList{"export", db, "--user-id", "u"} << QString() << "--user-id";
    QTest::newRow("missing value") << QStringList{"forget", db, "--user-id"} << QString()
                                   << "needs a value";
    QTest::newRow("given twice") << QStringList{"export", db, db} << QString() << "twice";
    QTest::newRow("no database") << QStringList{"export"} << QString() << "--database";
    QTest::newRow("no user") << QStringList{"forget", db} << QString() << "--user-id";
    QTest::newRow("retention words")
        << QStringList{"serve", db, "--retention-days", "year"} << QString()
        << "--retention-days";
    QTest::newRow("no connections") << QStringList{"serve", db, "--max-connections", "0"}
                                    << QString() << "--max-connections";
    QTest::newRow("listen without port") << QStringList{"serve", db, "--listen", "127.0.0.1"}
                                         << QString() << "--listen";
    QTest::newRow("base path") << QStringList{"serve", db, "--base-path", "API"} << QString()
                               << "--base-path";
    QTest::newRow("announce without url")
        << QStringList{"announce", db, "--app-id", "7", "--version", "2", "--message", "m"}
        << QString() << "--url";
    QTest::newRow("announce words for version")
        << QStringList{"announce", db, "--app-id", "7", "--version", "two", "--message", "m",
                       "--url", "u"}
        << QString() << "--version";
    QTest::newRow("app id beyond 32 bits")
        << QStringList{"announce", db, "--app-id", "4294967296", "--withdraw"} << QString()
        << "--app-id";
    QTest::newRow("withdraw with version")
        << QStringList{"announce", db, "--app-id", "7", "--withdraw", "--version", "2"}
        << QString() << "--withdraw";
    QTest::newRow("config unknown name") << QStringList{"export", db}
                                         << "# comment\nlisten = 127.0.0.1:1\nport = 80\n"
                                         << ":3:";
    QTest::newRow("config line without =") << QStringList{"export", db} << "database\n"
                                           << ":1:";
    QTest::newRow("config flag not yes or no") << QStringList{"serve", db}
                                               << "keep-file-names = sometimes\n"
                                               << "keep-file-names";
    QTest::newRow("config bad retention") << QStringList{"serve", db}
                                          << "retention-days = forever\n" << "--retention-days";
}

void TestCollectorCommands::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, config);
    QFETCH(QString, message);

    if (!config.isNull()) {
        const QString path = m_dir->filePath(QStringLiteral("collector.conf"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(config.toUtf8());
        file.close();
        arguments << QStringLiteral("--config") << path;
    }
    const Run run = runCollector(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(message.toUtf8()), run.err.constData());
    QVERIFY(!QFile::exists(QStringLiteral("unused.sqlite")));
}

void TestCollectorCommands::unusableDatabase()
{
    const QString missing = QStringLiteral("sqlite:") + m_dir->filePath("no/such/folder/c.db");
    for (const QStringList &arguments :
         {QStringList{"export", "--database", missing},
          QStringList{"forget", "--database", missing, "--user-id", "u"},
          QStringList{"serve", "--database", missing, "--listen", "127.0.0.1:0"}}) {
        const Run run = runCollector(arguments);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("database"), run.err.constData());
    }
}

void TestCollectorCommands::serveUntilSigterm()
{
    // An event past the retention period and one inside it, stored before the start.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    {
        QString error;
        std::unique_ptr<Store> store = Store::open(m_database, &error);
        QVERIFY2(store, qPrintable(error));
        QVERIFY(store->append({storedEvent("old", now - 31LL * 86400000),
                               storedEvent("recent", now - 29LL * 86400000)}).ok());
    }
    // The file's database is overridden on the command line; its other settings apply.
    const QString config = m_dir->filePath(QStringLiteral("collector.conf"));
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("# a test collector\n\nlisten = 127.0.0.1:0\n"
               "database = sqlite:" + m_dir->filePath("other.sqlite").toUtf8() + "\n"
               "keep-file-names = yes\nretention-days = 1\n");
    file.close();

    QProcess collector;
    collector.start(QStringLiteral(KELVANE_COLLECTOR_BINARY),
                    {"serve", "--config", config, "--database", m_database,
                     "--retention-days", "30"});
    QVERIFY(collector.waitForStarted(10000));
    QRegularExpressionMatch listening;
    QTRY_VERIFY_WITH_TIMEOUT(
        (listening = QRegularExpression(QStringLiteral("http://127\\.0\\.0\\.1:(\\d+)/API/"))
                         .match(QString::fromUtf8(collector.peek(4096))))
            .hasMatch(),
        20000);
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/API/").arg(listening.captured(1)));

    // Many requests in flight; the stop signal comes with the first answer. Whatever was
    // answered SUCCESS must be stored.
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    QList<QNetworkReply *> replies;
    for (int i = 0; i < 40; ++i) {
        const QByteArray body =
            "PostData={\"APIVersion\":\"1.0\",\"AppID\":\"7\",\"AppSessionID\":\"s\","
            "\"AppVersion\":\"1.0\",\"BrandID\":\"0\",\"ConversionID\":\"c\","
            "\"FileName\":\"a&b+c.flac\",\"FileSize\":\"1\",\"Method\":\"ConversionStarted\","
            "\"UserID\":\"u-" + QByteArray::number(i) + "\"}&";
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/x-www-form-urlencoded"));
        replies.append(network.post(request, body));
    }
    QSignalSpy first(replies.first(), &QNetworkReply::finished);
    QVERIFY(first.wait(20000));
    collector.terminate();   // SIGTERM
    QVERIFY(collector.waitForFinished(30000));
    QCOMPARE(collector.exitStatus(), QProcess::NormalExit);
    QCOMPARE(collector.exitCode(), 0);
    for (QNetworkReply *reply : replies) {
        if (!reply->isFinished())
            QVERIFY(QSignalSpy(reply, &QNetworkReply::finished).wait(10000));
    }

    const Run exported = runCollector({"export", "--database", m_database});
    QCOMPARE(exported.exitCode, 0);
    const QStringList users = exportedUsers(exported.out);
    QVERIFY2(users.contains("recent") && !users.contains("old"), exported.out.constData());
    int succeeded = 0;
    for (int i = 0; i < replies.size(); ++i) {
        const QJsonObject answer = QJsonDocument::fromJson(replies[i]->readAll()).object();
        if (answer.value("Status").toString() == QLatin1String("SUCCESS")) {
            ++succeeded;
            QVERIFY2(users.contains(QStringLiteral("u-%1").arg(i)), qPrintable(users.join(' ')));
        }
    }
    QVERIFY(succeeded >= 1);
    // keep-file-names came from the file.
    QVERIFY2(exported.out.contains("\"FileName\":\"a&b+c.flac\""), exported.out.constData());
    QVERIFY(!QFile::exists(m_dir->filePath("other.sqlite")));
    qDeleteAll(replies);
}

void TestCollectorCommands::announceAndWithdraw()
{
    const Run announced = runCollector(
        {"announce", "--database", m_database, "--app-id", "7", "--brand-id", "3",
         "--version", "2.1", "--message", QString::fromUtf8("Neu — schön"), "--url",
         "https://example.org/?a=1&b=2", "--required"});
    QCOMPARE(announced.exitCode, 0);
    const Run everyBrand = runCollector({"announce", "--database", m_database, "--app-id", "7",
                                         "--version", "2.0", "--message", "m", "--url", "u"});
    QCOMPARE(everyBrand.exitCode, 0);
    {
        QString error;
        std::unique_ptr<Store> store = Store::open(m_database, &error);
        QVERIFY2(store, qPrintable(error));
        const std::vector<Announcement> all = store->announcements().value();
        QCOMPARE(all.size(), size_t(2));
        const Announcement &brand = all[0].brandId ? all[0] : all[1];
        QCOMPARE(brand.brandId, std::optional<qint32>(3));
        QCOMPARE(brand.version, QStringLiteral("2.1"));
        QCOMPARE(brand.message, QString::fromUtf8("Neu — schön"));
        QCOMPARE(brand.url, QStringLiteral("https://example.org/?a=1&b=2"));
        QVERIFY(brand.required);
    }

    const QStringList withdraw{"announce", "--database", m_database, "--app-id", "7",
                               "--brand-id", "3", "--withdraw"};
    const Run withdrawn = runCollector(withdraw);
    QCOMPARE(withdrawn.exitCode, 0);
    QVERIFY2(withdrawn.out.contains("withdrawn"), withdrawn.out.constData());
    const Run again = runCollector(withdraw);
    QCOMPARE(again.exitCode, 0);
    QVERIFY2(again.out.contains("nothing to withdraw"), again.out.constData());
    QString error;
    std::unique_ptr<Store> store = Store::open(m_database, &error);
    QVERIFY2(store, qPrintable(error));
    const std::vector<Announcement> left = store->announcements().value();
    QCOMPARE(left.size(), size_t(1));
    QVERIFY(!left[0].brandId);
}

void TestCollectorCommands::forget()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    {
        QString error;
        std::unique_ptr<Store> store = Store::open(m_database, &error);
        QVERIFY2(store, qPrintable(error));
        QVERIFY(store->append({storedEvent("u-1", now), storedEvent("u-2", now),
                               storedEvent("u-1", now)}).ok());
    }
    const Run forgotten = runCollector({"forget", "--database", m_database, "--user-id", "u-1"});
    QCOMPARE(forgotten.exitCode, 0);
    QVERIFY2(forgotten.out.contains("2 events deleted"), forgotten.out.constData());
    const Run exported = runCollector({"export", "--database", m_database});
    QCOMPARE(exported.exitCode, 0);
    QCOMPARE(exportedUsers(exported.out), QStringList{"u-2"});
}

void TestCollectorCommands::account()
{
    const Run saved = runCollector({"account", "--database", m_database, "--name", "admin"},
                                   "correct horse\nsecond line\n");
    QCOMPARE(saved.exitCode, 0);
    QVERIFY(!saved.out.contains("correct horse"));
    QString error;
    std::unique_ptr<Store> store = Store::open(m_database, &error);
    QVERIFY2(store, qPrintable(error));
    const std::optional<QByteArray> hash = store->passwordHash(QStringLiteral("admin"));
    QVERIFY(hash);
    QVERIFY(PasswordHash::verify(*hash, "correct horse"));
    QVERIFY(!PasswordHash::verify(*hash, "second line"));

    const Run empty = runCollector({"account", "--database", m_database, "--name", "b"}, "");
    QCOMPARE(empty.exitCode, 2);
}

QTEST_GUILESS_MAIN(TestCollectorCommands)
#include "tst_collectorcommands.moc"
