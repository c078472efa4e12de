#include "telemetry/AnswerDecoder.h"

#include <zlib.h>

QByteArray AnswerDecoder::AcceptedEncodings()
{
    return QByteArrayLiteral("gzip, deflate");
}

QByteArray AnswerDecoder::Decoded(const QByteArray &Body, const QByteArray &ContentEncoding)
{
    const QByteArray coding = ContentEncoding.trimmed().toLower();
    if (coding.isEmpty() || coding == "identity")
        return Body;
    bool complete = false;
    QByteArray decoded;
    if (coding == "gzip" || coding == "x-gzip") {
        decoded = Inflated(Body, MAX_WBITS + 16, &complete);
    } else if (coding == "deflate") {
        // HTTP's "deflate" is the zlib format, but some servers send the bare stream.
        decoded = Inflated(Body, MAX_WBITS, &complete);
        if (!complete)
            decoded = Inflated(Body, -MAX_WBITS, &complete);
    }
    return complete ? decoded : QByteArray();
}

QByteArray AnswerDecoder::Inflated(const QByteArray &Body, int WindowBits, bool *Complete)
{
    *Complete = false;
    z_stream stream{};
    if (inflateInit2(&stream, WindowBits) != Z_OK)
        return QByteArray();
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(Body.constData()));
    stream.avail_in = uInt(Body.size());

    QByteArray decoded;
    char chunk[16384];
    int status = Z_OK;
    while (status == Z_OK && decoded.size() <= MaximumDecodedSize) {
        stream.next_out = reinterpret_cast<Bytef *>(chunk);
        stream.avail_out = sizeof chunk;
        status = inflate(&stream, Z_NO_FLUSH);
        if (status == Z_OK || status == Z_STREAM_END)
            decoded.append(chunk, int(sizeof chunk - stream.avail_out));
        if (status == Z_OK && stream.avail_in == 0 && stream.avail_out != 0)
            break;   // the body ended before the stream did
    }
    inflateEnd(&stream);
    *Complete = status == Z_STREAM_END && decoded.size() <= MaximumDecodedSize;
    return decoded;
}
