#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// Follows the converter's standard error through a job: looks for the source's duration in
// the job's own bytes, then turns each position the converter reports into a percentage.
class ConverterOutputReader
{
public:
    // Output and DurationInSeconds are the window's records of the job, kept up to date here.
    ConverterOutputReader(QByteArray &Output, int &DurationInSeconds);

    // The job's bytes start at the end of what Output holds now.
    void BeginJob();
    void Clear();

    struct Result
    {
        QString text;                        // the chunk as text
        QList<QPair<QString, int>> clocks;   // duration clocks read, with their seconds
        bool durationMissing = false;        // still no duration marker in the job's bytes
        int percentage = -1;                 // the position read as a percentage, or -1
    };
    Result Read(const QByteArray &Chunk);

private:
    void LookForDuration(Result &Read);

    QByteArray &m_Output;
    int &m_DurationInSeconds;
    // Where the search for the duration goes on: it starts at the job's own first byte, so an
    // earlier job's output never gives this job its duration.
    int m_SearchFrom = 0;
    bool m_MarkerSeen = false;
};
