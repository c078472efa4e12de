// Feeds arbitrary request bodies to the collector's EventParser and checks what the rest of the
// collector relies on: an accepted body gives a known Method, the identifiers it is filed under
// match the stored object, file names are gone unless kept (also from the command line and the
// diagnostics), and nothing else is changed; a refused body gets 400 or 422 with a short
// printable reason.

#include "FuzzCheck.h"
#include "collector/EventParser.h"

#include <QJsonDocument>

#include <cstdint>

namespace {

const qint64 receivedAt = 1765440000000;

bool printable(const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

void check(const QByteArray &body, bool keepFileNames)
{
    EventParser::Options options;
    options.keepFileNames = keepFileNames;
    const EventParser::Result result = EventParser::parse(body, options, receivedAt);
    const bool framed = body.startsWith("PostData=") && body.endsWith('&') && body.size() > 9;

    if (!result.ok()) {
        const EventParser::Refusal &refusal = result.refusal;
        FUZZ_CHECK(refusal.status == 400 || refusal.status == 422, "status %d", refusal.status);
        FUZZ_CHECK(!refusal.reason.isEmpty() && refusal.reason.size() < 200
                       && printable(refusal.reason),
                   "reason \"%s\"", refusal.reason.toUtf8().constData());
        FUZZ_CHECK(framed || refusal.status == 400, "unframed body refused with %d",
                   refusal.status);
        return;
    }

    FUZZ_CHECK(framed, "a body without PostData= ... & accepted");
    const Event &event = *result.event;
    const QJsonObject &fields = event.fields;
    FUZZ_CHECK(EventParser::isKnownMethod(event.method), "Method \"%s\"",
               event.method.toUtf8().constData());
    FUZZ_CHECK(fields.value(QLatin1String("Method")).toString() == event.method, "Method copy");
    FUZZ_CHECK(!event.userId.isEmpty()
                   && fields.value(QLatin1String("UserID")).toString() == event.userId,
               "UserID");
    FUZZ_CHECK(!event.appSessionId.isEmpty()
                   && fields.value(QLatin1String("AppSessionID")).toString()
                          == event.appSessionId,
               "AppSessionID");
    FUZZ_CHECK(fields.value(QLatin1String("AppID")).toString().toLongLong() == event.appId,
               "AppID");
    FUZZ_CHECK(fields.value(QLatin1String("BrandID")).toString().toLongLong() == event.brandId,
               "BrandID");
    FUZZ_CHECK(event.receivedAtMs == receivedAt, "receive time");

    // What was sent, read the same way, less the names unless they are kept.
    QJsonObject sent = QJsonDocument::fromJson(
        QString::fromLatin1(body.mid(9, body.size() - 10)).toUtf8()).object();
    if (!keepFileNames) {
        FUZZ_CHECK(!fields.contains(QLatin1String("FilePath"))
                       && !fields.contains(QLatin1String("FileName")),
                   "a file name was stored");
        sent.remove(QLatin1String("FilePath"));
        sent.remove(QLatin1String("FileName"));
        // The command line and the diagnostics lose the names they hold, and stay text.
        for (const char *name : {"FFMPEGArguments", "DebugInfo"}) {
            const QLatin1String key(name);
            FUZZ_CHECK(sent.contains(key) == fields.contains(key)
                           && (!sent.value(key).isString() || fields.value(key).isString()),
                       "%s kept or dropped wrongly", name);
            sent.remove(key);
        }
    }
    QJsonObject compared = fields;
    if (!keepFileNames) {
        compared.remove(QLatin1String("FFMPEGArguments"));
        compared.remove(QLatin1String("DebugInfo"));
    }
    FUZZ_CHECK(sent == compared, "the stored object differs from the one sent");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                    int(size));
    check(body, false);
    check(body, true);
    return 0;
}
