#pragma once

#include "ui/AdView.h"

class QMainWindow;
class QAction;
class QComboBox;
class QLabel;
class QLabelClickable;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QWidget;

// The fixed widget tree of the main window: every control at an absolute position.
class MainWindowForm
{
public:
    QAction *actionBoom = nullptr;
    QAction *actionSend_Diagnostics = nullptr;
    QWidget *centralWidget = nullptr;
    QPushButton *selectFileButton = nullptr;
    QLabel *selectFileLabel = nullptr;
    QPushButton *convertButton = nullptr;
    QLineEdit *selectedFileLineEdit = nullptr;
    QLabel *outputFormatLabel = nullptr;
    QComboBox *outputFormatComboBox = nullptr;
    QComboBox *qualityComboBox = nullptr;
    QLabel *qualityLabel = nullptr;
    QPushButton *showFilesButton = nullptr;
    QLabel *statusLabel = nullptr;
    AdView *adWebView = nullptr;
    QProgressBar *progressBar = nullptr;
    QLabel *label = nullptr;
    QLabelClickable *HelpLabel = nullptr;
    QLabel *HelpIcon = nullptr;

    void setupUi(QMainWindow *window);
    void retranslateUi(QMainWindow *window);
};
