#include "ui/MainWindow.h"

#include "config/Configuration.h"
#include "ui/MainWindowForm.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QLineEdit>
#include <QUrl>

QString MainWindow::SourceFileFilter(const QString &Extensions)
{
    if (!Extensions.contains(QLatin1Char(',')))
        return Extensions + QStringLiteral(" file (*.") + Extensions.toLower() + QLatin1Char(')');

    const QStringList items = Extensions.split(QLatin1Char(','));
    QString filter = items.first().toUpper() + QStringLiteral(" file (");
    for (const QString &item : items)
        filter += QStringLiteral("*.") + item.toLower() + QLatin1Char(' ');
    filter += QLatin1Char(')');
    return filter.replace(QStringLiteral(" )"), QStringLiteral(")"));
}

void MainWindow::SelectFile()
{
    const QString filter =
            SourceFileFilter(Configuration::ConfigurationText(QStringLiteral("SourceFormatExtension")));
    const QString path = QFileDialog::getOpenFileName(
            this, tr("Select a %1 file to convert").arg(Configuration::SourceFormatExtension()),
            Configuration::LastSelectFolder(), filter);
    if (path.isEmpty())
        return;

    Configuration::SetLastSelectFolder(path);
    m_InputFilePath = path;
    ui->selectedFileLineEdit->setText(m_InputFilePath);
}

void MainWindow::OpenOutputFolder(QString)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(Configuration::PathForDesktopFolder()));
}
