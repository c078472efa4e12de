#include "ui/conversion/FFmpegConverter.h"

#include "config/Configuration.h"

#include <QFile>
#include <QProcess>

QString FFmpegConverter::Path()
{
    return Configuration::PathForFFMPEG();
}

bool FFmpegConverter::IsPresent()
{
    return QFile::exists(Path());
}

QStringList FFmpegConverter::Arguments(const QString &InputFilePath,
                                       const QString &ExtraArguments,
                                       const QString &OutputFilePath)
{
    QStringList arguments{QStringLiteral("-i"), InputFilePath};
    if (!ExtraArguments.isEmpty())
        arguments << ExtraArguments.split(QLatin1Char(' '));
    arguments << OutputFilePath;
    return arguments;
}

void FFmpegConverter::Start(QProcess &Process, const QStringList &Arguments)
{
    Process.start(Path(), Arguments, QIODevice::ReadWrite);
}
