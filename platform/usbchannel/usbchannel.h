#ifndef USBCHANNEL_H
#define USBCHANNEL_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

#include "usbchannel_export.h"

class UsbChannelPrivate;

// A USB link to the machine over a Linux character device: USB CDC serial
// (/dev/ttyACM*, /dev/ttyUSB*), the USB printer class (/dev/usb/lp*) or a
// pseudo-terminal. All I/O runs on the channel's own thread: send() returns at
// once, so a stalled machine never blocks the caller. Every signal is emitted
// on the thread the channel object belongs to. Reading waits while 1 MiB read
// has not reached the slots of readData yet: a device that sends without
// pause costs the owner's thread time, never unbounded memory.
//
// statusChanged: 1 opened, 2 open or I/O error, 0 hung up or closed. Before
// each 2, errorOccurred carries the reason, which errorString() keeps until
// the next successful open.
class USBCHANNEL_EXPORT UsbChannel : public QObject
{
    Q_OBJECT
public:
    enum ConnectionMode { ReadOnly = 0, WriteOnly = 1, ReadWrite = 2 };
    Q_ENUM(ConnectionMode)
    enum ChannelError {
        NoError = 0,
        NotFound,           // no such file, or no device behind the node
        PermissionDenied,
        Busy,               // another program holds the device
        NotADevice,         // a directory, a regular file, a pipe...
        UnsupportedBaudRate,
        LineSettingsError,  // the terminal refused raw mode or the speed
        IoError,            // open, read or write failed otherwise
    };
    Q_ENUM(ChannelError)

    // Line speed of a terminal device unless setBaudRate() says otherwise.
    static constexpr int DefaultBaudRate = 115200;

    explicit UsbChannel(QObject *parent = nullptr);
    ~UsbChannel() override;

    // Opens path (closing any earlier device). The device is held exclusively
    // (an advisory lock, plus TIOCEXCL on a terminal) so that a second program
    // is told it is busy; shared = true leaves it open to others.
    void usbConnect(QString path, ConnectionMode mode, bool shared);
    void send(QString data);
    void sendBytes(QByteArray data);
    void close();

    // Applies to terminal devices at the next usbConnect(); other devices
    // have no line speed.
    void setBaudRate(int bitsPerSecond);
    int baudRate() const;
    static QList<int> supportedBaudRates();

    ChannelError error() const;
    QString errorString() const;

    // Bytes handed to send() that the device has not taken yet.
    qint64 pendingBytes() const;

    // Opens and closes path as usbConnect() would, without touching its line
    // settings; returns why it cannot be opened (NoError when it can).
    static ChannelError probe(const QString &path, QString *reason = nullptr);

signals:
    void readData(QByteArray data);
    void statusChanged(int status);
    void writeData(QByteArray data);
    void errorOccurred(QString reason);

private:
    const std::unique_ptr<UsbChannelPrivate> d;
};

#endif // USBCHANNEL_H
