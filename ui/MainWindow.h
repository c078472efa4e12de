#pragma once

#include <QMainWindow>

class MainWindowForm;

// The one window of the program.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private:
    MainWindowForm *ui;
};
