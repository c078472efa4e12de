// The cost of one JSON call as the program makes them: parsing a typical server answer (the
// answer to AppOpened with an update announcement) and writing a typical event (the request
// map of ConversionStarted with its common fields). Prints microseconds per call, the median of
// several batches.
#include "config/JSON.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

const QString TypicalAnswer = QStringLiteral(
        R"({"Status":"SUCCESS","Contents":{"Update":{"Required":0,)"
        R"("Message":"Kelvane 2.0 is here: faster conversions and a new look.",)"
        R"("BrowsableURL":"https://www.kelvane.example/flac-to-mp3/update"}}})");

QVariantMap TypicalEvent()
{
    return {{"APIVersion", "1.0"},
            {"Method", "ConversionStarted"},
            {"BrandID", "7"},
            {"AppID", "101"},
            {"AppVersion", "1.0.0"},
            {"UserID", "20261210131500.k7m2p9x4qa"},
            {"AppSessionID", "h3n8wd"},
            {"OS", "Linux"},
            {"OSVersion", "Debian GNU/Linux 12 (bookworm)"},
            {"DateTimeClient", "2026-12-10 13:15:00"},
            {"ConversionID", "q4z8tm"},
            {"FilePath", "/home/user/Music"},
            {"FileName", "Track 01.flac"},
            {"FileExtension", "flac"},
            {"FileSize", "31457280"},
            {"FormatToConvertTo", "mp3"},
            {"FFMPEGArguments", "-i /home/user/Music/Track 01.flac -y -vn -codec:a libmp3lame "
                                "-b:a 192k /home/user/Desktop/Track 01.mp3"}};
}

// Microseconds per call: the median over batches, each long enough to time well.
double MicrosecondsPerCall(const std::function<void()> &Call)
{
    constexpr int Batches = 9;
    int calls = 1;
    QElapsedTimer timer;
    for (;;) {   // find a batch size that takes at least 20 ms
        timer.start();
        for (int i = 0; i < calls; ++i)
            Call();
        if (timer.nsecsElapsed() >= 20'000'000)
            break;
        calls *= 2;
    }
    std::vector<double> perCall;
    for (int batch = 0; batch < Batches; ++batch) {
        timer.start();
        for (int i = 0; i < calls; ++i)
            Call();
        perCall.push_back(timer.nsecsElapsed() / 1000.0 / calls);
    }
    std::nth_element(perCall.begin(), perCall.begin() + Batches / 2, perCall.end());
    return perCall[Batches / 2];
}

// Keeps the results alive, so that no call is optimised away.
volatile qsizetype Sink = 0;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);   // the script engine needs one
    const QVariantMap event = TypicalEvent();
    const double parse = MicrosecondsPerCall([] { Sink = JSON::Parse(TypicalAnswer).size(); });
    const double stringify =
            MicrosecondsPerCall([&event] { Sink = JSON::Stringify(event).size(); });
    std::printf("JSON (Qt %s): parse of a server answer %.2f us per call, stringify of an event "
                "%.2f us per call\n",
                qVersion(), parse, stringify);
    return 0;
}
