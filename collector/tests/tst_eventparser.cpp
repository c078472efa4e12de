// Request bodies as the program sends them, and the ways they go wrong: what is stored for each
// accepted body, and the status and reason of each refusal.

#include "EventParser.h"

#include <QJsonDocument>
#include <QTest>

namespace {

const qint64 receivedAt = 1765440000000;   // 2025-12-11 08:00 UTC

// The members every event carries, in the program's order, around the event's own.
QByteArray eventJson(const QByteArray &method, const QByteArray &own,
                     const QByteArray &userId = "u-1", const QByteArray &appId = "7")
{
    return "{\"APIVersion\":\"1.0\",\"AppID\":\"" + appId + "\",\"AppSessionID\":\"s-1\","
           "\"AppVersion\":\"1.2.3\",\"BrandID\":\"-3\",\"DateTimeClient\":\"20251211080000\","
           + own + (own.isEmpty() ? "" : ",") + "\"Method\":\"" + method
           + "\",\"OS\":\"Linux\",\"OSVersion\":\"Debian 12\",\"UserID\":\"" + userId + "\"}";
}

QByteArray body(const QByteArray &json)
{
    return "PostData=" + json + "&";
}

// The object as stored: what was sent, read the way the collector reads it, less removals.
QJsonObject sent(const QByteArray &json, const QStringList &removed = {})
{
    QJsonObject object =
        QJsonDocument::fromJson(QString::fromLatin1(json).toUtf8()).object();
    for (const QString &name : removed)
        object.remove(name);
    return object;
}

QByteArray nested(int depth)
{
    return eventJson("AppOpened", "\"Extra\":" + QByteArray(depth, '[') + QByteArray(depth, ']'));
}

} // namespace

class TestEventParser : public QObject
{
    Q_OBJECT

private slots:
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void namesInCommandLine_data();
    void namesInCommandLine();
};

void TestEventParser::accepted_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("keepFileNames");
    QTest::addColumn<QJsonObject>("stored");

    const QByteArray started =
        eventJson("ConversionStarted",
                  "\"ConversionID\":\"c-1\",\"FFMPEGArguments\":\"-i /home/a/R&B = 100%/M\xfcsic & "
                  "Co+.flac -b:a 192k /home/a/Desktop/M\xfcsic & Co+.mp3\","
                  "\"FileExtension\":\"flac\",\"FileName\":\"M\xfcsic & Co+.flac\","
                  "\"FilePath\":\"/home/a/R&B = 100%\",\"FileSize\":\"123456789012\","
                  "\"FormatToConvertTo\":\"mp3\"");
    const QStringList names = {QStringLiteral("FilePath"), QStringLiteral("FileName")};

    QTest::newRow("NewUser")
        << body(eventJson("NewUser", "\"Email\":\"\",\"OSCurrencySymbol\":\"\x80\","
                                     "\"OSLocale\":\"de_DE\",\"OSTimeZone\":\"\""))
        << false
        << sent(eventJson("NewUser", "\"Email\":\"\",\"OSCurrencySymbol\":\"\x80\","
                                     "\"OSLocale\":\"de_DE\",\"OSTimeZone\":\"\""));
    QTest::newRow("AppInstalled")
        << body(eventJson("AppInstalled", "\"OSLocale\":\"fr_FR\"")) << false
        << sent(eventJson("AppInstalled", "\"OSLocale\":\"fr_FR\""));
    QTest::newRow("AppOpened") << body(eventJson("AppOpened", "")) << false
                               << sent(eventJson("AppOpened", ""));
    QTest::newRow("AppOpened extra members kept")
        << body(eventJson("AppOpened", "\"Screen\":{\"W\":1920,\"H\":[1,true,null]}")) << false
        << sent(eventJson("AppOpened", "\"Screen\":{\"W\":1920,\"H\":[1,true,null]}"));
    const QByteArray failed =
        eventJson("AppFailed", "\"DebugInfo\":\"exit 1; ?? caf\xe9\",\"ErrorCode\":\"EC3\"");
    QTest::newRow("AppFailed") << body(failed) << false << sent(failed);
    QJsonObject startedStored = sent(started, names);
    startedStored.insert(QStringLiteral("FFMPEGArguments"),
                         QStringLiteral("-i <source> -b:a 192k <output>"));
    QTest::newRow("ConversionStarted names dropped") << body(started) << false << startedStored;
    QTest::newRow("ConversionStarted names kept") << body(started) << true << sent(started);
    QTest::newRow("ConversionCancelled")
        << body(eventJson("ConversionCancelled",
                          "\"ConversionDurationInSeconds\":12,\"ConversionID\":\"c-1\","
                          "\"ConversionPercentageComplete\":100,\"ConvertedFileSize\":\"0\""))
        << false
        << sent(eventJson("ConversionCancelled",
                          "\"ConversionDurationInSeconds\":12,\"ConversionID\":\"c-1\","
                          "\"ConversionPercentageComplete\":100,\"ConvertedFileSize\":\"0\""));
    QTest::newRow("ConversionCompleted")
        << body(eventJson("ConversionCompleted",
                          "\"ConversionDurationInSeconds\":0,\"ConversionID\":\"c-1\","
                          "\"ConvertedFileSize\":\"9223372036854775807\""))
        << false
        << sent(eventJson("ConversionCompleted",
                          "\"ConversionDurationInSeconds\":0,\"ConversionID\":\"c-1\","
                          "\"ConvertedFileSize\":\"9223372036854775807\""));
    QTest::newRow("AppClosed") << body(eventJson("AppClosed", "\"SecondsSinceAppStarted\":\"0\""))
                               << false
                               << sent(eventJson("AppClosed", "\"SecondsSinceAppStarted\":\"0\""));
    // Words that look like SQL, quotes and '?' (what the program sends beyond Latin-1) are data.
    const QByteArray sqlish = eventJson(
        "AppFailed", "\"DebugInfo\":\"'); DROP TABLE events; -- ? \\\"x\\\" \\u00e9\","
                     "\"ErrorCode\":\"EC1\"",
        "x' OR '1'='1");
    QTest::newRow("SQL-looking text kept") << body(sqlish) << false << sent(sqlish);
    QTest::newRow("nesting within the limit") << body(nested(200)) << false
                                              << sent(nested(200));
}

