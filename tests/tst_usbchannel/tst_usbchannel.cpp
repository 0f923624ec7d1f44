#include "platform/usbchannel/usbchannel.h"

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A pseudo-terminal whose master side plays the machine.
struct Pty
{
    int master = -1;
    QString slave;
    Pty()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) || ::unlockpt(master))
            return;
        termios tio {};
        ::tcgetattr(master, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(master, TCSANOW, &tio);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        slave = QString::fromLocal8Bit(::ptsname(master));
    }
    ~Pty() { close(); }
    void close()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    QByteArray readAvailable()
    {
        QByteArray out;
        char buf[65536];
        ssize_t n;
        while ((n = ::read(master, buf, sizeof buf)) > 0)
            out.append(buf, int(n));
        return out;
    }
};

} // namespace

class tst_UsbChannel : public QObject
{
    Q_OBJECT
private slots:
    void opensReadsAndWrites();
    void openErrorReportsTwo();
    void hangUpReportsZero();
    void stalledReaderDoesNotBlockTheCaller();
    void openFailureReasons_data();
    void openFailureReasons();
    void heldUntilClosed();
    void lineSpeed_data();
    void lineSpeed();
    void signalsArriveOnTheChannelsThread();
    void floodWaitsForTheReader();
};

void tst_UsbChannel::opensReadsAndWrites()
{
    Pty pty;
    QVERIFY(!pty.slave.isEmpty());
    UsbChannel channel;
    QSignalSpy status(&channel, &UsbChannel::statusChanged);
    QSignalSpy data(&channel, &UsbChannel::readData);
    channel.usbConnect(pty.slave, UsbChannel::ReadWrite, false);
    QTRY_COMPARE(status.count(), 1);
    QCOMPARE(status.first().first().toInt(), 1);

    // Control bytes pass untouched: the line is raw.
    const QByteArray reply("\x02" "13;CCMD;54;\x03\r\n\x7f");
    QCOMPARE(::write(pty.master, reply.constData(), size_t(reply.size())), ssize_t(reply.size()));
    QByteArray got;
    QTRY_VERIFY((got = [&] { QByteArray all; for (const auto &a : data) all += a.first().toByteArray(); return all; }()) == reply);

    channel.send(QString::fromLatin1("\x02" "8;CMD;\x03"));
    QByteArray written;
    QTRY_VERIFY((written += pty.readAvailable()) == QByteArray("\x02" "8;CMD;\x03"));
}

void tst_UsbChannel::openErrorReportsTwo()
{
    UsbChannel channel;
    QSignalSpy status(&channel, &UsbChannel::statusChanged);
    channel.usbConnect("/dev/no-such-usb-device", UsbChannel::ReadWrite, false);
    QTRY_COMPARE(status.count(), 1);
    QCOMPARE(status.first().first().toInt(), 2);
    channel.send("dropped");
    QTRY_COMPARE(channel.pendingBytes(), qint64(0));
}

void tst_UsbChannel::hangUpReportsZero()
{
    Pty pty;
    UsbChannel channel;
    QSignalSpy status(&channel, &UsbChannel::statusChanged);
    channel.usbConnect(pty.slave, UsbChannel::ReadWrite, false);
    QTRY_COMPARE(status.count(), 1);
    pty.close();
    QTRY_COMPARE(status.count(), 2);
    QCOMPARE(status.last().first().toInt(), 0);
}

void tst_UsbChannel::stalledReaderDoesNotBlockTheCaller()
{
    Pty pty;
    UsbChannel channel;
    QSignalSpy status(&channel, &UsbChannel::statusChanged);
    channel.usbConnect(pty.slave, UsbChannel::ReadWrite, false);
    QTRY_COMPARE(status.count(), 1);

    // The machine reads nothing while 4 MB go out: far beyond the tty buffers.
    QByteArray job;
    for (int i = 0; job.size() < 4 * 1024 * 1024; ++i)
        job += "PD" + QByteArray::number(i) + ",1;";
    int ticks = 0;
    QTimer gui;
    connect(&gui, &QTimer::timeout, [&ticks] { ++ticks; });
    gui.start(5);
    channel.send(QString::fromLatin1(job));
    channel.send(QStringLiteral("END"));
    QVERIFY(channel.pendingBytes() > 0);
    QTRY_VERIFY(ticks >= 20);   // the caller's event loop keeps running
    QVERIFY(channel.pendingBytes() > job.size() / 2);

    // Once the machine reads again, every byte arrives, in order.
    QByteArray received;
    QSocketNotifier reader(pty.master, QSocketNotifier::Read);
    connect(&reader, &QSocketNotifier::activated, [&] { received += pty.readAvailable(); });
    QTRY_VERIFY_WITH_TIMEOUT(received.size() >= job.size() + 3, 20000);
    QCOMPARE(received, job + "END");
    QTRY_COMPARE(channel.pendingBytes(), qint64(0));
}

