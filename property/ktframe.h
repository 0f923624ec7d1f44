#ifndef KTFRAME_H
#define KTFRAME_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// The machine's text frames: STX, total length in decimal, ";", command word,
// ";", body, ETX. Pure functions over bytes, no I/O, so they can be tested and
// fuzzed on their own.
namespace KTFrame {

constexpr char STX = 0x02;
constexpr char ETX = 0x03;

// Frames with a body of at most this many bytes without ETX are kept while
// they arrive; a longer one is dropped so garbage cannot grow memory forever.
constexpr int MaxPendingBytes = 1024 * 1024;

QByteArray pack(const QString &body, const QString &word);

// Frame bytes as text: UTF-8 up to the first NUL byte.
QString frameText(const QByteArray &frame);

// Splits a CMD item such as "SET125:2" into name, number and value.
void splitCmdItem(const QString &item, QString &name, int &number, QString &value);

// A reply frame taken apart once, for the dispatchers. Fields are the text
// between ";"; field 0 (STX and length) is ignored, field 1 is the command
// word, the last field holds the ETX.
struct Reply
{
    enum Word { Invalid, Other, Cmd, Ccmd };   // Invalid: fewer than three fields

    Word word = Invalid;
    // CMD: the number of the first item (0 when there is none);
    // CCMD: element 0 of the body field, the code.
    int number = 0;
    // CCMD: element 1 read as an int (text that is no number reads as 0).
    int status = 0;
    // CCMD: how many ","-separated elements the body field has (at least 1).
    int elementCount = 0;
    // CMD: the value of every item, in order; CCMD: elements 2 onward.
    QStringList values;

    QString frame;   // the whole frame text the reply was read from

    // CCMD only: the body field, element 1 and the last element as sent.
    QString body() const { return frame.mid(m_bodyStart, m_bodyLength); }
    QString element1() const { return frame.mid(m_element1Start, m_element1Length); }
    QString lastElement() const { return frame.mid(m_lastStart, m_lastLength); }
    QStringList elements() const { return body().split(QLatin1Char(',')); }

private:
    friend Reply parseReply(const QString &frame);
    int m_bodyStart = 0, m_bodyLength = 0;
    int m_element1Start = 0, m_element1Length = 0;
    int m_lastStart = 0, m_lastLength = 0;
};

// Reads a frame text (STX and ETX included) as the machine's reply. Pure:
// the same text always gives the same value; no shape of text is an error.
Reply parseReply(const QString &frame);

// Takes complete frames from the front of a receive buffer one at a time.
// It keeps a read position instead of removing each frame, so the caller can
// hand a frame on (and be re-entered with more bytes) before the next one is
// taken, and bytes arriving one at a time are still looked at only once.
class Cutter
{
public:
    explicit Cutter(int maxPending = MaxPendingBytes) : m_maxPending(maxPending) {}

    // The next complete frame after the read position, as its start and
    // length in buffer; the read position moves past it. Bytes before the
    // frame's last STX are passed over, a piece without STX is dropped.
    // False when no ETX follows the read position yet.
    bool next(const QByteArray &buffer, int *start, int *length);
    // Removes the bytes already taken (once per pass) and bounds what waits
    // for its ETX.
    void compact(QByteArray &buffer);
    // Every complete frame at once, then compact.
    QVector<QByteArray> cut(QByteArray &buffer);
    void reset() { m_read = 0; m_scanned = 0; m_lastStx = -1; }
    int maxPending() const { return m_maxPending; }

private:
    int m_maxPending;
    int m_read = 0;      // first byte not taken yet
    int m_scanned = 0;   // bytes from m_read up to here hold no ETX
    int m_lastStx = -1;  // the last STX among them
};

} // namespace KTFrame

#endif // KTFRAME_H