void TestEventParser::accepted()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, keepFileNames);
    QFETCH(QJsonObject, stored);

    EventParser::Options options;
    options.keepFileNames = keepFileNames;
    const EventParser::Result result = EventParser::parse(body, options, receivedAt);
    QVERIFY2(result.ok(), qPrintable(result.refusal.reason));
    const Event &event = *result.event;
    QVERIFY(!stored.isEmpty());
    QCOMPARE(event.fields, stored);
    QCOMPARE(event.method, stored.value(QLatin1String("Method")).toString());
    QCOMPARE(event.userId, stored.value(QLatin1String("UserID")).toString());
    QCOMPARE(event.appSessionId, QStringLiteral("s-1"));
    QCOMPARE(event.appId, 7);
    QCOMPARE(event.brandId, -3);
    QCOMPARE(event.appVersion, QStringLiteral("1.2.3"));
    QCOMPARE(event.receivedAtMs, receivedAt);
    // A raw '&' and '+' and a Latin-1 byte in a name arrive as sent.
    if (keepFileNames && event.method == QLatin1String("ConversionStarted")) {
        QCOMPARE(event.fields.value(QLatin1String("FileName")).toString(),
                 QString::fromUtf8("Müsic & Co+.flac"));
        QCOMPARE(event.fields.value(QLatin1String("FilePath")).toString(),
                 QStringLiteral("/home/a/R&B = 100%"));
    }
}

