#pragma once

#include <QByteArray>
#include <QString>

// Reads what FFmpeg writes to standard error: the source's duration ("Duration: hh:mm:ss")
// and the position reached ("time=" in seconds, or as a clock in every current FFmpeg).
class ConverterOutputParser
{
public:
    static const QByteArray DurationMarker;

    struct DurationSearch
    {
        bool markerPresent = false; // a marker stands in the searched bytes
        bool complete = false;      // ... and its eight characters have arrived
        QString clock;              // those eight characters
        int end = 0;                // where the next search resumes
    };

    // Searches Output from From on for the first duration marker.
    static DurationSearch FindDuration(const QByteArray &Output, int From);

    // Whole seconds of an hh:mm:ss text; a field that is not a number counts as 0.
    static int DurationInSeconds(const QString &Clock);

    // Whole seconds after the first "time=" in Text, -1 when there is none. Reads seconds
    // (102.50) and clocks (00:01:42.50); anything else (N/A, a negative clock) gives 0.
    static int PositionInSeconds(const QString &Text);

    // Position over duration in whole percent, truncated and not clamped.
    static int Percentage(int PositionInSeconds, int DurationInSeconds);

    // A chunk as text: its bytes read as Latin-1, up to the first zero byte.
    static QString ChunkText(const QByteArray &Chunk);

private:
    ConverterOutputParser() = delete;
};
