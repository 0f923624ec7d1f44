#ifndef NUVEXAANSWER_H
#define NUVEXAANSWER_H

#include "platform/nuvexacloud/nuvexaheaders.h"

#include <QByteArray>
#include <QList>
#include <QPair>

// Reads one HTTP/1.x answer from the bytes a connection has received so far:
// interim 1xx answers, the status line, the headers and a body framed by
// Content-Length, by chunks or by the end of the connection. The client reads
// every arrival and the close with this one function, so an answer means the
// same whichever of the two completes it.
namespace NuvexaAnswer {

enum class State { Incomplete, Complete, Malformed, HeaderTooLarge, TooLarge };

struct Answer
{
    State state = State::Incomplete;
    int status = 0;
    QByteArray reason;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    int consumed = 0;      // bytes of in taken by the answer (interim ones included)
    bool close = false;    // the service ends the connection after it
};

constexpr int MaxHeaderBytes = NuvexaHeaders::MaxHeaderBytes;

// closed: no more bytes will come, so a body without length or chunks ends
// here and anything short of a whole answer is Incomplete for good.
// headRequest: the answer to a HEAD request has no body.
Answer parse(const QByteArray &in, bool closed, bool headRequest, qint64 maxBody);

} // namespace NuvexaAnswer

#endif // NUVEXAANSWER_H
