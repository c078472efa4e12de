#include "ui/MainWindow.h"

void MainWindow::StartUpdate()
{
}

void MainWindow::AppInitialization(QVariantMap)
{
}

void MainWindow::AdLinkClicked(QUrl)
{
}

