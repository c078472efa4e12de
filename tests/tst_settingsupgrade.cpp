#include "TestEnvironment.h"
#include "ConfigurationFile.h"

#include "config/Configuration.h"

#include <QDirIterator>
#include <QSettings>
#include <QStandardPaths>

// A user who ran the Qt 5 build and then starts the Qt 6 build keeps the user identifier, the
// first-run flags and the last chosen file. The stores in settings-written-by-qt5/ are what
// the Qt 5 build really wrote; this test reads them in whichever build runs it (the Qt 5 run
// shows that the files are right, the Qt 6 run is the upgrade).
//
// How they were made: a throw-away program linked against the Qt 5.15.8 build's kelvanecore ran
// with XDG_CONFIG_HOME set to an empty folder and, beside the program, a Configuration file
// (UTF-8 with a byte-order mark) naming the row's brand and application. It called
// Configuration::Initialize() and Configuration::GenerateUserID(); for the confirmed rows,
// SetNewUserSavedToServer() and SetAppInstalledSavedToServer(); then SetLastSelectFolder()
// with the row's path, as file selection does, and ran its event loop so that this unsynced
// write reached disk, as in the program. The .conf files under that folder were copied byte
// for byte; each row's identifier is the one that program printed.
class tst_SettingsUpgrade : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void readsStoresOfQt5Build_data();
    void readsStoresOfQt5Build();
    void laterWriteKeepsTheRest_data();
    void laterWriteKeepsTheRest();

private:
    void installQt5Stores();
    bool copyStores(const QString &from, const QString &to) const;
    void loadConfiguration(const QString &brand, const QString &application);
    void verifyStores(const QString &configHome, bool newUserSaved, bool appInstalledSaved);

    ConfigurationFile m_Configuration;
    QString m_ConfigHome;
};

namespace {

QString FixtureFolder(const QString &name)
{
    return QStringLiteral(KELVANE_SOURCE_DIR "/tests/settings-written-by-qt5/") + name;
}

} // namespace

void tst_SettingsUpgrade::initTestCase()
{
    m_ConfigHome = QStandardPaths::writableLocation(QStandardPaths::ConfigLocation);
    QVERIFY(m_ConfigHome.startsWith(QDir::homePath() + QLatin1Char('/')));
}

void tst_SettingsUpgrade::init()
{
    QVERIFY(QDir(m_ConfigHome).removeRecursively());
}

// Copies every file below one folder to the same place below another; false when there was
// nothing to copy or a copy failed.
bool tst_SettingsUpgrade::copyStores(const QString &from, const QString &to) const
{
    int copied = 0;
    QDirIterator files(from, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString source = files.next();
        const QString target = to + QLatin1Char('/') + QDir(from).relativeFilePath(source);
        if (!QDir().mkpath(QFileInfo(target).path()) || !QFile::copy(source, target))
            return false;
        ++copied;
    }
    return copied > 0;
}

// The row's stores, as the Qt 5 build left them, where this build looks for them, and the
// Configuration file that names them.
void tst_SettingsUpgrade::installQt5Stores()
{
    QFETCH(QString, fixture);
    QFETCH(QString, brand);
    QFETCH(QString, application);
    QVERIFY(copyStores(FixtureFolder(fixture), m_ConfigHome));
    loadConfiguration(brand, application);
}

// The store names reach the program through the Configuration file; a byte-order mark makes
// both builds read their non-ASCII characters as UTF-8 whatever the locale.
void tst_SettingsUpgrade::loadConfiguration(const QString &brand, const QString &application)
{
    QVERIFY(m_Configuration.load("\xEF\xBB\xBF{\"AppName\":\"" + application.toUtf8()
                                 + "\",\"BrandName\":\"" + brand.toUtf8() + "\"}"));
    QCOMPARE(Configuration::BrandName(), brand);
    QCOMPARE(Configuration::AppName(), application);
}