void TestEventParser::refused_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");

    const QByteArray opened = eventJson("AppOpened", "");
    QTest::newRow("empty body") << QByteArray() << 400 << "empty";
    QTest::newRow("no PostData=") << opened + "&" << 400 << "PostData=";
    QTest::newRow("form-encoded") << "PostData=" + QByteArray(opened).toPercentEncoding() + "&"
                                  << 400 << "not JSON";
    QTest::newRow("no final &") << "PostData=" + opened << 400 << "end with &";
    QTest::newRow("PostData= alone") << QByteArray("PostData=") << 400 << "end with &";
    QTest::newRow("nothing between") << QByteArray("PostData=&") << 400 << "not JSON";
    QTest::newRow("not JSON") << body("Method=AppOpened") << 400 << "not JSON";
    QTest::newRow("cut JSON") << body(opened.left(opened.size() - 1)) << 400 << "not JSON";
    QTest::newRow("array") << body("[" + opened + "]") << 400 << "not an object";
    QTest::newRow("deep nesting") << body(nested(5000)) << 400 << "not JSON";
    QTest::newRow("unknown Method") << body(eventJson("AppDeleted", "")) << 422
                                    << "unknown Method \"AppDeleted\"";
    QTest::newRow("Method case") << body(eventJson("appopened", "")) << 422 << "unknown Method";
    QTest::newRow("no Method") << body("{\"UserID\":\"u\",\"AppSessionID\":\"s\"}") << 422
                               << "Method";
    QTest::newRow("Method number")
        << body(QByteArray(opened).replace("\"AppOpened\"", "3")) << 422 << "Method";
    QTest::newRow("empty UserID") << body(eventJson("AppOpened", "", "")) << 422 << "UserID";
    QTest::newRow("UserID number")
        << body(QByteArray(opened).replace("\"u-1\"", "1")) << 422 << "UserID";
    QTest::newRow("no AppSessionID")
        << body(QByteArray(opened).replace("\"AppSessionID\":\"s-1\",", "")) << 422
        << "AppSessionID";
    QTest::newRow("AppID words") << body(eventJson("AppOpened", "", "u", "seven")) << 422
                                 << "AppID";
    QTest::newRow("AppID number")
        << body(QByteArray(opened).replace("\"AppID\":\"7\"", "\"AppID\":7")) << 422 << "AppID";
    QTest::newRow("AppID beyond 32 bits") << body(eventJson("AppOpened", "", "u", "2147483648"))
                                          << 422 << "AppID";
    QTest::newRow("AppID huge")
        << body(eventJson("AppOpened", "", "u", QByteArray(400, '9'))) << 422 << "AppID";
    QTest::newRow("AppID plus") << body(eventJson("AppOpened", "", "u", "+7")) << 422 << "AppID";
    QTest::newRow("AppID space") << body(eventJson("AppOpened", "", "u", " 7")) << 422 << "AppID";
    QTest::newRow("BrandID missing")
        << body(QByteArray(opened).replace("\"BrandID\":\"-3\",", "")) << 422 << "BrandID";
    QTest::newRow("AppVersion number")
        << body(QByteArray(opened).replace("\"1.2.3\"", "1.2")) << 422 << "AppVersion";
    QTest::newRow("FileName object")
        << body(eventJson("ConversionStarted", "\"FileName\":{}")) << 422 << "FileName";
    QTest::newRow("FileSize number")
        << body(eventJson("ConversionStarted", "\"FileSize\":12")) << 422 << "FileSize";
    QTest::newRow("FileSize negative")
        << body(eventJson("ConversionStarted", "\"FileSize\":\"-1\"")) << 422 << "FileSize";
    QTest::newRow("FileSize empty")
        << body(eventJson("ConversionStarted", "\"FileSize\":\"\"")) << 422 << "FileSize";
    QTest::newRow("ConvertedFileSize beyond 64 bits")
        << body(eventJson("ConversionCompleted", "\"ConvertedFileSize\":\"9223372036854775808\""))
        << 422 << "ConvertedFileSize";
    QTest::newRow("SecondsSinceAppStarted decimal point")
        << body(eventJson("AppClosed", "\"SecondsSinceAppStarted\":\"1.5\"")) << 422
        << "SecondsSinceAppStarted";
    QTest::newRow("duration as text")
        << body(eventJson("ConversionCompleted", "\"ConversionDurationInSeconds\":\"12\""))
        << 422 << "ConversionDurationInSeconds";
    QTest::newRow("duration fraction")
        << body(eventJson("ConversionCompleted", "\"ConversionDurationInSeconds\":1.5"))
        << 422 << "ConversionDurationInSeconds";
    QTest::newRow("duration huge")
        << body(eventJson("ConversionCompleted", "\"ConversionDurationInSeconds\":1e300"))
        << 422 << "ConversionDurationInSeconds";
    QTest::newRow("duration beyond double") << body(eventJson(
        "ConversionCompleted", "\"ConversionDurationInSeconds\":1e999")) << 0 << "";
    QTest::newRow("duration negative")
        << body(eventJson("ConversionCompleted", "\"ConversionDurationInSeconds\":-1"))
        << 422 << "ConversionDurationInSeconds";
    QTest::newRow("percentage over 100")
        << body(eventJson("ConversionCancelled", "\"ConversionPercentageComplete\":101"))
        << 422 << "ConversionPercentageComplete";
    QTest::newRow("percentage null")
        << body(eventJson("ConversionCancelled", "\"ConversionPercentageComplete\":null"))
        << 422 << "ConversionPercentageComplete";
}

void TestEventParser::refused()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, reason);

    const EventParser::Result result = EventParser::parse(body, {}, receivedAt);
    QVERIFY(!result.ok());
    // Qt's reader refuses numbers beyond double as not JSON; either refusal will do.
    if (status == 0) {
        QVERIFY(result.refusal.status == 400 || result.refusal.status == 422);
        return;
    }
    QCOMPARE(result.refusal.status, status);
    QVERIFY2(result.refusal.reason.contains(reason), qPrintable(result.refusal.reason));
    // Reasons travel in ASCII answers.
    for (QChar c : result.refusal.reason)
        QVERIFY2(c.unicode() >= 0x20 && c.unicode() < 0x7f, qPrintable(result.refusal.reason));
}


