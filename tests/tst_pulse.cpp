#include "TestEnvironment.h"
#include "ConfigurationFile.h"
#include "MessageCapture.h"
#include "TelemetryServer.h"

#include "config/Configuration.h"
#include "telemetry/AnswerDecoder.h"
#include "telemetry/Pulse.h"

#include <QElapsedTimer>
#include <QLocale>
#include <QPointer>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>

#include <functional>

#include <zlib.h>

using Operation = std::function<void(Pulse *)>;
Q_DECLARE_METATYPE(Operation)

// Telemetry requests on the wire and the handling of the server's answers, against a real
// HTTP server on 127.0.0.1.
class tst_Pulse : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void exactBody();
    void eventFields_data();
    void eventFields();
    void commonFieldsWithoutConfiguration();
    void sessionAndClock();
    void resultLogLineBeforeSend_data();
    void resultLogLineBeforeSend();
    void initializeUserID();
    void registeredUserSendsNothing();
    void answers_data();
    void answers();
    void answerIsReadAsLatin1();
    void answerCodingsAndStatuses_data();
    void answerCodingsAndStatuses();
    void unreachableServer();
    void appClosedWaitsForAnswer();
    void appClosedGivesUpOnSilentServer();

private:
    // Runs one operation on a new Pulse and waits until the object has been disposed of.
    void runToCompletion(const Operation &operation);
    QVariantMap lastRequest() const { return m_Server.requests().last().json(); }

    TelemetryServer m_Server;
    ConfigurationFile m_Configuration;
    QObject m_Window;
    const QString m_Url = QStringLiteral("http://127.0.0.1:%1/API/").arg(KELVANE_TEST_TELEMETRY_PORT);
};

void tst_Pulse::initTestCase()
{
    QVERIFY(m_Server.listen(KELVANE_TEST_TELEMETRY_PORT));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedKingdom));
}

void tst_Pulse::init()
{
    QVERIFY(m_Configuration.load(R"({"AppName":"Conv","AppVersion":"2.5.1","AppID":12,"BrandID":-3,
                           "BrandName":"Maker"})"));
    Configuration::BrandSettings->clear();
    Configuration::ApplicationSettings->clear();
    m_Server.clearAnswers();
    m_Server.clearRequests();
}

