#include "tools/virtual-cutter/ktvirtualcutter.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtMath>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {
// Cut data arrives as one frame; the machine takes jobs far above the host's
// bound for replies.
constexpr qint64 MaxJobBytes = 256 * 1024 * 1024;
// STX, at most ten digits and ";": a longer head is not a frame.
constexpr int MaxHeadBytes = 12;
// Frames kept for inspection; older ones go first.
constexpr int MaxFramesKept = 10000;
// CCMD codes whose read and write number is the same: a write is answered
// with the value, since a short reply to such a code always reads as one.
const QList<int> EchoCodes{54, 55, 1010, 30, 32, 27};

// A register holds 16 bits: written numbers wrap as the machine's do. A number
// no register can hold, signed or unsigned, is taken at the nearest end, and
// one that is not finite as 0, so nothing is rounded outside int's range.
int registerWord(const QString &value)
{
    const double v = value.toDouble();
    if (!qIsFinite(v))
        return 0;
    return qRound(qBound(-32768.0, v, 65535.0)) & 0xffff;
}
} // namespace

struct KTVirtualCutter::Link
{
    QTcpSocket *socket = nullptr;   // owned by the server; deleted once the link goes
    int fd = -1;
    std::unique_ptr<QSocketNotifier> readable;
    std::unique_ptr<QSocketNotifier> writable;
    QByteArray buffer;
    QByteArray outgoing;            // not yet taken by the pty, or waiting to trickle out
    QTimer trickle;                 // one reply byte per tick when replies are split
};

KTVirtualCutter::KTVirtualCutter(QObject *parent)
    : QObject(parent)
{
    resetRegisters();
    connect(&m_job, &QTimer::timeout, this, &KTVirtualCutter::jobTick);
    m_sheetWait.setSingleShot(true);
    connect(&m_sheetWait, &QTimer::timeout, this, &KTVirtualCutter::sheetWaitExpired);
}

KTVirtualCutter::~KTVirtualCutter()
{
    dropConnections();
}

void KTVirtualCutter::resetRegisters()
{
    m_cmd = {{3, 300}, {4, 120}, {26, 300}, {27, 1}, {43, 30}, {44, 50}, {45, 50}, {218, 0}, {24, 10000},
             {25, 10000}, {28, 600}, {29, 1000}, {82, 0}, {83, 0}, {87, 0}, {93, 0}, {125, 1}};
    for (int n = 5; n <= 16; ++n)
        m_cmd[n] = 0;
    m_ccmd = {{54, "1"}, {55, ""}, {1010, "2"}, {57, "7F3A9C21"}, {44, "D24001"}, {46, "P7316"}, {48, "V2.1"},
              {51, "1.0.8"}, {30, "1"}, {32, "0"}};
}

bool KTVirtualCutter::listenTcp(quint16 port)
{
    if (!m_server) {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this, [this]() {
            while (QTcpSocket *s = m_server->nextPendingConnection()) {
                auto link = std::make_unique<Link>();
                Link *raw = link.get();
                link->socket = s;
                s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                connect(s, &QTcpSocket::readyRead, this, [this, raw]() { received(raw, raw->socket->readAll()); });
                connect(s, &QTcpSocket::disconnected, this, [this, raw]() { removeLink(raw); });
                addLink(std::move(link));
            }
        });
    }
    return m_server->listen(QHostAddress::LocalHost, port);
}

quint16 KTVirtualCutter::tcpPort() const
{
    return m_server ? m_server->serverPort() : 0;
}

