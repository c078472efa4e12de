#include "ui/MainWindow.h"

#include "ui/MainWindowForm.h"
#include "ui/conversion/ConverterOutputParser.h"

#include <QDebug>
#include <QLabel>
#include <QProgressBar>

void MainWindow::ReadNextPartOfConverterOutput()
{
    const QByteArray chunk = m_ConverterProcess.readAllStandardError();
    m_ConverterOutput.append(chunk);
    const QString text = ConverterOutputParser::ChunkText(chunk);
    qDebug() << "[ConversionJob::readStandardError()]: printing error output " << text;

    if (m_DurationInSeconds != 0)
        TrackProgress(text);
    else
        LookForDuration();
}

void MainWindow::TrackProgress(const QString &ChunkText)
{
    const int position = ConverterOutputParser::PositionInSeconds(ChunkText);
    if (position < 0)
        return;
    const int percentage = ConverterOutputParser::Percentage(position, m_DurationInSeconds);
    ui->statusLabel->setText(tr("Converting... %1% complete").arg(percentage));
    ui->progressBar->setValue(percentage);
}

void MainWindow::LookForDuration()
{
    // Only this job's bytes count, and a marker counts once its eight characters are there,
    // wherever the chunks split them. A marker whose clock does not parse (N/A) is passed by.
    while (m_DurationInSeconds == 0) {
        const ConverterOutputParser::DurationSearch search =
                ConverterOutputParser::FindDuration(m_ConverterOutput, m_DurationSearchFrom);
        m_DurationSearchFrom = search.end;
        m_DurationMarkerSeen = m_DurationMarkerSeen || search.markerPresent;
        if (!search.complete)
            break;
        m_DurationInSeconds = ConverterOutputParser::DurationInSeconds(search.clock);
        qDebug() << "[readConverterOutput()]: * Found timestamp:" << search.clock
                 << ", converted into seconds:" << m_DurationInSeconds;
    }
    if (m_DurationInSeconds != 0 || m_DurationMarkerSeen)
        return;

    if (m_ThreeSecondsElapsed) {
        StopConverter();
        qDebug() << "Did not find a duration. Converter did not start.";
    } else {
        qDebug() << "Did not find duration but three seconds have not yet elapsed. "
                    "Will try again soon.";
    }
}
