#include "TestEnvironment.h"
#include "ConfigurationFile.h"

#include "config/Configuration.h"

#include <QDateTime>
#include <QDebug>
#include <QLocale>
#include <QSet>
#include <QSettings>
#include <QStandardPaths>

namespace {

QStringList CapturedMessages;

// Where the native settings format keeps a store: the registry on Windows, a file elsewhere.
QString StorePath(const QString &Brand, const QString &App)
{
#ifdef Q_OS_WIN
    return QStringLiteral("\\HKEY_CURRENT_USER\\Software\\") + Brand + QLatin1Char('\\')
            + (App.isEmpty() ? QStringLiteral("OrganizationDefaults") : App);
#else
    const QString configHome = QStandardPaths::writableLocation(QStandardPaths::ConfigLocation);
    return configHome + QLatin1Char('/') + Brand + (App.isEmpty() ? QString() : "/" + App)
            + QStringLiteral(".conf");
#endif
}

// The store read directly, as another program would.
QSettings *OpenStore(const QString &Brand, const QString &App)
{
#ifdef Q_OS_WIN
    return new QSettings(StorePath(Brand, App).mid(1), QSettings::NativeFormat);
#else
    return new QSettings(StorePath(Brand, App), QSettings::IniFormat);
#endif
}

void RemoveStores()
{
#ifdef Q_OS_WIN
    QSettings software(QStringLiteral("HKEY_CURRENT_USER\\Software"), QSettings::NativeFormat);
    for (const char *brand : {"Maker", "Another", "Kelvane"})
        software.remove(QLatin1String(brand));
#else
    QDir(QStandardPaths::writableLocation(QStandardPaths::ConfigLocation)).removeRecursively();
#endif
}

void CaptureMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        CapturedMessages << message;
}

} // namespace

// The Configuration file, the two settings stores, identifiers and system facts. The test's
// own folder is its application folder, so each case writes its Configuration file there.
class tst_Configuration : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void reads_data();
    void reads();
    void logLinesInOrder_data();
    void logLinesInOrder();
    void storeNamesAndFallback();
    void brandSharedAcrossApplications();
    void firstRunFlagsSurviveRestart();
    void paths();
    void lastSelectFolder_data();
    void lastSelectFolder();
    void userIdentifier();
    void shortIdentifiers();
    void generatorSeededFromEntropy();
    void windowsVersionNames_data();
    void windowsVersionNames();
    void systemFacts();

private:
    ConfigurationFile m_Configuration;
};

void tst_Configuration::init()
{
    QVERIFY(m_Configuration.remove());
    RemoveStores();
}

void tst_Configuration::cleanup()
{
    QVERIFY(m_Configuration.remove());
}

void tst_Configuration::reads_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("appName");
    QTest::addColumn<int>("appID");
    QTest::addColumn<int>("brandID");
    QTest::addColumn<QString>("sourceFormat");
    QTest::addColumn<QString>("appVersion");

    QTest::newRow("typical") << QByteArray(R"({"AppName":"Conv","BrandName":"Maker","AppID":7,
            "BrandID":"3","SourceFormatExtension":"FLAC,WAV"})")
                             << "Conv" << 7 << 3 << "FLAC" << "";
    QTest::newRow("single source format") << QByteArray(R"({"SourceFormatExtension":"FLAC"})")
                                          << "" << 0 << 0 << "FLAC" << "";
    QTest::newRow("leading comma") << QByteArray(R"({"SourceFormatExtension":",FLAC"})")
                                   << "" << 0 << 0 << "" << "";
    QTest::newRow("rounded identifier") << QByteArray(R"({"AppID":7.6,"BrandID":-2.6})")
                                        << "" << 8 << -3 << "" << "";
    QTest::newRow("number as text") << QByteArray(R"({"AppName":3,"AppVersion":2.5})")
                                    << "3" << 0 << 0 << "" << "2.5";
    QTest::newRow("unusable identifiers")
            << QByteArray(R"({"AppID":"x","BrandID":[1],"AppVersion":{"a":1}})")
            << "" << 0 << 0 << "" << "";
    QTest::newRow("out of range identifiers") << QByteArray(R"({"AppID":1e300,"BrandID":-1e300})")
                                              << "" << 0 << 0 << "" << "";
    QTest::newRow("boolean and null read as absent")
            << QByteArray(R"({"AppName":true,"AppVersion":null,"AppID":false})")
            << "" << 0 << 0 << "" << "";
    QTest::newRow("list as text") << QByteArray(R"({"SourceFormatExtension":["FLAC"]})")
                                  << "" << 0 << 0 << "" << "";
    QTest::newRow("not JSON") << QByteArray("{AppName: 'Conv', AppID: 7}")
                              << "" << 0 << 0 << "" << "";
    QTest::newRow("empty file") << QByteArray() << "" << 0 << 0 << "" << "";
    QTest::newRow("binary file") << QByteArray("\x00\xff\xfe{\"AppName\"", 12)
                                 << "" << 0 << 0 << "" << "";
    QTest::newRow("UTF-8 with byte-order mark")
            << QByteArray("\xEF\xBB\xBF{\"AppName\":\"Caf\xC3\xA9\"}") << QString::fromUtf8("Café")
            << 0 << 0 << "" << "";
    QTest::newRow("no file") << QByteArray("<none>") << "" << 0 << 0 << "" << "";
}

