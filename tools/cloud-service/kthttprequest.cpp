#include "tools/cloud-service/kthttprequest.h"
#include "platform/nuvexacloud/nuvexachunked.h"

#include <QList>

namespace KTHttpRequest {

namespace {

Request refused(int status, const QByteArray &why)
{
    Request r;
    r.state = Refused;
    r.status = status;
    r.why = why;
    return r;
}

} // namespace

Request parse(const QByteArray &buffer, int maxHeaderBytes, int maxBodyBytes)
{
    Request r;
    const int headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0 || headerEnd > maxHeaderBytes) {
        if (headerEnd > maxHeaderBytes || buffer.size() > maxHeaderBytes)
            return refused(431, "request head too large");
        return r;
    }
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || requestLine.at(0).isEmpty())
        return refused(400, "malformed request line");
    const QByteArray verb = requestLine.at(0);
    const QByteArray version = requestLine.at(2);
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return refused(version.startsWith("HTTP/") ? 505 : 400, "unsupported HTTP version");
    QList<QByteArray> lengths;
    QByteArray transferEncoding, connection, expect;
    for (const QByteArray &raw : lines.mid(1)) {
        const QByteArray line = raw.endsWith('\r') ? raw.chopped(1) : raw;
        const int colon = line.indexOf(':');
        if (colon <= 0 || line.left(colon) != line.left(colon).trimmed())
            return refused(400, "malformed header line");
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length")
            lengths.append(value);
        else if (name == "transfer-encoding")
            transferEncoding = value.toLower();
        else if (name == "connection")
            connection = value.toLower();
        else if (name == "expect")
            expect = value.toLower();
        else if (name == "idempotency-key")
            r.key = value;
    }
    r.verb = verb;
    r.target = requestLine.at(1);
    r.close = connection.contains("close") || (version == "HTTP/1.0" && !connection.contains("keep-alive"));
    const bool wantsBody = verb == "POST" || verb == "PUT" || verb == "PATCH";
    const int bodyStart = headerEnd + 4;
    int consumed = 0;
    if (!transferEncoding.isEmpty()) {
        if (!lengths.isEmpty())
            return refused(400, "both Content-Length and Transfer-Encoding");
        if (transferEncoding != "chunked")
            return refused(501, "unsupported transfer coding");
        const int n = NuvexaChunked::decode(buffer, bodyStart, r.body, maxBodyBytes);
        if (n < 0)
            return refused(n == NuvexaChunked::TooLarge ? 413 : 400, "malformed chunked body");
        if (n > 0)
            consumed = bodyStart + n;
    } else if (!lengths.isEmpty()) {
        bool ok = true;
        for (const QByteArray &l : lengths) {
            for (const char c : l)
                ok = ok && c >= '0' && c <= '9';
            ok = ok && !l.isEmpty() && l.size() <= 10 && l == lengths.first();
        }
        if (!ok)
            return refused(400, "invalid Content-Length");
        const qint64 length = lengths.first().toLongLong();
        if (length > maxBodyBytes)
            return refused(413, "body too large");
        if (buffer.size() >= bodyStart + length) {
            r.body = buffer.mid(bodyStart, int(length));
            consumed = bodyStart + int(length);
        }
    } else if (wantsBody) {
        return refused(411, "Content-Length required");
    } else {
        consumed = bodyStart;
    }
    if (consumed == 0) {
        if (buffer.size() > bodyStart + qint64(maxBodyBytes) + 64 * 1024)
            return refused(413, "body too large");
        r.body.clear();
        r.expectsContinue = expect == "100-continue";
        return r;
    }
    r.consumed = consumed;
    r.state = Complete;
    return r;
}

} // namespace KTHttpRequest
