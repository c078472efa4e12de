#include "ui/MainWindowForm.h"

#include <QMainWindow>
#include "ui/QLabelClickable.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

namespace {

const QSize WindowSize(600, 190);

// Every control sits at a fixed position, so each is born with its name and its place.
template<typename Widget>
Widget *placeWidget(QWidget *parent, const char *name, const QRect &geometry)
{
    auto *widget = new Widget(parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(geometry);
    return widget;
}

QAction *namedAction(QMainWindow *window, const char *name)
{
    auto *action = new QAction(window);
    action->setObjectName(QString::fromLatin1(name));
    return action;
}

void setupWindow(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QStringLiteral("MainWindow"));
    window->resize(WindowSize);
    window->setMinimumSize(WindowSize);
    window->setMaximumSize(WindowSize);

    QIcon icon;
    icon.addFile(QStringLiteral(":/Images/AppIcon.ico"), QSize(), QIcon::Normal, QIcon::Off);
    window->setWindowIcon(icon);
    window->setStyleSheet(QStringLiteral("font-size: 12px;"));
}

void setupFileRow(MainWindowForm *form)
{
    QWidget *parent = form->centralWidget;
    form->selectFileButton =
        placeWidget<QPushButton>(parent, "selectFileButton", QRect(482, 34, 111, 24));
    form->selectFileLabel =
        placeWidget<QLabel>(parent, "selectFileLabel", QRect(12, 10, 461, 21));
    form->convertButton =
        placeWidget<QPushButton>(parent, "convertButton", QRect(348, 140, 121, 31));
    form->convertButton->setStyleSheet(QStringLiteral("font-size:12px;"));
    form->selectedFileLineEdit =
        placeWidget<QLineEdit>(parent, "selectedFileLineEdit", QRect(10, 36, 462, 21));
    form->selectedFileLineEdit->setReadOnly(true);
}

void setupFormatRow(MainWindowForm *form)
{
    QWidget *parent = form->centralWidget;
    form->outputFormatLabel =
        placeWidget<QLabel>(parent, "outputFormatLabel", QRect(13, 74, 101, 21));
    form->outputFormatComboBox =
        placeWidget<QComboBox>(parent, "outputFormatComboBox", QRect(10, 91, 325, 26));
    form->qualityComboBox =
        placeWidget<QComboBox>(parent, "qualityComboBox", QRect(349, 91, 244, 26));
    form->qualityLabel =
        placeWidget<QLabel>(parent, "qualityLabel", QRect(353, 74, 121, 21));
    form->showFilesButton =
        placeWidget<QPushButton>(parent, "showFilesButton", QRect(472, 140, 121, 31));
    form->statusLabel = placeWidget<QLabel>(parent, "statusLabel", QRect(12, 120, 231, 21));
}

void setupProgressArea(MainWindowForm *form)
{
    QWidget *parent = form->centralWidget;
    form->adWebView = placeWidget<AdView>(parent, "adWebView", QRect(0, 208, 601, 41));
    form->adWebView->setMinimumSize(QSize(520, 0));
    PrepareAdView(form->adWebView);

    form->progressBar =
        placeWidget<QProgressBar>(parent, "progressBar", QRect(12, 144, 325, 23));
    form->progressBar->setValue(0);
    form->progressBar->setTextVisible(true);
}

void setupDecoration(MainWindowForm *form)
{
    QWidget *parent = form->centralWidget;
    form->label = placeWidget<QLabel>(parent, "label", QRect(0, 0, 601, 190));
    form->label->setMinimumSize(QSize(520, 180));
    form->label->setMaximumSize(QSize(800, 190));
    form->label->setStyleSheet(
        QStringLiteral("background-image: url(:/Images/Background.png)"));

    const Qt::Alignment rightCentred = Qt::AlignRight | Qt::AlignVCenter;
    form->HelpLabel = placeWidget<QLabelClickable>(parent, "HelpLabel", QRect(540, 0, 51, 31));
    form->HelpLabel->setCursor(QCursor(Qt::PointingHandCursor));
    form->HelpLabel->setStyleSheet(
        QStringLiteral("color: blue; text-decoration: underline; "));
    form->HelpLabel->setAlignment(rightCentred);

    form->HelpIcon = placeWidget<QLabel>(parent, "HelpIcon", QRect(530, 2, 31, 31));
    form->HelpIcon->setStyleSheet(QStringLiteral("color: blue; text-decoration: underline;"));
    form->HelpIcon->setPixmap(QPixmap(QStringLiteral(":/Images/HelpIcon.png")));
    form->HelpIcon->setAlignment(rightCentred);
}

// The background picture goes to the bottom and the help link to the top, so that the link
// also covers the pictogram beside it and takes its presses.
void raiseInStackingOrder(const MainWindowForm *form)
{
    const QList<QWidget *> bottomToTop = {
        form->label, form->selectFileButton, form->selectFileLabel, form->convertButton,
        form->selectedFileLineEdit, form->outputFormatLabel, form->outputFormatComboBox,
        form->qualityComboBox, form->qualityLabel, form->showFilesButton, form->statusLabel,
        form->adWebView, form->progressBar, form->HelpIcon, form->HelpLabel,
    };
    for (QWidget *widget : bottomToTop)
        widget->raise();
}

} // namespace

void MainWindowForm::setupUi(QMainWindow *window)
{
    setupWindow(window);

    actionBoom = namedAction(window, "actionBoom");
    actionSend_Diagnostics = namedAction(window, "actionSend_Diagnostics");

    centralWidget = new QWidget(window);
    centralWidget->setObjectName(QStringLiteral("centralWidget"));
    setupFileRow(this);
    setupFormatRow(this);
    setupProgressArea(this);
    setupDecoration(this);
    window->setCentralWidget(centralWidget);

    raiseInStackingOrder(this);

    retranslateUi(window);
    QMetaObject::connectSlotsByName(window);
}

void MainWindowForm::retranslateUi(QMainWindow *window)
{
    window->setWindowTitle(QApplication::translate("MainWindow", "Kelvane", nullptr));
    actionBoom->setText(QApplication::translate("MainWindow", "Visit Website", nullptr));
    actionSend_Diagnostics->setText(
        QApplication::translate("MainWindow", "Send Feedback", nullptr));
    selectFileButton->setText(QApplication::translate("MainWindow", "Find File", nullptr));
    selectFileLabel->setText(QApplication::translate(
        "MainWindow", "Select a %SourceFormatExtension% file from your computer:", nullptr));
    convertButton->setText(QApplication::translate("MainWindow", "Convert", nullptr));
    outputFormatLabel->setText(
        QApplication::translate("MainWindow", "Output format:", nullptr));
    qualityComboBox->clear();
    qualityComboBox->addItem(
        QApplication::translate("MainWindow", "Always use highest quality", nullptr));
    qualityLabel->setText(QApplication::translate("MainWindow", "Preferred quality:", nullptr));
    showFilesButton->setText(QApplication::translate("MainWindow", "Show Files", nullptr));
    statusLabel->setText(QString());
    label->setText(QString());
    HelpLabel->setText(QApplication::translate("MainWindow", "Help", nullptr));
    HelpIcon->setText(QString());
}