void tst_Pulse::runToCompletion(const Operation &operation)
{
    QPointer<Pulse> pulse = new Pulse(&m_Window);
    const int before = m_Server.requests().size();
    operation(pulse);
    QTRY_VERIFY_WITH_TIMEOUT(m_Server.requests().size() > before, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(pulse.isNull(), 10000);
}

void tst_Pulse::exactBody()
{
    const QString userID = Configuration::GenerateUserID();
    MessageCapture log;
    runToCompletion([](Pulse *pulse) {
        pulse->AppFailure(QStringLiteral("EC9"),
                          QString::fromUtf8("a&b+c=d%e f é € 😀 \"q\"\n"));
    });

    const TelemetryServer::Request &request = m_Server.requests().last();
    QCOMPARE(request.verb, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/API/"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    // Qt names the system's language: English for the C locale (Linux tests), the locale's
    // own name otherwise (en-US under Wine), with English after any other language.
    const auto AcceptLanguage = [] {
        const QString name = QLocale::system().name().replace(QLatin1Char('_'), QLatin1Char('-'));
        if (name == QLatin1String("C"))
            return QByteArray("en,*");
        if (name.startsWith(QLatin1String("en-")))
            return name.toLatin1() + ",*";
        return name.toLatin1() + ",en,*";
    };
    // Every header, in order: the same from the Qt 5 and the Qt 6 build. Qt 6.7 and later
    // write header names in lower case, which HTTP reads as the same names.
    QByteArrayList headers;
    for (const auto &header : request.headers)
        headers << header.first.toLower() + ": " + header.second;
    const QByteArrayList expectedHeaders = {
            "host: 127.0.0.1:" + QByteArray::number(KELVANE_TEST_TELEMETRY_PORT),
            "content-type: application/x-www-form-urlencoded",
            "accept-encoding: gzip, deflate",
            "content-length: " + QByteArray::number(request.body.size()),
            "connection: Keep-Alive",
            "accept-language: " + AcceptLanguage(),
            "user-agent: Mozilla/5.0"};
    QCOMPARE(headers.join('\n'), expectedHeaders.join('\n'));

    const QVariantMap sent = request.json();
    // "Win" from the Windows build, with the running Windows' version word.
    const QByteArray ExpectedOS = Configuration::IsWindows() ? "Win" : "?";
    const QByteArray expected =
            "PostData={\"APIVersion\":\"1.0\",\"AppID\":\"12\",\"AppSessionID\":\""
            + Configuration::AppSessionID().toLatin1() + "\",\"AppVersion\":\"2.5.1\","
            "\"BrandID\":\"-3\",\"DateTimeClient\":\"" + sent.value("DateTimeClient").toByteArray()
            + "\",\"DebugInfo\":\"a&b+c=d%e f \xE9 ? ?? \\\"q\\\"\\n\",\"ErrorCode\":\"EC9\","
            "\"Method\":\"AppFailed\",\"OS\":\"" + ExpectedOS + "\",\"OSVersion\":\""
            + Configuration::OSVersion().toLatin1() + "\",\"UserID\":\""
            + userID.toLatin1() + "\"}&";
    QCOMPARE(request.body, expected);
    QVERIFY(log.indexOf(QStringLiteral("[Pulse::AppFailure] Composed URL. Hitting: QUrl(\"%1\")")
                                .arg(m_Url)) >= 0);
}

void tst_Pulse::eventFields_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QStringList>("fields"); // each own field as it stands in the JSON text

    QTest::newRow("AppInstalled") << Operation([](Pulse *p) { p->AppInstalled(); })
                                  << "AppInstalled" << QStringList{R"("OSLocale":"en_GB")"};
    QTest::newRow("AppOpened") << Operation([](Pulse *p) {
        p->AppOpened({{"Extra", "x"}, {"Count", 5}, {"Flag", true}});
    }) << "AppOpened" << QStringList{R"("Count":5)", R"("Extra":"x")"};
    QTest::newRow("AppFailure") << Operation([](Pulse *p) { p->AppFailure("EC4", "text"); })
                                << "AppFailed"
                                << QStringList{R"("DebugInfo":"text")", R"("ErrorCode":"EC4")"};
    QTest::newRow("ConversionStarted") << Operation([](Pulse *p) {
        p->ConversionStarted("abc234", "/music/My Album", "a.b.flac", "b.flac", 1234567890123LL,
                             "mp3", "-i /x.flac -y /y.mp3");
    }) << "ConversionStarted"
       << QStringList{R"("ConversionID":"abc234")", R"("FFMPEGArguments":"-i /x.flac -y /y.mp3")",
                      R"("FileExtension":"b.flac")", R"("FileName":"a.b.flac")",
                      R"("FilePath":"/music/My Album")", R"("FileSize":"1234567890123")",
                      R"("FormatToConvertTo":"mp3")"};
    QTest::newRow("ConversionCancelled") << Operation([](Pulse *p) {
        p->ConversionCancelled("abc234", 12, 49, 12);
    }) << "ConversionCancelled"
       << QStringList{R"("ConversionDurationInSeconds":12)", R"("ConversionID":"abc234")",
                      R"("ConversionPercentageComplete":49)", R"("ConvertedFileSize":"12")"};
    QTest::newRow("ConversionCompleted") << Operation([](Pulse *p) {
        p->ConversionCompleted("abc234", 0, 2);
    }) << "ConversionCompleted"
       << QStringList{R"("ConversionDurationInSeconds":2)", R"("ConversionID":"abc234")",
                      R"("ConvertedFileSize":"0")"};
    const QList<QPair<qint64, QString>> running = {
        {999, "0"}, {1999, "1"}, {59900, "59"}, {3LL * 86400 * 1000, "259200"},
        {30LL * 86400 * 1000, "2592000"}};
    for (const auto &entry : running) {
        QTest::addRow("AppClosed after %lld ms", entry.first)
                << Operation([ms = entry.first](Pulse *p) { p->AppClosed(ms); }) << "AppClosed"
                << QStringList{QStringLiteral("\"SecondsSinceAppStarted\":\"%1\"").arg(entry.second)};
    }
}

void tst_Pulse::eventFields()
{
    QFETCH(Operation, operation);
    QFETCH(QString, method);
    QFETCH(QStringList, fields);

    runToCompletion(operation);
    const QVariantMap sent = lastRequest();
    QCOMPARE(sent.value("Method").toString(), method);

    // Own fields appear with their exact JSON types; the rest are the ten common fields.
    const QString json = QString::fromLatin1(m_Server.requests().last().jsonText());
    for (const QString &field : fields)
        QVERIFY2(json.contains(field), qPrintable(json));
    QCOMPARE(sent.size(), 10 + fields.size());
    QVERIFY(json.startsWith(QLatin1String("{\"APIVersion\":\"1.0\",")));
    QStringList keys = sent.keys();
    QStringList inWireOrder;
    for (const QString &key : keys)
        inWireOrder << key;
    std::sort(inWireOrder.begin(), inWireOrder.end(), [&json](const QString &a, const QString &b) {
        return json.indexOf('"' + a + "\":") < json.indexOf('"' + b + "\":");
    });
    QCOMPARE(inWireOrder, keys); // QVariantMap's key order is the ascending code-unit order
}

void tst_Pulse::commonFieldsWithoutConfiguration()
{
    QVERIFY(m_Configuration.loadWithout());
    runToCompletion([](Pulse *p) { p->AppInstalled(); });
    const QString json = QString::fromLatin1(m_Server.requests().last().jsonText());
    QVERIFY2(json.contains(R"("AppID":"0")"), qPrintable(json));
    QVERIFY2(json.contains(R"("BrandID":"0")"), qPrintable(json));
    QVERIFY2(json.contains(R"("AppVersion":"")"), qPrintable(json));
    QVERIFY2(json.contains(R"("UserID":"")"), qPrintable(json));
}

void tst_Pulse::sessionAndClock()
{
    const QDateTime before = QDateTime::currentDateTime();
    runToCompletion([](Pulse *p) { p->AppInstalled(); });
    runToCompletion([](Pulse *p) { p->AppFailure("EC1", ""); });
    const QDateTime after = QDateTime::currentDateTime();

    const QVariantMap first = m_Server.requests().at(0).json();
    const QVariantMap second = m_Server.requests().at(1).json();
    QCOMPARE(first.value("AppSessionID"), second.value("AppSessionID"));
    QCOMPARE(first.value("AppSessionID").toString(), Configuration::AppSessionID());

    const QString stamp = second.value("DateTimeClient").toString();
    QVERIFY2(QRegularExpression("^[0-9]{14}$").match(stamp).hasMatch(), qPrintable(stamp));
    const QDateTime sent = QDateTime::fromString(stamp, "yyyyMMddhhmmss");
    QVERIFY(sent >= before.addMSecs(-before.time().msec()) && sent <= after);
}

void tst_Pulse::resultLogLineBeforeSend_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QString>("name");
    QTest::newRow("cancelled") << Operation([](Pulse *p) { p->ConversionCancelled("a", 1, 2, 3); })
                               << "ConversionCancelled";
    QTest::newRow("completed") << Operation([](Pulse *p) { p->ConversionCompleted("a", 1, 3); })
                               << "ConversionCompleted";
}

