#include "ui/MainWindow.h"

#include "ui/MainWindowForm.h"

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent, Qt::WindowFlags())
    , ui(new MainWindowForm)
{
    ui->setupUi(this);
    show();
    raise();
}

MainWindow::~MainWindow()
{
    delete ui;
}
