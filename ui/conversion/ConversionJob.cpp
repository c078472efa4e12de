#include "ui/MainWindow.h"

#include "config/Configuration.h"
#include "telemetry/Pulse.h"
#include "ui/MainWindowForm.h"
#include "ui/conversion/FFmpegConverter.h"

#include <QDebug>
#include <QFile>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

void MainWindow::StartConversion()
{
    if (ui->convertButton->text() == QLatin1String("Cancel")) {
        (new Pulse(this))->ConversionCancelled(
                m_ConversionID, QFileInfo(m_OutputFilePath).size(), ui->progressBar->value(),
                int(m_ConversionTime.elapsed() / 1000));
        m_ConversionCancelledByUser = true;
        CancelConversion();
        return;
    }

    if (ui->selectedFileLineEdit->text().isEmpty()) {
        ui->statusLabel->setText(QString());
        QMessageBox::critical(
                this, tr("Select a file"),
                tr("Select an %1 file from your computer first.")
                        .arg(Configuration::ConfigurationText(
                                QStringLiteral("SourceFormatExtension"))),
                QMessageBox::Ok, QMessageBox::Ok);
        return;
    }

    ui->statusLabel->setText(tr("Converting..."));
    m_ThreeSecondsElapsed = false;

    const QFileInfo input(m_InputFilePath);
    const QString baseName = input.fileName().section(QLatin1Char('.'), 0, 0);
    const QString outputExtension =
            Configuration::ConfigurationText(QStringLiteral("OutputFormatExtension")).toLower();
    const QString outputFilePath =
            Configuration::PathForDesktopFolder() + baseName + QLatin1Char('.') + outputExtension;
    qDebug() << "Converting file:" << m_InputFilePath;
    qDebug() << "Output file:" << outputFilePath;

    // The output would replace the source itself: deleting it first would destroy the file the
    // user asked to convert.
    const QFileInfo output(outputFilePath);
    if (output.exists() && output.canonicalFilePath() == input.canonicalFilePath()) {
        RefuseToOverwriteSource();
        return;
    }
    m_OutputFilePath = outputFilePath;

    // Nothing is deleted unless a job can start.
    qDebug() << FFmpegConverter::Path();
    if (!FFmpegConverter::IsPresent()) {
        ui->statusLabel->setText(QString());
        (new Pulse(this))->AppFailure(
                QStringLiteral("EC2"),
                QStringLiteral("Failed to start FFMPEG. Looked for FFMPEG at this path: ")
                        + FFmpegConverter::Path()
                        + QStringLiteral("\nConfiguration::PathForApplicationFolder() = ")
                        + Configuration::PathForApplicationFolder() + QLatin1Char('\n'));
        ShowErrorMessageForFFMPEGMissing();
        return;
    }
    if (QFile::exists(m_OutputFilePath))
        QFile::remove(m_OutputFilePath);
    // A desktop folder that does not exist yet would make every conversion fail.
    QDir().mkpath(Configuration::PathForDesktopFolder());

    m_ConversionID = Configuration::GenerateConversionID();
    m_CurrentFFMPEGArguments = FFmpegConverter::Arguments(
            m_InputFilePath, Configuration::ConfigurationText(QStringLiteral("FFMPEGArguments")),
            m_OutputFilePath);
    qDebug() << "m_CurrentFFMPEGArguments:" << m_CurrentFFMPEGArguments;

    ui->convertButton->setText(tr("Cancel"));
    ui->progressBar->show();
    ui->progressBar->setValue(0);
    m_OutputReader.BeginJob();

    FFmpegConverter::Start(m_ConverterProcess, m_CurrentFFMPEGArguments);
    // The three seconds belong to this job: those of a job that ended sooner must not run out
    // during this one and stop a converter that is still starting.
    QTimer::singleShot(3000, this, [this, job = m_ConversionID] {
        if (job == m_ConversionID)
            ThreeSecondsElapsedNow();
    });
    m_ConversionTime.restart();
    (new Pulse(this))->ConversionStarted(
            m_ConversionID, input.absolutePath(), input.fileName(), input.completeSuffix(),
            input.size(), outputExtension, m_CurrentFFMPEGArguments.join(QLatin1Char(' ')));
}

void MainWindow::RefuseToOverwriteSource()
{
    ui->statusLabel->setText(QString());
    QMessageBox::critical(
            this, tr("Cannot convert this file"),
            tr("The converted file would replace the file you chose:\n%1\n\n"
               "Move the file out of your desktop folder, or choose another file.")
                    .arg(QDir::toNativeSeparators(m_InputFilePath)),
            QMessageBox::Ok, QMessageBox::Ok);
}

void MainWindow::CancelConversion()
{
    StopConverter();
    m_OutputReader.Clear();
    QFile::remove(m_OutputFilePath);
    ui->statusLabel->setText(QString());
    ui->convertButton->setText(tr("Convert"));
    ui->progressBar->hide();
    ui->progressBar->setValue(0);
}

void MainWindow::StopConverter()
{
    // While QProcess reports the converter's death the child is already gone.
    if (!m_ReportingConverterCrash)
        m_ConverterProcess.close();
}

void MainWindow::CompleteConversion(int)
{
    ui->statusLabel->setText(tr("Conversion completed"));
    ui->convertButton->setText(tr("Convert"));
    ui->statusLabel->setText(QString());
    ui->progressBar->hide();
    OpenOutputFolder(m_OutputFilePath);
    (new Pulse(this))->ConversionCompleted(m_ConversionID, QFileInfo(m_OutputFilePath).size(),
                                           int(m_ConversionTime.elapsed() / 1000));
}

void MainWindow::ThreeSecondsElapsedNow()
{
    m_ThreeSecondsElapsed = true;
}
