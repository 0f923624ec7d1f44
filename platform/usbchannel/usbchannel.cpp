#include "platform/usbchannel/usbchannel.h"
#include "platform/usbchannel/usbchannel_p.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QFile>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// Failures and hang-ups of the port, in a category a host can switch (kt-host --verbose).
namespace {
Q_LOGGING_CATEGORY(usbLog, "kt.usb")
}

namespace {

struct Speed
{
    int bitsPerSecond;
    speed_t code;
};

const Speed speeds[] = {
    {1200, B1200},       {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},
    {38400, B38400},     {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
    {4000000, B4000000},
};

// B0 means hang up, never a line speed: it stands for "not supported" here.
speed_t speedCode(int bitsPerSecond)
{
    for (const Speed &s : speeds) {
        if (s.bitsPerSecond == bitsPerSecond)
            return s.code;
    }
    return B0;
}

QString tr(const char *text)
{
    return QCoreApplication::translate("UsbChannel", text);
}

// The group a user must join to open the node; a node owned by root gets
// the group serial ports usually belong to.
QString ownerGroup(const QByteArray &native)
{
    struct stat st {};
    if (::stat(native.constData(), &st) == 0 && st.st_gid != 0) {
        group entry {};
        group *found = nullptr;
        char buffer[4096];
        if (::getgrgid_r(st.st_gid, &entry, buffer, sizeof buffer, &found) == 0 && found)
            return QString::fromLocal8Bit(found->gr_name);
    }
    return QStringLiteral("dialout");
}

UsbChannel::ChannelError openError(int err, const QString &path, QString *reason)
{
    switch (err) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
        *reason = tr("%1: no such device; is the machine plugged in and switched on?").arg(path);
        return UsbChannel::NotFound;
    case EACCES:
    case EPERM:
        *reason = tr("%1: permission denied; join the group '%2' (sudo usermod -aG %2 $USER, then log in again) "
                     "or install the udev rule 70-kt-mrc600cam.rules")
                      .arg(path, ownerGroup(QFile::encodeName(path)));
        return UsbChannel::PermissionDenied;
    case EBUSY:
    case EWOULDBLOCK:
        *reason = tr("%1: device busy; another program is using it").arg(path);
        return UsbChannel::Busy;
    case EISDIR:
        *reason = tr("%1: is a directory, not a device").arg(path);
        return UsbChannel::NotADevice;
    default:
        *reason = tr("%1: cannot open: %2").arg(path, QString::fromLocal8Bit(std::strerror(err)));
        return UsbChannel::IoError;
    }
}

// Opens path for the channel and, unless shared, takes it for this open file
// alone: the advisory lock holds even against root, TIOCEXCL also against
// programs that take no lock.
UsbChannel::ChannelError openDevice(const QString &path, int mode, bool shared, int *fdOut, bool *exclusiveTty,
                                    QString *reason)
{
    *fdOut = -1;
    *exclusiveTty = false;
    if (path.isEmpty()) {
        *reason = tr("no device path given");
        return UsbChannel::NotFound;
    }
    int flags = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    flags |= mode == UsbChannel::ReadOnly ? O_RDONLY : mode == UsbChannel::WriteOnly ? O_WRONLY : O_RDWR;
    const int fd = ::open(QFile::encodeName(path).constData(), flags);
    if (fd < 0)
        return openError(errno, path, reason);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        ::close(fd);
        if (S_ISDIR(st.st_mode))
            return openError(EISDIR, path, reason);
        *reason = tr("%1: not a character device").arg(path);
        return UsbChannel::NotADevice;
    }
    if (!shared) {
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            ::close(fd);
            return openError(EBUSY, path, reason);
        }
        *exclusiveTty = ::isatty(fd) && ::ioctl(fd, TIOCEXCL) == 0;
    }
    *fdOut = fd;
    return UsbChannel::NoError;
}

