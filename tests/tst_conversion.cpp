#include "TestEnvironment.h"
#include "ConfigurationFile.h"
#include "ConverterStandIn.h"
#include "MessageCapture.h"
#include "ModalAnswerer.h"
#include "PendingRequests.h"
#include "TelemetryServer.h"
#include "UrlRecorder.h"

#include "config/Configuration.h"
#include "ui/MainWindow.h"

#include <QDataStream>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

namespace {

const QString Homepage = QStringLiteral("conv.kelvane.example/help");
const QString ConverterErrorText = QStringLiteral(
        "The built-in converter is missing. This app may not have been installed correctly."
        "\n\nPlease reinstall the app from the official website: http://%1").arg(Homepage);

QByteArray progressLine(const QByteArray &time, char end = '\r')
{
    return "size=     256kB time=" + time + " bitrate= 192.0kbits/s speed=  1x    " + end;
}

QByteArray durationLine(const QByteArray &clock)
{
    return "Input #0, flac, from 'a.b.flac':\n  Duration: " + clock
            + ", start: 0.000000, bitrate: 98 kb/s\n";
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A 440 Hz tone as 16-bit mono PCM in a WAV file, which any FFmpeg build reads.
QByteArray toneWav(int seconds)
{
    const quint32 rate = 44100;
    QByteArray samples;
    QDataStream out(&samples, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    for (quint32 i = 0; i < rate * quint32(seconds); ++i)
        out << qint16(qRound(12000 * std::sin(2 * 3.14159265358979 * 440 * i / rate)));

    QByteArray wav;
    QDataStream header(&wav, QIODevice::WriteOnly);
    header.setByteOrder(QDataStream::LittleEndian);
    header.writeRawData("RIFF", 4);
    header << quint32(36 + samples.size());
    header.writeRawData("WAVEfmt ", 8);
    header << quint32(16) << quint16(1) << quint16(1) << rate << quint32(rate * 2) << quint16(2)
           << quint16(16);
    header.writeRawData("data", 4);
    header << quint32(samples.size());
    return wav + samples;
}

// The codec of the first audio stream, as the real FFmpeg describes its input.
QString audioCodec(const QString &path)
{
    QProcess ffmpeg;
    ffmpeg.start(ConverterStandIn::realFFmpeg(), {"-nostdin", "-hide_banner", "-i", path});
    if (!ffmpeg.waitForFinished(30000))
        return QString();
    const QRegularExpression audio(QStringLiteral("Stream #0:\\d+\\S*: Audio: (\\w+)"));
    return audio.match(QString::fromUtf8(ffmpeg.readAllStandardError())).captured(1);
}

} // namespace

// The conversion job driven through the window as a user drives it: the real file dialog,
// the buttons, the message boxes, with the system's FFmpeg or a stand-in converter, and the
// telemetry it sends to a real HTTP server on 127.0.0.1.
class tst_Conversion : public QObject
{
    Q_OBJECT

public:
    tst_Conversion()
    {
        // A window waiting forever on its converter fails its test within minutes.
        if (qEnvironmentVariableIsEmpty("QTEST_FUNCTION_TIMEOUT"))
            qputenv("QTEST_FUNCTION_TIMEOUT", "120000");
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void realConversion();
    void progressFollowsConverter();
    void cancel();
    void converterOutcomes_data();
    void converterOutcomes();
    void converterVanishedBeforeItsError();
    void lateOutputAsConverterEnds_data();
    void lateOutputAsConverterEnds();
    void sourceNeverReplaced_data();
    void sourceNeverReplaced();
    void nothingDeletedWithoutConverter();
    void existingOutputReplaced();
    void durationFromCurrentJobOnly();
    void durationWaitBelongsToItsJob();
    void outputPathAndArguments_data();
    void outputPathAndArguments();
    void closedWhileConverting_data();
    void closedWhileConverting();
    void sourceFileFilter_data();
    void sourceFileFilter();
    void fileDialog_data();
    void fileDialog();
    void cancelledDialogChangesNothing();
    void dialogStartsAtLastChoice();
    void nothingChosen();
    void showFiles();

private:
    // The window's configuration: these fields plus a name, a brand, a homepage and, unless
    // given, the source format FLAC.
    void configure(const QByteArray &fields = R"("OutputFormatExtension":"mp3",
                                                 "FFMPEGArguments":"-y")");
    void openWindow();
    void chooseFile(const QString &path);
    void convert();
    void waitForEvents(const QString &method, int count, int timeoutMs = 10000);
    void settleTelemetry();
    void verifyIdle();
    void verifyConverterErrorShown();
    void verifyNothingShown();
    QList<QVariantMap> events(const QString &method) const;
    QList<QVariantMap> failures() const;
    bool openedDesktopFolder() const;
    QString desktopPath(const QString &name) const { return m_Desktop + '/' + name; }

    QPushButton *button(const char *name) const
    {
        return m_Window->findChild<QPushButton *>(QLatin1String(name));
    }
    QLabel *statusLabel() const { return m_Window->findChild<QLabel *>("statusLabel"); }
    QProgressBar *progressBar() const
    {
        return m_Window->findChild<QProgressBar *>("progressBar");
    }
    QLineEdit *selectedFile() const
    {
        return m_Window->findChild<QLineEdit *>("selectedFileLineEdit");
    }

    TelemetryServer m_Server;
    ModalAnswerer m_Answerer;
    UrlRecorder m_Opened{{QStringLiteral("http"), QStringLiteral("file")}};
    std::unique_ptr<MainWindow> m_Window;
    QTemporaryDir m_Sources;
    QString m_SpecialFolder;
    QString m_Source;
    QString m_Desktop;
};

void tst_Conversion::configure(const QByteArray &fields)
{
    QByteArray configuration = R"({"AppName":"Conv","BrandName":"Maker","AppHomepage":")"
            + Homepage.toUtf8() + '"';
    if (!fields.contains("SourceFormatExtension"))
        configuration += R"(,"SourceFormatExtension":"FLAC")";
    configuration += (fields.isEmpty() ? QByteArray() : ',' + fields) + '}';
    QVERIFY(ConfigurationFile().load(configuration));
}

void tst_Conversion::openWindow()
{
    m_Window = std::make_unique<MainWindow>();
}

void tst_Conversion::chooseFile(const QString &path)
{
    m_Answerer.queueFile(path);
    QTest::mouseClick(button("selectFileButton"), Qt::LeftButton);
    QCOMPARE(selectedFile()->text(), path);
}

void tst_Conversion::convert()
{
    QTest::mouseClick(button("convertButton"), Qt::LeftButton);
}

// Waits for the events, and for the requests sent before them, which travel over other
// connections and may land later.
void tst_Conversion::waitForEvents(const QString &method, int count, int timeoutMs)
{
    QTRY_COMPARE_WITH_TIMEOUT(m_Server.requestsFor(method).size(), count, timeoutMs);
    settleTelemetry();
}

// Requests still on their way land before anything is concluded from their absence.
void tst_Conversion::settleTelemetry()
{
    QTRY_VERIFY_WITH_TIMEOUT(AllRequestsFinished(), 10000);
}

void tst_Conversion::verifyIdle()
{
    QCOMPARE(button("convertButton")->text(), QStringLiteral("Convert"));
    QVERIFY(!progressBar()->isVisible());
    QCOMPARE(statusLabel()->text(), QString());
}

// The one message every converter failure shows, followed by the homepage.
void tst_Conversion::verifyConverterErrorShown()
{
    QCOMPARE(m_Answerer.boxes().size(), 1);
    QCOMPARE(m_Answerer.boxes().first().title, QStringLiteral("Converter error"));
    QCOMPARE(m_Answerer.boxes().first().text, ConverterErrorText);
    QCOMPARE(m_Opened.urls().count(QUrl("http://" + Homepage)), 1);
}

void tst_Conversion::verifyNothingShown()
{
    QVERIFY(m_Answerer.boxes().isEmpty());
    QVERIFY(!m_Opened.urls().contains(QUrl("http://" + Homepage)));
}

QList<QVariantMap> tst_Conversion::events(const QString &method) const
{
    QList<QVariantMap> found;
    for (const TelemetryServer::Request &request : m_Server.requestsFor(method))
        found << request.json();
    return found;
}

// Failures reported by conversions; the window's construction reports a missing converter
// on its own.
QList<QVariantMap> tst_Conversion::failures() const
{
    QList<QVariantMap> found = events(QStringLiteral("AppFailed"));
    found.erase(std::remove_if(found.begin(), found.end(),
                               [](const QVariantMap &event) {
                                   return event.value("ErrorCode") == QLatin1String("EC1");
                               }),
                found.end());
    return found;
}

bool tst_Conversion::openedDesktopFolder() const
{
    for (const QUrl &url : m_Opened.urls()) {
        if (url.scheme() == QLatin1String("file")
            && QDir::cleanPath(url.toLocalFile()) == m_Desktop)
            return true;
    }
    return false;
}

void tst_Conversion::initTestCase()
{
    QVERIFY(m_Server.listen(KELVANE_TEST_TELEMETRY_PORT));

    m_Desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    QVERIFY(m_Desktop.startsWith(QDir::homePath()));

    // A folder name that breaks anything passing the path through a shell or an URL.
    m_SpecialFolder = m_Sources.path() + QString::fromUtf8("/My Mix & Co + 'é'");
    QVERIFY(QDir().mkpath(m_SpecialFolder));
    m_Source = m_SpecialFolder + QStringLiteral("/a.b.flac");
    if (ConverterStandIn::realFFmpeg().isEmpty()) {
        // Only stand-ins convert here, and they never read their source.
        QVERIFY(writeFile(m_Source, "fLaC, a source no one reads"));
        return;
    }
    // Five seconds of stereo FLAC, made by the real FFmpeg.
    const QString tone = m_Sources.filePath(QStringLiteral("tone.wav"));
    QVERIFY(writeFile(tone, toneWav(5)));
    QProcess ffmpeg;
    ffmpeg.setWorkingDirectory(m_SpecialFolder);
    ffmpeg.start(ConverterStandIn::realFFmpeg(),
                 {"-nostdin", "-v", "error", "-i", tone, "-ac", "2", "a.b.flac"});
    QVERIFY(ffmpeg.waitForFinished(30000));
    QCOMPARE(ffmpeg.exitCode(), 0);
    QVERIFY(QFileInfo(m_Source).size() > 0);
    QCOMPARE(audioCodec(m_Source), QStringLiteral("flac"));
}

void tst_Conversion::init()
{
    configure();
    Configuration::BrandSettings->clear();
    Configuration::ApplicationSettings->clear();
    m_Server.clearAnswers();
    m_Server.clearRequests();
    m_Opened.clear();
    m_Answerer.clear();
    ConverterStandIn::remove();
    // Emptied, not removed: under Wine the desktop is a link into the home folder, which
    // removing the folder would leave dangling.
    QDir desktop(m_Desktop);
    const QDir::Filters everything = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden
            | QDir::System;
    for (const QFileInfo &entry : desktop.entryInfoList(everything)) {
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
    QVERIFY(QDir().mkpath(m_Desktop));
    QVERIFY(desktop.entryList(everything).isEmpty());
}

void tst_Conversion::cleanup()
{
    m_Window.reset();
    settleTelemetry();
    ConverterStandIn::remove();
}

void tst_Conversion::realConversion()
{
    configure(R"("OutputFormatExtension":"mp3",
                 "FFMPEGArguments":"-y -vn -codec:a libmp3lame -b:a 192k")");
    if (ConverterStandIn::realFFmpeg().isEmpty())
        QSKIP("No real FFmpeg to convert with: set KELVANE_TEST_FFMPEG to an ffmpeg.exe");
    QVERIFY(ConverterStandIn::linkSystemFFmpeg());
    openWindow();
    chooseFile(m_Source);
    convert();
    waitForEvents("ConversionCompleted", 1, 30000);

    const QString output = desktopPath("a.mp3");
    QCOMPARE(audioCodec(output), QStringLiteral("mp3"));

    QCOMPARE(events("ConversionStarted").size(), 1);
    const QVariantMap started = events("ConversionStarted").value(0);
    const QString id = started.value("ConversionID").toString();
    QVERIFY2(QRegularExpression("^[abcdefghjkmnpqrstuvwxyz23456789]{6}$").match(id).hasMatch(),
             qPrintable(id));
    QCOMPARE(started.value("FilePath").toString(), m_SpecialFolder);
    QCOMPARE(started.value("FileName").toString(), QStringLiteral("a.b.flac"));
    QCOMPARE(started.value("FileExtension").toString(), QStringLiteral("b.flac"));
    QCOMPARE(started.value("FileSize").toString(), QString::number(QFileInfo(m_Source).size()));
    QCOMPARE(started.value("FormatToConvertTo").toString(), QStringLiteral("mp3"));
    QCOMPARE(started.value("FFMPEGArguments").toString(),
             QStringLiteral("-i %1 -y -vn -codec:a libmp3lame -b:a 192k %2")
                     .arg(m_Source, output));

    const QVariantMap completed = events("ConversionCompleted").value(0);
    QCOMPARE(completed.value("ConversionID").toString(), id);
    QCOMPARE(completed.value("ConvertedFileSize").toString(),
             QString::number(QFileInfo(output).size()));
    QVERIFY(openedDesktopFolder());
    verifyIdle();
    QCOMPARE(Configuration::ApplicationSettings->value("LastSelectFolder").toString(), m_Source);
    QCOMPARE(failures().size(), 0);
}

// The status label and the bar follow the converter's clock-style positions once the duration
// has arrived, even split across two chunks and after a duration that is not a time; a chunk
// completing the duration is not read for a position, and positions that are not a time give 0 %.
void tst_Conversion::progressFollowsConverter()
{
    ConverterStandIn::Script script;
    script.say("Input #0, flac, from 'pipe:':\n  Duration: N/A, start: 0.000000, bitrate: N/A\n"
               "Input #1, flac, from 'a.b.flac':\n  Durat").pause(0.4)
            .say("ion: 00:00:10.00, start: 0.000000\n" + progressLine("00:00:09.00")).pause(0.4)
            .say(progressLine("-00:00:00.02")).pause(0.4)
            .say(progressLine("00:00:02.50")).pause(0.4)
            .say(progressLine("00:00:05.00")).pause(0.4)
            .say(progressLine("8.90")).pause(0.4)
            .say(progressLine("00:00:10.00", '\n')).pause(0.4).exitWith(0);
    QVERIFY(ConverterStandIn::install(script));
    openWindow();
    chooseFile(m_Source);

    QList<QPair<int, QString>> steps;
    connect(progressBar(), &QProgressBar::valueChanged, this,
            [&](int value) { steps << qMakePair(value, statusLabel()->text()); });
    QStringList labels;
    const std::function<void()> recordLabel = [&] {
        if (labels.isEmpty() || labels.last() != statusLabel()->text())
            labels << statusLabel()->text();
    };
    QTimer labelWatch;
    connect(&labelWatch, &QTimer::timeout, this, recordLabel);

    convert();
    labelWatch.start(10);
    QCOMPARE(button("convertButton")->text(), QStringLiteral("Cancel"));
    QVERIFY(progressBar()->isVisible());
    QCOMPARE(statusLabel()->text(), QStringLiteral("Converting..."));
    waitForEvents("ConversionCompleted", 1);
    labelWatch.stop();
    recordLabel();

    const auto percent = [](int value) {
        return QStringLiteral("Converting... %1% complete").arg(value);
    };
    const QList<QPair<int, QString>> expectedSteps{
            {20, percent(20)}, {50, percent(50)}, {80, percent(80)}, {100, percent(100)}};
    QCOMPARE(steps, expectedSteps);
    QCOMPARE(labels, QStringList({"Converting...", percent(0), percent(20), percent(50),
                                  percent(80), percent(100), ""}));
    verifyIdle();
}

void tst_Conversion::cancel()
{
    ConverterStandIn::Script script;
    script.say(durationLine("00:01:00.00")).pause(0.3).writeOutput("partial")
            .say(progressLine("00:00:30.00")).hang();
    QVERIFY(ConverterStandIn::install(script));
    openWindow();
    chooseFile(m_Source);
    QElapsedTimer running;
    running.start();
    convert();
    QTRY_COMPARE(statusLabel()->text(), QStringLiteral("Converting... 50% complete"));
    const QString output = desktopPath("a.mp3");
    QVERIFY(QFile::exists(output));
    QVERIFY(ConverterStandIn::isRunning());

    convert();
    const qint64 elapsedSeconds = running.elapsed() / 1000;
    QVERIFY(!ConverterStandIn::isRunning());
    QVERIFY(!QFile::exists(output));
    verifyIdle();
    QVERIFY(m_Answerer.boxes().isEmpty());

    waitForEvents("ConversionCancelled", 1);
    waitForEvents("ConversionCompleted", 1);
    const QString id = events("ConversionStarted").value(0).value("ConversionID").toString();
    const QVariantMap cancelled = events("ConversionCancelled").value(0);
    QCOMPARE(cancelled.value("ConversionID").toString(), id);
    QCOMPARE(cancelled.value("ConvertedFileSize").toString(), QStringLiteral("7"));
    QCOMPARE(cancelled.value("ConversionPercentageComplete").toInt(), 50);
    QVERIFY(cancelled.value("ConversionDurationInSeconds").toLongLong() <= elapsedSeconds);
    // The close ends the process before the partial file is deleted.
    const QVariantMap completed = events("ConversionCompleted").value(0);
    QCOMPARE(completed.value("ConversionID").toString(), id);
    QCOMPARE(completed.value("ConvertedFileSize").toString(), QStringLiteral("7"));
    QVERIFY(openedDesktopFolder());
    QCOMPARE(failures().size(), 0);
    QVERIFY(m_Answerer.boxes().isEmpty());
}

enum class Converter { Missing, NotExecutable, Script };
Q_DECLARE_METATYPE(Converter)

void tst_Conversion::converterOutcomes_data()
{
    QTest::addColumn<Converter>("converter");
    QTest::addColumn<ConverterStandIn::Script>("script");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("debugInfo");
    QTest::addColumn<bool>("completes");

    using Script = ConverterStandIn::Script;
    const QString crashed = QStringLiteral("QProcess::Crashed when calling FFMPEG at this path: "
                                           "<converter>\nWith these parameters: <arguments>\n");

    QTest::newRow("converter missing")
            << Converter::Missing << Script() << "EC2"
            << "Failed to start FFMPEG. Looked for FFMPEG at this path: <converter>\n"
               "Configuration::PathForApplicationFolder() = <folder>\n"
            << false;
    QTest::newRow("not executable")
            << Converter::NotExecutable << Script().exitWith(0) << "EC3"
            << "QProcess::FailedToStart. Insufficient permissions for FFMPEG at this path: "
               "<converter>\n"
            << false;
    QTest::newRow("crashes")
            << Converter::Script
            << Script().say(durationLine("00:00:05.00")).writeOutput().pause(0.2).crash()
            << "EC4" << crashed << true;
    QTest::newRow("no duration within three seconds")
            << Converter::Script
            << Script().writeOutput().repeat("Press [q] to stop, [?] for help\n", 0.25)
            << "EC4" << crashed << true;
    QTest::newRow("floods its output without a duration")
            << Converter::Script
            << Script().writeOutput().repeat("Press [q] to stop\n", 0)
            << "EC4" << crashed << true;
    QTest::newRow("duration after one second")
            << Converter::Script
            << Script().writeOutput().repeat("Stream mapping:\n", 0.25, 4)
                       .say(durationLine("00:00:10.00"))
                       .repeat(progressLine("00:00:01.00"), 0.25, 12).exitWith(0)
            << "" << "" << true;
    QTest::newRow("exit code 1")
            << Converter::Script
            << Script().say(durationLine("00:00:05.00")).writeOutput().exitWith(1) << ""
            << "" << true;
}

// Every way a converter can end, as the user and telemetry see it.
void tst_Conversion::converterOutcomes()
{
    QFETCH(Converter, converter);
    QFETCH(ConverterStandIn::Script, script);
    QFETCH(QString, failure);
    QFETCH(bool, completes);

    if (converter != Converter::Missing) {
        QVERIFY(ConverterStandIn::install(script, converter == Converter::Script));
    }
    openWindow();
    chooseFile(m_Source);
    convert();
    if (completes)
        waitForEvents("ConversionCompleted", 1, 15000);
    if (!failure.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(m_Answerer.boxes().size(), 1, 15000);
    settleTelemetry();

    const QString output = desktopPath("a.mp3");
    const QString arguments = QStringLiteral("-i %1 -y %2").arg(m_Source, output);
    const bool started = converter != Converter::Missing;
    QCOMPARE(events("ConversionStarted").size(), started ? 1 : 0);
    QCOMPARE(events("ConversionCompleted").size(), completes ? 1 : 0);
    QCOMPARE(openedDesktopFolder(), completes);
    if (converter == Converter::Script)
        QCOMPARE(ConverterStandIn::arguments(), QStringList({"-i", m_Source, "-y", output}));
    QVERIFY(!ConverterStandIn::isRunning());

    verifyIdle();
    const QList<QVariantMap> reported = failures();
    if (failure.isEmpty()) {
        QCOMPARE(reported.size(), 0);
        verifyNothingShown();
        QCOMPARE(readAll(output), QByteArray("partial"));
        return;
    }
    QCOMPARE(reported.size(), 1);
    QCOMPARE(reported.first().value("ErrorCode").toString(), failure);
    QFETCH(QString, debugInfo);
    debugInfo.replace("<converter>", ConverterStandIn::path())
            .replace("<folder>", Configuration::PathForApplicationFolder())
            .replace("<arguments>", arguments);
    QCOMPARE(reported.first().value("DebugInfo").toString(), debugInfo);
    verifyConverterErrorShown();
    QVERIFY(!QFile::exists(output));
}

// A converter that cannot start and is gone by the time its failure arrives: there is nothing
// left to blame for it, so the user is told but no failure is reported.
void tst_Conversion::converterVanishedBeforeItsError()
{
#ifdef Q_OS_WIN
    QSKIP("On Windows QProcess reports a failed start from within start(), before the "
          "converter could vanish");
#endif
    QVERIFY(ConverterStandIn::install(ConverterStandIn::Script().exitWith(0), false));
    openWindow();
    chooseFile(m_Source);
    convert();
    // The failure to start arrives from the event loop, after the click has been handled.
    QVERIFY(QFile::remove(ConverterStandIn::path()));
    QTRY_COMPARE(m_Answerer.boxes().size(), 1);
    settleTelemetry();

    verifyConverterErrorShown();
    QCOMPARE(events("ConversionStarted").size(), 1);
    QCOMPARE(failures().size(), 0);
    QCOMPARE(events("ConversionCompleted").size(), 0);
    verifyIdle();
}

void tst_Conversion::lateOutputAsConverterEnds_data()
{
    QTest::addColumn<bool>("crashes");

    QTest::newRow("exits") << false;
    QTest::newRow("crashes") << true;
}

// Words without a duration after three seconds, written just before the converter ends, reach
// the window while QProcess reports that end. The window must not wait there for a converter
// that is already gone; it completes the job, with a failure only when the converter crashed.
void tst_Conversion::lateOutputAsConverterEnds()
{
    QFETCH(bool, crashes);

    ConverterStandIn::Script script;
    script.writeOutput().pause(3.2).say("Conversion failed!\n");
    if (crashes)
        script.crash();
    else
        script.exitWith(0);
    QVERIFY(ConverterStandIn::install(script));
    openWindow();
    chooseFile(m_Source);
    convert();
    waitForEvents("ConversionCompleted", 1, 15000);

    const QList<QVariantMap> reported = failures();
    if (crashes)
        QCOMPARE(reported.size(), 1);
    // A converter that exits on its own is normally gone before it could be stopped.
    QVERIFY(reported.size() <= 1);
    if (reported.isEmpty()) {
        verifyNothingShown();
    } else {
        QCOMPARE(reported.first().value("ErrorCode").toString(), QStringLiteral("EC4"));
        verifyConverterErrorShown();
        QVERIFY(!QFile::exists(desktopPath("a.mp3")));
    }
    QCOMPARE(events("ConversionCompleted").size(), 1);
    QVERIFY(!ConverterStandIn::isRunning());
    verifyIdle();
}

void tst_Conversion::sourceNeverReplaced_data()
{
    QTest::addColumn<QString>("outputExtension");
    QTest::addColumn<bool>("throughLinkedFolder");

    QTest::newRow("same name and extension") << "mp3" << false;
    QTest::newRow("output extension in capitals") << "MP3" << false;
    QTest::newRow("desktop reached through a linked folder") << "mp3" << true;
}

// A source on the desktop whose output path is the source itself is left alone.
void tst_Conversion::sourceNeverReplaced()
{
    QFETCH(QString, outputExtension);
    QFETCH(bool, throughLinkedFolder);

    configure(R"("FFMPEGArguments":"-y","OutputFormatExtension":")" + outputExtension.toUtf8()
              + '"');
    QVERIFY(ConverterStandIn::install(ConverterStandIn::Script().exitWith(0)));
    const QByteArray music("ID3\x04 the user's own recording", 29);
    QVERIFY(writeFile(desktopPath("song.mp3"), music));
    QString folder = m_Desktop;
    if (throughLinkedFolder) {
#ifdef Q_OS_WIN
        QSKIP("A Windows shortcut is a file of its own, not a folder that paths pass through");
#endif
        folder = m_Sources.path() + "/desk";
        QVERIFY(QFile::link(m_Desktop, folder));
    }

    openWindow();
    chooseFile(folder + "/song.mp3");
    convert();
    settleTelemetry();
    QFile::remove(m_Sources.path() + "/desk");

    QCOMPARE(m_Answerer.boxes().size(), 1);
    QCOMPARE(m_Answerer.boxes().first().title, QStringLiteral("Cannot convert this file"));
    QVERIFY2(m_Answerer.boxes().first().text.contains("song.mp3"),
             qPrintable(m_Answerer.boxes().first().text));
    QCOMPARE(readAll(desktopPath("song.mp3")), music);
    QVERIFY(!ConverterStandIn::wasStarted());
    QCOMPARE(events("ConversionStarted").size(), 0);
    QCOMPARE(failures().size(), 0);
    QVERIFY(m_Opened.urls().isEmpty());
    verifyIdle();
}

// Without a converter no job can start, so the user's file at the output path stays.
void tst_Conversion::nothingDeletedWithoutConverter()
{
    QVERIFY(writeFile(desktopPath("a.mp3"), "earlier conversion"));
    openWindow();
    chooseFile(m_Source);
    convert();

    verifyConverterErrorShown();
    QCOMPARE(readAll(desktopPath("a.mp3")), QByteArray("earlier conversion"));
    waitForEvents("AppFailed", 2);
    QCOMPARE(failures().value(0).value("ErrorCode").toString(), QStringLiteral("EC2"));
    verifyIdle();
}

// A file left at the output path by an earlier conversion is gone before the converter runs.
void tst_Conversion::existingOutputReplaced()
{
    QVERIFY(ConverterStandIn::install(ConverterStandIn::Script().exitWith(0)));
    QVERIFY(writeFile(desktopPath("a.mp3"), "earlier conversion"));
    openWindow();
    chooseFile(m_Source);
    convert();
    waitForEvents("ConversionCompleted", 1);

    QVERIFY(ConverterStandIn::wasStarted());
    QVERIFY(!QFile::exists(ConverterStandIn::outputExistedFile()));
    QVERIFY(!QFile::exists(desktopPath("a.mp3")));
}

// A job that completed normally leaves its output behind; the next job must find its own
// duration or be stopped, never take the earlier one.
void tst_Conversion::durationFromCurrentJobOnly()
{
    ConverterStandIn::Script first;
    first.say(durationLine("00:00:05.00")).pause(0.3).say(progressLine("00:00:02.00"))
            .pause(0.3).say(progressLine("00:00:05.00", '\n')).exitWith(0);
    QVERIFY(ConverterStandIn::install(first));
    openWindow();
    chooseFile(m_Source);
    QSignalSpy values(progressBar(), &QProgressBar::valueChanged);
    convert();
    waitForEvents("ConversionCompleted", 1);
    QCOMPARE(values.count(), 2);
    QCOMPARE(values.at(0).at(0).toInt(), 40);

    ConverterStandIn::Script second;
    second.repeat(progressLine("00:00:02.00"), 0.25);
    QVERIFY(ConverterStandIn::install(second));
    values.clear();
    QStringList labels;
    QTimer labelWatch;
    connect(&labelWatch, &QTimer::timeout, this, [&] { labels << statusLabel()->text(); });
    labelWatch.start(10);
    convert();
    QTRY_COMPARE_WITH_TIMEOUT(m_Answerer.boxes().size(), 1, 10000);
    labelWatch.stop();

    verifyConverterErrorShown();
    // Only the start's reset to 0, nothing shown as a percentage.
    for (const QList<QVariant> &value : values)
        QCOMPARE(value.at(0).toInt(), 0);
    QVERIFY2(labels.filter("%").isEmpty(), qPrintable(labels.filter("%").join('|')));
    waitForEvents("ConversionCompleted", 2);
    QCOMPARE(failures().size(), 1);
    QCOMPARE(failures().first().value("ErrorCode").toString(), QStringLiteral("EC4"));
    QVERIFY(!ConverterStandIn::isRunning());
    verifyIdle();
}

// Each job has its own three seconds to report a duration: those of a job that ended sooner do
// not run out during the next one and stop a converter that is working.
void tst_Conversion::durationWaitBelongsToItsJob()
{
    ConverterStandIn::Script quick;
    quick.say(durationLine("00:00:05.00")).say(progressLine("00:00:05.00", '\n')).exitWith(0);
    QVERIFY(ConverterStandIn::install(quick));
    openWindow();
    chooseFile(m_Source);
    QElapsedTimer sinceFirstStart;
    sinceFirstStart.start();
    convert();
    waitForEvents("ConversionCompleted", 1);

    // The second job starts two seconds after the first; its converter sends a chunk without
    // a duration once the first job's three seconds are over, well within its own.
    const QString poke = m_Sources.filePath("poke");
    const QString go = m_Sources.filePath("go");
    QFile::remove(poke);
    QFile::remove(go);
    ConverterStandIn::Script second;
    second.say("Stream mapping:\n").waitForFile(poke).say("Press [q] to stop\n")
            .waitForFile(go).say(durationLine("00:00:05.00"))
            .say(progressLine("00:00:05.00", '\n')).exitWith(0);
    QVERIFY(ConverterStandIn::install(second));
    QTest::qWait(int(qMax<qint64>(0, 2000 - sinceFirstStart.elapsed())));
    MessageCapture log;
    QElapsedTimer sinceSecondStart;
    sinceSecondStart.start();
    convert();
    QTest::qWait(int(qMax<qint64>(0, 3400 - sinceFirstStart.elapsed())));
    QVERIFY(writeFile(poke, QByteArray()));
    QTRY_VERIFY_WITH_TIMEOUT(!log.lines().filter("Press [q] to stop").isEmpty(), 10000);
    // Read near the end of its own three seconds, the chunk would prove nothing either way.
    if (sinceSecondStart.elapsed() > 2800)
        QSKIP("The machine was too busy to read the chunk early in the second job");

    QCOMPARE(log.lines().filter("Did not find a duration").size(), 0);
    QVERIFY(writeFile(go, QByteArray()));
    waitForEvents("ConversionCompleted", 2);
    QCOMPARE(failures().size(), 0);
    verifyNothingShown();
    verifyIdle();
}

void tst_Conversion::outputPathAndArguments_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QByteArray>("fields");
    QTest::addColumn<QString>("outputName");
    QTest::addColumn<QStringList>("middle");
    QTest::addColumn<QString>("fileExtension");
    QTest::addColumn<QString>("format");

    QTest::newRow("complete suffix dropped")
            << "a.b.flac" << QByteArray(R"("OutputFormatExtension":"ogg","FFMPEGArguments":"-y")")
            << "a.ogg" << QStringList{"-y"} << "b.flac" << "ogg";
    QTest::newRow("extension lower-cased")
            << "song.flac" << QByteArray(R"("OutputFormatExtension":"OGG","FFMPEGArguments":"-y")")
            << "song.ogg" << QStringList{"-y"} << "flac" << "ogg";
    QTest::newRow("extension missing")
            << "song.flac" << QByteArray(R"("FFMPEGArguments":"-y")") << "song."
            << QStringList{"-y"} << "flac" << "";
    QTest::newRow("empty arguments")
            << "song.flac" << QByteArray(R"("OutputFormatExtension":"mp3","FFMPEGArguments":"")")
            << "song.mp3" << QStringList() << "flac" << "mp3";
    QTest::newRow("arguments missing")
            << "song.flac" << QByteArray(R"("OutputFormatExtension":"mp3")") << "song.mp3"
            << QStringList() << "flac" << "mp3";
    QTest::newRow("two spaces keep an empty argument")
            << "song.flac"
            << QByteArray(R"("OutputFormatExtension":"mp3","FFMPEGArguments":"-ab  192k")")
            << "song.mp3" << QStringList{"-ab", "", "192k"} << "flac" << "mp3";
    QTest::newRow("paths passed unchanged")
            << QString::fromUtf8("My Mix & Co + 'é'/x y $(z).flac")
            << QByteArray(R"("OutputFormatExtension":"mp3","FFMPEGArguments":"-b:a 192k -y")")
            << "x y $(z).mp3" << QStringList{"-b:a", "192k", "-y"} << "flac" << "mp3";
}

void tst_Conversion::outputPathAndArguments()
{
    QFETCH(QString, source);
    QFETCH(QByteArray, fields);
    QFETCH(QString, outputName);
    QFETCH(QStringList, middle);

    configure(fields);
    QVERIFY(ConverterStandIn::install(ConverterStandIn::Script().exitWith(0)));
    const QString input = m_Sources.path() + '/' + source;
    QVERIFY(writeFile(input, "fLaC"));
    openWindow();
    chooseFile(input);
    convert();
    waitForEvents("ConversionCompleted", 1);

    const QStringList expected = QStringList{"-i", input} + middle
            + QStringList{desktopPath(outputName)};
    QCOMPARE(ConverterStandIn::arguments(), expected);
    const QVariantMap started = events("ConversionStarted").value(0);
    QTEST(started.value("FileExtension").toString(), "fileExtension");
    QTEST(started.value("FormatToConvertTo").toString(), "format");
    QCOMPARE(started.value("FileSize").toString(), QStringLiteral("4"));
    QCOMPARE(started.value("FFMPEGArguments").toString(), expected.join(' '));
}

// Closing the window during a conversion ends the converter without running any of the
// conversion's slots on the dying window, and removes the truncated output as a cancel does.
// A job that finishes while the close waits for the server's answer completes as usual and
// keeps its file.
void tst_Conversion::closedWhileConverting_data()
{
    QTest::addColumn<bool>("finishesDuringClose");
    QTest::addColumn<QByteArray>("outputLeft");

    QTest::newRow("converter still running at teardown") << false << QByteArray();
    QTest::newRow("converter finishes while the close waits") << true << QByteArray("complete");
}

void tst_Conversion::closedWhileConverting()
{
    QFETCH(bool, finishesDuringClose);
    QFETCH(QByteArray, outputLeft);

    // The converter reports its progress until a go file appears, then finishes its output.
    const QString go = ConverterStandIn::folder() + QStringLiteral("/go");
    QFile::remove(go);
    ConverterStandIn::Script script;
    script.say(durationLine("00:01:00.00")).writeOutput("partial")
            .repeatUntilFile(progressLine("00:00:30.00"), 0.05, go)
            .writeOutput("complete").exitWith(0);
    if (finishesDuringClose) {
        // The converter finishes once the close has begun; the close then stops waiting as it
        // does for a silent server, once the completion has been reported.
        m_Server.setAnswer("AppClosed", R"({"Status":"SUCCESS"})", TelemetryServer::Never);
        connect(&m_Server, &TelemetryServer::requestReceived, this,
                [go](const TelemetryServer::Request &request) {
                    if (request.eventMethod() == QLatin1String("AppClosed"))
                        QFile(go).open(QIODevice::WriteOnly);
                    if (request.eventMethod() == QLatin1String("ConversionCompleted"))
                        AbortRequestsInFlight();
                });
    }
    QVERIFY(ConverterStandIn::install(script));
    openWindow();
    chooseFile(m_Source);
    convert();
    QTRY_COMPARE(statusLabel()->text(), QStringLiteral("Converting... 50% complete"));
    QVERIFY(ConverterStandIn::isRunning());

    MessageCapture log;
    QVERIFY(m_Window->close());
    m_Window.reset();
    m_Server.disconnect(this);
    QVERIFY(!ConverterStandIn::isRunning());
    QCoreApplication::processEvents();
    settleTelemetry();

    QCOMPARE(QFile::exists(desktopPath("a.mp3")), !outputLeft.isEmpty());
    QCOMPARE(readAll(desktopPath("a.mp3")), outputLeft);
    QCOMPARE(events("ConversionCompleted").size(), finishesDuringClose ? 1 : 0);
    QCOMPARE(events("ConversionCancelled").size(), 0);
    QCOMPARE(failures().size(), 0);
    QVERIFY(m_Answerer.boxes().isEmpty());
    QCOMPARE(m_Opened.urls().size(), finishesDuringClose ? 1 : 0);
    QCOMPARE(log.indexStartingWith("[ConversionProcessError]"), -1);
}

void tst_Conversion::sourceFileFilter_data()
{
    QTest::addColumn<QString>("extensions");
    QTest::addColumn<QString>("filter");

    QTest::newRow("one extension") << "FLAC" << "FLAC file (*.flac)";
    QTest::newRow("one extension kept as written") << "Flac" << "Flac file (*.flac)";
    QTest::newRow("list") << "flac,wav" << "FLAC file (*.flac *.wav)";
    QTest::newRow("list of three") << "WAV,aiff,Aif" << "WAV file (*.wav *.aiff *.aif)";
    QTest::newRow("trailing comma") << "flac," << "FLAC file (*.flac *.)";
    QTest::newRow("empty") << "" << " file (*.)";
}

void tst_Conversion::sourceFileFilter()
{
    QFETCH(QString, extensions);
    QTEST(MainWindow::SourceFileFilter(extensions), "filter");
}

void tst_Conversion::fileDialog_data()
{
    QTest::addColumn<QByteArray>("extensions");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("filter");

    QTest::newRow("one extension")
            << QByteArray("FLAC") << "Select a FLAC file to convert" << "FLAC file (*.flac)";
    QTest::newRow("list") << QByteArray("flac,wav") << "Select a flac file to convert"
                          << "FLAC file (*.flac *.wav)";
}

void tst_Conversion::fileDialog()
{
    QFETCH(QByteArray, extensions);
    configure(R"("SourceFormatExtension":")" + extensions + '"');
    openWindow();
    chooseFile(m_Source);

    QCOMPARE(m_Answerer.fileDialogs().size(), 1);
    const ModalAnswerer::FileDialogVisit dialog = m_Answerer.fileDialogs().first();
    QTEST(dialog.title, "title");
    QFETCH(QString, filter);
    QCOMPARE(dialog.filters, QStringList{filter});
    QCOMPARE(dialog.directory, m_Desktop);
    QCOMPARE(Configuration::ApplicationSettings->value("LastSelectFolder").toString(), m_Source);
}

void tst_Conversion::cancelledDialogChangesNothing()
{
    QVERIFY(ConverterStandIn::install(ConverterStandIn::Script().exitWith(0)));
    openWindow();
    chooseFile(m_Source);
    QTest::mouseClick(button("selectFileButton"), Qt::LeftButton);

    QCOMPARE(m_Answerer.fileDialogs().size(), 2);
    QCOMPARE(selectedFile()->text(), m_Source);
    QCOMPARE(Configuration::ApplicationSettings->value("LastSelectFolder").toString(), m_Source);
    convert();
    waitForEvents("ConversionCompleted", 1);
    QCOMPARE(ConverterStandIn::arguments().value(1), m_Source);
}

// The dialog opens at the file chosen last, also after a restart.
void tst_Conversion::dialogStartsAtLastChoice()
{
    openWindow();
    chooseFile(m_Source);
    QTest::mouseClick(button("selectFileButton"), Qt::LeftButton);
    m_Window.reset();
    Configuration::Initialize();
    openWindow();
    QTest::mouseClick(button("selectFileButton"), Qt::LeftButton);

    QCOMPARE(m_Answerer.fileDialogs().size(), 3);
    QCOMPARE(m_Answerer.fileDialogs().at(0).directory, m_Desktop);
    for (int visit : {1, 2}) {
        QCOMPARE(m_Answerer.fileDialogs().at(visit).directory, m_SpecialFolder);
        QCOMPARE(m_Answerer.fileDialogs().at(visit).preselected, QStringLiteral("a.b.flac"));
    }
}

void tst_Conversion::nothingChosen()
{
    configure(R"("SourceFormatExtension":"FLAC,WAV","OutputFormatExtension":"mp3")");
    QVERIFY(ConverterStandIn::install(ConverterStandIn::Script().exitWith(0)));
    openWindow();
    convert();

    QCOMPARE(m_Answerer.boxes().size(), 1);
    QCOMPARE(m_Answerer.boxes().first().title, QStringLiteral("Select a file"));
    QCOMPARE(m_Answerer.boxes().first().text,
             QStringLiteral("Select an FLAC,WAV file from your computer first."));
    settleTelemetry();
    QVERIFY(!ConverterStandIn::wasStarted());
    QCOMPARE(events("ConversionStarted").size(), 0);
    verifyIdle();
}

void tst_Conversion::showFiles()
{
    openWindow();
    QTest::mouseClick(button("showFilesButton"), Qt::LeftButton);
    QCOMPARE(m_Opened.urls().size(), 1);
    QVERIFY(openedDesktopFolder());
}

KELVANE_TEST_MAIN(tst_Conversion)
#include "tst_conversion.moc"
