#pragma once

#include "Event.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Takes a request body of the telemetry API apart: "PostData=" + a JSON object + "&". The JSON
// stands raw between the two (never form-encoded), one Latin-1 byte per character. No I/O: the
// same bytes always give the same result, so the fuzzer and the tests can drive it directly.
class EventParser
{
public:
    struct Options
    {
        // Folder and file names are personal data: dropped unless the operator asks for them.
        bool keepFileNames = false;
    };

    struct Refusal
    {
        int status = 400;   // the HTTP status of the answer
        QString reason;     // ASCII text for the answer's "Reason"
    };

    struct Result
    {
        std::optional<Event> event;
        Refusal refusal;   // meaningful only without an event

        bool ok() const { return event.has_value(); }
    };

    static Result parse(const QByteArray &body, const Options &options, qint64 receivedAtMs);

    // The names accepted as "Method".
    static bool isKnownMethod(const QString &method);
};
