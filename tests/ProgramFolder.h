#pragma once

#include "ConfigurationFile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

// A temporary application folder holding a copy of the built program (the program finds its
// Configuration and converter beside its own executable, so a link would not do), plus a
// temporary home for its settings and desktop.
class ProgramFolder
{
public:
    ProgramFolder()
    {
        const QString program = path() + QStringLiteral("/kelvane");
        m_Ready = QFile::copy(QStringLiteral(KELVANE_PROGRAM), program);
        QDir(m_Home.path()).mkpath(QStringLiteral(".runtime"));
        QFile::setPermissions(runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    bool isReady() const { return m_Ready && m_Folder.isValid() && m_Home.isValid(); }
    QString path() const { return m_Folder.path(); }
    QString home() const { return m_Home.path(); }
    QString program() const { return path() + QStringLiteral("/kelvane"); }
    QString configHome() const { return home() + QStringLiteral("/.config"); }
    QString runtimeDir() const { return home() + QStringLiteral("/.runtime"); }

    bool writeConfiguration(const QByteArray &content) const
    {
        return ConfigurationFile(path()).write(content);
    }

    QProcessEnvironment environment(const QString &platform = QStringLiteral("offscreen")) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome());
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir());
        environment.remove(QStringLiteral("XDG_DESKTOP_DIR"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
        return environment;
    }

    // environment() as on a machine where no locale is configured (no LANG, LANGUAGE or LC_*
    // variable), such as a minimal install or a container: the C locale, whose encoding is
    // ASCII.
    QProcessEnvironment bareLocaleEnvironment() const
    {
        QProcessEnvironment bare = environment();
        const QStringList names = bare.keys();
        for (const QString &name : names) {
            if (name == QLatin1String("LANG") || name == QLatin1String("LANGUAGE")
                || name.startsWith(QLatin1String("LC_")))
                bare.remove(name);
        }
        return bare;
    }

    // Starts the program, in environment() unless the process has been given one, and
    // collects its standard error until it holds `count` lines that start with `prefix`, or the
    // timeout passes.
    QStringList startAndReadLines(QProcess &process, const QString &prefix, int count,
                                  int timeoutMs = 30000) const
    {
        if (process.processEnvironment().isEmpty())
            process.setProcessEnvironment(environment());
        process.setProgram(program());
        process.start();
        QStringList lines;
        QByteArray pending;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs
               && lines.filter(QRegularExpression(QLatin1Char('^') + prefix)).size() < count) {
            if (!process.waitForReadyRead(100) && process.state() == QProcess::NotRunning)
                break;
            pending += process.readAllStandardError();
            int end;
            while ((end = pending.indexOf('\n')) >= 0) {
                lines << QString::fromLocal8Bit(pending.left(end));
                pending.remove(0, end + 1);
            }
        }
        return lines;
    }

private:
    QTemporaryDir m_Folder;
    QTemporaryDir m_Home;
    bool m_Ready = false;
};
