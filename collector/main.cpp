#include "CommandLine.h"
#include "Commands.h"

#include <QStringList>

#include <cstdio>

int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const QStringList help = {QStringLiteral("--help"), QStringLiteral("-h")};
    if (arguments.size() == 2 && help.contains(arguments.at(1))) {
        std::fputs(qPrintable(CommandLine::usage()), stdout);
        return 0;
    }

    CommandLine options;
    QString error;
    if (!options.parse(arguments, &error)) {
        std::fprintf(stderr, "kelvane-collector: %s\n%s", qPrintable(error),
                     qPrintable(CommandLine::usage()));
        return 2;
    }
    const QString command = options.command();
    if (command == QLatin1String("serve"))
        return Commands::serve(options);
    if (command == QLatin1String("announce"))
        return Commands::announce(options);
    if (command == QLatin1String("export"))
        return Commands::exportEvents(options);
    if (command == QLatin1String("forget"))
        return Commands::forget(options);
    return Commands::account(options);
}
