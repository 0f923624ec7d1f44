#include "platform/nuvexacloud/nuvexaanswer.h"
#include "platform/nuvexacloud/nuvexachunked.h"

namespace NuvexaAnswer {

namespace {

bool allDigits(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

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
    if (!allDigits(minor) || !allDigits(code) || (line.size() > 12 && line.at(12) != ' '))
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
        const int headerEnd = in.indexOf("\r\n\r\n", from);
        if (headerEnd < 0) {
            if (in.size() - from > MaxHeaderBytes)
                a.state = State::HeaderTooLarge;
            return a;
        }
        if (headerEnd - from > MaxHeaderBytes) {
            a.state = State::HeaderTooLarge;
            return a;
        }
        const QList<QByteArray> lines = in.mid(from, headerEnd - from).split('\n');
        bool oneZero = false;
        if (!readStatusLine(withoutCr(lines.first()), &a.status, &a.reason, &oneZero)) {
            a.state = State::Malformed;
            return a;
        }
        if (a.status < 200) {
            // An interim answer such as 100 Continue.
            from = headerEnd + 4;
            continue;
        }
        qint64 length = -1;
        bool chunked = false;
        a.close = oneZero;
        for (const QByteArray &line : lines.mid(1)) {
            const int colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed();
            const QByteArray value = line.mid(colon + 1).trimmed();
            a.headers.append({name, value});
            const QByteArray lower = name.toLower();
            if (lower == "content-length") {
                bool ok = allDigits(value) && value.size() <= 18;
                const qint64 n = ok ? value.toLongLong(&ok) : -1;
                // Two lengths that disagree frame nothing.
                if (!ok || (length >= 0 && n != length)) {
                    a.state = State::Malformed;
                    return a;
                }
                length = n;
            } else if (lower == "transfer-encoding") {
                chunked = value.toLower().contains("chunked");
            } else if (lower == "connection") {
                const QByteArray v = value.toLower();
                a.close = v == "close" ? true : v == "keep-alive" ? false : a.close;
            }
        }
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
