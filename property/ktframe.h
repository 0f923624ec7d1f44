#ifndef KTFRAME_H
#define KTFRAME_H

#include <QByteArray>
#include <QString>
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

// Cuts complete frames out of a receive buffer. The buffer keeps the bytes
// after the last ETX; the cutter remembers how far it has already looked so
// that data arriving one byte at a time is still scanned only once.
class Cutter
{
public:
    explicit Cutter(int maxPending = MaxPendingBytes) : m_maxPending(maxPending) {}
    QVector<QByteArray> cut(QByteArray &buffer);
    void reset() { m_scanned = 0; m_lastStx = -1; }

private:
    int m_maxPending;
    int m_scanned = 0;   // leading bytes of the buffer known to hold no ETX
    int m_lastStx = -1;  // position of the last STX among them
};

} // namespace KTFrame

#endif // KTFRAME_H