void tst_Pulse::resultLogLineBeforeSend()
{
    QFETCH(Operation, operation);
    QFETCH(QString, name);
    MessageCapture log;
    runToCompletion(operation);
    const int mapLine = log.indexStartingWith(QStringLiteral("QMap("));
    const int sendLine = log.indexOf(
            QStringLiteral("[Pulse::%1] Composed URL. Hitting: QUrl(\"%2\")").arg(name, m_Url));
    QVERIFY(mapLine >= 0);
    QVERIFY(sendLine > mapLine);
    // The map as Qt's debug stream renders it, the same from Qt 5 and Qt 6.
    const QString line = log.lines().at(mapLine);
    QVERIFY2(line.startsWith(QStringLiteral(
                     "QMap((\"APIVersion\", QVariant(QString, \"1.0\"))(\"AppID\", "
                     "QVariant(QString, \"12\"))")),
             qPrintable(line));
    QVERIFY2(line.contains(QStringLiteral(
                     "(\"ConversionDurationInSeconds\", QVariant(int, 3))(\"ConversionID\", "
                     "QVariant(QString, \"a\"))")),
             qPrintable(line));
}

void tst_Pulse::initializeUserID()
{
    MessageCapture log;
    runToCompletion([](Pulse *p) { p->InitializeUserID(); });
    const QString userID = Configuration::UserID();
    QVERIFY(!userID.isEmpty());

    QCOMPARE(log.lines().at(0), QStringLiteral("[Pulse::InitializeUserID] Current UserID: \"\""));
    QCOMPARE(log.lines().at(1),
             QStringLiteral("[Pulse::InitializeUserID] Generated UserID: \"%1\"").arg(userID));
    const QVariantMap sent = lastRequest();
    QCOMPARE(sent.value("Method").toString(), QStringLiteral("NewUser"));
    QCOMPARE(sent.value("UserID").toString(), userID);
    QCOMPARE(sent.value("Email").toString(), QString());
    QCOMPARE(sent.value("OSLocale").toString(), QStringLiteral("en_GB"));
    QCOMPARE(sent.value("OSCurrencySymbol").toString(), QStringLiteral("£"));
    QVERIFY(sent.contains("OSTimeZone"));
    QCOMPARE(sent.value("OSTimeZone").toString(), QString());

    // A refused registration is sent again later with the same identifier, none generated.
    Configuration::BrandSettings->remove("Pulse.NewUser.SavedToServer");
    Configuration::SetUserEmail(QStringLiteral("user@kelvane.example"));
    log.clear();
    runToCompletion([](Pulse *p) { p->InitializeUserID(); });
    QCOMPARE(log.lines().at(0),
             QStringLiteral("[Pulse::InitializeUserID] Current UserID: \"%1\"").arg(userID));
    QCOMPARE(log.indexStartingWith(QStringLiteral("[Pulse::InitializeUserID] Generated")), -1);
    QCOMPARE(lastRequest().value("UserID").toString(), userID);
    QCOMPARE(lastRequest().value("Email").toString(), QStringLiteral("user@kelvane.example"));
    QCOMPARE(Configuration::UserID(), userID);
}