void tst_UsbChannel::openFailureReasons_data()
{
    QTest::addColumn<QString>("target");   // a name under a fresh folder, "." the folder, "pty" a held terminal
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("reason");

    QTest::newRow("missing path") << "ttyACM9" << 115200 << int(UsbChannel::NotFound) << "no such device";
    QTest::newRow("missing folder") << "usb/lp0" << 115200 << int(UsbChannel::NotFound) << "no such device";
    QTest::newRow("empty path") << "" << 115200 << int(UsbChannel::NotFound) << "no device path";
    QTest::newRow("directory") << "." << 115200 << int(UsbChannel::NotADevice) << "is a directory";
    QTest::newRow("regular file") << "file" << 115200 << int(UsbChannel::NotADevice) << "not a character device";
    QTest::newRow("held by another channel") << "pty" << 115200 << int(UsbChannel::Busy) << "device busy";
    QTest::newRow("unsupported speed") << "free pty" << 12345 << int(UsbChannel::UnsupportedBaudRate)
                                       << "unsupported line speed 12345";
}

void tst_UsbChannel::openFailureReasons()
{
    QFETCH(QString, target);
    QFETCH(int, baud);
    QFETCH(int, error);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    QFile file(dir.filePath("file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    Pty pty;
    UsbChannel holder;
    QString path = target.isEmpty() ? QString() : target == "." ? dir.path() : dir.filePath(target);
    if (target.endsWith("pty"))
        path = pty.slave;
    if (target == "pty") {
        QSignalSpy held(&holder, &UsbChannel::statusChanged);
        holder.usbConnect(path, UsbChannel::ReadWrite, false);
        QTRY_COMPARE(held.count(), 1);
        QCOMPARE(held.first().first().toInt(), 1);
    }

    UsbChannel channel;
    channel.setBaudRate(baud);
    QSignalSpy status(&channel, &UsbChannel::statusChanged);
    QSignalSpy errors(&channel, &UsbChannel::errorOccurred);
    channel.usbConnect(path, UsbChannel::ReadWrite, false);
    QTRY_COMPARE(status.count(), 1);
    QCOMPARE(status.first().first().toInt(), 2);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.first().first().toString(), channel.errorString());
    QCOMPARE(int(channel.error()), error);
    QVERIFY2(channel.errorString().contains(reason), qPrintable(channel.errorString()));
    QVERIFY2(channel.errorString().startsWith(path), qPrintable(channel.errorString()));

    // A listing of ports gives the same answer without opening for real.
    if (error != UsbChannel::UnsupportedBaudRate) {
        QString probed;
        QCOMPARE(int(UsbChannel::probe(path, &probed)), error);
        QCOMPARE(probed, channel.errorString());
    }
}

void tst_UsbChannel::heldUntilClosed()
{
    Pty pty;
    QCOMPARE(int(UsbChannel::probe(pty.slave)), int(UsbChannel::NoError));
    UsbChannel first;
    QSignalSpy firstStatus(&first, &UsbChannel::statusChanged);
    first.usbConnect(pty.slave, UsbChannel::ReadWrite, false);
    QTRY_COMPARE(firstStatus.count(), 1);
    QCOMPARE(int(UsbChannel::probe(pty.slave)), int(UsbChannel::Busy));

    // Shared opens leave the device to others, and take it from no one.
    UsbChannel shared;
    QSignalSpy sharedStatus(&shared, &UsbChannel::statusChanged);
    shared.usbConnect(pty.slave, UsbChannel::ReadWrite, true);
    QTRY_COMPARE(sharedStatus.count(), 1);
    QCOMPARE(sharedStatus.first().first().toInt(), 1);

    first.close();
    QTRY_COMPARE(firstStatus.count(), 2);
    QCOMPARE(firstStatus.last().first().toInt(), 0);
    UsbChannel second;
    QSignalSpy secondStatus(&second, &UsbChannel::statusChanged);
    second.usbConnect(pty.slave, UsbChannel::ReadWrite, false);
    QTRY_COMPARE(secondStatus.count(), 1);
    QCOMPARE(secondStatus.first().first().toInt(), 1);
    QVERIFY(second.errorString().isEmpty());
}

void tst_UsbChannel::lineSpeed_data()
{
    QTest::addColumn<int>("baud");   // 0: not set
    QTest::addColumn<int>("expected");
    QTest::newRow("default") << 0 << int(B115200);
    QTest::newRow("9600") << 9600 << int(B9600);
    QTest::newRow("921600") << 921600 << int(B921600);
}

void tst_UsbChannel::lineSpeed()
{
    QFETCH(int, baud);
    QFETCH(int, expected);
    Pty pty;
    termios before {};
    QCOMPARE(::tcgetattr(pty.master, &before), 0);
    QVERIFY(::cfgetospeed(&before) != speed_t(expected));

    UsbChannel channel;
    if (baud)
        channel.setBaudRate(baud);
    QSignalSpy status(&channel, &UsbChannel::statusChanged);
    channel.usbConnect(pty.slave, UsbChannel::ReadWrite, false);
    QTRY_COMPARE(status.count(), 1);
    QCOMPARE(status.first().first().toInt(), 1);

    // The master side reads the terminal settings the slave was given.
    termios tio {};
    QCOMPARE(::tcgetattr(pty.master, &tio), 0);
    QCOMPARE(int(::cfgetospeed(&tio)), expected);
    QCOMPARE(int(::cfgetispeed(&tio)), expected);
    QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
    QCOMPARE(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CLOCAL), tcflag_t(CS8 | CLOCAL));
}

