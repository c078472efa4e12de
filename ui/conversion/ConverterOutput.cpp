#include "ui/MainWindow.h"

#include "ui/MainWindowForm.h"

#include <QDebug>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

void MainWindow::ReadNextPartOfConverterOutput()
{
    const bool trackingProgress = m_DurationInSeconds != 0;
    const ConverterOutputReader::Result read =
            m_OutputReader.Read(m_ConverterProcess.readAllStandardError());
    qDebug() << "[ConversionJob::readStandardError()]: printing error output " << read.text;

    if (trackingProgress) {
        if (read.percentage >= 0) {
            ui->statusLabel->setText(tr("Converting... %1% complete").arg(read.percentage));
            ui->progressBar->setValue(read.percentage);
        }
        return;
    }
    for (const auto &clock : read.clocks) {
        qDebug() << "[readConverterOutput()]: * Found timestamp:" << clock.first
                 << ", converted into seconds:" << clock.second;
    }
    if (!read.durationMissing)
        return;

    if (m_ThreeSecondsElapsed) {
        // This read may come from inside QProcess reporting the converter's end, after the
        // child has been reaped: a close there would wait for it forever. Stop it from the
        // event loop instead, unless it has ended by then.
        QTimer::singleShot(0, this, [this, job = m_ConversionID] {
            if (job == m_ConversionID && m_ConverterProcess.state() != QProcess::NotRunning)
                StopConverter();
        });
        qDebug() << "Did not find a duration. Converter did not start.";
    } else {
        qDebug() << "Did not find duration but three seconds have not yet elapsed. "
                    "Will try again soon.";
    }
}