// The row's identifier and last file, and the given flags, read through Configuration from the
// stores in configHome.
void tst_SettingsUpgrade::verifyStores(const QString &configHome, bool newUserSaved,
                                       bool appInstalledSaved)
{
    QFETCH(QString, userID);
    QFETCH(QString, lastFile);
    // Opened at the paths where the files lie, and read without complaint.
    const QString brandFile = configHome + QLatin1Char('/') + Configuration::BrandName();
    QCOMPARE(Configuration::BrandSettings->fileName(), brandFile + QStringLiteral(".conf"));
    QCOMPARE(Configuration::ApplicationSettings->fileName(),
             brandFile + QLatin1Char('/') + Configuration::AppName() + QStringLiteral(".conf"));
    QCOMPARE(Configuration::BrandSettings->status(), QSettings::NoError);
    QCOMPARE(Configuration::ApplicationSettings->status(), QSettings::NoError);

    QCOMPARE(Configuration::UserID(), userID);
    QCOMPARE(Configuration::IsNewUserSavedToServer(), newUserSaved);
    QCOMPARE(Configuration::IsAppInstalledSavedToServer(), appInstalledSaved);
    QCOMPARE(Configuration::LastSelectFolder(), lastFile);
}

void tst_SettingsUpgrade::readsStoresOfQt5Build_data()
{
    QTest::addColumn<QString>("fixture");
    QTest::addColumn<QString>("brand");
    QTest::addColumn<QString>("application");
    QTest::addColumn<QString>("userID");
    QTest::addColumn<bool>("confirmed");
    QTest::addColumn<QString>("lastFile");

    // Qt 5 writes each character past ASCII as a \x escape of its UTF-16 code, and escapes a
    // hexadecimal digit that follows one ("Über" has two).
    QTest::newRow("confirmed, plain store names")
            << "plain-store-names" << "Maker" << "Conv" << "20261210132609.5q2wybfvtr" << true
            << QStringLiteral("/home/u/Musik/Über Ärger – 音楽/a.flac");
    // The store names become file and folder names; the path needs quoting in the file and
    // holds a character outside the Basic Multilingual Plane, escaped as two halves.
    QTest::newRow("confirmed, non-ASCII store names")
            << "non-ascii-store-names" << QStringLiteral("Klangmühle 音楽")
            << QStringLiteral("Wandler für Töne") << "20261210132609.fte8xsncc5" << true
            << QStringLiteral("/home/u/Música/a, b; \"c\" = #1 \\ 😀 é.flac");
    // A user whose first start the server never confirmed; the path looks like escapes and
    // ends in a blank.
    QTest::newRow("first run unconfirmed")
            << "first-run-unconfirmed" << "Sound Co" << "Conv" << "20261210132610.6u25w89mw2"
            << false << QStringLiteral("/home/u/Müsic/%41 \\x41 $HOME/Ende /a.flac ");
}

void tst_SettingsUpgrade::readsStoresOfQt5Build()
{
    installQt5Stores();
    if (QTest::currentTestFailed())
        return;
    QFETCH(bool, confirmed);
    verifyStores(m_ConfigHome, confirmed, confirmed);
}

void tst_SettingsUpgrade::laterWriteKeepsTheRest_data()
{
    readsStoresOfQt5Build_data();
}

// The running build rewrites each whole store when it saves a flag; the values it did not
// touch must survive in its own format, and read back in the same build.
void tst_SettingsUpgrade::laterWriteKeepsTheRest()
{
    installQt5Stores();
    if (QTest::currentTestFailed())
        return;
    Configuration::SetAppInstalledSavedToServer();
    Configuration::SetNewUserSavedToServer();
    verifyStores(m_ConfigHome, true, true);
    if (QTest::currentTestFailed())
        return;

    // Qt keeps the settings files it has read and reads one again only once its size or time
    // changes, so a restart in this process would not parse what was written. A copy in
    // another folder is parsed afresh.
    QTemporaryDir restarted;
    QVERIFY(copyStores(m_ConfigHome, restarted.path()));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, restarted.path());
    auto restore = qScopeGuard([this] {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_ConfigHome);
    });
    loadConfiguration(Configuration::BrandName(), Configuration::AppName());
    if (QTest::currentTestFailed())
        return;
    verifyStores(restarted.path(), true, true);
}

KELVANE_TEST_MAIN(tst_SettingsUpgrade)
#include "tst_settingsupgrade.moc"
