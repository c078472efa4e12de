#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

class QSettings;

// Process-wide facts: the deployment's Configuration file, the well-known paths, the two
// per-user settings stores, identifiers and system facts. Static operations only.
class Configuration : public QObject
{
    Q_OBJECT

public:
    // Reads and logs the Configuration file, opens both settings stores and seeds the random
    // generator. Needs the QApplication; runs before the main window is built.
    static void Initialize();

    // Paths, with "/" as the separator.
    static QString PathForApplicationFolder();
    static QString PathForFFMPEG();
    static QString PathForConfigurationFile();
    static QString PathForDesktopFolder();

    // The file chosen last, where the next open-file dialog starts.
    static QString LastSelectFolder();
    static void SetLastSelectFolder(const QString &Path);

    // Configuration file accessors; an absent key reads as "" or 0.
    static QString AppName();
    static QString AppVersion();
    static QString AppVersionReleaseDate();
    static QString BrandName();
    static QString BrandHomepage();
    static QString AppHomepage();
    static int AppID();
    static int BrandID();
    static QString SourceFormatExtension();
    // Any key's value as text: a string unchanged, a number in its standard form, else "".
    static QString ConfigurationText(const QString &Key);

    // First-run flags, written and synced once the server confirms the event.
    static bool IsAppInstalledSavedToServer();
    static void SetAppInstalledSavedToServer();
    static bool IsNewUserSavedToServer();
    static void SetNewUserSavedToServer();

    // Identity.
    static QString UserID();
    static QString GenerateUserID();
    static QString UserEmail();
    static void SetUserEmail(const QString &Email);
    static QString AppSessionID();
    static QString GenerateConversionID();

    // System facts.
    static QString OSVersion();
    // The name of the Windows release with this version number, "?" for any other.
    static QString WindowsVersionName(int Major, int Minor);
    static QString OSFullName();
    static QString OSLocale();
    static QString OSCurrencySymbol();
    static bool IsWindows();
    static bool IsMac();
    static int OperatingSystem();

    static constexpr const char *IdentifierAlphabet = "abcdefghjkmnpqrstuvwxyz23456789";

    // The parsed Configuration file and the two settings stores.
    static QVariantMap ConfigurationData;
    static QSettings *ApplicationSettings;
    static QSettings *BrandSettings;

private:
    Configuration() = delete;

    static int ConfigurationInteger(const QString &Key);
    static QString RandomCharacters(int Count);
};
