#include "ui/MainWindow.h"

#include "config/Configuration.h"
#include "ui/MainWindowForm.h"

#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
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
    UseSourceFile(path);
}

// A file chosen in the dialog or dropped on the window.
void MainWindow::UseSourceFile(const QString &Path)
{
    Configuration::SetLastSelectFolder(Path);
    m_InputFilePath = Path;
    ui->selectedFileLineEdit->setText(m_InputFilePath);
}

QString MainWindow::DraggedSourceFile(const QMimeData *Data, const QString &Extensions)
{
    if (!Data || !Data->hasUrls() || Data->urls().size() != 1)
        return QString();
    const QUrl url = Data->urls().constFirst();
    if (!url.isLocalFile())
        return QString();
    const QFileInfo file(url.toLocalFile());
    if (!file.isFile())
        return QString();
    for (const QString &extension : Extensions.split(QLatin1Char(','))) {
        if (!extension.isEmpty() && file.suffix().compare(extension, Qt::CaseInsensitive) == 0)
            return file.absoluteFilePath();
    }
    return QString();
}

// While a conversion runs its source stays as it is: every drop is refused, as the drag enters,
// so that the cursor says so.
QString MainWindow::AcceptableDrop(const QMimeData *Data) const
{
    if (ui->convertButton->text() == QLatin1String("Cancel"))
        return QString();
    return DraggedSourceFile(
            Data, Configuration::ConfigurationText(QStringLiteral("SourceFormatExtension")));
}

// A drag is judged as it enters and again as it moves: a conversion may start meanwhile.
void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    dragMoveEvent(event);
}

void MainWindow::dragMoveEvent(QDragMoveEvent *event)
{
    if (AcceptableDrop(event->mimeData()).isEmpty())
        event->ignore();
    else
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const QString path = AcceptableDrop(event->mimeData());
    if (path.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    UseSourceFile(path);
}

void MainWindow::OpenOutputFolder(QString)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(Configuration::PathForDesktopFolder()));
}
