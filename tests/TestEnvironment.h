#pragma once

#include <QApplication>
#include <QTemporaryDir>
#include <QtTest>

// Runs a test class with HOME, XDG_CONFIG_HOME and the runtime folder pointed at a fresh
// temporary folder, so that no test reads or writes the real user's settings or desktop.
// Set before QApplication exists, because Qt reads them once.
class TestEnvironment
{
public:
    TestEnvironment()
    {
        m_Home.setAutoRemove(true);
        const QByteArray home = m_Home.path().toLocal8Bit();
        qputenv("HOME", home);
        qputenv("XDG_CONFIG_HOME", home + "/.config");
        qputenv("XDG_DATA_HOME", home + "/.local/share");
        qputenv("XDG_CACHE_HOME", home + "/.cache");
        qunsetenv("XDG_DESKTOP_DIR");
        QDir(m_Home.path()).mkpath(QStringLiteral(".runtime"));
        QFile::setPermissions(m_Home.path() + QStringLiteral("/.runtime"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", home + "/.runtime");
#ifndef Q_OS_WIN
        // The Windows build runs on its own platform plugin (Wine does not pass QT_*
        // variables on to Windows programs anyway).
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    }

    QString home() const { return m_Home.path(); }

private:
    QTemporaryDir m_Home;
};

#define KELVANE_TEST_MAIN(TestClass)                                   \
    int main(int argc, char *argv[])                                   \
    {                                                                  \
        TestEnvironment environment;                                   \
        QApplication app(argc, argv);                                  \
        app.setAttribute(Qt::AA_DontUseNativeDialogs);                 \
        TestClass test;                                                \
        QTEST_SET_MAIN_SOURCE_PATH                                     \
        return QTest::qExec(&test, argc, argv);                        \
    }
