#pragma once

#include <QStringList>

class QProcess;

// How the bundled FFmpeg is run: where it lies, the argument list of a job, and the start.
class FFmpegConverter
{
public:
    static QString Path();
    static bool IsPresent();

    // "-i", the source, the deployment's extra arguments split at every single space (empty
    // pieces kept), the output. No shell is involved: every path reaches FFmpeg unchanged.
    static QStringList Arguments(const QString &InputFilePath, const QString &ExtraArguments,
                                 const QString &OutputFilePath);

    // Starts without waiting; a failure to start arrives later through errorOccurred().
    static void Start(QProcess &Process, const QStringList &Arguments);

private:
    FFmpegConverter() = delete;
};
