#include "ui/MainWindow.h"

#include "config/Configuration.h"
#include "telemetry/Pulse.h"
#include "ui/conversion/FFmpegConverter.h"

#include <QDebug>
#include <QMessageBox>
#include <QScopedValueRollback>

namespace {

QString CallFailure(const char *Kind, const QStringList &Arguments)
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
    switch (ProcessError) {
    case QProcess::FailedToStart:
        qDebug() << "1";
        if (FFmpegConverter::IsPresent()) {
            pulse->AppFailure(QStringLiteral("EC3"),
                              QStringLiteral("QProcess::FailedToStart. Insufficient permissions "
                                             "for FFMPEG at this path: ")
                                      + FFmpegConverter::Path() + QLatin1Char('\n'));
        }
        break;
    case QProcess::Crashed:
        pulse->AppFailure(QStringLiteral("EC4"),
                          CallFailure("QProcess::Crashed", m_CurrentFFMPEGArguments));
        break;
    case QProcess::Timedout:
        pulse->AppFailure(QStringLiteral("EC5"),
                          CallFailure("QProcess::Timedout", m_CurrentFFMPEGArguments));
        break;
    case QProcess::ReadError:
        pulse->AppFailure(QStringLiteral("EC7"),
                          CallFailure("QProcess::ReadError", m_CurrentFFMPEGArguments));
        break;
    case QProcess::WriteError:
        pulse->AppFailure(QStringLiteral("EC6"),
                          CallFailure("QProcess::WriteError", m_CurrentFFMPEGArguments));
        break;
    case QProcess::UnknownError:
        pulse->AppFailure(QStringLiteral("EC8"),
                          CallFailure("QProcess::UnknownError", m_CurrentFFMPEGArguments));
        break;
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
