#include "platform/nuvexacloud/nuvexaanswer.h"
#include "platform/nuvexacloud/nuvexachunked.h"
#include "platform/nuvexacloud/nuvexaheaders.h"

namespace NuvexaAnswer {

namespace {

QByteArray withoutCr(const QByteArray &line)
{
    return line.endsWith('\r') ? line.left(line.size() - 1) : line;
}

// "HTTP/1.x" SP three digits [SP reason], nothing before it.
bool readStatusLine(const QByteArray &line, int *status, QByteArray *reason, bool *oneZero)
{
    if (!line.startsWith("HTTP/1.") || line.size() < 12 || line.at(8) != ' ')
        return false;
    const QByteArray minor = line.mid(7, 1);
    const QByteArray code = line.mid(9, 3);
    if (!NuvexaHeaders::allDigits(minor) || !NuvexaHeaders::allDigits(code) || (line.size() > 12 && line.at(12) != ' '))
        return false;
    *status = code.toInt();
    *reason = line.mid(13);
    *oneZero = minor == "0";
    return *status >= 100;
}

} // namespace

Answer parse(const QByteArray &in, bool closed, bool headRequest, qint64 maxBody)
{
    Answer a;
    int from = 0;
    for (;;) {
        const int headerEnd = NuvexaHeaders::headEnd(in, from, MaxHeaderBytes);
        if (headerEnd < 0) {
            if (headerEnd == NuvexaHeaders::TooLarge)
                a.state = State::HeaderTooLarge;
            return a;
        }
        const QByteArray head = in.mid(from, headerEnd - from);
        const int lineEnd = head.indexOf('\n');
        bool oneZero = false;
        if (!readStatusLine(withoutCr(lineEnd < 0 ? head : head.left(lineEnd)), &a.status, &a.reason, &oneZero)) {
            a.state = State::Malformed;
            return a;
        }
        if (a.status < 200) {
            // An interim answer such as 100 Continue.
            from = headerEnd + 4;
            continue;
        }
        // A client reads past a field it cannot read, but never guesses a length.
        const NuvexaHeaders::Headers fields = NuvexaHeaders::parse(lineEnd < 0 ? QByteArray() : head.mid(lineEnd + 1));
        if (fields.badLength) {
            a.state = State::Malformed;
            return a;
        }
        a.headers = fields.fields;
        const qint64 length = fields.contentLength;
        const bool chunked = fields.chunked;
        a.close = fields.close || (oneZero && !fields.keepAlive);
        int consumed = headerEnd + 4;
        const bool noBody = headRequest || a.status == 204 || a.status == 304;
        if (noBody) {
            // Nothing to read.
        } else if (chunked) {
            const int n = NuvexaChunked::decode(in, consumed, a.body, maxBody);
            if (n == NuvexaChunked::Incomplete)
                return a;
            if (n < 0) {
                a.state = n == NuvexaChunked::TooLarge ? State::TooLarge : State::Malformed;
                a.body.clear();
                return a;
            }
            consumed += n;
        } else if (length >= 0) {
            if (length > maxBody) {
                a.state = State::TooLarge;
                return a;
            }
            if (in.size() - consumed < length)
                return a;
            a.body = in.mid(consumed, int(length));
            consumed += int(length);
        } else {
            // The body runs to the end of the connection, within the same bound.
            if (in.size() - consumed > maxBody) {
                a.state = State::TooLarge;
                return a;
            }
            if (!closed)
                return a;
            a.body = in.mid(consumed);
            consumed = in.size();
            a.close = true;
        }
        a.consumed = consumed;
        a.state = State::Complete;
        return a;
    }
}

} // namespace NuvexaAnswer