void tst_Pulse::registeredUserSendsNothing()
{
    Configuration::GenerateUserID();
    Configuration::SetNewUserSavedToServer();
    QPointer<Pulse> registration = new Pulse(&m_Window);
    registration->InitializeUserID();
    runToCompletion([](Pulse *p) { p->AppInstalled(); });
    QCOMPARE(m_Server.eventMethods(), QStringList{"AppInstalled"});
    QVERIFY(registration); // sent nothing, so it waits for its parent
    delete registration;
}

void tst_Pulse::answers_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("line");       // "" when no verdict line is expected
    QTest::addColumn<bool>("confirmed");      // the event's flag, or the signal, took effect
    QTest::addColumn<QVariantMap>("contents");

    const Operation newUser = [](Pulse *p) { p->InitializeUserID(); };
    const Operation installed = [](Pulse *p) { p->AppInstalled(); };
    const Operation opened = [](Pulse *p) { p->AppOpened({}); };
    const QVariantMap none;

    QTest::newRow("NewUser confirmed") << newUser << "NewUser" << QByteArray(R"({"Status":"SUCCESS"})")
                                       << "NewUser Success!" << true << none;
    const QList<QPair<const char *, QByteArray>> refusals = {
        {"lower case", R"({"Status":"success"})"},
        {"trailing space", R"({"Status":"SUCCESS "})"},
        {"number", R"({"Status":1})"},
        {"true", R"({"Status":true})"},
        {"null", R"({"Status":null})"},
        {"missing", R"({"Contents":{}})"},
        {"in a list", R"({"Status":["SUCCESS"]})"},
        {"empty body", ""},
        {"not JSON", "SUCCESS"},
        {"script", R"({Status:'SUCCESS'})"},
    };
    for (const auto &refusal : refusals) {
        QTest::addRow("NewUser refused: %s", refusal.first)
                << newUser << "NewUser" << refusal.second << "NewUser Failed!" << false << none;
    }
    QTest::newRow("NewUser, text after a zero byte ignored")
            << newUser << "NewUser" << QByteArray("{\"Status\":\"SUCCESS\"}\0{", 22)
            << "NewUser Success!" << true << none;
    QTest::newRow("NewUser, zero byte cuts the answer short")
            << newUser << "NewUser" << QByteArray("{\"Status\":\0\"SUCCESS\"}", 22)
            << "NewUser Failed!" << false << none;
    QTest::newRow("AppInstalled confirmed") << installed << "AppInstalled"
                                            << QByteArray(R"({"Status":"SUCCESS"})")
                                            << "AppInstalled Success!" << true << none;
    QTest::newRow("AppInstalled refused") << installed << "AppInstalled"
                                          << QByteArray(R"({"Status":"FAILED"})")
                                          << "AppInstalled Failed!" << false << none;
    QTest::newRow("AppOpened without contents") << opened << "AppOpened"
                                                << QByteArray(R"({"Status":"SUCCESS"})")
                                                << "" << true << none;
    QTest::newRow("AppOpened with contents")
            << opened << "AppOpened"
            << QByteArray(R"({"Status":"SUCCESS","Contents":{"Update":{"Required":1,"Message":"m"}}})")
            << "" << true
            << QVariantMap{{"Update", QVariantMap{{"Required", 1.0}, {"Message", "m"}}}};
    QTest::newRow("AppOpened, contents not an object")
            << opened << "AppOpened" << QByteArray(R"({"Status":"SUCCESS","Contents":"x"})")
            << "" << true << none;
    QTest::newRow("AppOpened refused despite contents")
            << opened << "AppOpened" << QByteArray(R"({"Contents":{"Update":{"Required":1}}})")
            << "AppOpened Failed!" << false << none;
    QTest::newRow("ConversionStarted answer only logged")
            << Operation([](Pulse *p) { p->ConversionStarted("a", "", "", "", 0, "", ""); })
            << "ConversionStarted" << QByteArray(R"({"Status":"SUCCESS"})") << "" << false << none;
}

