#pragma once

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

// The command and its options: "--name value", "--name=value" or a bare "--flag", and the same
// names in a --config file of "name = value" lines. The command line wins over the file.
class CommandLine
{
public:
    // False with *error set when the arguments cannot be used (the caller exits with 2).
    bool parse(const QStringList &arguments, QString *error);

    QString command() const { return m_command; }
    bool has(const QString &name) const { return m_values.contains(name); }
    QString value(const QString &name, const QString &fallback = QString()) const
    {
        return m_values.value(name, fallback);
    }
    // A flag given bare, or as true/yes/on/1 in the file.
    bool flag(const QString &name) const;
    // The option as a whole number in the range; false with *error set otherwise. Absent
    // options give the fallback.
    bool integer(const QString &name, qint64 minimum, qint64 maximum, qint64 fallback,
                 qint64 *value, QString *error) const;

    static QString usage();

private:
    bool readConfig(const QString &path, const QSet<QString> &allowed, QString *error);

    QString m_command;
    QMap<QString, QString> m_values;
};
