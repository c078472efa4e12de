#include "ui/MainWindow.h"

#include "config/Configuration.h"
#include "telemetry/Pulse.h"
#include "ui/conversion/FFmpegConverter.h"

#include <QDebug>
#include <QMessageBox>
#include <QScopedValueRollback>

namespace {

// How each failure of a running converter is reported. ReadError takes EC7 and WriteError EC6:
// the server knows the codes in this order.
struct CallFailure
{
    QProcess::ProcessError error;
    const char *code;
    const char *kind;
};

const CallFailure CallFailures[] = {
    {QProcess::Crashed, "EC4", "QProcess::Crashed"},
    {QProcess::Timedout, "EC5", "QProcess::Timedout"},
    {QProcess::ReadError, "EC7", "QProcess::ReadError"},
    {QProcess::WriteError, "EC6", "QProcess::WriteError"},
    {QProcess::UnknownError, "EC8", "QProcess::UnknownError"},
};

QString CallFailureText(const char *Kind, const QStringList &Arguments)
{
    return QLatin1String(Kind) + QStringLiteral(" when calling FFMPEG at this path: ")
            + FFmpegConverter::Path() + QStringLiteral("\nWith these parameters: ")
            + Arguments.join(QLatin1Char(' ')) + QLatin1Char('\n');
}

} // namespace

void MainWindow::ConversionProcessError(QProcess::ProcessError ProcessError)
{
    if (m_ConversionCancelledByUser) {
        m_ConversionCancelledByUser = false;
        return;
    }

    // A crash is reported from inside QProcess, after the child has been reaped.
    const QScopedValueRollback<bool> reporting(m_ReportingConverterCrash,
                                               ProcessError == QProcess::Crashed);
    auto *pulse = new Pulse(this);
    if (ProcessError == QProcess::FailedToStart) {
        qDebug() << "1";
        if (FFmpegConverter::IsPresent()) {
            pulse->AppFailure(QStringLiteral("EC3"),
                              QStringLiteral("QProcess::FailedToStart. Insufficient permissions "
                                             "for FFMPEG at this path: ")
                                      + FFmpegConverter::Path() + QLatin1Char('\n'));
        }
    }
    for (const CallFailure &failure : CallFailures) {
        if (failure.error == ProcessError) {
            pulse->AppFailure(QLatin1String(failure.code),
                              CallFailureText(failure.kind, m_CurrentFFMPEGArguments));
        }
    }
    ShowErrorMessageForFFMPEGMissing();
    CancelConversion();
    qDebug() << "[ConversionProcessError] ProcessError value:" << int(ProcessError);
}

void MainWindow::ShowErrorMessageForFFMPEGMissing()
{
    QMessageBox::critical(
            this, tr("Converter error"),
            tr("The built-in converter is missing. This app may not have been installed "
               "correctly.\n\nPlease reinstall the app from the official website: http://%1")
                    .arg(Configuration::AppHomepage()),
            QMessageBox::Ok, QMessageBox::Ok);
    OpenHomepage();
}
