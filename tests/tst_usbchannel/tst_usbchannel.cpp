#include "platform/usbchannel/usbchannel.h"

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QtTest>

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

QTEST_MAIN(tst_UsbChannel)
#include "tst_usbchannel.moc"
