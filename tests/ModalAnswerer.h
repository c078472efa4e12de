#pragma once

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QtTest>

// Answers every modal dialog as a user would: a message box with the chosen reply, a file
// dialog by typing the next queued path (or cancelling when none is queued). Records what it
// saw, so that a test can fail when a dialog that should have appeared did not, or the other
// way round. The dialogs run their own event loops, so it polls from a timer.
class ModalAnswerer : public QObject
{
    Q_OBJECT

public:
    enum BoxReply { ClickDefault, ClickNo, Dismiss };

    struct Box
    {
        QString title;
        QString text;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    };
    struct FileDialogVisit
    {
        QString title;
        QStringList filters;
        QString directory;
        QString preselected;
    };

    explicit ModalAnswerer(QObject *parent = nullptr)
        : QObject(parent)
    {
        connect(&m_Timer, &QTimer::timeout, this, &ModalAnswerer::answerActiveModal);
        m_Timer.start(20);
    }

    void setBoxReply(BoxReply reply) { m_BoxReply = reply; }
    void queueFile(const QString &path) { m_Files << path; }
    // Forgets what it saw and what was queued; message boxes get their default button again.
    void clear()
    {
        m_BoxReply = ClickDefault;
        m_Files.clear();
        m_Boxes.clear();
        m_FileDialogs.clear();
    }
    const QList<Box> &boxes() const { return m_Boxes; }
    const QList<FileDialogVisit> &fileDialogs() const { return m_FileDialogs; }

private:
    void answerActiveModal()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || modal == m_Answered || !modal->isVisible())
            return;
        m_Answered = modal;
        if (auto *box = qobject_cast<QMessageBox *>(modal))
            answer(box);
        else if (auto *dialog = qobject_cast<QFileDialog *>(modal))
            answer(dialog);
    }

    void answer(QMessageBox *box)
    {
        m_Boxes << Box{box->windowTitle(), box->text(), box->standardButtons(),
                       box->standardButton(box->defaultButton())};
        QAbstractButton *button = m_BoxReply == ClickNo ? box->button(QMessageBox::No)
                                                          : box->defaultButton();
        // A box without the wanted button is dismissed rather than left open: the test's own
        // checks of what the box offered then fail, instead of the whole run stalling.
        if (m_BoxReply == Dismiss || !button)
            QTest::keyClick(box, Qt::Key_Escape);
        else
            button->click();
    }

    void answer(QFileDialog *dialog)
    {
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        m_FileDialogs << FileDialogVisit{dialog->windowTitle(), dialog->nameFilters(),
                                         dialog->directory().absolutePath(),
                                         name ? name->text() : QString()};
        if (m_Files.isEmpty() || !name) {
            dialog->reject();
            return;
        }
        // In the file's own folder the typed path holds even when the dialog replaces it with
        // the name of the file it selects. Accepted from the event loop: a complaint the
        // dialog shows then gets answered (and recorded) instead of blocking this timer.
        const QString path = m_Files.takeFirst();
        dialog->setDirectory(QFileInfo(path).path());
        name->setText(path);
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
    }

    QTimer m_Timer;
    QPointer<QWidget> m_Answered;
    BoxReply m_BoxReply = ClickDefault;
    QStringList m_Files;
    QList<Box> m_Boxes;
    QList<FileDialogVisit> m_FileDialogs;
};
