#include "config/Configuration.h"

#include "config/JSON.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QLocale>
#include <QOperatingSystemVersion>
#include <QRandomGenerator>
#include <QSettings>
#include <QStandardPaths>
#include <QTextStream>

#include <array>
#include <limits>
#include <random>

namespace {

// The settings keys, spelled only here: users' stores already hold these exact names.
const QString LastSelectFolderKey = QStringLiteral("LastSelectFolder");
const QString AppInstalledSavedKey = QStringLiteral("Pulse.AppInstalled.SavedToServer");
const QString NewUserSavedKey = QStringLiteral("Pulse.NewUser.SavedToServer");
const QString UserIDKey = QStringLiteral("UserID");
const QString UserEmailKey = QStringLiteral("UserEmail");

// The one generator every identifier draws from, seeded once by Initialize().
QRandomGenerator &RandomGenerator()
{
    static QRandomGenerator generator;
    return generator;
}

QString &SessionID()
{
    static QString sessionID;
    return sessionID;
}

QString DesktopLocation()
{
    return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
}

} // namespace

QVariantMap Configuration::ConfigurationData;
QSettings *Configuration::ApplicationSettings = nullptr;
QSettings *Configuration::BrandSettings = nullptr;

void Configuration::Initialize()
{
    ConfigurationData = QVariantMap();

    QFile file(PathForConfigurationFile());
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QTextStream stream(&file);
        const QString text = stream.readAll();
        file.close();
        qDebug() << "EmbeddedConfigurationFileData:" << text;
        ConfigurationData = JSON::Parse(text);
    } else {
        qDebug() << "Embedded configuration file error at path:" << file.fileName();
    }

    // Initialize runs once in the program; tests run it again with another file.
    delete ApplicationSettings;
    delete BrandSettings;
    ApplicationSettings = new QSettings(QSettings::NativeFormat, QSettings::UserScope,
                                        BrandName(), AppName());
    BrandSettings = new QSettings(QSettings::NativeFormat, QSettings::UserScope,
                                  BrandName(), QString());
    qDebug() << "~~~~" << BrandSettings->fileName();
    qDebug() << "~~~~" << ApplicationSettings->fileName();

    // Seeded from the system's entropy source rather than the clock, so that two users who
    // first start in the same second still get different identifiers.
    std::array<quint32, 8> seed;
    QRandomGenerator::system()->fillRange(seed.data(), seed.size());
    std::seed_seq sequence(seed.begin(), seed.end());
    RandomGenerator().seed(sequence);
}

QString Configuration::PathForApplicationFolder()
{
    return QCoreApplication::applicationDirPath();
}

QString Configuration::PathForFFMPEG()
{
    return PathForApplicationFolder() + QStringLiteral("/ffmpeg-win/ffmpeg.exe");
}

QString Configuration::PathForConfigurationFile()
{
    return PathForApplicationFolder() + QStringLiteral("/Configuration");
}

QString Configuration::PathForDesktopFolder()
{
    return DesktopLocation() + QLatin1Char('/');
}

QString Configuration::LastSelectFolder()
{
    if (ApplicationSettings->contains(LastSelectFolderKey))
        return ApplicationSettings->value(LastSelectFolderKey).toString();
    return DesktopLocation();
}

void Configuration::SetLastSelectFolder(const QString &Path)
{
    // Not synced: a lost choice only moves the next dialog's starting place, so the store
    // writes it on its own schedule.
    ApplicationSettings->setValue(LastSelectFolderKey, Path);
}

QString Configuration::ConfigurationText(const QString &Key)
{
    const QVariant value = ConfigurationData.value(Key);
    switch (value.userType()) {
    case QMetaType::QString:
    case QMetaType::Double:
        return value.toString();
    default:
        return QString();
    }
}

int Configuration::ConfigurationInteger(const QString &Key)
{
    const QVariant value = ConfigurationData.value(Key);
    if (value.userType() == QMetaType::Double) {
        const double number = value.toDouble();
        // Out-of-range and non-finite numbers read as unusable rather than overflowing.
        if (!(number > std::numeric_limits<int>::min() - 0.5
              && number < std::numeric_limits<int>::max() + 0.5))
            return 0;
        return qRound(number);
    }
    if (value.userType() == QMetaType::QString)
        return value.toString().toInt();
    return 0;
}

QString Configuration::AppName()
{
    return ConfigurationText(QStringLiteral("AppName"));
}

QString Configuration::AppVersion()
{
    return ConfigurationText(QStringLiteral("AppVersion"));
}

