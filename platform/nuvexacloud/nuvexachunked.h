#ifndef NUVEXACHUNKED_H
#define NUVEXACHUNKED_H

#include <QByteArray>

#include <cctype>

// HTTP/1.1 chunked bodies, for the client and the local service alike.
namespace NuvexaChunked {

enum : int { Incomplete = 0, Malformed = -1, TooLarge = -2 };

// Decodes the chunked body that starts at from into body. Returns the bytes
// consumed, Incomplete while more must arrive, Malformed or TooLarge (more
// than maxBody bytes of body). Size lines, and the trailers together, are
// bounded too, so a peer cannot make the caller buffer without end.
inline int decode(const QByteArray &in, int from, QByteArray &body, qint64 maxBody)
{
    constexpr int MaxSizeLine = 64;
    constexpr int MaxTrailers = 8192;
    int at = from;
    body.clear();
    for (;;) {
        const int eol = in.indexOf("\r\n", at);
        if (eol < 0)
            return in.size() - at > MaxSizeLine ? Malformed : Incomplete;
        QByteArray size = in.mid(at, eol - at);
        if (size.contains(';'))
            size.truncate(size.indexOf(';'));
        size = size.trimmed();
        bool ok = !size.isEmpty() && size.size() <= 8;
        for (const char c : size)
            ok = ok && std::isxdigit(static_cast<unsigned char>(c));
        const qint64 n = ok ? size.toLongLong(&ok, 16) : -1;
        if (!ok)
            return Malformed;
        if (n > maxBody - body.size())
            return TooLarge;
        at = eol + 2;
        if (n == 0) {
            // Trailers end at an empty line.
            const int trailers = at;
            for (;;) {
                const int end = in.indexOf("\r\n", at);
                if ((end < 0 ? in.size() : end) - trailers > MaxTrailers)
                    return Malformed;
                if (end < 0)
                    return Incomplete;
                if (end == at)
                    return end + 2 - from;
                at = end + 2;
            }
        }
        if (in.size() < at + n + 2)
            return Incomplete;
        if (in.mid(int(at + n), 2) != "\r\n")
            return Malformed;
        body += in.mid(at, int(n));
        at += int(n) + 2;
    }
}

} // namespace NuvexaChunked

#endif // NUVEXACHUNKED_H
