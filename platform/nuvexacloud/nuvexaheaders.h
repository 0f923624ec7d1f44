#ifndef NUVEXAHEADERS_H
#define NUVEXAHEADERS_H

#include <QByteArray>
#include <QList>
#include <QPair>

// The header block of an HTTP/1.x message, for the client's answers and the
// local service's requests alike: where it ends, its fields, and the ones that
// frame the body or end the connection. Pure functions over bytes; what a
// malformed field means (skipped or refused) is the caller's to say.
namespace NuvexaHeaders {

// Longest head (start line and fields) either side reads.
constexpr int MaxHeaderBytes = 64 * 1024;

enum : int { Incomplete = -1, TooLarge = -2 };

// Where the head that starts at from ends (the index of its "\r\n\r\n"),
// Incomplete while it may still arrive, TooLarge past maxBytes.
int headEnd(const QByteArray &in, int from, int maxBytes = MaxHeaderBytes);

struct Headers
{
    QList<QPair<QByteArray, QByteArray>> fields;   // names as sent, values trimmed
    int malformedLines = 0;      // lines without a name and colon, or space before the colon
    bool badLength = false;      // a Content-Length not all digits, or two that disagree
    qint64 contentLength = -1;   // -1: none given
    QByteArray transferEncoding; // lower case, several fields joined by ", "; empty: none
    bool chunked = false;        // the last transfer coding is chunked
    bool close = false;          // Connection names close
    bool keepAlive = false;      // Connection names keep-alive

    // The first value of a field, its name in any case.
    QByteArray value(const QByteArray &name) const;
};

// Whether text is one or more ASCII digits, as HTTP numbers are written.
bool allDigits(const QByteArray &text);

// Reads the fields of a head: the lines after the start line, up to but not
// including the blank line. Lines may end in CRLF or LF.
Headers parse(const QByteArray &fieldLines);

} // namespace NuvexaHeaders

#endif // NUVEXAHEADERS_H
