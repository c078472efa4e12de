#include "ui/conversion/ConverterOutputReader.h"

#include "ui/conversion/ConverterOutputParser.h"

ConverterOutputReader::ConverterOutputReader(QByteArray &Output, int &DurationInSeconds)
    : m_Output(Output)
    , m_DurationInSeconds(DurationInSeconds)
{
}

void ConverterOutputReader::BeginJob()
{
    m_DurationInSeconds = 0;
    m_SearchFrom = m_Output.size();
    m_MarkerSeen = false;
}

void ConverterOutputReader::Clear()
{
    m_Output.clear();
    m_SearchFrom = 0;
}

ConverterOutputReader::Result ConverterOutputReader::Read(const QByteArray &Chunk)
{
    m_Output.append(Chunk);
    Result read;
    read.text = ConverterOutputParser::ChunkText(Chunk);
    if (m_DurationInSeconds != 0) {
        const int position = ConverterOutputParser::PositionInSeconds(read.text);
        if (position >= 0)
            read.percentage = ConverterOutputParser::Percentage(position, m_DurationInSeconds);
    } else {
        LookForDuration(read);
    }
    return read;
}

void ConverterOutputReader::LookForDuration(Result &Read)
{
    // A marker counts once its eight characters are there, wherever the chunks split them;
    // one whose clock does not parse (N/A) is passed by for a later one.
    while (m_DurationInSeconds == 0) {
        const ConverterOutputParser::DurationSearch search =
                ConverterOutputParser::FindDuration(m_Output, m_SearchFrom);
        m_SearchFrom = search.end;
        m_MarkerSeen = m_MarkerSeen || search.markerPresent;
        if (!search.complete)
            break;
        m_DurationInSeconds = ConverterOutputParser::DurationInSeconds(search.clock);
        Read.clocks << qMakePair(search.clock, m_DurationInSeconds);
    }
    Read.durationMissing = m_DurationInSeconds == 0 && !m_MarkerSeen;
}
