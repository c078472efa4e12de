#include "ui/MainWindow.h"

#include "config/Configuration.h"
#include "telemetry/Pulse.h"
#include "ui/MainWindowForm.h"
#include "ui/QLabelClickable.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent, Qt::WindowFlags())
    , ui(new MainWindowForm)
{
    ui->setupUi(this);
    if (Configuration::OperatingSystem() == 1)
        SetupWindowsUI();

    setWindowTitle(Configuration::ConfigurationText(QStringLiteral("AppName")));
    ui->selectFileLabel->setText(ui->selectFileLabel->text().replace(
            QStringLiteral("%SourceFormatExtension%"), Configuration::SourceFormatExtension()));
    ui->outputFormatComboBox->addItem(
            Configuration::ConfigurationText(QStringLiteral("OutputFormatExtension")));
    // A source file may also be dropped on the window (FileSelection.cpp).
    setAcceptDrops(true);

    show();
    raise();

    SendStartupEvents();
    ConnectSignals();
    ui->progressBar->hide();
    PlaceOnPrimaryScreen();

    m_AppStartTime.start();
    m_ConversionTime.start();
}

MainWindow::~MainWindow()
{
    // A converter still running reports its end while it is destroyed; no conversion slot
    // may run on a window that is being torn down, so cut the wires and end it first. What it
    // wrote so far is a truncated file that would pass for a finished one: it goes, as on a
    // cancel. A job that ended on its own keeps its file.
    m_ConverterProcess.disconnect(this);
    if (m_ConverterProcess.state() != QProcess::NotRunning) {
        m_ConverterProcess.kill();
        m_ConverterProcess.waitForFinished();
        QFile::remove(m_OutputFilePath);
    }
    delete ui;
}

void MainWindow::SendStartupEvents()
{
    (new Pulse(this))->InitializeUserID();
    if (!Configuration::IsAppInstalledSavedToServer())
        (new Pulse(this))->AppInstalled();

    auto *appOpened = new Pulse(this);
    connect(appOpened, &Pulse::AppInitialization, this, &MainWindow::AppInitialization);
    appOpened->AppOpened(QVariantMap());

    if (!QFile::exists(Configuration::PathForFFMPEG())) {
        (new Pulse(this))->AppFailure(
                QStringLiteral("EC1"),
                QStringLiteral("Looked for FFMPEG at this path: ") + Configuration::PathForFFMPEG()
                        + QStringLiteral("\nConfiguration::PathForApplicationFolder() = ")
                        + Configuration::PathForApplicationFolder() + QLatin1Char('\n'));
    }
}

void MainWindow::ConnectSignals()
{
    connect(ui->HelpLabel, &QLabelClickable::clicked, this, &MainWindow::OpenHomepage);
    connect(ui->selectFileButton, &QPushButton::clicked, this, &MainWindow::SelectFile);
    connect(ui->convertButton, &QPushButton::clicked, this, &MainWindow::StartConversion);
    connect(ui->showFilesButton, &QPushButton::clicked, this, [this] { OpenOutputFolder(); });
    connect(&m_ConverterProcess, &QProcess::errorOccurred,
            this, &MainWindow::ConversionProcessError);
    connect(&m_ConverterProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
            this, &MainWindow::CompleteConversion);
    connect(&m_ConverterProcess, &QProcess::readyReadStandardError,
            this, &MainWindow::ReadNextPartOfConverterOutput);
}

QPoint MainWindow::CentredPosition(const QRect &AvailableArea, const QSize &WindowSize)
{
    return QPoint(AvailableArea.width() / 2 - WindowSize.width() / 2,
                  AvailableArea.height() / 2 - WindowSize.height() / 2);
}

void MainWindow::PlaceOnPrimaryScreen()
{
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(CentredPosition(screen->availableGeometry(), size()));
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    hide();
    // Waits for the answer (bounded), while timers, converter output and answers go on.
    (new Pulse(this))->AppClosed(m_AppStartTime.elapsed());
    m_CloseEvent = event;
    RealClose();
    m_CloseEvent = nullptr;
}

void MainWindow::OpenHomepage()
{
    QDesktopServices::openUrl(QUrl(QStringLiteral("http://") + Configuration::AppHomepage()));
}

void MainWindow::SetupWindowsUI()
{
    for (QLabel *label : {ui->outputFormatLabel, ui->qualityLabel}) {
        QRect geometry = label->geometry();
        geometry.moveTop(geometry.top() - 6);
        label->setGeometry(geometry);
    }
}

void MainWindow::RealClose()
{
    if (m_CloseEvent)
        m_CloseEvent->accept();
}

void MainWindow::WriteSettings()
{
}

void MainWindow::ReadSettings()
{
}
