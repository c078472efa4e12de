#include "CommandLine.h"

#include <QFile>

namespace {

struct CommandOptions
{
    const char *command;
    QStringList values;   // options that take a value
    QStringList flags;    // options that take none
};

const QList<CommandOptions> &commands()
{
    static const QList<CommandOptions> list = {
        {"serve",
         {"listen", "database", "base-path", "retention-days", "max-connections",
          "connection-timeout", "threads", "config"},
         {"keep-file-names"}},
        {"announce",
         {"database", "app-id", "brand-id", "version", "message", "url", "config"},
         {"required", "withdraw"}},
        {"export", {"database", "config"}, {}},
        {"forget", {"database", "user-id", "config"}, {}},
        {"account", {"database", "name", "config"}, {}},
    };
    return list;
}

// Every name the configuration file may hold, whichever command reads it.
QSet<QString> allNames()
{
    QSet<QString> names;
    for (const CommandOptions &command : commands()) {
        for (const QString &name : command.values + command.flags)
            names.insert(name);
    }
    names.remove(QStringLiteral("config"));
    return names;
}

QSet<QString> flagNames()
{
    QSet<QString> names;
    for (const CommandOptions &command : commands()) {
        for (const QString &name : command.flags)
            names.insert(name);
    }
    return names;
}

} // namespace

QString CommandLine::usage()
{
    return QStringLiteral(
        "usage:\n"
        "  kelvane-collector serve --database DB [--listen HOST:PORT] [--base-path /API/]\n"
        "      [--keep-file-names] [--retention-days N] [--max-connections N]\n"
        "      [--connection-timeout SECONDS] [--threads N] [--config FILE]\n"
        "  kelvane-collector announce --database DB --app-id N [--brand-id N] --version V\n"
        "      --message M --url U [--required]\n"
        "  kelvane-collector announce --database DB --app-id N [--brand-id N] --withdraw\n"
        "  kelvane-collector export --database DB\n"
        "  kelvane-collector forget --database DB --user-id ID\n"
        "  kelvane-collector account --database DB --name NAME   (password on stdin)\n"
        "DB is sqlite:PATH or postgresql://... Every command also takes --config FILE,\n"
        "a file of \"name = value\" lines with the same names.\n");
}

bool CommandLine::parse(const QStringList &arguments, QString *error)
{
    if (arguments.size() < 2) {
        *error = QStringLiteral("no command given");
        return false;
    }
    m_command = arguments.at(1);
    const CommandOptions *known = nullptr;
    for (const CommandOptions &command : commands()) {
        if (m_command == QLatin1String(command.command))
            known = &command;
    }
    if (!known) {
        *error = QStringLiteral("unknown command \"%1\"").arg(m_command);
        return false;
    }

    for (int i = 2; i < arguments.size(); ++i) {
        QString name = arguments.at(i);
        if (!name.startsWith(QLatin1String("--")) || name.size() == 2) {
            *error = QStringLiteral("unexpected argument \"%1\"").arg(name);
            return false;
        }
        name = name.mid(2);
        QString value;
        bool inlineValue = false;
        const int equals = name.indexOf(QLatin1Char('='));
        if (equals >= 0) {
            value = name.mid(equals + 1);
            name = name.left(equals);
            inlineValue = true;
        }
        if (known->flags.contains(name)) {
            if (inlineValue) {
                *error = QStringLiteral("--%1 takes no value").arg(name);
                return false;
            }
            value = QStringLiteral("true");
        } else if (known->values.contains(name)) {
            if (!inlineValue) {
                if (i + 1 >= arguments.size()) {
                    *error = QStringLiteral("--%1 needs a value").arg(name);
                    return false;
                }
                value = arguments.at(++i);
            }
        } else {
            *error = QStringLiteral("%1 takes no option --%2").arg(m_command, name);
            return false;
        }
        if (m_values.contains(name)) {
            *error = QStringLiteral("--%1 given twice").arg(name);
            return false;
        }
        m_values.insert(name, value);
    }

    if (has(QStringLiteral("config"))) {
        QSet<QString> allowed;
        for (const QString &name : known->values + known->flags)
            allowed.insert(name);
        if (!readConfig(value(QStringLiteral("config")), allowed, error))
            return false;
    }
    return true;
}

bool CommandLine::readConfig(const QString &path, const QSet<QString> &allowed, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    const QSet<QString> names = allNames();
    int lineNumber = 0;
    while (!file.atEnd()) {
        ++lineNumber;
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const int equals = line.indexOf(QLatin1Char('='));
        QString name = (equals < 0 ? line : line.left(equals)).trimmed();
        if (name.startsWith(QLatin1String("--")))
            name = name.mid(2);
        const QString value = equals < 0 ? QString() : line.mid(equals + 1).trimmed();
        if (equals < 0 || !names.contains(name)) {
            *error = QStringLiteral("%1:%2: expected \"name = value\" with one of the option "
                                    "names, not \"%3\"").arg(path).arg(lineNumber).arg(line);
            return false;
        }
        static const QStringList booleans = {"true", "false", "yes", "no", "on", "off", "1", "0"};
        if (flagNames().contains(name) && !booleans.contains(value.toLower())) {
            *error = QStringLiteral("%1:%2: %3 is yes or no, not \"%4\"")
                         .arg(path).arg(lineNumber).arg(name, value);
            return false;
        }
        // The file is shared by every command; each takes what it knows.
        if (allowed.contains(name) && !m_values.contains(name))
            m_values.insert(name, value);
    }
    return true;
}

bool CommandLine::flag(const QString &name) const
{
    const QString text = value(name).toLower();
    return text == QLatin1String("true") || text == QLatin1String("yes")
        || text == QLatin1String("on") || text == QLatin1String("1");
}

bool CommandLine::integer(const QString &name, qint64 minimum, qint64 maximum, qint64 fallback,
                          qint64 *value, QString *error) const
{
    if (!has(name)) {
        *value = fallback;
        return true;
    }
    bool ok = false;
    *value = this->value(name).toLongLong(&ok);
    if (!ok || *value < minimum || *value > maximum) {
        *error = QStringLiteral("--%1 must be a whole number from %2 to %3, not \"%4\"")
                     .arg(name).arg(minimum).arg(maximum).arg(this->value(name));
        return false;
    }
    return true;
}
