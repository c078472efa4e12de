#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QProcess>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include "ui/conversion/ConverterOutputReader.h"

class MainWindowForm;
class QCloseEvent;
class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QMimeData;

// The one window of the program: its construction and close flow live in MainWindow.cpp, the
// conversion slots in ui/conversion/.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The window's top-left corner, centred on an available screen area whose own origin is
    // ignored.
    static QPoint CentredPosition(const QRect &AvailableArea, const QSize &WindowSize);
    // The open-file dialog's filter for a comma-separated list of source extensions.
    static QString SourceFileFilter(const QString &Extensions);
    // The source file that a drag carries: one local file whose extension is one of the
    // comma-separated source extensions, in any letter case; otherwise an empty path.
    static QString DraggedSourceFile(const QMimeData *Data, const QString &Extensions);

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private slots:
    void SetupWindowsUI();
    void StartUpdate();
    void AppInitialization(QVariantMap Contents);
    void OpenHomepage();
    void SelectFile();
    void StartConversion();
    void CancelConversion();
    void OpenOutputFolder(QString OutputFilePath = QString());
    void AdLinkClicked(QUrl link);
    void ShowErrorMessageForFFMPEGMissing();
    void ConversionProcessError(QProcess::ProcessError ProcessError);
    void ReadNextPartOfConverterOutput();
    void CompleteConversion(int ExitCode);
    void ThreeSecondsElapsedNow();
    void WriteSettings();
    void ReadSettings();
    void RealClose();

private:
    void SendStartupEvents();
    void ConnectSignals();
    void PlaceOnPrimaryScreen();
    void StopConverter();
    void RefuseToOverwriteSource();
    void UseSourceFile(const QString &Path);
    QString AcceptableDrop(const QMimeData *Data) const;

    MainWindowForm *ui;
    QCloseEvent *m_CloseEvent = nullptr;
    QString m_InputFilePath;
    QString m_OutputFilePath;
    bool m_ThreeSecondsElapsed = false;
    int m_DurationInSeconds = 0;
    QProcess m_ConverterProcess;
    bool m_ConversionCancelledByUser = false;
    QByteArray m_ConverterOutput;
    QString m_ConversionID;
    QStringList m_CurrentFFMPEGArguments;
    ConverterOutputReader m_OutputReader{m_ConverterOutput, m_DurationInSeconds};
    // Set while QProcess reports the death of the converter: closing it then would wait for
    // a child that has already been reaped.
    bool m_ReportingConverterCrash = false;
    // Monotonic clocks: a QTime would wrap after 24 hours and report a wrong running time.
    QElapsedTimer m_AppStartTime;
    QElapsedTimer m_ConversionTime;
};
