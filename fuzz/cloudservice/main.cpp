// Requests to kt-cloud-service as its connections receive them: the request
// line, headers, Content-Length and chunked bodies, each bounded. A request
// read complete from the first bytes reads the same once more bytes follow.
#include "tools/cloud-service/kthttprequest.h"

#include <cstdint>

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

// Small bounds, so short inputs reach them.
constexpr int MaxHeader = 256;
constexpr int MaxBody = 512;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const int step = 1 + data[0];
    const QByteArray in(reinterpret_cast<const char *>(data + 1), int(size - 1));
    KTHttpRequest::Request first;
    for (int at = step; at < in.size() + step; at += step) {
        first = KTHttpRequest::parse(in.left(at), MaxHeader, MaxBody);
        if (first.state != KTHttpRequest::Incomplete)
            break;
    }
    if (first.state == KTHttpRequest::Refused)
        check(first.status >= 400 && first.status <= 599 && !first.why.isEmpty());
    if (first.state != KTHttpRequest::Complete)
        return 0;
    check(first.consumed > 0 && first.consumed <= in.size());
    check(first.body.size() <= MaxBody && !first.verb.isEmpty());
    const KTHttpRequest::Request all = KTHttpRequest::parse(in, MaxHeader, MaxBody);
    check(all.state == KTHttpRequest::Complete && all.consumed == first.consumed);
    check(all.body == first.body && all.verb == first.verb && all.target == first.target);
    check(all.key == first.key && all.close == first.close);
    return 0;
}
