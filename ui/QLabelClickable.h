#pragma once

#include <QLabel>

// A label that reports a press of any mouse button as clicked().
class QLabelClickable : public QLabel
{
    Q_OBJECT

public:
    explicit QLabelClickable(QWidget *parent = nullptr);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
};
