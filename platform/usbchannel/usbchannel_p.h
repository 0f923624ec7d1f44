#ifndef USBCHANNEL_P_H
#define USBCHANNEL_P_H

#include <QAtomicInteger>
#include <QByteArray>
#include <QObject>
#include <QQueue>

class QSocketNotifier;
class UsbChannel;

// Lives on the channel's thread and owns the file descriptor.
class UsbChannelWorker : public QObject
{
    Q_OBJECT
public:
    explicit UsbChannelWorker(UsbChannel *channel);
    ~UsbChannelWorker() override;

    QAtomicInteger<qint64> pending {0};

public slots:
    void open(const QString &path, int mode, bool exclusive);
    void write(const QByteArray &data);
    void close();

private:
    void readReady();
    void flush();
    void fail(const char *what, int err);
    void hangUp();
    void release();

    UsbChannel *m_channel;
    int m_fd = -1;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QQueue<QByteArray> m_queue;
    int m_offset = 0;   // bytes of the queue head already written
};

#endif // USBCHANNEL_P_H
