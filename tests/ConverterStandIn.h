#pragma once

#include "config/Configuration.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <csignal>
#include <cerrno>

// Puts a converter where the window looks for it: a small /bin/sh script that behaves as told,
// or the system's FFmpeg. Every script records its arguments, one per line, and its process
// id, so that a test can check what it was given and whether it still runs.
class ConverterStandIn
{
public:
    // The script's behaviour, step by step.
    class Script
    {
    public:
        // Writes text to standard error, byte for byte.
        Script &say(const QByteArray &text)
        {
            m_Body += "printf '%s' " + quoted(text) + " >&2\n";
            return *this;
        }
        Script &pause(double seconds)
        {
            m_Body += "sleep " + QByteArray::number(seconds) + '\n';
            return *this;
        }
        // Writes content to the output file, the last argument, as FFmpeg would begin to.
        Script &writeOutput(const QByteArray &content = "partial")
        {
            m_Body += "printf '%s' " + quoted(content) + " > \"$last\"\n";
            return *this;
        }
        // Writes text to standard error count times, pausing after each; forever when count
        // is 0.
        Script &repeat(const QByteArray &text, double interval, int count = 0)
        {
            const QByteArray condition =
                    count > 0 ? "[ $n -lt " + QByteArray::number(count) + " ]" : ":";
            m_Body += "n=0; while " + condition + "; do printf '%s' " + quoted(text)
                    + " >&2; sleep " + QByteArray::number(interval) + "; n=$((n+1)); done\n";
            return *this;
        }
        // Goes on once a file exists at path: the test decides when.
        Script &waitForFile(const QString &path)
        {
            m_Body += "while [ ! -e " + quoted(encoded(path))
                    + " ]; do sleep 0.02; done\n";
            return *this;
        }
        Script &exitWith(int code)
        {
            m_Body += "exit " + QByteArray::number(code) + '\n';
            return *this;
        }
        Script &crash()
        {
            m_Body += "kill -SEGV $$\n";
            return *this;
        }
        // Keeps running silently, as the same process.
        Script &hang()
        {
            m_Body += "exec sleep 1000\n";
            return *this;
        }
        Script &raw(const QByteArray &line)
        {
            m_Body += line + '\n';
            return *this;
        }
        QByteArray body() const { return m_Body; }

    private:
        QByteArray m_Body;
    };

    static QString path() { return Configuration::PathForFFMPEG(); }
    static QString folder() { return QFileInfo(path()).path(); }
    static QString argumentsFile() { return folder() + QStringLiteral("/arguments"); }
    static QString pidFile() { return folder() + QStringLiteral("/pid"); }
    // Written by the script when a file stood at the output path as it started.
    static QString outputExistedFile() { return folder() + QStringLiteral("/output-existed"); }

    static bool install(const Script &script, bool executable = true)
    {
        remove();
        QDir().mkpath(folder());
        const QByteArray text = "#!/bin/sh\n"
                "printf '%s\\n' \"$@\" > " + quoted(encoded(argumentsFile())) + "\n"
                "echo $$ > " + quoted(encoded(pidFile())) + "\n"
                "for last; do :; done\n"
                "[ -e \"$last\" ] && : > " + quoted(encoded(outputExistedFile())) + "\n"
                + script.body();
        QFile file(path());
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            return false;
        file.close();
        QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner;
        if (executable)
            permissions |= QFile::ExeOwner;
        return QFile::setPermissions(path(), permissions);
    }

    static bool linkSystemFFmpeg()
    {
        remove();
        QDir().mkpath(folder());
        return QFile::link(QStringLiteral("/usr/bin/ffmpeg"), path());
    }

    static void remove()
    {
        for (const QString &file : {path(), argumentsFile(), pidFile(), outputExistedFile()})
            QFile::remove(file);
    }

    static bool wasStarted() { return QFile::exists(argumentsFile()); }

    static QStringList arguments()
    {
        QFile file(argumentsFile());
        if (!file.open(QIODevice::ReadOnly))
            return QStringList();
        QByteArray content = file.readAll();
        content.chop(1);
        QStringList arguments;
        for (const QByteArray &line : content.split('\n'))
            arguments << QFile::decodeName(line);
        return arguments;
    }

    static qint64 pid()
    {
        QFile file(pidFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
    }

    // Whether the recorded process still exists (a zombie counts: nobody has reaped it).
    static bool isRunning()
    {
        const qint64 id = pid();
        return id > 0 && (::kill(pid_t(id), 0) == 0 || errno != ESRCH);
    }

private:
    static QByteArray encoded(const QString &text) { return QFile::encodeName(text); }
    static QByteArray quoted(QByteArray text)
    {
        return '\'' + text.replace('\'', "'\\''") + '\'';
    }
};
