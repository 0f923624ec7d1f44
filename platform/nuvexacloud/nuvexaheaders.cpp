#include "platform/nuvexacloud/nuvexaheaders.h"

namespace NuvexaHeaders {

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

namespace {

// The comma-separated tokens of a list-valued field, trimmed and lower case.
QList<QByteArray> tokens(const QByteArray &value)
{
    QList<QByteArray> out;
    for (const QByteArray &t : value.split(','))
        out.append(t.trimmed().toLower());
    return out;
}

} // namespace

int headEnd(const QByteArray &in, int from, int maxBytes)
{
    const int end = in.indexOf("\r\n\r\n", from);
    if (end < 0)
        return in.size() - from > maxBytes ? TooLarge : Incomplete;
    return end - from > maxBytes ? TooLarge : end;
}

QByteArray Headers::value(const QByteArray &name) const
{
    for (const auto &field : fields) {
        if (field.first.compare(name, Qt::CaseInsensitive) == 0)
            return field.second;
    }
    return QByteArray();
}

Headers parse(const QByteArray &fieldLines)
{
    Headers h;
    if (fieldLines.isEmpty())
        return h;
    for (const QByteArray &raw : fieldLines.split('\n')) {
        const QByteArray line = raw.endsWith('\r') ? raw.chopped(1) : raw;
        const int colon = line.indexOf(':');
        // No space may stand between a name and its colon: a reader that
        // trims it would see a field another reader does not.
        if (colon <= 0 || line.left(colon) != line.left(colon).trimmed()) {
            ++h.malformedLines;
            continue;
        }
        const QByteArray name = line.left(colon);
        const QByteArray value = line.mid(colon + 1).trimmed();
        h.fields.append({name, value});
        const QByteArray lower = name.toLower();
        if (lower == "content-length") {
            // Eighteen digits stay inside qint64; two lengths that disagree frame nothing.
            bool ok = allDigits(value) && value.size() <= 18;
            const qint64 n = ok ? value.toLongLong(&ok) : -1;
            if (!ok || (h.contentLength >= 0 && n != h.contentLength))
                h.badLength = true;
            else
                h.contentLength = n;
        } else if (lower == "transfer-encoding") {
            if (!h.transferEncoding.isEmpty())
                h.transferEncoding += ", ";
            h.transferEncoding += value.toLower();
            h.chunked = tokens(h.transferEncoding).constLast() == "chunked";
        } else if (lower == "connection") {
            const QList<QByteArray> options = tokens(value);
            h.close = h.close || options.contains("close");
            h.keepAlive = h.keepAlive || options.contains("keep-alive");
        }
    }
    return h;
}

} // namespace NuvexaHeaders