void closeDevice(int fd, bool exclusiveTty)
{
    // The flag outlives this open file on a pseudo-terminal whose other side
    // stays: clear it, or the next host is refused.
    if (exclusiveTty)
        ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

// The machine speaks bytes, not lines: raw 8N1, no flow control, modem lines
// ignored, at an explicit speed.
UsbChannel::ChannelError setLine(int fd, int bitsPerSecond, const QString &path, QString *reason)
{
    const speed_t code = speedCode(bitsPerSecond);
    if (code == B0) {
        *reason = tr("%1: unsupported line speed %2 bit/s").arg(path).arg(bitsPerSecond);
        return UsbChannel::UnsupportedBaudRate;
    }
    termios tio {};
    termios set {};
    int err = 0;
    if (::tcgetattr(fd, &tio) != 0) {
        err = errno;
    } else {
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~(CSTOPB | CRTSCTS);
        tio.c_iflag &= ~(IXON | IXOFF | IXANY);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        ::cfsetispeed(&tio, code);
        ::cfsetospeed(&tio, code);
        // tcsetattr succeeds when any one change took: read the speed back.
        if (::tcsetattr(fd, TCSANOW, &tio) != 0 || ::tcgetattr(fd, &set) != 0)
            err = errno;
        else if (::cfgetospeed(&set) != code)
            err = EINVAL;
        else
            return UsbChannel::NoError;
    }
    *reason = tr("%1: cannot set the line to raw %2 bit/s: %3")
                  .arg(path)
                  .arg(bitsPerSecond)
                  .arg(QString::fromLocal8Bit(std::strerror(err)));
    return UsbChannel::LineSettingsError;
}

} // namespace

UsbChannel::UsbChannel(QObject *parent)
    : QObject(parent), d(new UsbChannelPrivate)
{
    d->thread = new QThread;
    d->worker = new UsbChannelWorker;
    d->thread->setObjectName(QStringLiteral("UsbChannel"));
    d->worker->moveToThread(d->thread);
    // Queued onto this object's thread, in the order the worker emitted them:
    // the reason is stored before the status that announces it.
    connect(d->worker, &UsbChannelWorker::errorOccurred, this, [this](int error, const QString &reason) {
        d->error = ChannelError(error);
        d->errorString = reason;
        emit errorOccurred(reason);
    });
    connect(d->worker, &UsbChannelWorker::statusChanged, this, [this](int status) {
        if (status == 1) {
            d->error = NoError;
            d->errorString.clear();
        }
        emit statusChanged(status);
    });
    // Counted off before the slots run: a slot may delete this channel.
    connect(d->worker, &UsbChannelWorker::readData, this, [this](const QByteArray &data) {
        d->worker->taken(data.size());
        emit readData(data);
    });
    connect(d->worker, &UsbChannelWorker::writeData, this, &UsbChannel::writeData);
    d->thread->start();
}

UsbChannel::~UsbChannel()
{
    UsbChannelWorker *worker = d->worker;
    QMetaObject::invokeMethod(worker, [worker] { worker->close(); }, Qt::BlockingQueuedConnection);
    d->thread->quit();
    d->thread->wait();
    delete d->worker;   // its thread has finished: safe to delete from here
    delete d->thread;
}

void UsbChannel::usbConnect(QString path, ConnectionMode mode, bool shared)
{
    UsbChannelWorker *worker = d->worker;
    const int baud = d->baudRate;
    QMetaObject::invokeMethod(
        worker, [worker, path, mode, shared, baud] { worker->open(path, int(mode), shared, baud); },
        Qt::QueuedConnection);
}

void UsbChannel::send(QString data)
{
    sendBytes(data.toUtf8());
}

void UsbChannel::sendBytes(QByteArray data)
{
    if (data.isEmpty())
        return;
    UsbChannelWorker *worker = d->worker;
    worker->pending.fetchAndAddOrdered(data.size());
    QMetaObject::invokeMethod(worker, [worker, data] { worker->write(data); }, Qt::QueuedConnection);
}

void UsbChannel::close()
{
    UsbChannelWorker *worker = d->worker;
    QMetaObject::invokeMethod(worker, [worker] { worker->close(); }, Qt::QueuedConnection);
}

void UsbChannel::setBaudRate(int bitsPerSecond)
{
    d->baudRate = bitsPerSecond;
}

int UsbChannel::baudRate() const
{
    return d->baudRate;
}

QList<int> UsbChannel::supportedBaudRates()
{
    QList<int> out;
    for (const Speed &s : speeds)
        out << s.bitsPerSecond;
    return out;
}

UsbChannel::ChannelError UsbChannel::error() const
{
    return d->error;
}

