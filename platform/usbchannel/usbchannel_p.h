#ifndef USBCHANNEL_P_H
#define USBCHANNEL_P_H

#include <QAtomicInteger>
#include <QByteArray>
#include <QObject>
#include <QQueue>
#include <QString>

class QSocketNotifier;

// Lives on the channel's thread and owns the file descriptor. It knows
// nothing of the facade: its signals are connected to the facade's, which
// delivers them on the facade's own thread.
class UsbChannelWorker : public QObject
{
    Q_OBJECT
public:
    UsbChannelWorker() = default;
    ~UsbChannelWorker() override;

    QAtomicInteger<qint64> pending {0};

    void open(const QString &path, int mode, bool shared, int baudRate);
    void write(const QByteArray &data);
    void close();

signals:
    void readData(QByteArray data);
    void statusChanged(int status);
    void writeData(QByteArray data);
    void errorOccurred(int error, QString reason);

private:
    void readReady();
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
};

#endif // USBCHANNEL_P_H