QString Configuration::AppVersionReleaseDate()
{
    return ConfigurationText(QStringLiteral("AppVersionReleaseDate"));
}

QString Configuration::BrandName()
{
    return ConfigurationText(QStringLiteral("BrandName"));
}

QString Configuration::BrandHomepage()
{
    return ConfigurationText(QStringLiteral("BrandHomepage"));
}

QString Configuration::AppHomepage()
{
    return ConfigurationText(QStringLiteral("AppHomepage"));
}

int Configuration::AppID()
{
    return ConfigurationInteger(QStringLiteral("AppID"));
}

int Configuration::BrandID()
{
    return ConfigurationInteger(QStringLiteral("BrandID"));
}

QString Configuration::SourceFormatExtension()
{
    const QString extensions = ConfigurationText(QStringLiteral("SourceFormatExtension"));
    return extensions.section(QLatin1Char(','), 0, 0);
}

bool Configuration::IsAppInstalledSavedToServer()
{
    return ApplicationSettings->value(AppInstalledSavedKey, false).toBool();
}

void Configuration::SetAppInstalledSavedToServer()
{
    ApplicationSettings->setValue(AppInstalledSavedKey, true);
    ApplicationSettings->sync();
}

bool Configuration::IsNewUserSavedToServer()
{
    return BrandSettings->value(NewUserSavedKey, false).toBool();
}

void Configuration::SetNewUserSavedToServer()
{
    BrandSettings->setValue(NewUserSavedKey, true);
    BrandSettings->sync();
}

QString Configuration::UserID()
{
    return BrandSettings->value(UserIDKey, QString()).toString();
}

QString Configuration::GenerateUserID()
{
    const QString userID = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"))
            + QLatin1Char('.') + RandomCharacters(10);
    BrandSettings->setValue(UserIDKey, userID);
    BrandSettings->sync();
    return userID;
}

QString Configuration::UserEmail()
{
    return BrandSettings->value(UserEmailKey, QString()).toString();
}

void Configuration::SetUserEmail(const QString &Email)
{
    BrandSettings->setValue(UserEmailKey, Email);
    BrandSettings->sync();
}

QString Configuration::AppSessionID()
{
    if (SessionID().isEmpty())
        SessionID() = RandomCharacters(6);
    return SessionID();
}

QString Configuration::GenerateConversionID()
{
    return RandomCharacters(6);
}

QString Configuration::RandomCharacters(int Count)
{
    const QLatin1String alphabet(IdentifierAlphabet);
    QString characters;
    characters.reserve(Count);
    for (int i = 0; i < Count; ++i)
        characters += alphabet[int(RandomGenerator().generate() % quint32(alphabet.size()))];
    return characters;
}

QString Configuration::OSVersion()
{
#ifdef Q_OS_WIN
    const QOperatingSystemVersion running = QOperatingSystemVersion::current();
    return WindowsVersionName(running.majorVersion(), running.minorVersion());
#else
    // Only Windows versions have names here.
    return QStringLiteral("?");
#endif
}

QString Configuration::WindowsVersionName(int Major, int Minor)
{
    // Windows' own version numbers for the releases that have a name; Windows 10 and 11
    // (10.0) and anything unknown read as "?".
    struct Release { int major; int minor; const char *name; };
    static constexpr Release named[] = {
        {5, 0, "2000"}, {5, 1, "XP"}, {5, 2, "2003"}, {6, 0, "Vista"},
        {6, 1, "7"}, {6, 2, "8"}, {6, 3, "8.1"},
    };
    for (const Release &release : named) {
        if (release.major == Major && release.minor == Minor)
            return QLatin1String(release.name);
    }
    return QStringLiteral("?");
}

QString Configuration::OSFullName()
{
    return QStringLiteral("Windows ") + OSVersion();
}

QString Configuration::OSLocale()
{
    return QLocale().name();
}

QString Configuration::OSCurrencySymbol()
{
    return QLocale().currencySymbol(QLocale::CurrencySymbol);
}

bool Configuration::IsWindows()
{
#ifdef Q_OS_WIN
    return true;
#else
    return false;
#endif
}

bool Configuration::IsMac()
{
#ifdef Q_OS_MACOS
    return true;
#else
    return false;
#endif
}

int Configuration::OperatingSystem()
{
#if defined(Q_OS_WIN)
    return 1;
#elif defined(Q_OS_MACOS)
    return 2;
#else
    return 3;
#endif
}
