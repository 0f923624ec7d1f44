#ifndef NUVEXACLOUD_H
#define NUVEXACLOUD_H

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>

#if defined(NUVEXACLOUD_LIBRARY)
#  define NUVEXACLOUD_EXPORT Q_DECL_EXPORT
#else
#  define NUVEXACLOUD_EXPORT Q_DECL_IMPORT
#endif

class QNetworkAccessManager;
class QNetworkReply;

// Client of the cloud service: REST requests with JSON bodies and the base
// address of the WebSocket relay. The host owns it; devices only call it.
class NUVEXACLOUD_EXPORT NuvexaCloud : public QObject
{
    Q_OBJECT
public:
    using Callback = std::function<void(QNetworkReply *, bool)>;

    explicit NuvexaCloud(QObject *parent = nullptr);
    NuvexaCloud(const QString &restBase, const QString &wsBase, QObject *parent = nullptr);
    ~NuvexaCloud() override;

    // Sends verb to restBase + path with body as JSON (a "GET" carries it too)
    // and returns at once. The callback runs once, from the calling thread's
    // event loop, with the reply and whether it ended without error; a request
    // that gets no HTTP answer reaches it with no status. The reply is deleted
    // after the callback returns.
    virtual void customRequest(const QString &path, QByteArray verb, QJsonObject body, Callback callback);
    virtual QString ws();
    virtual QString url();

    void setBaseAddresses(const QString &restBase, const QString &wsBase);
    // A request without an answer for this long is ended (default 10 s).
    void setTransferTimeout(int ms);

private:
    QNetworkAccessManager *m_network;
    QString m_url;
    QString m_ws;
    int m_timeout = 10000;
};

#endif // NUVEXACLOUD_H
