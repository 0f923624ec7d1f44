#include "property/ktframe.h"

#include <cstring>

namespace KTFrame {

static int decimalDigits(qint64 n)
{
    int d = 1;
    while (n >= 10) {
        n /= 10;
        ++d;
    }
    return d;
}

QByteArray pack(const QString &body, const QString &word)
{
    // The body is encoded once and the frame built around it in place, so a
    // multi-megabyte cut job is never held twice as bytes.
    const QByteArray head = word.toLocal8Bit();
    QByteArray frame = body.toLocal8Bit();
    const qint64 bare = qint64(head.size()) + 1 + frame.size() + 3;  // STX, ";" after the length, ETX
    const qint64 total = bare + decimalDigits(bare + decimalDigits(bare));
    // prepend() of a QByteArray would copy the body behind the header.
    const QByteArray header = STX + QByteArray::number(total) + ';' + head + ';';
    frame.prepend(header.constData(), header.size());
    frame.append(ETX);
    return frame;
}

QString frameText(const QByteArray &frame)
{
    const int nul = frame.indexOf('\0');
    return QString::fromUtf8(frame.constData(), nul < 0 ? frame.size() : nul);
}

void splitCmdItem(const QString &item, QString &name, int &number, QString &value)
{
    const QByteArray bytes = item.toLatin1();
    const int colon = bytes.lastIndexOf(':');
    value = colon < 0 ? QString::fromLatin1(bytes) : QString::fromLatin1(bytes.mid(colon + 1));

    int nameEnd = 0;
    while (nameEnd < bytes.size() && bytes.at(nameEnd) >= 'A' && bytes.at(nameEnd) <= 'Z')
        ++nameEnd;
    name = QString::fromLatin1(bytes.left(nameEnd));

    const int numberEnd = colon < 0 ? bytes.size() : colon;
    bool ok = false;
    number = numberEnd > nameEnd ? bytes.mid(nameEnd, numberEnd - nameEnd).toInt(&ok, 10) : 0;
    if (!ok)
        number = 0;
}

namespace {

// Base-10 int as QByteArray::toInt and QString::toInt read it, with a fast
// path for plain digits; any other shape goes to Qt's own conversion so the
// result stays exactly what it gives.
int plainDigits(const QChar *p, int n, bool *plain)
{
    *plain = n > 0 && n <= 9;
    int v = 0;
    for (int i = 0; *plain && i < n; ++i) {
        const ushort c = p[i].unicode();
        if (c < '0' || c > '9')
            *plain = false;
        else
            v = v * 10 + (c - '0');
    }
    return v;
}

int textToInt(const QString &text, int start, int n)
{
    bool plain = false;
    const int v = plainDigits(text.constData() + start, n, &plain);
    return plain ? v : text.mid(start, n).toInt(nullptr, 10);
}

// A CMD item's number is read from its Latin-1 bytes.
int latin1ToInt(const QString &text, int start, int n)
{
    if (n <= 0)
        return 0;
    bool plain = false;
    const int v = plainDigits(text.constData() + start, n, &plain);
    if (plain)
        return v;
    bool ok = false;
    const int number = text.mid(start, n).toLatin1().toInt(&ok, 10);
    return ok ? number : 0;
}

// A CMD item's value goes through Latin-1 as well: characters it cannot hold
// come out as "?".
QString latin1Text(const QString &text, int start, int n)
{
    const QChar *p = text.constData() + start;
    for (int i = 0; i < n; ++i) {
        if (p[i].unicode() > 0xff)
            return QString::fromLatin1(text.mid(start, n).toLatin1());
    }
    return text.mid(start, n);
}

bool fieldIs(const QString &text, int start, int end, QLatin1String word)
{
    return QStringView(text.constData() + start, end - start) == word;
}

} // namespace

Reply parseReply(const QString &frame)
{
    Reply r;
    r.frame = frame;
    const int n = frame.size();
    const QChar *d = frame.constData();
    const int sep1 = frame.indexOf(QLatin1Char(';'));
    const int sep2 = sep1 < 0 ? -1 : frame.indexOf(QLatin1Char(';'), sep1 + 1);
    if (sep2 < 0)
        return r;

    if (fieldIs(frame, sep1 + 1, sep2, QLatin1String("CMD"))) {
        r.word = Reply::Cmd;
        // Body fields are those followed by ";": the last field holds the ETX.
        bool first = true;
        for (int start = sep2 + 1;;) {
            const int end = frame.indexOf(QLatin1Char(';'), start);
            if (end < 0)
                break;
            int colon = -1;
            for (int i = end - 1; i >= start; --i) {
                if (d[i] == QLatin1Char(':')) {
                    colon = i;
                    break;
                }
            }
            const int valueStart = colon < 0 ? start : colon + 1;
            r.values.append(latin1Text(frame, valueStart, end - valueStart));
            if (first) {
                int nameEnd = start;
                const int numberEnd = colon < 0 ? end : colon;
                while (nameEnd < numberEnd && d[nameEnd] >= QLatin1Char('A') && d[nameEnd] <= QLatin1Char('Z'))
                    ++nameEnd;
                r.number = latin1ToInt(frame, nameEnd, numberEnd - nameEnd);
                first = false;
            }
            start = end + 1;
        }
        return r;
    }
    if (!fieldIs(frame, sep1 + 1, sep2, QLatin1String("CCMD"))) {
        r.word = Reply::Other;
        return r;
    }

    r.word = Reply::Ccmd;
    const int bodyStart = sep2 + 1;
    int bodyEnd = frame.indexOf(QLatin1Char(';'), bodyStart);
    if (bodyEnd < 0)
        bodyEnd = n;
    r.m_bodyStart = bodyStart;
    r.m_bodyLength = bodyEnd - bodyStart;
    int index = 0;
    for (int start = bodyStart;; ++index) {
        int end = start;
        while (end < bodyEnd && d[end] != QLatin1Char(','))
            ++end;
        if (index == 0) {
            r.number = textToInt(frame, start, end - start);
        } else if (index == 1) {
            r.status = textToInt(frame, start, end - start);
            r.m_element1Start = start;
            r.m_element1Length = end - start;
        } else {
            r.values.append(frame.mid(start, end - start));
        }
        r.m_lastStart = start;
        r.m_lastLength = end - start;
        if (end >= bodyEnd)
            break;
        start = end + 1;
    }
    r.elementCount = index + 1;
    return r;
}

constexpr int SmallScan = 16;

bool Cutter::next(const QByteArray &buffer, int *start, int *length)
{
    const int size = buffer.size();
    if (m_read > size) // the buffer was replaced behind our back
        reset();
    const char *data = buffer.constData();
    for (;;) {
        int end = m_scanned;
        if (size - m_scanned < SmallScan) {
            // A few bytes (data arriving byte by byte): a plain loop costs
            // less than the calls.
            while (end < size && data[end] != ETX) {
                if (data[end] == STX)
                    m_lastStx = end;
                ++end;
            }
        } else {
            const void *etx = memchr(data + m_scanned, ETX, size_t(size - m_scanned));
            end = etx ? int(static_cast<const char *>(etx) - data) : size;
            if (end > m_scanned) {
                if (const void *stx = memrchr(data + m_scanned, STX, size_t(end - m_scanned)))
                    m_lastStx = int(static_cast<const char *>(stx) - data);
            }
        }
        if (end == size) {
            m_scanned = size;
            return false;
        }
        const int stx = m_lastStx;
        m_read = end + 1;
        m_scanned = m_read;
        m_lastStx = -1;
        // Only the part from the last STX of the piece is a frame.
        if (stx >= 0) {
            *start = stx;
            *length = end - stx + 1;
            return true;
        }
    }
}

void Cutter::compact(QByteArray &buffer)
{
    if (m_read > buffer.size())
        reset();
    if (m_read > 0) {
        buffer.remove(0, m_read);
        m_scanned -= m_read;
        if (m_lastStx >= 0)
            m_lastStx -= m_read;
        m_read = 0;
    }
    if (buffer.size() > m_maxPending && m_scanned == buffer.size()) {
        // Bytes before the last STX can never become part of a frame, so they
        // go first; a frame start still too long to be real goes as well.
        if (m_lastStx >= 0 && buffer.size() - m_lastStx <= m_maxPending) {
            buffer.remove(0, m_lastStx);
            m_lastStx = 0;
        } else {
            buffer.clear();
            m_lastStx = -1;
        }
        m_scanned = buffer.size();
    }
}

QVector<QByteArray> Cutter::cut(QByteArray &buffer)
{
    QVector<QByteArray> frames;
    int start = 0;
    int length = 0;
    while (next(buffer, &start, &length))
        frames.append(buffer.mid(start, length));
    compact(buffer);
    return frames;
}

} // namespace KTFrame