void tst_Configuration::reads()
{
    QFETCH(QByteArray, file);
    QVERIFY(file == "<none>" ? m_Configuration.loadWithout() : m_Configuration.load(file));

    QTEST(Configuration::AppName(), "appName");
    QTEST(Configuration::AppID(), "appID");
    QTEST(Configuration::BrandID(), "brandID");
    QTEST(Configuration::SourceFormatExtension(), "sourceFormat");
    QTEST(Configuration::AppVersion(), "appVersion");
}

void tst_Configuration::logLinesInOrder_data()
{
    QTest::addColumn<bool>("withFile");
    QTest::newRow("with file") << true;
    QTest::newRow("without file") << false;
}

void tst_Configuration::logLinesInOrder()
{
    QFETCH(bool, withFile);
    if (withFile)
        QVERIFY(m_Configuration.write(R"({"AppName":"Conv","BrandName":"Maker"})"));

    CapturedMessages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(CaptureMessage);
    Configuration::Initialize();
    qInstallMessageHandler(previous);

    QCOMPARE(CapturedMessages.size(), 3);
    if (withFile) {
        QCOMPARE(CapturedMessages.at(0), QStringLiteral(
                R"(EmbeddedConfigurationFileData: "{\"AppName\":\"Conv\",\"BrandName\":\"Maker\"}")"));
    } else {
        QCOMPARE(CapturedMessages.at(0),
                 QStringLiteral("Embedded configuration file error at path: \"%1\"")
                         .arg(m_Configuration.path()));
    }
    // The store names as the debug stream quotes them (a registry path's backslashes doubled).
    const auto logged = [](const QString &name) {
        QString line;
        QDebug(&line) << "~~~~" << name;
        return line.trimmed();
    };
    QCOMPARE(CapturedMessages.at(1), logged(Configuration::BrandSettings->fileName()));
    QCOMPARE(CapturedMessages.at(2), logged(Configuration::ApplicationSettings->fileName()));
}

void tst_Configuration::storeNamesAndFallback()
{
    QVERIFY(m_Configuration.load(R"({"AppName":"Conv","BrandName":"Maker"})"));

    QCOMPARE(Configuration::ApplicationSettings->organizationName(), QStringLiteral("Maker"));
    QCOMPARE(Configuration::ApplicationSettings->applicationName(), QStringLiteral("Conv"));
    QCOMPARE(Configuration::BrandSettings->organizationName(), QStringLiteral("Maker"));
    QCOMPARE(Configuration::BrandSettings->applicationName(), QString());
    QCOMPARE(Configuration::ApplicationSettings->fileName(), StorePath("Maker", "Conv"));
    QCOMPARE(Configuration::BrandSettings->fileName(), StorePath("Maker", QString()));

    // The application store falls back to the organisation-wide values, not the other way.
    Configuration::SetUserEmail(QStringLiteral("user@kelvane.example"));
    QCOMPARE(Configuration::ApplicationSettings->value("UserEmail").toString(),
             QStringLiteral("user@kelvane.example"));
    Configuration::ApplicationSettings->setValue("LastSelectFolder", "/music/a.flac");
    QVERIFY(!Configuration::BrandSettings->contains("LastSelectFolder"));
}

void tst_Configuration::brandSharedAcrossApplications()
{
    QVERIFY(m_Configuration.load(R"({"AppName":"Conv","BrandName":"Maker"})"));
    const QString userID = Configuration::GenerateUserID();
    Configuration::SetUserEmail(QStringLiteral("user@kelvane.example"));
    Configuration::SetNewUserSavedToServer();
    Configuration::SetAppInstalledSavedToServer();
    Configuration::ApplicationSettings->setValue("LastSelectFolder", "/music/a.flac");
    Configuration::ApplicationSettings->sync();

    QVERIFY(m_Configuration.load(R"({"AppName":"Other","BrandName":"Maker"})"));
    QCOMPARE(Configuration::UserID(), userID);
    QCOMPARE(Configuration::UserEmail(), QStringLiteral("user@kelvane.example"));
    QVERIFY(Configuration::IsNewUserSavedToServer());
    QVERIFY(!Configuration::IsAppInstalledSavedToServer());
    QCOMPARE(Configuration::LastSelectFolder(),
             QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));

    QVERIFY(m_Configuration.load(R"({"AppName":"Conv","BrandName":"Another"})"));
    QCOMPARE(Configuration::UserID(), QString());
    QVERIFY(!Configuration::IsNewUserSavedToServer());
}

void tst_Configuration::firstRunFlagsSurviveRestart()
{
    QVERIFY(m_Configuration.load(R"({"AppName":"Conv","BrandName":"Maker"})"));
    QVERIFY(!Configuration::IsAppInstalledSavedToServer());
    QVERIFY(!Configuration::IsNewUserSavedToServer());

    Configuration::SetAppInstalledSavedToServer();
    Configuration::SetNewUserSavedToServer();

    // Synced at once: another reader of the files sees the values before any restart.
    QScopedPointer<QSettings> application(OpenStore("Maker", "Conv"));
    QScopedPointer<QSettings> brand(OpenStore("Maker", QString()));
    QCOMPARE(application->value("Pulse.AppInstalled.SavedToServer").toString(),
             QStringLiteral("true"));
    QCOMPARE(brand->value("Pulse.NewUser.SavedToServer").toString(), QStringLiteral("true"));

    // After a restart the stores hand the flags back as the text "true".
    Configuration::Initialize();
    QVERIFY(Configuration::IsAppInstalledSavedToServer());
    QVERIFY(Configuration::IsNewUserSavedToServer());
}

void tst_Configuration::paths()
{
    Configuration::Initialize();
    const QString appFolder = QCoreApplication::applicationDirPath();
    QCOMPARE(Configuration::PathForApplicationFolder(), appFolder);
    QCOMPARE(Configuration::PathForFFMPEG(), appFolder + "/ffmpeg-win/ffmpeg.exe");
    QCOMPARE(Configuration::PathForConfigurationFile(), appFolder + "/Configuration");
    QCOMPARE(Configuration::PathForDesktopFolder(),
             QDir::homePath() + QStringLiteral("/Desktop/"));
}

void tst_Configuration::lastSelectFolder_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("unix path") << QStringLiteral("/music/My Album/a.flac");
    QTest::newRow("drive letter") << QStringLiteral("C:/Users/J\u00fcrgen/Music/Zo\u00eb.flac");
    QTest::newRow("beyond Latin-1") << QStringLiteral("D:/\u6771\u4eac/\U0001F3B5 mix.flac");
    QTest::newRow("backslashes") << QStringLiteral("C:\\Music\\x41\\a.flac");
}

