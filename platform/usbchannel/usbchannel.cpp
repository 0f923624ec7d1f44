#include "platform/usbchannel/usbchannel.h"
#include "platform/usbchannel/usbchannel_p.h"

#include <QDebug>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

UsbChannel::UsbChannel(QObject *parent)
    : QObject(parent), m_thread(new QThread), m_worker(new UsbChannelWorker(this))
{
    m_thread->setObjectName(QStringLiteral("UsbChannel"));
    m_worker->moveToThread(m_thread);
    m_thread->start();
}

UsbChannel::~UsbChannel()
{
    QMetaObject::invokeMethod(m_worker, "close", Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_worker;   // its thread has finished: safe to delete from here
    delete m_thread;
}

void UsbChannel::usbConnect(QString path, ConnectionMode mode, bool exclusive)
{
    QMetaObject::invokeMethod(m_worker, "open", Qt::QueuedConnection, Q_ARG(QString, path), Q_ARG(int, int(mode)),
                              Q_ARG(bool, exclusive));
}

void UsbChannel::send(QString data)
{
    sendBytes(data.toUtf8());
}

void UsbChannel::sendBytes(QByteArray data)
{
    if (data.isEmpty())
        return;
    m_worker->pending.fetchAndAddOrdered(data.size());
    QMetaObject::invokeMethod(m_worker, "write", Qt::QueuedConnection, Q_ARG(QByteArray, data));
}

void UsbChannel::close()
{
    QMetaObject::invokeMethod(m_worker, "close", Qt::QueuedConnection);
}

qint64 UsbChannel::pendingBytes() const
{
    return m_worker->pending.loadAcquire();
}

UsbChannelWorker::UsbChannelWorker(UsbChannel *channel)
    : m_channel(channel)
{
}

UsbChannelWorker::~UsbChannelWorker()
{
    release();
}

void UsbChannelWorker::open(const QString &path, int mode, bool exclusive)
{
    release();
    int flags = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    flags |= mode == UsbChannel::ReadOnly ? O_RDONLY : mode == UsbChannel::WriteOnly ? O_WRONLY : O_RDWR;
    const QByteArray native = path.toLocal8Bit();
    m_fd = ::open(native.constData(), flags);
    if (m_fd < 0) {
        fail("open", errno);
        return;
    }
    if (::isatty(m_fd)) {
        // The machine speaks bytes, not lines: no echo, no control characters.
        termios tio {};
        if (::tcgetattr(m_fd, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(m_fd, TCSANOW, &tio);
        }
        if (exclusive)
            ::ioctl(m_fd, TIOCEXCL);
    }
    if (mode != UsbChannel::WriteOnly) {
        m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_readNotifier, &QSocketNotifier::activated, this, &UsbChannelWorker::readReady);
    }
    m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &UsbChannelWorker::flush);
    emit m_channel->statusChanged(1);
    flush();
}

void UsbChannelWorker::write(const QByteArray &data)
{
    if (m_fd < 0) {
        // Nothing to write to: the bytes are dropped like on a closed link.
        pending.fetchAndSubOrdered(data.size());
        return;
    }
    m_queue.enqueue(data);
    flush();
}

void UsbChannelWorker::flush()
{
    while (m_fd >= 0 && !m_queue.isEmpty()) {
        const QByteArray &head = m_queue.head();
        const ssize_t n = ::write(m_fd, head.constData() + m_offset, size_t(head.size() - m_offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                m_writeNotifier->setEnabled(true);
                return;
            }
            if (errno == EIO || errno == EPIPE || errno == ENODEV)
                hangUp();
            else
                fail("write", errno);
            return;
        }
        emit m_channel->writeData(head.mid(m_offset, int(n)));
        pending.fetchAndSubOrdered(n);
        m_offset += int(n);
        if (m_offset == head.size()) {
            m_queue.dequeue();
            m_offset = 0;
        }
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
}

void UsbChannelWorker::readReady()
{
    char chunk[10240];
    for (;;) {
        const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n > 0) {
            emit m_channel->readData(QByteArray(chunk, int(n)));
            if (n < ssize_t(sizeof chunk))
                return;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        // End of file, or EIO once the other side of a terminal is gone.
        if (n == 0 || errno == EIO || errno == ENODEV)
            hangUp();
        else
            fail("read", errno);
        return;
    }
}

void UsbChannelWorker::fail(const char *what, int err)
{
    qDebug() << "UsbChannel::" << what << std::strerror(err);
    release();
    emit m_channel->statusChanged(2);
}

void UsbChannelWorker::hangUp()
{
    qDebug() << "UsbChannel::hangUp";
    release();
    emit m_channel->statusChanged(0);
}

void UsbChannelWorker::close()
{
    if (m_fd < 0)
        return;
    release();
    emit m_channel->statusChanged(0);
}

void UsbChannelWorker::release()
{
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    qint64 dropped = 0;
    for (const QByteArray &b : qAsConst(m_queue))
        dropped += b.size();
    pending.fetchAndSubOrdered(dropped - m_offset);
    m_queue.clear();
    m_offset = 0;
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}
