// HTTP answers to the cloud client, arriving in pieces and then ended by the
// close: an answer read complete on some arrival must read the same at the
// close, and nothing read goes past the bytes or the body bound.
#include "platform/nuvexacloud/nuvexaanswer.h"

#include <cstdint>
#include <cstring>

namespace {

void check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

constexpr qint64 MaxBody = 4096;

void checkAnswer(const NuvexaAnswer::Answer &a, const QByteArray &in)
{
    if (a.state != NuvexaAnswer::State::Complete)
        return;
    check(a.status >= 200 && a.status <= 999);
    check(a.consumed > 0 && a.consumed <= in.size());
    check(a.body.size() <= MaxBody);
}

} // namespace

// The first byte: bit 0 a HEAD request, the rest how many bytes arrive at a time.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const bool head = data[0] & 1;
    const int step = 1 + (data[0] >> 1);
    const QByteArray in(reinterpret_cast<const char *>(data + 1), int(size - 1));

    NuvexaAnswer::Answer early;
    for (int at = step; at < in.size() + step; at += step) {
        const QByteArray part = in.left(at);
        early = NuvexaAnswer::parse(part, false, head, MaxBody);
        checkAnswer(early, part);
        if (early.state != NuvexaAnswer::State::Incomplete)
            break;
    }
    // Everything, then the close: a status line reads the same either way.
    const NuvexaAnswer::Answer closed = NuvexaAnswer::parse(in, true, head, MaxBody);
    checkAnswer(closed, in);
    if (closed.state == NuvexaAnswer::State::Complete && early.state == NuvexaAnswer::State::Complete)
        check(closed.status == early.status);
    if (early.state != NuvexaAnswer::State::Complete)
        return 0;
    // The same bytes with the connection closed right after the answer.
    const QByteArray upTo = in.left(early.consumed);
    const NuvexaAnswer::Answer atClose = NuvexaAnswer::parse(upTo, true, head, MaxBody);
    checkAnswer(atClose, upTo);
    check(atClose.state == NuvexaAnswer::State::Complete);
    check(atClose.status == early.status && atClose.reason == early.reason);
    check(atClose.body == early.body && atClose.consumed == early.consumed);
    return 0;
}