QString UsbChannel::errorString() const
{
    return d->errorString;
}

qint64 UsbChannel::pendingBytes() const
{
    return d->worker->pending.loadAcquire();
}

UsbChannel::ChannelError UsbChannel::probe(const QString &path, QString *reason)
{
    QString why;
    int fd = -1;
    bool exclusiveTty = false;
    const ChannelError err = openDevice(path, ReadWrite, false, &fd, &exclusiveTty, &why);
    if (fd >= 0)
        closeDevice(fd, exclusiveTty);
    if (reason)
        *reason = why;
    return err;
}

UsbChannelWorker::~UsbChannelWorker()
{
    release();
}

void UsbChannelWorker::open(const QString &path, int mode, bool shared, int baudRate)
{
    release();
    m_path = path;
    QString reason;
    UsbChannel::ChannelError err = openDevice(path, mode, shared, &m_fd, &m_exclusiveTty, &reason);
    if (err == UsbChannel::NoError && ::isatty(m_fd))
        err = setLine(m_fd, baudRate, path, &reason);
    if (err != UsbChannel::NoError) {
        fail("open", err, reason);
        return;
    }
    if (mode != UsbChannel::WriteOnly) {
        m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_readNotifier, &QSocketNotifier::activated, this, &UsbChannelWorker::readReady);
    }
    m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &UsbChannelWorker::flush);
    emit statusChanged(1);
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
            const int err = errno;
            if (err == EINTR)
                continue;
            if (err == EAGAIN || err == EWOULDBLOCK) {
                m_writeNotifier->setEnabled(true);
                return;
            }
            if (err == EIO || err == EPIPE || err == ENODEV)
                hangUp();
            else
                fail("write", UsbChannel::IoError,
                     tr("%1: write failed: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(err))));
            return;
        }
        emit writeData(head.mid(m_offset, int(n)));
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
    for (qint64 budget = ReadPerPass; budget > 0;) {
        if (inFlight.loadAcquire() >= ReadAhead) {
            pauseReading();
            return;
        }
        const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
        if (n > 0) {
            inFlight.fetchAndAddOrdered(n);
            emit readData(QByteArray(chunk, int(n)));
            if (n < ssize_t(sizeof chunk))
                return;
            budget -= n;
            continue;
        }
        const int err = n < 0 ? errno : 0;
        if (err == EINTR)
            continue;
        if (err == EAGAIN || err == EWOULDBLOCK)
            return;
        // End of file, or EIO once the other side of a terminal is gone.
        if (n == 0 || err == EIO || err == ENODEV)
            hangUp();
        else
            fail("read", UsbChannel::IoError,
                 tr("%1: read failed: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(err))));
        return;
    }
    // More may be waiting: the notifier is level-triggered and comes back.
}

void UsbChannelWorker::pauseReading()
{
    m_readNotifier->setEnabled(false);
    m_readPaused.storeRelease(1);
    // The facade may have taken everything between the check and the flag,
    // and then saw no pause to end.
    if (inFlight.loadAcquire() <= ReadAhead / 2 && m_readPaused.testAndSetOrdered(1, 0))
        m_readNotifier->setEnabled(true);
}

void UsbChannelWorker::resumeReading()
{
    if (m_readNotifier)
        m_readNotifier->setEnabled(true);
}

void UsbChannelWorker::taken(qint64 bytes)
{
    const qint64 left = inFlight.fetchAndSubOrdered(bytes) - bytes;
    if (left <= ReadAhead / 2 && m_readPaused.testAndSetOrdered(1, 0))
        QMetaObject::invokeMethod(this, [this] { resumeReading(); }, Qt::QueuedConnection);
}

void UsbChannelWorker::fail(const char *what, int error, const QString &reason)
{
    qCDebug(usbLog) << "UsbChannel:" << what << reason;
    release();
    emit errorOccurred(error, reason);
    emit statusChanged(2);
}

void UsbChannelWorker::hangUp()
{
    qCDebug(usbLog) << "UsbChannel: hang-up";
    release();
    emit statusChanged(0);
}

void UsbChannelWorker::close()
{
    if (m_fd < 0)
        return;
    release();
    emit statusChanged(0);
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
        closeDevice(m_fd, m_exclusiveTty);
        m_fd = -1;
        m_exclusiveTty = false;
    }
}
