#include "TestEnvironment.h"

#include "ui/conversion/ConverterOutputParser.h"
#include "ui/conversion/ConverterOutputReader.h"

// Reading FFmpeg's standard error: the source's duration, also across chunks and jobs, the
// position reached and the percentage shown to the user, and how chunks become text.
class tst_ConverterOutput : public QObject
{
    Q_OBJECT

private slots:
    void durationInSeconds_data();
    void durationInSeconds();
    void position_data();
    void position();
    void durationAcrossChunks_data();
    void durationAcrossChunks();
    void progressAfterDuration();
    void chunkText_data();
    void chunkText();
};

void tst_ConverterOutput::durationInSeconds_data()
{
    QTest::addColumn<QString>("clock");
    QTest::addColumn<int>("seconds");

    QTest::newRow("minutes and seconds") << "00:03:25" << 205;
    QTest::newRow("one hour") << "01:00:00" << 3600;
    QTest::newRow("every field") << "12:34:56" << 45296;
    QTest::newRow("not available") << "N/A, sta" << 0;
    QTest::newRow("hours not a number") << "ab:03:25" << 205;
    QTest::newRow("minutes not a number") << "01:x1:05" << 3605;
    QTest::newRow("seconds not a number") << "00:01:?0" << 60;
    QTest::newRow("signed field") << "-1:30:00" << 1800;
    QTest::newRow("blank in a field") << " 1:00:05" << 5;
    QTest::newRow("empty") << "" << 0;
}

void tst_ConverterOutput::durationInSeconds()
{
    QFETCH(QString, clock);
    QTEST(ConverterOutputParser::DurationInSeconds(clock), "seconds");
}

void tst_ConverterOutput::position_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("duration");
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("percentage");

    // FFmpeg 5.1 as it writes a progress line, with "\r" between updates.
    const QString line = QStringLiteral("size=    1536kB time=%1 bitrate= 177.5kbits/s "
                                        "speed= 142x    \r");

    QTest::newRow("seconds, fraction cut before dividing")
            << "size= 10kB time=102.50 bitrate=1kbits/s " << 205 << 102 << 49;
    QTest::newRow("seconds without fraction") << "time=102 " << 205 << 102 << 49;
    QTest::newRow("clock") << line.arg("00:01:42.50") << 205 << 102 << 49;
    QTest::newRow("clock with hours") << line.arg("01:02:03.99") << 7200 << 3723 << 51;
    QTest::newRow("end of the source") << line.arg("00:03:25.00") << 205 << 205 << 100;
    QTest::newRow("just beyond the end") << "time=207.00 " << 205 << 207 << 100;
    QTest::newRow("beyond the end, not clamped") << "time=210.00 " << 205 << 210 << 102;
    QTest::newRow("divided before multiplied") << "time=29.00 " << 100 << 29 << 28;
    QTest::newRow("not available") << line.arg("N/A") << 205 << 0 << 0;
    QTest::newRow("negative clock") << line.arg("-00:00:00.02") << 205 << 0 << 0;
    QTest::newRow("nothing after the marker") << "time= 12.00 " << 205 << 0 << 0;
    QTest::newRow("value ends the text") << "size= 10kB time=102.50" << 205 << 102 << 49;
    QTest::newRow("first marker counts") << "time=20.00 x time=40.00 " << 100 << 20 << 20;
    QTest::newRow("no marker") << "Press [q] to stop, [?] for help\n" << 205 << -1 << -1;
    QTest::newRow("marker is case-sensitive") << "TIME=20.00 " << 100 << -1 << -1;
}

void tst_ConverterOutput::position()
{
    QFETCH(QString, text);
    QFETCH(int, duration);
    QFETCH(int, position);

    QCOMPARE(ConverterOutputParser::PositionInSeconds(text), position);
    if (position >= 0)
        QTEST(ConverterOutputParser::Percentage(position, duration), "percentage");
}

