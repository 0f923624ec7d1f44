#ifndef KTHTTPREQUEST_H
#define KTHTTPREQUEST_H

#include <QByteArray>

// Reads one HTTP/1.x request from the front of what a connection has sent:
// the request line, the headers the service acts on and a body framed by
// Content-Length or by chunks. Pure, so the service and a fuzz target share it.
namespace KTHttpRequest {

enum State { Incomplete, Complete, Refused };

struct Request
{
    State state = Incomplete;
    int status = 0;           // Refused: the status to answer with
    QByteArray why;           // Refused: the reason, for the answer's body
    QByteArray verb;
    QByteArray target;
    QByteArray body;
    QByteArray key;           // Idempotency-Key
    bool close = false;       // the client ends the connection after the answer
    bool expectsContinue = false;   // Incomplete: headers read, body awaited after 100 Continue
    int consumed = 0;         // Complete: bytes the request took
};

Request parse(const QByteArray &buffer, int maxHeaderBytes, int maxBodyBytes);

} // namespace KTHttpRequest

#endif // KTHTTPREQUEST_H