void tst_UsbChannel::signalsArriveOnTheChannelsThread()
{
    Pty pty;
    UsbChannel channel;
    QStringList seen;
    QList<QThread *> threads;
    auto record = [&](const QString &what) {
        seen << what;
        threads << QThread::currentThread();
    };
    connect(&channel, &UsbChannel::statusChanged, this, [&](int s) { record("status " + QString::number(s)); },
            Qt::DirectConnection);
    connect(&channel, &UsbChannel::errorOccurred, this, [&](const QString &) { record("error"); },
            Qt::DirectConnection);
    connect(&channel, &UsbChannel::readData, this, [&](const QByteArray &d) { record("read " + d); },
            Qt::DirectConnection);
    connect(&channel, &UsbChannel::writeData, this, [&](const QByteArray &d) { record("write " + d); },
            Qt::DirectConnection);

    channel.usbConnect(pty.slave + "-gone", UsbChannel::ReadWrite, false);
    QTRY_COMPARE(seen.size(), 2);
    channel.usbConnect(pty.slave, UsbChannel::ReadWrite, false);
    QTRY_COMPARE(seen.size(), 3);
    channel.sendBytes("ab");
    QTRY_COMPARE(seen.size(), 4);
    QCOMPARE(::write(pty.master, "cd", 2), ssize_t(2));
    QTRY_COMPARE(seen.size(), 5);

    // The reason comes first, so a slot on the status can read it.
    QCOMPARE(seen, (QStringList{"error", "status 2", "status 1", "write ab", "read cd"}));
    for (QThread *t : qAsConst(threads))
        QCOMPARE(t, QThread::currentThread());
}

QTEST_MAIN(tst_UsbChannel)
#include "tst_usbchannel.moc"

// A device that never stops sending is read only as fast as the channel's
// owner takes the bytes; writes still leave and the channel still closes.
void tst_UsbChannel::floodWaitsForTheReader()
{
    auto channel = std::make_unique<UsbChannel>();
    qint64 received = 0;
    connect(channel.get(), &UsbChannel::readData, this, [&received](const QByteArray &d) { received += d.size(); });
    QSignalSpy status(channel.get(), &UsbChannel::statusChanged);
    QSignalSpy written(channel.get(), &UsbChannel::writeData);
    channel->usbConnect(QStringLiteral("/dev/zero"), UsbChannel::ReadWrite, false);
    QTRY_COMPARE(status.count(), 1);
    QCOMPARE(status.first().first().toInt(), 1);
    QTRY_VERIFY(received > 0);

    // The owner is busy: what waits for it when it comes back is what was
    // read ahead (1 MiB), not all the device could send meanwhile.
    QThread::msleep(100);
    const qint64 before = received;
    QCoreApplication::sendPostedEvents(channel.get(), QEvent::MetaCall);
    const qint64 waiting = received - before;
    QVERIFY2(waiting <= 2 * 1024 * 1024, qPrintable(QString::number(waiting)));

    // Taking the bytes lets reading go on, and writes are served meanwhile.
    QTRY_VERIFY(received > before + 16 * 1024 * 1024);
    channel->sendBytes("ab");
    QTRY_COMPARE(written.count(), 1);
    QCOMPARE(written.first().first().toByteArray(), QByteArray("ab"));
    QCOMPARE(status.count(), 1);
    channel.reset();   // returns: the channel's thread is not stuck reading
}
