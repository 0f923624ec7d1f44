#include "property/ktframe.h"

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
    // Encoded piece by piece: a multi-megabyte cut job is not copied into a
    // second text on its way to bytes.
    const QByteArray head = word.toLocal8Bit();
    const QByteArray tail = body.toLocal8Bit();
    const qint64 bare = qint64(head.size()) + 1 + tail.size() + 3;  // STX, ";" after the length, ETX
    const qint64 total = bare + decimalDigits(bare + decimalDigits(bare));

    QByteArray frame;
    frame.reserve(int(total));
    frame.append(STX);
    frame.append(QByteArray::number(total));
    frame.append(';');
    frame.append(head);
    frame.append(';');
    frame.append(tail);
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

QVector<QByteArray> Cutter::cut(QByteArray &buffer)
{
    QVector<QByteArray> frames;
    if (m_scanned > buffer.size()) // the buffer was replaced behind our back
        reset();

    const char *data = buffer.constData();
    const int size = buffer.size();
    int pieceStart = 0;
    int lastStx = m_lastStx;
    for (int i = m_scanned; i < size; ++i) {
        const char c = data[i];
        if (c == STX) {
            lastStx = i;
        } else if (c == ETX) {
            // Only the part from the last STX of the piece is a frame.
            if (lastStx >= pieceStart)
                frames.append(QByteArray(data + lastStx, i - lastStx + 1));
            pieceStart = i + 1;
            lastStx = -1;
        }
    }

    if (pieceStart > 0)
        buffer.remove(0, pieceStart);
    if (lastStx >= 0)
        lastStx -= pieceStart;

    if (buffer.size() > m_maxPending) {
        // Bytes before the last STX can never become part of a frame, so they
        // go first; a frame start still too long to be real goes as well.
        if (lastStx >= 0 && buffer.size() - lastStx <= m_maxPending) {
            buffer.remove(0, lastStx);
            lastStx = 0;
        } else {
            buffer.clear();
            lastStx = -1;
        }
    }
    m_scanned = buffer.size();
    m_lastStx = lastStx;
    return frames;
}

} // namespace KTFrame
