// The cost of reading one chunk of converter output, over the output of a long job: FFmpeg's
// header with the duration, then one position report per chunk, as FFmpeg writes them every
// half second of a one-hour conversion; and over a flood of output without any duration.
#include "ui/conversion/ConverterOutputReader.h"

#include <QByteArrayList>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>

namespace {

QByteArrayList LongJob(int Reports)
{
    QByteArrayList chunks;
    chunks << QByteArray("ffmpeg version 5.1.8 Copyright (c) 2000-2025 the FFmpeg developers\n"
                         "Input #0, flac, from 'one hour.flac':\n"
                         "  Duration: 01:00:00.00, start: 0.000000, bitrate: 110 kb/s\n"
                         "  Stream #0:0: Audio: flac, 44100 Hz, stereo, s16\n");
    for (int i = 1; i <= Reports; ++i) {
        const int seconds = i * 3600 / Reports;
        chunks << QString::asprintf("size=%8dkB time=%02d:%02d:%02d.%02d bitrate= 192.0kbits/s "
                                    "speed=120x    \r",
                                    i * 12, seconds / 3600, seconds / 60 % 60, seconds % 60,
                                    i % 100).toLatin1();
    }
    return chunks;
}

double NanosecondsPerChunk(const QByteArrayList &Chunks, int Rounds)
{
    double best = 1e18;
    for (int round = 0; round < Rounds; ++round) {
        QByteArray output;
        int duration = 0;
        ConverterOutputReader reader(output, duration);
        reader.BeginJob();
        QElapsedTimer timer;
        timer.start();
        for (const QByteArray &chunk : Chunks)
            reader.Read(chunk);
        best = std::min(best, double(timer.nsecsElapsed()) / Chunks.size());
    }
    return best;
}

} // namespace

int main()
{
    const QByteArrayList job = LongJob(7200);
    qint64 bytes = 0;
    for (const QByteArray &chunk : job)
        bytes += chunk.size();
    printf("reader: %.2f us per chunk over a one-hour job (%lld chunks, %lld KiB kept)\n",
           NanosecondsPerChunk(job, 5) / 1000, qint64(job.size()), bytes / 1024);

    QByteArrayList flood;
    for (int i = 0; i < 2000; ++i)
        flood << QByteArray(64 * 1024, 'x');
    printf("reader: %.2f us per 64 KiB chunk of a 125 MiB flood without a duration\n",
           NanosecondsPerChunk(flood, 3) / 1000);
    return 0;
}