void tst_ConverterOutput::durationAcrossChunks_data()
{
    QTest::addColumn<QByteArrayList>("earlierJob");
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QStringList>("clocks");
    QTest::addColumn<int>("duration");
    QTest::addColumn<bool>("durationMissing");

    const QByteArray line = "  Duration: 00:03:25.12, start: 0.000000, bitrate: 98 kb/s\n";
    const QByteArrayList none;

    QTest::newRow("complete marker") << none << QByteArrayList{"Input #0\n" + line}
                                     << QStringList{"00:03:25"} << 205 << false;
    QTest::newRow("clock split across chunks")
            << none << QByteArrayList{"  Duration: 00:0", "3:25.12, start: 0\n"}
            << QStringList{"00:03:25"} << 205 << false;
    QTest::newRow("marker split across chunks")
            << none << QByteArrayList{"Input #0\n  Durat", "ion: 00:03:25.12\n"}
            << QStringList{"00:03:25"} << 205 << false;
    QTest::newRow("clock not complete yet")
            << none << QByteArrayList{"  Duration: 00:03:2"} << QStringList() << 0 << false;
    QTest::newRow("no marker") << none << QByteArrayList{"Input #0, flac, from 'a.flac':\n"}
                               << QStringList() << 0 << true;
    QTest::newRow("marker is case-sensitive") << none
                                              << QByteArrayList{"duration: 00:03:25.12\n"}
                                              << QStringList() << 0 << true;
    QTest::newRow("not available, then a real marker")
            << none << QByteArrayList{"  Duration: N/A, bitrate: N/A\n", "x\n", line}
            << QStringList{"N/A, bit", "00:03:25"} << 205 << false;
    QTest::newRow("earlier job's output ignored")
            << QByteArrayList{line, "size= 10kB time=00:03:25.12 \n"}
            << QByteArrayList{"size= 10kB time=00:00:02.00 \r", "x\n"} << QStringList() << 0
            << true;
    QTest::newRow("earlier job, then this job's marker")
            << QByteArrayList{"  Duration: 00:09:59.00\n"}
            << QByteArrayList{"  Dura", "tion: 00:00:05.00\n"} << QStringList{"00:00:05"} << 5
            << false;
}

// Chunks arrive one by one, as the converter writes them, behind what earlier jobs left.
void tst_ConverterOutput::durationAcrossChunks()
{
    QFETCH(QByteArrayList, earlierJob);
    QFETCH(QByteArrayList, chunks);

    QByteArray output = earlierJob.join();
    int duration = 599;
    ConverterOutputReader reader(output, duration);
    reader.BeginJob();
    QStringList clocks;
    ConverterOutputReader::Result read;
    for (const QByteArray &chunk : chunks) {
        read = reader.Read(chunk);
        QCOMPARE(read.percentage, -1);
        for (const auto &clock : read.clocks)
            clocks << clock.first;
    }
    QTEST(clocks, "clocks");
    QTEST(duration, "duration");
    QTEST(read.durationMissing, "durationMissing");
    QCOMPARE(output, earlierJob.join() + chunks.join());
}

void tst_ConverterOutput::progressAfterDuration()
{
    QByteArray output;
    int duration = 0;
    ConverterOutputReader reader(output, duration);
    reader.BeginJob();
    QList<int> percentages;
    for (const QByteArray &chunk :
         {QByteArray("  Duration: 00:00:10.00, start: 0\nsize= 1kB time=00:00:09.00 \r"),
          QByteArray("size= 1kB time=-00:00:00.02 \r"), QByteArray("size= 1kB time=2.50 \r"),
          QByteArray("frame=1 fps=0\n"), QByteArray("size= 1kB time=00:00:11.00 \n")}) {
        percentages << reader.Read(chunk).percentage;
    }
    // The chunk that completes the duration is not read for a position.
    QCOMPARE(percentages, QList<int>({-1, 0, 20, -1, 110}));
    QCOMPARE(duration, 10);
}

void tst_ConverterOutput::chunkText_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<QString>("text");

    QTest::newRow("plain") << QByteArray("time=1.00 \r") << "time=1.00 \r";
    QTest::newRow("zero byte cuts") << QByteArray("ab\0cd", 5) << "ab";
    QTest::newRow("zero byte first") << QByteArray("\0ab", 3) << "";
    QTest::newRow("Latin-1 bytes")
            << QByteArray("\xe9t\xe9 \xff") << QString::fromUtf8("été ÿ");
    QTest::newRow("UTF-8 read byte by byte")
            << QByteArray("\xc3\xa9") << QString::fromUtf8("Ã©");
    QTest::newRow("empty") << QByteArray() << "";
}

void tst_ConverterOutput::chunkText()
{
    QFETCH(QByteArray, chunk);
    QTEST(ConverterOutputParser::ChunkText(chunk), "text");
}

KELVANE_TEST_MAIN(tst_ConverterOutput)
#include "tst_converteroutput.moc"
