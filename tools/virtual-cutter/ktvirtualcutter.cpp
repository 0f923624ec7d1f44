#include "tools/virtual-cutter/ktvirtualcutter.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtMath>

#include <cerrno>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {
// Cut data arrives as one frame; the machine takes jobs far above the host's
// bound for replies.
constexpr int MaxJobBytes = 256 * 1024 * 1024;
// CCMD codes whose read and write number is the same: a write is answered
// with the value, since a short reply to such a code always reads as one.
const QList<int> EchoCodes{54, 55, 1010, 30, 32, 27};
} // namespace

struct KTVirtualCutter::Link
{
    QTcpSocket *socket = nullptr;
    int fd = -1;
    KTFrame::Cutter cutter{MaxJobBytes};
    QByteArray buffer;
    QByteArray outgoing;   // only used when replies go out byte by byte
    QTimer *trickle = nullptr;
};

KTVirtualCutter::KTVirtualCutter(QObject *parent)
    : QObject(parent)
{
    resetRegisters();
    connect(&m_job, &QTimer::timeout, this, &KTVirtualCutter::jobTick);
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
                auto *link = new Link;
                link->socket = s;
                s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                connect(s, &QTcpSocket::readyRead, this, [this, link]() { received(link, link->socket->readAll()); });
                connect(s, &QTcpSocket::disconnected, this, [this, link]() { removeLink(link); });
                addLink(link);
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
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        if (master >= 0)
            ::close(master);
        return QString();
    }
    const QString slave = QString::fromLocal8Bit(::ptsname(master));
    termios tio {};
    ::tcgetattr(master, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(master, TCSANOW, &tio);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    m_ptyMaster = master;

    auto *link = new Link;
    link->fd = master;
    // Holding the slave open keeps the master from reporting a hang-up
    // before the host opens its end.
    const int keep = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    m_ptyNotifier = new QSocketNotifier(master, QSocketNotifier::Read, this);
    m_ptyNotifier->setProperty("keep", keep);
    connect(m_ptyNotifier, &QSocketNotifier::activated, this, [this, link]() {
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::read(link->fd, chunk, sizeof chunk);
            if (n > 0) {
                received(link, QByteArray(chunk, int(n)));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
    });
    addLink(link);
    return slave;
}

void KTVirtualCutter::closePty()
{
    if (m_ptyMaster < 0)
        return;
    const int keep = m_ptyNotifier->property("keep").toInt();
    delete m_ptyNotifier;
    m_ptyNotifier = nullptr;
    for (Link *link : qAsConst(m_links)) {
        if (link->fd == m_ptyMaster) {
            removeLink(link);
            break;
        }
    }
    ::close(m_ptyMaster);
    if (keep >= 0)
        ::close(keep);
    m_ptyMaster = -1;
}

void KTVirtualCutter::dropConnections()
{
    m_job.stop();
    closePty();
    const auto links = m_links;
    for (Link *link : links) {
        if (link->socket) {
            link->socket->disconnect(this);
            link->socket->abort();
            link->socket->deleteLater();
        }
        removeLink(link);
    }
}

int KTVirtualCutter::connectionCount() const
{
    return m_links.size();
}

void KTVirtualCutter::addLink(Link *link)
{
    m_links.append(link);
    emit clientConnected();
}

void KTVirtualCutter::removeLink(Link *link)
{
    if (!m_links.removeOne(link))
        return;
    if (m_replyTo == link)
        m_replyTo = nullptr;
    delete link->trickle;
    delete link;
}

void KTVirtualCutter::received(Link *link, const QByteArray &bytes)
{
    m_bytesReceived += bytes.size();
    if (faults.silent)
        return;
    link->buffer.append(bytes);
    const QVector<QByteArray> frames = link->cutter.cut(link->buffer);
    for (const QByteArray &frame : frames) {
        if (!m_links.contains(link))
            return;
        handle(link, frame);
    }
}

void KTVirtualCutter::handle(Link *link, const QByteArray &frame)
{
    m_frames.append(frame.size() > 4096 ? frame.left(64) : frame);
    emit frameReceived(frame);
    m_replyTo = link;

    // Field 0 is STX and the length, field 1 the command word.
    const QByteArray inner = frame.mid(1, frame.size() - 2);
    const int first = inner.indexOf(';');
    const int second = inner.indexOf(';', first + 1);
    if (first < 0 || second < 0)
        return;
    const QByteArray word = inner.mid(first + 1, second - first - 1);
    const QByteArray body = inner.mid(second + 1);

    if (word == "PLT" || word == "PPLT") {
        startJob(body, m_pendingCopies, false);
    } else if (word == "QR_PLT") {
        m_cutData = body;
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
        int word = qRound(value.toDouble()) & 0xffff;
        if (cmdCeiling.contains(number))
            word = qMin(word, cmdCeiling.value(number));
        m_cmd[number] = word;
        answer += QString::number(number) + ":" + QString::number(word);
        if (number == 125) {
            if (word == 2 && m_job.isActive()) {        // stop
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
        startJob(m_cutData, qMax(1, value.toInt()), true);
}

void KTVirtualCutter::reply(const QString &text)
{
    if (!m_replyTo)
        return;
    writeTo(m_replyTo, KTFrame::pack(text.section(';', 1), text.section(';', 0, 0)));
}

void KTVirtualCutter::writeTo(Link *link, const QByteArray &bytes)
{
    QByteArray out = faults.garbage ? QByteArray("\x01noise\x03zz") + bytes : bytes;
    if (faults.splitBytes) {
        link->outgoing += out;
        if (!link->trickle) {
            link->trickle = new QTimer;
            link->trickle->setInterval(0);
            QObject::connect(link->trickle, &QTimer::timeout, this, [this, link]() {
                if (link->outgoing.isEmpty()) {
                    link->trickle->stop();
                    return;
                }
                const QByteArray one = link->outgoing.left(1);
                link->outgoing.remove(0, 1);
                if (link->socket) {
                    link->socket->write(one);
                    link->socket->flush();
                } else if (::write(link->fd, one.constData(), 1) < 0) {
                    link->outgoing.clear();
                }
            });
        }
        link->trickle->start();
        return;
    }
    if (link->socket) {
        link->socket->write(out);
        return;
    }
    const char *data = out.constData();
    qint64 left = out.size();
    while (left > 0) {
        const ssize_t n = ::write(link->fd, data, size_t(left));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            ::usleep(1000);
            continue;
        }
        if (n <= 0)
            return;
        data += n;
        left -= n;
    }
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
    m_copyMs = qMax<qint64>(200, data.size() * 1000 / qMax<qint64>(1, cutBytesPerSecond));
    m_pendingCopies = 1;
    m_jobClock.start();
    m_job.start(reportIntervalMs);
    report();
}

void KTVirtualCutter::jobTick()
{
    if (m_status == 3)
        return;
    const qint64 elapsed = m_jobClock.elapsed() - m_pausedMs;
    const qint64 total = m_copyMs * m_jobCopies;
    m_finished = int(qMin<qint64>(m_jobCopies, elapsed / m_copyMs));
    while (m_qrJob && m_qrSent < m_finished) {
        ++m_qrSent;
        const QString text = QStringLiteral("CCMD;55,0,QR-%1-%2;").arg(m_jobNumber).arg(m_qrSent);
        for (Link *link : qAsConst(m_links))
            writeTo(link, KTFrame::pack(text.section(';', 1), QStringLiteral("CCMD")));
    }
    const double percent = qMin(100.0, 100.0 * double(elapsed) / double(total));
    if (faults.dropAtPercent >= 0 && percent >= faults.dropAtPercent) {
        dropConnections();
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
    for (Link *link : qAsConst(m_links))
        writeTo(link, frame);
}
