// Feeds arbitrary converter standard error, cut into arbitrary reads, to the reader the main
// window uses, and checks what the window relies on: the duration search moves forward and
// stays inside the bytes read; the same durations are read however the output is cut, and an
// earlier job's output never gives a job its duration; the numbers stay in their ranges.
//
// Input layout: the first byte gives the number of cuts (its low five bits); bit 5 makes the
// first read an earlier job's output, and bit 6 has that job cancelled before the next begins.
// Each following byte is the length of one read; whatever remains is the last read.

#include "FuzzCheck.h"
#include "ui/conversion/ConverterOutputParser.h"
#include "ui/conversion/ConverterOutputReader.h"

#include <QByteArrayList>

#include <cstdint>

namespace {

using Parser = ConverterOutputParser;

// The largest hh:mm:ss that two digits per field can write.
const int LongestClockInSeconds = 99 * 3600 + 99 * 60 + 99;

const uint8_t CutsMask = 0x1F;
const uint8_t EarlierJob = 0x20;
const uint8_t EarlierJobCancelled = 0x40;

// What the window learns from one job's reads.
struct Job
{
    int durationInSeconds = 0;
    QStringList clocks;
    bool durationMissing = false; // as the last read that still looked for it said
};

// The window's records, and its reader over them.
class Window
{
public:
    void Cancel() { m_Reader.Clear(); }

    Job Run(const QByteArrayList &Reads)
    {
        Job job;
        m_Reader.BeginJob();
        for (const QByteArray &read : Reads)
            Read(read, &job);
        FUZZ_CHECK(m_Duration == job.durationInSeconds, "reader kept %d, job read %d",
                   m_Duration, job.durationInSeconds);
        return job;
    }

private:
    void Read(const QByteArray &Chunk, Job *Job)
    {
        const bool trackingProgress = m_Duration != 0;
        const ConverterOutputReader::Result read = m_Reader.Read(Chunk);
        FUZZ_CHECK(read.text == Parser::ChunkText(Chunk), "text of the read changed");
        FUZZ_CHECK(read.percentage >= -1, "percentage %d", read.percentage);
        if (trackingProgress) {
            const int position = Parser::PositionInSeconds(read.text);
            FUZZ_CHECK(position >= -1, "position %d", position);
            const int expected = position < 0 ? -1 : Parser::Percentage(position, m_Duration);
            FUZZ_CHECK(read.percentage == expected, "percentage %d for position %d of %d s",
                       read.percentage, position, m_Duration);
            FUZZ_CHECK(m_Duration <= 0 || position < 0 || read.percentage >= 0,
                       "percentage %d for position %d of %d s", read.percentage, position,
                       m_Duration);
            FUZZ_CHECK(read.clocks.isEmpty() && !read.durationMissing,
                       "duration looked for after it was found");
            return;
        }
        FUZZ_CHECK(read.percentage == -1, "percentage %d before any duration", read.percentage);
        for (int index = 0; index < read.clocks.size(); ++index) {
            const QString &clock = read.clocks.at(index).first;
            const int seconds = read.clocks.at(index).second;
            FUZZ_CHECK(clock.size() <= 8 && seconds == Parser::DurationInSeconds(clock),
                       "clock \"%s\" read as %d s", clock.toLatin1().constData(), seconds);
            FUZZ_CHECK(seconds >= 0 && seconds <= LongestClockInSeconds,
                       "duration %d s from clock \"%s\"", seconds,
                       clock.toLatin1().constData());
            // The search goes on only past clocks that read as no duration at all.
            const bool last = index + 1 == read.clocks.size();
            FUZZ_CHECK(last ? seconds == m_Duration : seconds == 0,
                       "search went on past a duration, or stopped without one");
            Job->clocks << clock;
        }
        FUZZ_CHECK(!read.durationMissing || m_Duration == 0, "a duration, yet missing");
        Job->durationMissing = read.durationMissing;
        Job->durationInSeconds = m_Duration;
    }

    QByteArray m_Output;
    int m_Duration = 0;
    ConverterOutputReader m_Reader{m_Output, m_Duration};
};

// Walks every marker of Output as the reader does, checking that each search resumes inside the
// bytes and that a complete marker moves it forward: the reader loops while the duration is 0.
void CheckDurationSearch(const QByteArray &Output)
{
    int from = 0;
    for (;;) {
        const Parser::DurationSearch search = Parser::FindDuration(Output, from);
        FUZZ_CHECK(search.end >= from && search.end <= Output.size(),
                   "search from %d in %d bytes resumes at %d", from, int(Output.size()),
                   search.end);
        FUZZ_CHECK(search.markerPresent || !search.complete, "complete without a marker");
        if (!search.complete)
            return;
        FUZZ_CHECK(search.end > from, "complete marker without progress at %d", from);
        from = search.end;
    }
}

QByteArrayList Reads(const uint8_t *Data, size_t Size)
{
    const int cuts = Size > 0 ? Data[0] & CutsMask : 0;
    size_t at = qMin(Size, size_t(1 + cuts));
    QByteArrayList reads;
    for (int cut = 0; cut < cuts && size_t(1 + cut) < Size; ++cut) {
        const size_t length = qMin(size_t(Data[1 + cut]), Size - at);
        reads.append(QByteArray(reinterpret_cast<const char *>(Data + at), int(length)));
        at += length;
    }
    reads.append(QByteArray(reinterpret_cast<const char *>(Data + at), int(Size - at)));
    return reads;
}

void CheckSame(const Job &Expected, const Job &Actual, const char *How)
{
    FUZZ_CHECK(Expected.durationInSeconds == Actual.durationInSeconds
                       && Expected.clocks == Actual.clocks
                       && Expected.durationMissing == Actual.durationMissing,
               "%s: duration %d, %d clocks, missing %d; alone in one read: %d, %d, %d", How,
               Actual.durationInSeconds, int(Actual.clocks.size()), int(Actual.durationMissing),
               Expected.durationInSeconds, int(Expected.clocks.size()),
               int(Expected.durationMissing));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    QByteArrayList reads = Reads(Data, Size);
    CheckDurationSearch(reads.join());

    Window window;
    const uint8_t flags = Size > 0 ? Data[0] : 0;
    if ((flags & EarlierJob) && reads.size() > 1) {
        window.Run({reads.takeFirst()});
        if (flags & EarlierJobCancelled)
            window.Cancel();
    }
    const Job cut = window.Run(reads);

    Window alone;
    CheckSame(alone.Run({reads.join()}), cut, "cut into reads after any earlier job");
    return 0;
}
