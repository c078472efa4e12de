#include "ui/MainWindow.h"

void MainWindow::SelectFile()
{
}

void MainWindow::OpenOutputFolder(QString)
{
}