void tst_Pulse::answers()
{
    QFETCH(Operation, operation);
    QFETCH(QString, method);
    QFETCH(QByteArray, answer);
    QFETCH(QString, line);
    QFETCH(bool, confirmed);
    QFETCH(QVariantMap, contents);

    m_Server.setAnswer(method, answer);
    MessageCapture log;
    QPointer<Pulse> pulse = new Pulse(&m_Window);
    QSignalSpy initialization(pulse.data(), &Pulse::AppInitialization);
    operation(pulse);
    QTRY_VERIFY_WITH_TIMEOUT(pulse.isNull(), 10000);

    QByteArray shown = answer;
    shown.truncate(answer.indexOf('\0') >= 0 ? answer.indexOf('\0') : answer.size());
    QString quoted = QString::fromLatin1(shown);
    quoted.replace(QLatin1Char('"'), QLatin1String("\\\""));
    const int received = log.indexOf(
            QStringLiteral("[Pulse::ReceivedResponseFromServer] Method: \"%1\" - Data: \"%2\"")
                    .arg(method, quoted));
    QVERIFY2(received >= 0, qPrintable(log.lines().join('\n')));
    const QStringList verdicts = {"NewUser Success!", "NewUser Failed!", "AppInstalled Success!",
                                  "AppInstalled Failed!", "AppOpened Failed!"};
    for (const QString &verdict : verdicts)
        QCOMPARE(log.indexOf(verdict) >= 0, verdict == line);
    if (!line.isEmpty())
        QCOMPARE(log.indexOf(line), received + 1);

    if (method == QLatin1String("NewUser"))
        QCOMPARE(Configuration::IsNewUserSavedToServer(), confirmed);
    else
        QVERIFY(!Configuration::IsNewUserSavedToServer());
    if (method == QLatin1String("AppInstalled"))
        QCOMPARE(Configuration::IsAppInstalledSavedToServer(), confirmed);
    else
        QVERIFY(!Configuration::IsAppInstalledSavedToServer());
    if (method == QLatin1String("AppOpened") && confirmed) {
        QCOMPARE(initialization.size(), 1);
        QCOMPARE(initialization.at(0).at(0).toMap(), contents);
    } else {
        QCOMPARE(initialization.size(), 0);
    }
}

