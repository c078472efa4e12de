#pragma once

#include "config/Configuration.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QString>

// The deployment's Configuration file in an application folder: by default the test binary's
// own folder, which is where Configuration::Initialize() looks. The path is built here rather
// than taken from Configuration, so that tests of Configuration's paths check something.
class ConfigurationFile
{
public:
    explicit ConfigurationFile(const QString &folder = QCoreApplication::applicationDirPath())
        : m_Path(folder + QStringLiteral("/Configuration"))
    {
    }

    QString path() const { return m_Path; }

    // Truncates: the tail of a longer earlier file must not become part of the new one.
    bool write(const QByteArray &content) const
    {
        QFile file(m_Path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
                && file.write(content) == content.size();
    }

    bool remove() const { return !QFile::exists(m_Path) || QFile::remove(m_Path); }

    // Writes the file and loads it as start-up does. Closed before loading, so that every
    // byte is on disk when Initialize() reads.
    bool load(const QByteArray &content) const
    {
        if (!write(content))
            return false;
        Configuration::Initialize();
        return true;
    }

    // Start-up in a folder without the file.
    bool loadWithout() const
    {
        if (!remove())
            return false;
        Configuration::Initialize();
        return true;
    }

private:
    QString m_Path;
};
