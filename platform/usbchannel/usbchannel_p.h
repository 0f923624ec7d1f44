#ifndef USBCHANNEL_P_H
#define USBCHANNEL_P_H

#include <QAtomicInteger>
#include <QByteArray>
#include <QObject>
#include <QQueue>
#include <QString>

#include "platform/usbchannel/usbchannel.h"

class QSocketNotifier;
class QThread;

// Lives on the channel's thread and owns the file descriptor. It knows
// nothing of the facade: its signals are connected to the facade's, which
// delivers them on the facade's own thread.
class UsbChannelWorker : public QObject
{
    Q_OBJECT
public:
    UsbChannelWorker() = default;
    ~UsbChannelWorker() override;

    // A device that sends without pause (a flooding port, /dev/zero) must
    // not fill the facade's event queue: reading stops while ReadAhead bytes
    // are emitted and not yet handed on, and goes on once the facade has
    // taken them down to half of that.
    static constexpr qint64 ReadAhead = 1024 * 1024;
    // At most this much is read before the thread's event loop runs again,
    // so writes and a close are served during a flood.
    static constexpr qint64 ReadPerPass = 64 * 1024;

    QAtomicInteger<qint64> pending {0};
    QAtomicInteger<qint64> inFlight {0};   // emitted by readData, not yet handed on

    void open(const QString &path, int mode, bool shared, int baudRate);
    void write(const QByteArray &data);
    void close();
    // Called on the facade's thread for each readData it hands on.
    void taken(qint64 bytes);

signals:
    void readData(QByteArray data);
    void statusChanged(int status);
    void writeData(QByteArray data);
    void errorOccurred(int error, QString reason);

private:
    void readReady();
    void pauseReading();
    void resumeReading();
    void flush();
    void fail(const char *what, int error, const QString &reason);
    void hangUp();
    void release();

    QString m_path;
    int m_fd = -1;
    bool m_exclusiveTty = false;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QQueue<QByteArray> m_queue;
    int m_offset = 0;   // bytes of the queue head already written
    QAtomicInt m_readPaused {0};   // set by this thread, cleared by whichever resumes
};

// What a UsbChannel keeps, out of the installed header.
class UsbChannelPrivate
{
public:
    QThread *thread = nullptr;
    UsbChannelWorker *worker = nullptr;
    int baudRate = UsbChannel::DefaultBaudRate;
    UsbChannel::ChannelError error = UsbChannel::NoError;
    QString errorString;
};

#endif // USBCHANNEL_P_H