void tst_Pulse::answerIsReadAsLatin1()
{
    m_Server.setAnswer("AppOpened", "{\"Status\":\"SUCCESS\",\"Contents\":{\"Name\":\"\xC3\xA9\"}}");
    QPointer<Pulse> pulse = new Pulse(&m_Window);
    QSignalSpy initialization(pulse.data(), &Pulse::AppInitialization);
    pulse->AppOpened({});
    QTRY_COMPARE_WITH_TIMEOUT(initialization.size(), 1, 10000);
    QCOMPARE(initialization.at(0).at(0).toMap().value("Name").toString(),
             QString::fromUtf8("Ã©"));
}

namespace {

// The body compressed with zlib in the given format: 16 + 15 window bits for gzip, 15 for the
// zlib format (HTTP's "deflate"), -15 for a bare deflate stream.
QByteArray compressed(const QByteArray &body, int windowBits)
{
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 9,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    QByteArray out(int(deflateBound(&stream, uLong(body.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(body.constData()));
    stream.avail_in = uInt(body.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.truncate(int(stream.total_out));
    deflateEnd(&stream);
    return out;
}

} // namespace

// Requests announce gzip and deflate themselves; the answer is decoded before it is read. A
// redirect is an answer like any other and is never followed.
void tst_Pulse::answerCodingsAndStatuses_data()
{
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("confirmed");

    const QByteArray success = R"({"Status":"SUCCESS"})";
    const QByteArray gzip = compressed(success, MAX_WBITS + 16);
    QTest::newRow("plain") << QByteArray("200 OK") << QByteArray() << success << true;
    QTest::newRow("gzip") << QByteArray("200 OK") << QByteArray("Content-Encoding: gzip\r\n")
                          << gzip << true;
    QTest::newRow("deflate, zlib format")
            << QByteArray("200 OK") << QByteArray("Content-Encoding: deflate\r\n")
            << compressed(success, MAX_WBITS) << true;
    QTest::newRow("deflate, bare stream")
            << QByteArray("200 OK") << QByteArray("Content-Encoding: deflate\r\n")
            << compressed(success, -MAX_WBITS) << true;
    QTest::newRow("gzip cut short") << QByteArray("200 OK")
                                    << QByteArray("Content-Encoding: gzip\r\n")
                                    << gzip.left(gzip.size() / 2) << false;
    QTest::newRow("gzip that is not") << QByteArray("200 OK")
                                      << QByteArray("Content-Encoding: gzip\r\n") << success
                                      << false;
    QTest::newRow("coding never announced")
            << QByteArray("200 OK") << QByteArray("Content-Encoding: br\r\n") << success << false;
    const QByteArray padded = R"({"Status":"SUCCESS","Pad":")"
            + QByteArray(int(AnswerDecoder::MaximumDecodedSize), 'y') + "\"}";
    QTest::newRow("gzip beyond the size bound")
            << QByteArray("200 OK") << QByteArray("Content-Encoding: gzip\r\n")
            << compressed(padded, MAX_WBITS + 16) << false;
    QTest::newRow("redirect not followed")
            << QByteArray("302 Found")
            << QByteArray("Location: http://127.0.0.1:" + QByteArray::number(KELVANE_TEST_TELEMETRY_PORT)
                          + "/elsewhere/\r\n")
            << success << true;
    QTest::newRow("permanent redirect not followed")
            << QByteArray("308 Permanent Redirect")
            << QByteArray("Location: /elsewhere/\r\n") << QByteArray() << false;
}

void tst_Pulse::answerCodingsAndStatuses()
{
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, headers);
    QFETCH(QByteArray, body);
    QFETCH(bool, confirmed);

    m_Server.setResponse("AppInstalled", status, headers, body);
    runToCompletion([](Pulse *pulse) { pulse->AppInstalled(); });
    QCOMPARE(Configuration::IsAppInstalledSavedToServer(), confirmed);
    QCOMPARE(m_Server.requests().size(), 1);
    QCOMPARE(m_Server.requests().first().target, QByteArray("/API/"));
}

void tst_Pulse::unreachableServer()
{
    m_Server.close();
    auto reopen = qScopeGuard([this] { QVERIFY(m_Server.listen(KELVANE_TEST_TELEMETRY_PORT)); });
    MessageCapture log;
    QPointer<Pulse> registration = new Pulse(&m_Window);
    QPointer<Pulse> installation = new Pulse(&m_Window);
    QPointer<Pulse> opening = new Pulse(&m_Window);
    QSignalSpy initialization(opening.data(), &Pulse::AppInitialization);
    registration->InitializeUserID();
    installation->AppInstalled();
    opening->AppOpened({});
    QTRY_VERIFY_WITH_TIMEOUT(registration.isNull() && installation.isNull() && opening.isNull(),
                             10000);
    QVERIFY(log.indexOf("NewUser Failed!") >= 0);
    QVERIFY(log.indexOf("AppInstalled Failed!") >= 0);
    QVERIFY(log.indexOf("AppOpened Failed!") >= 0);
    QVERIFY(!Configuration::IsNewUserSavedToServer());
    QVERIFY(!Configuration::IsAppInstalledSavedToServer());
    QCOMPARE(initialization.size(), 0);
}

void tst_Pulse::appClosedWaitsForAnswer()
{
    m_Server.setAnswer("AppClosed", R"({"Status":"SUCCESS"})", 1500);
    bool timerFired = false;
    QTimer::singleShot(100, this, [&timerFired] { timerFired = true; });
    MessageCapture log;

    QPointer<Pulse> pulse = new Pulse(&m_Window);
    pulse->AppClosed(61000);

    // Returns only once the answer has been handled; events went on meanwhile.
    QCOMPARE(m_Server.answeredCount(), 1);
    QVERIFY(timerFired);
    const int handled = log.indexOf(
            R"([Pulse::ReceivedResponseFromServer] Method: "AppClosed" - Data: "{\"Status\":\"SUCCESS\"}")");
    const int sent = log.indexOf(
            QStringLiteral("[Pulse::AppClosed] Composed URL. Hitting: QUrl(\"%1\")").arg(m_Url));
    QVERIFY(handled >= 0);
    QVERIFY(sent > handled);
    QTRY_VERIFY(pulse.isNull());
    QCOMPARE(lastRequest().value("SecondsSinceAppStarted").toString(), QStringLiteral("61"));
}

void tst_Pulse::appClosedGivesUpOnSilentServer()
{
    m_Server.setAnswer("AppClosed", QByteArray(), TelemetryServer::Never);
    MessageCapture log;
    QElapsedTimer waited;
    waited.start();
    QPointer<Pulse> pulse = new Pulse(&m_Window);
    pulse->AppClosed(1000);

    // Abandoned after the bound, and handled as a failed request.
    QVERIFY(waited.elapsed() >= Pulse::AppClosedTimeoutMs - 100);
    QCOMPARE(m_Server.answeredCount(), 0);
    QVERIFY(log.indexOf(R"([Pulse::ReceivedResponseFromServer] Method: "AppClosed" - Data: "")")
            >= 0);
    QTRY_VERIFY(pulse.isNull());
}

KELVANE_TEST_MAIN(tst_Pulse)
#include "tst_pulse.moc"
