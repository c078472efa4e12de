#pragma once

#include <QDate>
#include <QList>
#include <QPair>
#include <QString>

// Charts drawn by the server as inline SVG, so that the pages need no script. Each chart has a
// title and per-point titles for screen readers and tooltips; every label is escaped.
namespace SvgChart {

struct Series
{
    QString name;
    QList<qint64> values;   // one per day
};

// One line per series over the days, with a legend. id makes the title's id unique on a page.
QString lines(const QString &id, const QString &title, const QList<QDate> &days,
              const QList<Series> &series);

// One horizontal bar per label.
QString bars(const QString &id, const QString &title, const QList<QPair<QString, qint64>> &bars);

} // namespace SvgChart
