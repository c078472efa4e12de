#pragma once

#include <QByteArray>

// Undoes the content coding of a server's answer. Requests announce "gzip, deflate" themselves,
// so that every build sends the same headers; the network layer then leaves the answer as it
// came, and it is decoded here.
class AnswerDecoder
{
public:
    // An answer that decodes to more than this is refused rather than held in memory.
    static constexpr qsizetype MaximumDecodedSize = 64 * 1024 * 1024;

    // The announced codings, as the Accept-Encoding header gives them.
    static QByteArray AcceptedEncodings();

    // The body as the server meant it. An unknown coding, or a body that does not decode within
    // the size bound, gives an empty answer.
    static QByteArray Decoded(const QByteArray &Body, const QByteArray &ContentEncoding);

private:
    AnswerDecoder() = delete;
    static QByteArray Inflated(const QByteArray &Body, int WindowBits, bool *Complete);
};
