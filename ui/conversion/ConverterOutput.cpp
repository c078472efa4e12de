#include "ui/MainWindow.h"

void MainWindow::ReadNextPartOfConverterOutput()
{
}