void tst_Configuration::lastSelectFolder()
{
    QFETCH(QString, path);
    QVERIFY(m_Configuration.load(R"({"AppName":"Conv","BrandName":"Maker"})"));
    QCOMPARE(Configuration::LastSelectFolder(), QDir::homePath() + QStringLiteral("/Desktop"));

    Configuration::SetLastSelectFolder(path);
    Configuration::ApplicationSettings->sync();
    Configuration::Initialize();
    QCOMPARE(Configuration::LastSelectFolder(), path);
    QScopedPointer<QSettings> store(OpenStore("Maker", "Conv"));
    QCOMPARE(store->value("LastSelectFolder").toString(), path);
}

void tst_Configuration::userIdentifier()
{
    QVERIFY(m_Configuration.load(R"({"AppName":"Conv","BrandName":"Maker"})"));
    QCOMPARE(Configuration::UserID(), QString());

    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    const QString userID = Configuration::GenerateUserID();
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);

    const QRegularExpression shape(QStringLiteral("^[0-9]{14}\\.[%1]{10}$")
                                           .arg(Configuration::IdentifierAlphabet));
    QVERIFY2(shape.match(userID).hasMatch(), qPrintable(userID));
    const QDateTime created = QDateTime::fromString(userID.left(14), "yyyyMMddhhmmss");
    QVERIFY(created.isValid());
    QVERIFY(created >= before.addMSecs(-before.time().msec()));
    QVERIFY(created <= after);

    // Stored brand-wide and synced: a fresh reader of the store sees it.
    QScopedPointer<QSettings> brand(OpenStore("Maker", QString()));
    QCOMPARE(brand->value("UserID").toString(), userID);
    QCOMPARE(Configuration::UserID(), userID);
}

