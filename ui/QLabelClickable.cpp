#include "ui/QLabelClickable.h"

QLabelClickable::QLabelClickable(QWidget *parent)
    : QLabel(parent, Qt::WindowFlags())
{
}

// Any button counts, and the press is kept here: handing it to QLabel would let it travel on
// to the parent, which lies under the link and has no business with it.
void QLabelClickable::mousePressEvent(QMouseEvent *event)
{
    Q_UNUSED(event)
    emit clicked();
}