void TestEventParser::namesInCommandLine_data()
{
    QTest::addColumn<QByteArray>("own");              // the event's own members
    QTest::addColumn<QString>("member");
    QTest::addColumn<QString>("storedByDefault");

    const QByteArray folder = "\"FilePath\":\"/home/j\xfcrgen/R&B - Live\",";
    const QByteArray file = "\"FileName\":\"M\xfcsic - Co+.flac\",";
    auto started = [](const QByteArray &names, const QByteArray &arguments) {
        return "\"ConversionID\":\"c\",\"FFMPEGArguments\":\"" + arguments + "\","
               "\"FileExtension\":\"flac\"," + names + "\"FileSize\":\"1\","
               "\"FormatToConvertTo\":\"mp3\"";
    };
    const QByteArray linuxLine = "-i /home/j\xfcrgen/R&B - Live/M\xfcsic - Co+.flac -y -b:a 192k "
                                 "/home/j\xfcrgen/Desktop/M\xfcsic - Co+.mp3";
    QTest::newRow("source named by the event, spaces and dashes in names")
        << started(folder + file, linuxLine) << "FFMPEGArguments"
        << "-i <source> -y -b:a 192k <output>";
    QTest::newRow("drive letters")
        << started("\"FilePath\":\"C:/Users/J\xfcrgen/Music\",\"FileName\":\"a b.flac\",",
                   "-i C:/Users/J\xfcrgen/Music/a b.flac -y C:/Users/J\xfcrgen/Desktop/a b.mp3")
        << "FFMPEGArguments" << "-i <source> -y <output>";
    QTest::newRow("no configured arguments")
        << started(folder + file, "-i /home/j\xfcrgen/R&B - Live/M\xfcsic - Co+.flac "
                                  "/home/j\xfcrgen/Desktop/M\xfcsic - Co+.mp3")
        << "FFMPEGArguments" << "-i <source> <output>";
    QTest::newRow("source not named by the event")
        << started("", "-i /tmp/in.flac -y /tmp/out.mp3") << "FFMPEGArguments"
        << "-i <source> -y <output>";
    QTest::newRow("converter crash")
        << QByteArray("\"DebugInfo\":\"QProcess::Crashed when calling FFMPEG at this path: "
                      "C:/Users/J\xfcrgen/AppData/Local/Programs/Conv/ffmpeg-win/ffmpeg.exe\\n"
                      "With these parameters: " + linuxLine + "\\n\",\"ErrorCode\":\"EC4\"")
        << "DebugInfo"
        << "QProcess::Crashed when calling FFMPEG at this path: "
           "C:/Users/<user>/AppData/Local/Programs/Conv/ffmpeg-win/ffmpeg.exe\n"
           "With these parameters: <removed>\n";
    QTest::newRow("converter missing")
        << QByteArray("\"DebugInfo\":\"Failed to start FFMPEG. Looked for FFMPEG at this path: "
                      "/home/j\xfcrgen/Conv/ffmpeg-win/ffmpeg.exe\\n"
                      "Configuration::PathForApplicationFolder() = /home/j\xfcrgen/Conv\\n\","
                      "\"ErrorCode\":\"EC2\"")
        << "DebugInfo"
        << "Failed to start FFMPEG. Looked for FFMPEG at this path: "
           "/home/<user>/Conv/ffmpeg-win/ffmpeg.exe\n"
           "Configuration::PathForApplicationFolder() = /home/<user>/Conv\n";
    QTest::newRow("installed for every user")
        << QByteArray("\"DebugInfo\":\"QProcess::FailedToStart. Insufficient permissions for "
                      "FFMPEG at this path: /usr/lib/kelvane/ffmpeg-win/ffmpeg.exe\\n\","
                      "\"ErrorCode\":\"EC3\"")
        << "DebugInfo"
        << "QProcess::FailedToStart. Insufficient permissions for FFMPEG at this path: "
           "/usr/lib/kelvane/ffmpeg-win/ffmpeg.exe\n";
}

void TestEventParser::namesInCommandLine()
{
    QFETCH(QByteArray, own);
    QFETCH(QString, member);
    QFETCH(QString, storedByDefault);

    const QByteArray method = member == QLatin1String("DebugInfo") ? "AppFailed"
                                                                   : "ConversionStarted";
    const QByteArray sentBody = body(eventJson(method, own));
    const EventParser::Result dropped = EventParser::parse(sentBody, {}, receivedAt);
    QVERIFY2(dropped.ok(), qPrintable(dropped.refusal.reason));
    QCOMPARE(dropped.event->fields.value(member).toString(), storedByDefault);

    // Asked to keep names, the collector keeps the text as it came.
    EventParser::Options keep;
    keep.keepFileNames = true;
    const EventParser::Result kept = EventParser::parse(sentBody, keep, receivedAt);
    QVERIFY(kept.ok());
    QCOMPARE(kept.event->fields.value(member), sent(eventJson(method, own)).value(member));
}

QTEST_GUILESS_MAIN(TestEventParser)
#include "tst_eventparser.moc"
