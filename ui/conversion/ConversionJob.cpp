#include "ui/MainWindow.h"

void MainWindow::StartConversion()
{
}

void MainWindow::CancelConversion()
{
}

void MainWindow::CompleteConversion(int)
{
}

void MainWindow::ThreeSecondsElapsedNow()
{
}

