#ifndef USBCHANNEL_H
#define USBCHANNEL_H

#include <QByteArray>
#include <QObject>
#include <QString>

#if defined(USBCHANNEL_LIBRARY)
#  define USBCHANNEL_EXPORT Q_DECL_EXPORT
#else
#  define USBCHANNEL_EXPORT Q_DECL_IMPORT
#endif

class QThread;
class UsbChannelWorker;

// A USB link to the machine over a Linux character device: USB CDC serial
// (/dev/ttyACM*, /dev/ttyUSB*), the USB printer class (/dev/usb/lp*) or a
// pseudo-terminal. All I/O runs on the channel's own thread: send() returns at
// once, so a stalled machine never blocks the caller.
//
// statusChanged: 1 opened, 2 open or I/O error, 0 hung up or closed.
class USBCHANNEL_EXPORT UsbChannel : public QObject
{
    Q_OBJECT
public:
    enum ConnectionMode { ReadOnly = 0, WriteOnly = 1, ReadWrite = 2 };
    Q_ENUM(ConnectionMode)

    explicit UsbChannel(QObject *parent = nullptr);
    ~UsbChannel() override;

    // Opens path (closing any earlier device). exclusive asks the kernel to
    // refuse other openers of a terminal device.
    void usbConnect(QString path, ConnectionMode mode, bool exclusive);
    void send(QString data);
    void sendBytes(QByteArray data);
    void close();

    // Bytes handed to send() that the device has not taken yet.
    qint64 pendingBytes() const;

signals:
    void readData(QByteArray data);
    void statusChanged(int status);
    void writeData(QByteArray data);

private:
    QThread *m_thread;
    UsbChannelWorker *m_worker;
};

#endif // USBCHANNEL_H
