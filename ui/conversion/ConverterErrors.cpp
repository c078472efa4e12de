#include "ui/MainWindow.h"

void MainWindow::ShowErrorMessageForFFMPEGMissing()
{
}

void MainWindow::ConversionProcessError(QProcess::ProcessError)
{
}

