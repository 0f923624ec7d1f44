#ifndef CLOUDANSWERS_H
#define CLOUDANSWERS_H

#include "platform/nuvexacloud/nuvexacloud.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QQueue>

// A finished reply with a given HTTP status (0: none came) and body.
class AnsweredReply : public QNetworkReply
{
public:
    AnsweredReply(int status, const QByteArray &body) : m_body(body)
    {
        if (status)
            setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
        setError(status >= 200 && status < 300 ? NoError : status ? ContentNotFoundError : TimeoutError, QString());
        open(ReadOnly);
        setFinished(true);
    }
    void abort() override {}
    qint64 bytesAvailable() const override { return m_body.size() - m_at + QIODevice::bytesAvailable(); }
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 max) override
    {
        const qint64 n = qMin<qint64>(max, m_body.size() - m_at);
        memcpy(data, m_body.constData() + m_at, size_t(n));
        m_at += n;
        return n;
    }

private:
    QByteArray m_body;
    qint64 m_at = 0;
};

// A cloud client that keeps every request until the target answers it.
class AnsweringCloud : public NuvexaCloud
{
public:
    struct Request
    {
        QString path;
        QByteArray verb;
        Callback callback;
    };
    QQueue<Request> requests;

    void customRequest(const QString &path, QByteArray verb, QJsonObject, Callback callback) override
    {
        requests.enqueue({path, verb, callback});
    }
    // No relay: opening one would go to the network.
    QString ws() override { return QString(); }
    QString url() override { return QString(); }

    void answer(int status, const QByteArray &body)
    {
        const Request r = requests.dequeue();
        AnsweredReply reply(status, body);
        if (r.callback)
            r.callback(&reply, reply.error() == QNetworkReply::NoError);
    }
};

#endif // CLOUDANSWERS_H
