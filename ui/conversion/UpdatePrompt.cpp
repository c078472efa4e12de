#include "ui/MainWindow.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QMessageBox>

namespace {

// The server's own words: neither the title nor the message is translated.
const QString UpdateTitle = QStringLiteral("Update Available");

} // namespace

void MainWindow::StartUpdate()
{
}

void MainWindow::AppInitialization(QVariantMap Contents)
{
    qDebug() << "AppInitialization:";
    if (!Contents.contains(QStringLiteral("Update")))
        return;

    const QVariantMap update = Contents.value(QStringLiteral("Update")).toMap();
    const QString message = update.value(QStringLiteral("Message")).toString();
    const QUrl page(update.value(QStringLiteral("BrowsableURL")).toString());

    if (update.value(QStringLiteral("Required")).toInt() == 1) {
        QMessageBox::warning(this, UpdateTitle, message, QMessageBox::Ok, QMessageBox::Ok);
        QDesktopServices::openUrl(page);
        QCoreApplication::exit(0);
        return;
    }
    const auto answer = QMessageBox::warning(this, UpdateTitle, message,
                                             QMessageBox::Yes | QMessageBox::No,
                                             QMessageBox::Yes);
    if (answer == QMessageBox::Yes)
        QDesktopServices::openUrl(page);
}

void MainWindow::AdLinkClicked(QUrl link)
{
    qDebug() << "Link clicked:" << link;
    QDesktopServices::openUrl(link);
}
