#ifndef NUVEXAHTTP_H
#define NUVEXAHTTP_H

#include <QByteArray>
#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QTimer>
#include <QUrl>

class QTcpSocket;

// A finished HTTP exchange as the client's callbacks see it: the status
// attribute (absent when no answer came), the body through read/readAll, and
// an error code for anything but a 2xx.
class NuvexaReply : public QNetworkReply
{
    Q_OBJECT
public:
    NuvexaReply(const QUrl &url, const QByteArray &verb, QObject *parent = nullptr);

    void finishWith(int status, const QByteArray &reasonPhrase, const QList<QPair<QByteArray, QByteArray>> &headers,
                    const QByteArray &body);
    void failWith(QNetworkReply::NetworkError code, const QString &text);
    bool isDone() const { return m_done; }
    QByteArray body() const { return m_body; }

    void abort() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_body;
    qint64 m_at = 0;
    bool m_done = false;
};

// HTTP/1.1 over a small pool of keep-alive connections per client. Each
// request leaves in one write on a socket without Nagle's delay, so a body
// never waits for the peer's delayed acknowledgement of the header.
class NuvexaHttp : public QObject
{
    Q_OBJECT
public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    explicit NuvexaHttp(QObject *parent = nullptr);
    ~NuvexaHttp() override;

    // The reply is a child of this object; it emits finished() once, from the
    // event loop, and is never finished before send returns.
    NuvexaReply *send(const QUrl &url, const QByteArray &verb, const QByteArray &body, const Headers &headers,
                      int timeoutMs);

    static constexpr int MaxConnections = 6;
    static constexpr int MaxResponseBytes = 16 * 1024 * 1024;

private:
    struct Job
    {
        QPointer<NuvexaReply> reply;
        QUrl url;
        QByteArray verb;
        QByteArray wire;
        int timeoutMs = 0;
        bool retried = false;
    };
    struct Connection
    {
        QTcpSocket *socket = nullptr;
        QString origin;
        Job job;
        bool busy = false;
        bool reused = false;
        QByteArray in;
        QTimer *timer = nullptr;
    };

    void dispatch();
    void start(Connection *c, const Job &job);
    void onReadable(Connection *c);
    void onClosed(Connection *c, const QString &why, QNetworkReply::NetworkError code);
    // Settles the connection's request from what it has received, if that
    // is a whole answer or never can be one; false while more must come.
    bool read(Connection *c, bool closed);
    // Fails the connection's request, if it still has one, and closes it.
    void fail(Connection *c, QNetworkReply::NetworkError code, const QString &why);
    void finishJob(Connection *c, bool keepAlive);
    void drop(Connection *c);
    static QString originOf(const QUrl &url);

    QList<Connection *> m_connections;
    QList<Job> m_queue;
};

#endif // NUVEXAHTTP_H
