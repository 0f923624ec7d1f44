#include "tools/cloud-service/kthttprequest.h"
#include "platform/nuvexacloud/nuvexachunked.h"
#include "platform/nuvexacloud/nuvexaheaders.h"

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
    const int headerEnd = NuvexaHeaders::headEnd(buffer, 0, maxHeaderBytes);
    if (headerEnd == NuvexaHeaders::TooLarge)
        return refused(431, "request head too large");
    if (headerEnd < 0)
        return r;
    const QByteArray head = buffer.left(headerEnd);
    const int lineEnd = head.indexOf('\n');
    const QList<QByteArray> requestLine = (lineEnd < 0 ? head : head.left(lineEnd)).trimmed().split(' ');
    if (requestLine.size() != 3 || requestLine.at(0).isEmpty())
        return refused(400, "malformed request line");
    const QByteArray verb = requestLine.at(0);
    const QByteArray version = requestLine.at(2);
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return refused(version.startsWith("HTTP/") ? 505 : 400, "unsupported HTTP version");
    // A server refuses what it cannot read rather than guess past it.
    const NuvexaHeaders::Headers h = NuvexaHeaders::parse(lineEnd < 0 ? QByteArray() : head.mid(lineEnd + 1));
    if (h.malformedLines > 0)
        return refused(400, "malformed header line");
    const QByteArray &transferEncoding = h.transferEncoding;
    const bool hasLength = h.contentLength >= 0 || h.badLength;
    r.key = h.value("Idempotency-Key");
    r.verb = verb;
    r.target = requestLine.at(1);
    r.close = h.close || (version == "HTTP/1.0" && !h.keepAlive);
    const bool wantsBody = verb == "POST" || verb == "PUT" || verb == "PATCH";
    const int bodyStart = headerEnd + 4;
    int consumed = 0;
    if (!transferEncoding.isEmpty()) {
        if (hasLength)
            return refused(400, "both Content-Length and Transfer-Encoding");
        if (transferEncoding != "chunked")
            return refused(501, "unsupported transfer coding");
        const int n = NuvexaChunked::decode(buffer, bodyStart, r.body, maxBodyBytes);
        if (n < 0)
            return refused(n == NuvexaChunked::TooLarge ? 413 : 400, "malformed chunked body");
        if (n > 0)
            consumed = bodyStart + n;
    } else if (hasLength) {
        if (h.badLength)
            return refused(400, "invalid Content-Length");
        const qint64 length = h.contentLength;
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
        r.expectsContinue = h.value("Expect").toLower() == "100-continue";
        return r;
    }
    r.consumed = consumed;
    r.state = Complete;
    return r;
}

} // namespace KTHttpRequest
