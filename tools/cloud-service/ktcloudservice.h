#ifndef KTCLOUDSERVICE_H
#define KTCLOUDSERVICE_H

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QSet>

class QTcpServer;
class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

// A local stand-in for the cloud service: the REST resources the plug-in uses,
// over real HTTP, and the WebSocket relay that passes each text from one
// client of a channel to the others.
class KTCloudService : public QObject
{
    Q_OBJECT
public:
    // LoseAnswer handles the request, then closes the connection unanswered.
    enum FaultMode { NoFault, Status, Hang, BadJson, LoseAnswer };
    struct Request
    {
        QByteArray verb;
        QString path;
        QJsonObject body;
    };

    explicit KTCloudService(QObject *parent = nullptr);
    ~KTCloudService() override;

    bool listen(quint16 restPort = 0, quint16 wsPort = 0);   // on 127.0.0.1
    QString restBase() const;   // "http://127.0.0.1:PORT/"
    QString wsBase() const;     // "ws://127.0.0.1:PORT/"

    // Answers requests for path (all paths when empty) with a fault.
    void setFault(FaultMode mode, int status = 500, const QString &path = QString());
    // Loaded now, replaced whole (atomically) on every change; false when the
    // file exists but is not a state file.
    bool setStateFile(const QString &path);

    QList<Request> requests() const { return m_requests; }
    QJsonArray devices() const { return m_devices; }
    QJsonArray models() const { return m_models; }
    QJsonArray workRecords() const { return m_records; }
    int relayClients() const;

    // Largest request head and body accepted.
    static constexpr int MaxHeaderBytes = 64 * 1024;
    static constexpr int MaxBodyBytes = 4 * 1024 * 1024;

signals:
    void requestHandled(const QByteArray &verb, const QString &path);
    void workRecordStored(const QJsonObject &record);
    void relayed(const QString &channel, const QString &text);

private:
    struct Incoming
    {
        QByteArray buffer;
        bool continued = false;   // 100 Continue already sent for this request
    };
    void readRequest(QTcpSocket *socket);
    void serve(QTcpSocket *socket, const QByteArray &verb, const QString &path, const QByteArray &body,
               const QByteArray &key, bool head, bool close);
    void respond(QTcpSocket *socket, int status, const QByteArray &body, bool head = false, bool close = false,
                 const QByteArray &extra = QByteArray());
    void markOnline(const QString &channel, bool online);
    QJsonObject handle(const QByteArray &verb, const QString &path, const QJsonObject &body, int &status);
    void save() const;

    QTcpServer *m_rest;
    QWebSocketServer *m_relay;
    QMap<QWebSocket *, QString> m_channels;
    QMap<QTcpSocket *, Incoming> m_incoming;
    QJsonObject m_idempotent;   // Idempotency-Key -> {"status", "answer"}
    QList<Request> m_requests;
    QJsonArray m_devices;
    QJsonArray m_models;
    QJsonArray m_records;
    int m_nextId = 1;
    FaultMode m_fault = NoFault;
    int m_faultStatus = 500;
    QString m_faultPath;
    QString m_stateFile;
};

#endif // KTCLOUDSERVICE_H
