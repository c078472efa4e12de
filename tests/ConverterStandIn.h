#pragma once

#include "config/Configuration.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaType>
#include <QStringList>

#ifdef Q_OS_WIN
#    ifndef WIN32_LEAN_AND_MEAN
#        define WIN32_LEAN_AND_MEAN
#    endif
#    ifndef NOMINMAX
#        define NOMINMAX
#    endif
#    include <windows.h>
#else
#    include <cerrno>
#    include <csignal>
#endif

// Puts a converter where the window looks for it: the stand-in program built with the tests
// (converter_standin.cpp), which follows the steps written beside it, or a real FFmpeg. The
// stand-in records its arguments, one per line, and its process id, so that a test can check
// what it was given and whether it still runs.
class ConverterStandIn
{
public:
    // The stand-in's behaviour, step by step.
    class Script
    {
    public:
        // Writes text to standard error, byte for byte.
        Script &say(const QByteArray &text) { return step("say " + hex(text)); }
        Script &pause(double seconds) { return step("pause " + milliseconds(seconds)); }
        // Writes content to the output file, the last argument, as FFmpeg would begin to.
        Script &writeOutput(const QByteArray &content = "partial")
        {
            return step("write " + hex(content));
        }
        // Writes text to standard error count times, pausing after each; forever when count
        // is 0, and as fast as the reader takes it when the interval is 0.
        Script &repeat(const QByteArray &text, double interval, int count = 0)
        {
            return step("repeat " + hex(text) + ' ' + milliseconds(interval) + ' '
                        + QByteArray::number(qMax(count, 0)));
        }
        // Writes text to standard error, pausing after each time, until a file exists at path.
        Script &repeatUntilFile(const QByteArray &text, double interval, const QString &path)
        {
            return step("repeat-until " + hex(text) + ' ' + milliseconds(interval) + ' '
                        + hex(encodedPath(path)));
        }
        // Goes on once a file exists at path: the test decides when.
        Script &waitForFile(const QString &path) { return step("wait " + hex(encodedPath(path))); }
        Script &exitWith(int code) { return step("exit " + QByteArray::number(code)); }
        // Ends as a crash: SIGSEGV, or an access violation on Windows.
        Script &crash() { return step("crash"); }
        // Keeps running silently, as the same process.
        Script &hang() { return step("hang"); }
        QByteArray steps() const { return m_Steps; }

    private:
        Script &step(const QByteArray &line)
        {
            m_Steps += line + '\n';
            return *this;
        }
        static QByteArray milliseconds(double seconds)
        {
            return QByteArray::number(qRound64(qMax(seconds, 0.0) * 1000));
        }

        QByteArray m_Steps;
    };

    static QString path() { return Configuration::PathForFFMPEG(); }
    static QString folder() { return QFileInfo(path()).path(); }
    static QString stepsFile() { return path() + QStringLiteral(".steps"); }
    static QString argumentsFile() { return folder() + QStringLiteral("/arguments"); }
    static QString pidFile() { return folder() + QStringLiteral("/pid"); }
    // Written by the stand-in when a file stood at the output path as it started.
    static QString outputExistedFile() { return folder() + QStringLiteral("/output-existed"); }

    // Copies the stand-in program to the converter's path with the script's steps beside it.
    // A stand-in that is not executable lacks the permission on Linux; Windows has no such
    // permission, so there it is a file that is no program, which fails to start alike.
    static bool install(const Script &script, bool executable = true)
    {
        remove();
        QDir().mkpath(folder());
        const QByteArray steps = "pid " + hex(encodedPath(pidFile())) + "\noutput-existed "
                + hex(encodedPath(outputExistedFile())) + "\narguments "
                + hex(encodedPath(argumentsFile())) + '\n' + script.steps();
        QFile file(stepsFile());
        if (!file.open(QIODevice::WriteOnly) || file.write(steps) != steps.size())
            return false;
        file.close();
#ifdef Q_OS_WIN
        if (!executable) {
            QFile notAProgram(path());
            return notAProgram.open(QIODevice::WriteOnly)
                    && notAProgram.write("not a program\n") > 0;
        }
#endif
        if (!QFile::copy(QStringLiteral(KELVANE_CONVERTER_STANDIN), path()))
            return false;
        QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner;
        if (executable)
            permissions |= QFile::ExeOwner;
        return QFile::setPermissions(path(), permissions);
    }

    // A real FFmpeg for the tests that convert: $KELVANE_TEST_FFMPEG, else the one named when
    // the tests were configured, else on Linux the system's. Empty when there is none.
    static QString realFFmpeg()
    {
        const QString given = qEnvironmentVariable("KELVANE_TEST_FFMPEG");
        if (!given.isEmpty())
            return given;
#ifdef KELVANE_TEST_FFMPEG
        if (!QStringLiteral(KELVANE_TEST_FFMPEG).isEmpty())
            return QStringLiteral(KELVANE_TEST_FFMPEG);
#endif
#ifdef Q_OS_WIN
        return QString();
#else
        return QStringLiteral("/usr/bin/ffmpeg");
#endif
    }

    // Puts the real FFmpeg at the converter's path: a link on Linux, a copy on Windows, where
    // the program's folder is where it finds the libraries it needs.
    static bool linkSystemFFmpeg()
    {
        remove();
        QDir().mkpath(folder());
        const QString ffmpeg = realFFmpeg();
        if (ffmpeg.isEmpty())
            return false;
#ifdef Q_OS_WIN
        return QFile::copy(ffmpeg, path());
#else
        return QFile::link(ffmpeg, path());
#endif
    }

    static void remove()
    {
        for (const QString &file :
             {path(), stepsFile(), argumentsFile(), pidFile(), outputExistedFile()})
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
        for (const QByteArray &line : content.split('\n')) {
#ifdef Q_OS_WIN
            arguments << QString::fromUtf8(line);
#else
            arguments << QFile::decodeName(line);
#endif
        }
        return arguments;
    }

    static qint64 pid()
    {
        QFile file(pidFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
    }

    // Whether the recorded process is still there: on Linux a zombie counts (nobody has reaped
    // it); on Windows, a process that has not ended.
    static bool isRunning()
    {
        const qint64 id = pid();
        if (id <= 0)
            return false;
#ifdef Q_OS_WIN
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(id));
        if (!process)
            return false;
        DWORD code = 0;
        const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
        CloseHandle(process);
        return running;
#else
        return ::kill(pid_t(id), 0) == 0 || errno != ESRCH;
#endif
    }

private:
    // A path as the stand-in opens it: UTF-8 on Windows, the file system's bytes elsewhere.
    static QByteArray encodedPath(const QString &path)
    {
#ifdef Q_OS_WIN
        return QDir::toNativeSeparators(path).toUtf8();
#else
        return QFile::encodeName(path);
#endif
    }
    static QByteArray hex(const QByteArray &bytes)
    {
        return bytes.isEmpty() ? QByteArray("-") : bytes.toHex();
    }
};

Q_DECLARE_METATYPE(ConverterStandIn::Script)