void tst_Configuration::shortIdentifiers()
{
    Configuration::Initialize();
    const QRegularExpression shape(QStringLiteral("^[%1]{6}$")
                                           .arg(Configuration::IdentifierAlphabet));
    const QString session = Configuration::AppSessionID();
    QVERIFY2(shape.match(session).hasMatch(), qPrintable(session));
    QCOMPARE(Configuration::AppSessionID(), session);

    // Enough draws to reach every letter of the alphabet and show that nothing else appears.
    QSet<QChar> seen;
    for (int i = 0; i < 2000; ++i) {
        const QString conversionID = Configuration::GenerateConversionID();
        QVERIFY2(shape.match(conversionID).hasMatch(), qPrintable(conversionID));
        for (QChar c : conversionID)
            seen.insert(c);
    }
    QCOMPARE(seen.size(), 31);
    QCOMPARE(Configuration::AppSessionID(), session);
}

void tst_Configuration::generatorSeededFromEntropy()
{
    // Start-ups within the same millisecond must not repeat one another's identifiers.
    QSet<QString> firstDraws;
    for (int i = 0; i < 100; ++i) {
        Configuration::Initialize();
        firstDraws.insert(Configuration::GenerateConversionID()
                          + Configuration::GenerateConversionID());
    }
    QCOMPARE(firstDraws.size(), 100);
}

void tst_Configuration::windowsVersionNames_data()
{
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<QString>("name");
    QTest::newRow("NT 4") << 4 << 0 << "?";
    QTest::newRow("2000") << 5 << 0 << "2000";
    QTest::newRow("XP") << 5 << 1 << "XP";
    QTest::newRow("2003") << 5 << 2 << "2003";
    QTest::newRow("Vista") << 6 << 0 << "Vista";
    QTest::newRow("7") << 6 << 1 << "7";
    QTest::newRow("8") << 6 << 2 << "8";
    QTest::newRow("8.1") << 6 << 3 << "8.1";
    QTest::newRow("6.4, never released") << 6 << 4 << "?";
    QTest::newRow("10 and 11") << 10 << 0 << "?";
    QTest::newRow("no version") << 0 << 0 << "?";
    QTest::newRow("negative") << -1 << -1 << "?";
}

void tst_Configuration::windowsVersionNames()
{
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(QString, name);
    QCOMPARE(Configuration::WindowsVersionName(major, minor), name);
}

void tst_Configuration::systemFacts()
{
#ifdef Q_OS_WIN
    QVERIFY(Configuration::IsWindows());
    QVERIFY(!Configuration::IsMac());
    QCOMPARE(Configuration::OperatingSystem(), 1);
    // The test runner says which Windows it made Wine pretend to be.
    const QString expected = qEnvironmentVariable("KELVANE_WINE_WINDOWS");
    QVERIFY2(!expected.isEmpty(), "KELVANE_WINE_WINDOWS does not say which Windows this is");
    const QString name = (expected == "7" || expected == "8.1") ? expected : QStringLiteral("?");
    QCOMPARE(Configuration::OSVersion(), name);
    QCOMPARE(Configuration::OSFullName(), QStringLiteral("Windows ") + name);
#else
    QVERIFY(!Configuration::IsWindows());
    QVERIFY(!Configuration::IsMac());
    QVERIFY(Configuration::OperatingSystem() != 1);
    QCOMPARE(Configuration::OSVersion(), QStringLiteral("?"));
    QCOMPARE(Configuration::OSFullName(), QStringLiteral("Windows ?"));
#endif

    const QLocale previous;
    auto restore = qScopeGuard([previous] { QLocale::setDefault(previous); });
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    QCOMPARE(Configuration::OSLocale(), QStringLiteral("de_DE"));
    QCOMPARE(Configuration::OSCurrencySymbol(), QStringLiteral("€"));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedKingdom));
    QCOMPARE(Configuration::OSLocale(), QStringLiteral("en_GB"));
    QCOMPARE(Configuration::OSCurrencySymbol(), QStringLiteral("£"));
}

KELVANE_TEST_MAIN(tst_Configuration)
#include "tst_configuration.moc"
