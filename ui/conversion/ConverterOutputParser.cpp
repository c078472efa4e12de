#include "ui/conversion/ConverterOutputParser.h"

#include <QRegularExpression>

#include <limits>

const QByteArray ConverterOutputParser::DurationMarker = QByteArrayLiteral("Duration: ");

namespace {

const int ClockLength = 8;

// Two decimal digits; anything else (a sign, a blank, a letter) is not a clock field and counts
// as 0, so that a damaged clock can never give a negative duration.
int ClockField(const QString &Clock, int Offset)
{
    const QString field = Clock.mid(Offset, 2);
    if (field.size() != 2 || !field.at(0).isDigit() || !field.at(1).isDigit())
        return 0;
    return field.toInt();
}

} // namespace

ConverterOutputParser::DurationSearch ConverterOutputParser::FindDuration(
        const QByteArray &Output, int From)
{
    DurationSearch search;
    const int marker = Output.indexOf(DurationMarker, From);
    if (marker < 0) {
        // A marker may be cut short at the end: resume where its first byte could stand.
        search.end = qMax(From, Output.size() - DurationMarker.size() + 1);
        return search;
    }
    search.markerPresent = true;
    search.end = marker;
    const int clockStart = marker + DurationMarker.size();
    if (Output.size() - clockStart < ClockLength)
        return search;
    search.complete = true;
    search.clock = ChunkText(Output.mid(clockStart, ClockLength));
    search.end = clockStart + ClockLength;
    return search;
}

int ConverterOutputParser::DurationInSeconds(const QString &Clock)
{
    return ClockField(Clock, 0) * 3600 + ClockField(Clock, 3) * 60 + ClockField(Clock, 6);
}

int ConverterOutputParser::PositionInSeconds(const QString &Text)
{
    const int marker = Text.indexOf(QLatin1String("time="));
    if (marker < 0)
        return -1;
    const int start = marker + 5;
    const int space = Text.indexOf(QLatin1Char(' '), start);
    QString value = Text.mid(start, space < 0 ? -1 : space - start);
    const int dot = value.indexOf(QLatin1Char('.'));
    if (dot >= 0)
        value.truncate(dot);

    // Every current FFmpeg writes a clock; older ones wrote seconds.
    static const QRegularExpression clock(QStringLiteral("^(\\d+):(\\d{2}):(\\d{2})$"));
    const QRegularExpressionMatch match = clock.match(value);
    double seconds = 0;
    if (match.hasMatch()) {
        seconds = match.captured(1).toDouble() * 3600 + match.captured(2).toDouble() * 60
                + match.captured(3).toDouble();
    } else {
        seconds = value.toDouble();
    }
    if (!(seconds > 0))
        return 0;
    return seconds < std::numeric_limits<int>::max() ? int(seconds)
                                                     : std::numeric_limits<int>::max();
}

int ConverterOutputParser::Percentage(int PositionInSeconds, int DurationInSeconds)
{
    if (DurationInSeconds <= 0)
        return 0;
    const double percentage = double(PositionInSeconds) / DurationInSeconds * 100;
    return percentage < std::numeric_limits<int>::max() ? int(percentage)
                                                        : std::numeric_limits<int>::max();
}

QString ConverterOutputParser::ChunkText(const QByteArray &Chunk)
{
    const int zero = Chunk.indexOf('\0');
    return QString::fromLatin1(zero < 0 ? Chunk : Chunk.left(zero));
}
