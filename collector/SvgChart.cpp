#include "SvgChart.h"

#include "Html.h"

#include <algorithm>

namespace SvgChart {

namespace {

// Colours that stay apart for the common kinds of colour blindness.
const char *const palette[] = {"#0072b2", "#e69f00", "#009e73", "#cc79a7", "#d55e00"};

QString number(double value)
{
    return QString::number(value, 'f', 1);
}

// A round step for four grid lines that reach at least the largest value: 1, 2 or 5 times a
// power of ten, so that every line has a whole, readable label.
qint64 axisStep(qint64 largest)
{
    const qint64 wanted = std::max<qint64>((largest + 3) / 4, 1);
    for (qint64 power = 1;; power *= 10) {
        for (const qint64 factor : {1, 2, 5}) {
            if (power * factor >= wanted)
                return power * factor;
        }
    }
}

QString svgStart(const QString &id, const QString &title, int width, int height)
{
    const QString titleId = Html::escape(id + QLatin1String("-title"));
    return QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" "
                          "role=\"img\" aria-labelledby=\"%1\" width=\"%2\" height=\"%3\" "
                          "viewBox=\"0 0 %2 %3\"><title id=\"%1\">%4</title>")
        .arg(titleId, QString::number(width), QString::number(height), Html::escape(title));
}

} // namespace

QString lines(const QString &id, const QString &title, const QList<QDate> &days,
              const QList<Series> &series)
{
    const int width = 720;
    const int height = 260;
    const double left = 56, right = 16, top = 16, bottom = 64;
    const double plotWidth = width - left - right;
    const double plotHeight = height - top - bottom;

    qint64 largest = 0;
    for (const Series &s : series) {
        for (const qint64 value : s.values)
            largest = std::max(largest, value);
    }
    const qint64 step = axisStep(largest);
    const qint64 maximum = step * 4;
    const auto x = [&](int index) {
        return days.size() <= 1 ? left + plotWidth / 2
                                : left + plotWidth * index / double(days.size() - 1);
    };
    const auto y = [&](qint64 value) {
        return top + plotHeight * (1.0 - double(value) / double(maximum));
    };

    QString svg = svgStart(id, title, width, height);
    // Grid and value axis: five lines from zero to the maximum.
    for (int i = 0; i <= 4; ++i) {
        const qint64 value = step * i;
        const QString lineY = number(y(value));
        svg += QStringLiteral("<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%2\" stroke=\"#ddd\"/>"
                              "<text x=\"%4\" y=\"%2\" dy=\"4\" text-anchor=\"end\" "
                              "font-size=\"12\">%5</text>")
                   .arg(number(left), lineY, number(left + plotWidth), number(left - 6),
                        QString::number(value));
    }
    // Day axis: first, middle and last day.
    if (!days.isEmpty()) {
        QList<int> labelled = {0, int(days.size() - 1) / 2, int(days.size() - 1)};
        labelled.erase(std::unique(labelled.begin(), labelled.end()), labelled.end());
        for (const int index : labelled) {
            const char *anchor = index == 0 ? "start"
                                 : index == days.size() - 1 ? "end" : "middle";
            svg += QStringLiteral("<text x=\"%1\" y=\"%2\" text-anchor=\"%3\" "
                                  "font-size=\"12\">%4</text>")
                       .arg(number(x(index)), number(top + plotHeight + 18),
                            QLatin1String(anchor),
                            Html::escape(days.at(index).toString(Qt::ISODate)));
        }
    }
    // Points get their own titles only while they are few enough to point at.
    const bool markPoints = days.size() <= 62;
    for (int s = 0; s < series.size(); ++s) {
        const QString colour = QLatin1String(palette[s % std::size(palette)]);
        QString points;
        QString marks;
        const QList<qint64> &values = series.at(s).values;
        for (int i = 0; i < values.size() && i < days.size(); ++i) {
            points += number(x(i)) + QLatin1Char(',') + number(y(values.at(i))) + QLatin1Char(' ');
            if (markPoints) {
                marks += QStringLiteral("<circle cx=\"%1\" cy=\"%2\" r=\"3\" fill=\"%3\">"
                                        "<title>%4: %5 %6</title></circle>")
                             .arg(number(x(i)), number(y(values.at(i))), colour,
                                  Html::escape(days.at(i).toString(Qt::ISODate)),
                                  QString::number(values.at(i)),
                                  Html::escape(series.at(s).name));
            }
        }
        svg += QStringLiteral("<polyline fill=\"none\" stroke=\"%1\" stroke-width=\"2\" "
                              "points=\"%2\"/>")
                   .arg(colour, points.trimmed());
        svg += marks;
        // Legend below the day axis.
        const double legendX = left + 170.0 * s;
        const double legendY = height - 16;
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"12\" height=\"12\" fill=\"%3\"/>"
                              "<text x=\"%4\" y=\"%5\" font-size=\"13\">%6</text>")
                   .arg(number(legendX), number(legendY - 11), colour, number(legendX + 18),
                        number(legendY), Html::escape(series.at(s).name));
    }
    svg += QLatin1String("</svg>");
    return svg;
}

QString bars(const QString &id, const QString &title, const QList<QPair<QString, qint64>> &bars)
{
    const int width = 480;
    const int rowHeight = 24;
    const double labelWidth = 100, valueWidth = 70;
    const int height = std::max(1, int(bars.size())) * rowHeight + 8;
    const double barSpace = width - labelWidth - valueWidth;

    qint64 largest = 0;
    for (const auto &bar : bars)
        largest = std::max(largest, bar.second);

    QString svg = svgStart(id, title, width, height);
    for (int i = 0; i < bars.size(); ++i) {
        const double rowY = 4 + i * rowHeight;
        const double length = largest > 0 ? barSpace * double(bars.at(i).second) / largest : 0;
        const QString label = Html::escape(bars.at(i).first);
        svg += QStringLiteral("<g><title>%1: %2</title>"
                              "<text x=\"%3\" y=\"%4\" text-anchor=\"end\" "
                              "font-size=\"13\">%1</text>"
                              "<rect x=\"%5\" y=\"%6\" width=\"%7\" height=\"%8\" "
                              "fill=\"%9\"/>")
                   .arg(label, QString::number(bars.at(i).second), number(labelWidth - 8),
                        number(rowY + 16), number(labelWidth), number(rowY + 3),
                        number(length), number(rowHeight - 6), QLatin1String(palette[0]));
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" font-size=\"13\">%3</text></g>")
                   .arg(number(labelWidth + length + 6), number(rowY + 16),
                        QString::number(bars.at(i).second));
    }
    svg += QLatin1String("</svg>");
    return svg;
}

} // namespace SvgChart