QString KTVirtualCutter::openPty()
{
    closePty();
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return QString();
    const char *name = ::ttyname(slave);
    if (!name) {
        ::close(master);
        ::close(slave);
        return QString();
    }
    const QString path = QString::fromLocal8Bit(name);
    termios tio {};
    ::tcgetattr(master, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(master, TCSANOW, &tio);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    m_ptyMaster = master;
    m_ptySlave = slave;

    auto link = std::make_unique<Link>();
    Link *raw = link.get();
    link->fd = master;
    link->readable = std::make_unique<QSocketNotifier>(master, QSocketNotifier::Read);
    link->writable = std::make_unique<QSocketNotifier>(master, QSocketNotifier::Write);
    link->writable->setEnabled(false);
    connect(link->readable.get(), &QSocketNotifier::activated, this, [this, raw]() {
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::read(raw->fd, chunk, sizeof chunk);
            if (n > 0) {
                received(raw, QByteArray(chunk, int(n)));
                if (!std::any_of(m_links.begin(), m_links.end(), [raw](const auto &l) { return l.get() == raw; }))
                    return;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
    });
    connect(link->writable.get(), &QSocketNotifier::activated, this, [this, raw]() { flush(raw); });
    addLink(std::move(link));
    return path;
}

void KTVirtualCutter::closePty()
{
    if (m_ptyMaster < 0)
        return;
    for (const auto &link : m_links) {
        if (link->fd == m_ptyMaster) {
            removeLink(link.get());
            break;
        }
    }
    ::close(m_ptyMaster);
    ::close(m_ptySlave);
    m_ptyMaster = m_ptySlave = -1;
}

void KTVirtualCutter::dropConnections()
{
    m_job.stop();
    closePty();
    while (!m_links.empty()) {
        Link *link = m_links.back().get();
        if (link->socket) {
            link->socket->disconnect(this);
            link->socket->abort();
        }
        removeLink(link);
    }
}

int KTVirtualCutter::connectionCount() const
{
    return int(m_links.size());
}

void KTVirtualCutter::addLink(std::unique_ptr<Link> link)
{
    m_links.push_back(std::move(link));
    emit clientConnected();
}

void KTVirtualCutter::removeLink(Link *link)
{
    const auto it = std::find_if(m_links.begin(), m_links.end(), [link](const auto &l) { return l.get() == link; });
    if (it == m_links.end())
        return;
    if (m_replyTo == link)
        m_replyTo = nullptr;
    if (link->socket) {
        link->socket->disconnect(this);
        link->socket->deleteLater();
    }
    m_links.erase(it);
}

void KTVirtualCutter::feed(const QByteArray &bytes)
{
    auto link = std::make_unique<Link>();
    Link *fed = link.get();
    m_links.push_back(std::move(link));
    received(fed, bytes);
    removeLink(fed);
}

void KTVirtualCutter::received(Link *link, const QByteArray &bytes)
{
    m_bytesReceived += bytes.size();
    if (faults.silent)
        return;
    link->buffer.append(bytes);
    while (nextFrame(link)) {
        if (!std::any_of(m_links.begin(), m_links.end(), [link](const auto &l) { return l.get() == link; }))
            return;
    }
}

// Takes the next frame off the link's buffer by its declared length. False
// when more bytes are needed (or none are left).
bool KTVirtualCutter::nextFrame(Link *link)
{
    QByteArray &buf = link->buffer;
    const int stx = buf.indexOf(KTFrame::STX);
    if (stx < 0) {
        buf.clear();   // noise between frames
        return false;
    }
    if (stx > 0)
        buf.remove(0, stx);
    const char *d = buf.constData();
    int i = 1;
    qint64 declared = 0;
    while (i < buf.size() && i < MaxHeadBytes && d[i] >= '0' && d[i] <= '9')
        declared = declared * 10 + (d[i++] - '0');
    if (i >= buf.size() && i < MaxHeadBytes)
        return false;   // the head is still arriving
    const int headSize = i + 1;
    if (i >= buf.size() || d[i] != ';' || i == 1 || declared < headSize + 1 || declared > MaxJobBytes + 64) {
        malformed(QStringLiteral("frame head without a usable length"));
        buf.remove(0, 1);
        return true;
    }
    if (buf.size() < declared)
        return false;
    const int size = int(declared);
    if (d[size - 1] != KTFrame::ETX) {
        // The length lies: what follows may be the next frame.
        malformed(QStringLiteral("no ETX at the declared end (%1 bytes)").arg(size));
        buf.remove(0, 1);
        return true;
    }
    const char *inner = d + headSize;
    const size_t innerSize = size_t(size - headSize - 1);
    const void *etx = std::memchr(inner, KTFrame::ETX, innerSize);
    const void *stx2 = std::memchr(inner, KTFrame::STX, innerSize);
    if (etx || stx2) {
        const char *first = static_cast<const char *>(etx && stx2 ? std::min(etx, stx2) : etx ? etx : stx2);
        malformed(QStringLiteral("%1 at byte %2 of a %3-byte frame")
                      .arg(QLatin1String(*first == KTFrame::ETX ? "ETX" : "STX"))
                      .arg(first - d)
                      .arg(size));
        buf.remove(0, size);
        return true;
    }
    QByteArray frame;
    if (size == buf.size())
        frame = std::exchange(buf, QByteArray());
    else {
        frame = buf.left(size);
        buf.remove(0, size);
    }
    handle(link, frame);
    return true;
}

// The machine refuses a frame it cannot trust and says so in a task report.
void KTVirtualCutter::malformed(const QString &why)
{
    ++m_malformed;
    emit malformedFrame(why);
    const int status = m_status;
    m_status = 5;
    report();
    m_status = status;
}

void KTVirtualCutter::handle(Link *link, const QByteArray &frame)
{
    if (m_frames.size() >= MaxFramesKept)
        m_frames.removeFirst();
    m_frames.append(frame.size() > 4096 ? frame.left(64) : frame);
    emit frameReceived(frame);
    m_replyTo = link;

    // Field 0 is STX and the length, field 1 the command word.
    const int first = frame.indexOf(';');
    const int second = first < 0 ? -1 : frame.indexOf(';', first + 1);
    if (second < 0)
        return;
    const QByteArray word = frame.mid(first + 1, second - first - 1);
    const QByteArray body = frame.mid(second + 1, frame.size() - second - 2);

    if (word == "PLT" || word == "PPLT") {
        startJob(body, m_pendingCopies, false);
    } else if (word == "QR_PLT") {
        qrPlt(body);
    } else if (word == "CMD") {
        QStringList items = QString::fromUtf8(body).split(';');
        if (!items.isEmpty() && items.last().isEmpty())
            items.removeLast();
        handleCmd(link, items);
    } else if (word == "CCMD") {
        QString text = QString::fromUtf8(body);
        if (text.endsWith(';'))
            text.chop(1);
        handleCcmd(link, text.split(','));
    }
}

void KTVirtualCutter::handleCmd(Link *, const QStringList &items)
{
    if (items.isEmpty())
        return;
    QString name, value;
    int number = 0;
    KTFrame::splitCmdItem(items.first(), name, number, value);

    if (name == "NUM") {
        m_pendingCopies = qMax(1, value.toInt());
        reply("CMD;NUM:" + QString::number(m_pendingCopies) + ";");
        return;
    }
    QString answer = "CMD;" + name;
    for (int i = 0; i < items.size(); ++i) {
        KTFrame::splitCmdItem(items.at(i), name, number, value);
        if (i > 0)
            answer += ";";
        if (items.first().startsWith("GET")) {
            answer += QString::number(number) + ":" + QString::number(m_cmd.value(number));
            continue;
        }
        int word = registerWord(value);
        if (cmdCeiling.contains(number))
            word = qMin(word, cmdCeiling.value(number));
        m_cmd[number] = word;
        answer += QString::number(number) + ":" + QString::number(word);
        if (number == 125) {
            if (word == 2 && (m_job.isActive() || m_sheetTask)) {   // stop
                stopSheets();
                m_status = 1;
                report();
                m_job.stop();
            } else if (word == 0 && m_status == 2) {    // pause
                m_status = 3;
                m_pauseClock.start();
                report();
            } else if (word == 1 && m_status == 3) {    // resume
                m_pausedMs += m_pauseClock.elapsed();
                m_status = 2;
                report();
            }
        }
    }
    reply(answer + ";");
}

void KTVirtualCutter::handleCcmd(Link *, const QStringList &elements)
{
    const int code = elements.first().toInt();
    if (elements.size() == 1) {
        if (code == 2) {
            reply(QStringLiteral("CCMD;2,0,KT-MRC600Cam,%1,%2,%3,%4,C3;")
                      .arg(m_ccmd.value(44), m_ccmd.value(46), m_ccmd.value(48), m_ccmd.value(51)));
        } else if (m_ccmd.contains(code)) {
            reply(QStringLiteral("CCMD;%1,0,%2;").arg(code).arg(m_ccmd.value(code)));
        } else {
            reply(QStringLiteral("CCMD;%1,1,;").arg(code));   // unknown: status 1
        }
        return;
    }
    const QString value = elements.mid(1).join(',');
    if (ccmdRefused.contains(code)) {
        reply(QStringLiteral("CCMD;%1,1;").arg(code));
        return;
    }
    if (code == 67) {
        resetRegisters();
    } else {
        m_ccmd[code] = value;
    }
    if (EchoCodes.contains(code))
        reply(QStringLiteral("CCMD;%1,%2;").arg(code).arg(value));
    else
        reply(QStringLiteral("CCMD;%1,0;").arg(code));
    if (code == 54)
        startQrTask(qMax(1, value.toInt()));
}

void KTVirtualCutter::reply(const QString &text)
{
    if (!m_replyTo)
        return;
    writeTo(m_replyTo, KTFrame::pack(text.section(';', 1), text.section(';', 0, 0)));
}

void KTVirtualCutter::writeTo(Link *link, const QByteArray &bytes)
{
    if (!link->socket && link->fd < 0)
        return;   // a link fed by hand: no peer to answer
    const QByteArray out = faults.garbage ? QByteArray("\x01noise\x03zz") + bytes : bytes;
    if (faults.splitBytes) {
        link->outgoing += out;
        if (!link->trickle.isActive()) {
            link->trickle.disconnect();
            link->trickle.setInterval(0);
            connect(&link->trickle, &QTimer::timeout, this, [this, link]() {
                if (link->outgoing.isEmpty()) {
                    link->trickle.stop();
                } else if (link->socket) {
                    link->socket->write(link->outgoing.left(1));
                    link->socket->flush();
                    link->outgoing.remove(0, 1);
                } else {
                    flush(link);
                    if (link->writable->isEnabled())
                        link->trickle.stop();   // the notifier restarts it
                }
            });
            link->trickle.start();
        }
        return;
    }
    if (link->socket) {
        link->socket->write(out);
        return;
    }
    link->outgoing += out;
    flush(link);
}

// Writes what the pty takes now; the rest waits for the write notifier
// instead of spinning inside the event loop.
void KTVirtualCutter::flush(Link *link)
{
    const qint64 chunk = faults.splitBytes ? 1 : link->outgoing.size();
    qint64 done = 0;
    while (done < chunk) {
        const ssize_t n = ::write(link->fd, link->outgoing.constData() + done, size_t(chunk - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            link->outgoing.clear();   // the other end is gone
        break;
    }
    link->outgoing.remove(0, int(done));
    const bool waiting = !link->outgoing.isEmpty() && done < chunk;
    link->writable->setEnabled(waiting);
    if (!waiting && faults.splitBytes && !link->outgoing.isEmpty() && !link->trickle.isActive())
        link->trickle.start();
}

void KTVirtualCutter::dump(const QByteArray &data)
{
    if (dumpDir.isEmpty())
        return;
    const QString path = QDir(dumpDir).filePath(m_fileName);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size())
        emit jobDumped(path);
}

void KTVirtualCutter::startJob(const QByteArray &data, int copies, bool qr)
{
    if (!qr)
        m_cutData = data;
    m_qrJob = qr;
    m_qrSent = 0;
    m_jobCopies = qMax(1, copies);
    m_finished = 0;
    m_status = 2;
    m_pausedMs = 0;
    m_fileName = QStringLiteral("job%1.plt").arg(++m_jobNumber);
    dump(data);
    // In 64 bits: a job of a few megabytes times 1000 no longer fits an int.
    m_copyMs = qMax<qint64>(200, qint64(data.size()) * 1000 / qMax<qint64>(1, cutBytesPerSecond));
    m_pendingCopies = 1;
    m_jobClock.start();
    m_job.start(reportIntervalMs);
    report();
}

void KTVirtualCutter::jobTick()
{
    if (m_sheetTask) {
        sheetTick();
        return;
    }
    if (m_status == 3)
        return;
    const qint64 elapsed = m_jobClock.elapsed() - m_pausedMs;
    const qint64 total = m_copyMs * m_jobCopies;
    m_finished = int(qMin<qint64>(m_jobCopies, elapsed / m_copyMs));
    while (m_qrJob && m_qrSent < m_finished) {
        ++m_qrSent;
        const QString text = QStringLiteral("CCMD;55,0,QR-%1-%2;").arg(m_jobNumber).arg(m_qrSent);
        for (const auto &link : m_links)
            writeTo(link.get(), KTFrame::pack(text.section(';', 1), QStringLiteral("CCMD")));
    }
    const double percent = qMin(100.0, 100.0 * double(elapsed) / double(total));
    if (faults.dropAtPercent >= 0 && percent >= faults.dropAtPercent) {
        dropConnections();
        return;
    }
    if (faults.stallAtPercent >= 0 && percent >= faults.stallAtPercent) {
        m_job.stop();
        faults.silent = true;
        emit jobStalled(int(percent));
        return;
    }
    if (elapsed >= total) {
        m_status = 1;
        m_job.stop();
        report();
        emit jobFinished(m_jobCopies);
        return;
    }
    report();
}

void KTVirtualCutter::report()
{
    const qint64 elapsed = m_jobClock.isValid() ? m_jobClock.elapsed() - m_pausedMs : 0;
    const qint64 total = qMax<qint64>(1, m_copyMs * m_jobCopies);
    const double percent = m_status == 1 && m_finished == m_jobCopies ? 100.0
                                                                      : qMin(99.9, 100.0 * double(elapsed) / double(total));
    const QString body = QStringLiteral("66,%1,%2,%3,%4,%5,0,0,0;")
                             .arg(m_status)
                             .arg(m_fileName)
                             .arg(m_jobCopies)
                             .arg(m_finished)
                             .arg(QString::number(percent, 'f', 1));
    const QByteArray frame = KTFrame::pack(body, QStringLiteral("CCMD"));
    for (const auto &link : m_links)
        writeTo(link.get(), frame);
}
