#include "tools/cloud-service/ktcloudservice.h"
#include "tools/cloud-service/kthttprequest.h"

#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {

QByteArray reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    case 505: return "HTTP Version Not Supported";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}
} // namespace

KTCloudService::KTCloudService(QObject *parent)
    : QObject(parent),
      m_rest(new QTcpServer(this)),
      m_relay(new QWebSocketServer(QStringLiteral("kt-cloud-service"), QWebSocketServer::NonSecureMode, this))
{
    connect(m_rest, &QTcpServer::newConnection, this, [this]() {
        while (QTcpSocket *s = m_rest->nextPendingConnection()) {
            connect(s, &QTcpSocket::readyRead, this, [this, s]() { readRequest(s); });
            connect(s, &QTcpSocket::disconnected, this, [this, s]() {
                m_incoming.remove(s);
                s->deleteLater();
            });
        }
    });
    connect(m_relay, &QWebSocketServer::newConnection, this, [this]() {
        while (QWebSocket *ws = m_relay->nextPendingConnection()) {
            // Kept as sent: a code is one percent-encoded path segment.
            const QString channel = ws->requestUrl().path(QUrl::FullyEncoded);
            m_channels.insert(ws, channel);
            markOnline(channel, true);
            connect(ws, &QWebSocket::textMessageReceived, this, [this, ws](const QString &text) {
                const QString channel = m_channels.value(ws);
                for (auto it = m_channels.begin(); it != m_channels.end(); ++it) {
                    if (it.key() != ws && it.value() == channel)
                        it.key()->sendTextMessage(text);
                }
                emit relayed(channel, text);
            });
            connect(ws, &QWebSocket::disconnected, this, [this, ws]() {
                const QString channel = m_channels.take(ws);
                markOnline(channel, false);
                ws->deleteLater();
            });
        }
    });
}

KTCloudService::~KTCloudService()
{
    qDeleteAll(m_channels.keys());   // relay peers have no parent
}

bool KTCloudService::listen(quint16 restPort, quint16 wsPort)
{
    return m_rest->listen(QHostAddress::LocalHost, restPort) && m_relay->listen(QHostAddress::LocalHost, wsPort);
}

QString KTCloudService::restBase() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(m_rest->serverPort());
}

QString KTCloudService::wsBase() const
{
    return QStringLiteral("ws://127.0.0.1:%1/").arg(m_relay->serverPort());
}

int KTCloudService::relayClients() const
{
    return m_channels.size();
}

void KTCloudService::setFault(FaultMode mode, int status, const QString &path)
{
    m_fault = mode;
    m_faultStatus = status;
    m_faultPath = path;
}

bool KTCloudService::setStateFile(const QString &path)
{
    QFile file(path);
    if (!file.exists()) {
        m_stateFile = path;
        return true;
    }
    QJsonParseError error;
    const QJsonDocument doc = file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll(), &error) : QJsonDocument();
    if (doc.isNull() || !doc.isObject())
        return false;   // never overwrite a file we could not read
    m_stateFile = path;
    const QJsonObject state = doc.object();
    m_devices = state.value("devices").toArray();
    m_models = state.value("models").toArray();
    m_records = state.value("device_work_records").toArray();
    m_nextId = qMax(1, state.value("next_id").toInt(1));
    m_idempotent = state.value("idempotency").toObject();
    return true;
}

void KTCloudService::save() const
{
    if (m_stateFile.isEmpty())
        return;
    QSaveFile file(m_stateFile);
    if (!file.open(QIODevice::WriteOnly))
        return;
    const QJsonObject state{{"devices", m_devices},
                            {"models", m_models},
                            {"device_work_records", m_records},
                            {"next_id", m_nextId},
                            {"idempotency", m_idempotent}};
    file.write(QJsonDocument(state).toJson());
    file.commit();
}

void KTCloudService::readRequest(QTcpSocket *socket)
{
    Incoming &in = m_incoming[socket];
    in.buffer += socket->readAll();
    auto refuse = [this, socket](int status, const QByteArray &why) {
        // The stream cannot be trusted past a malformed request: answer and close.
        m_incoming.remove(socket);
        respond(socket, status, QJsonDocument(QJsonObject{{"error", QString::fromLatin1(why)}}).toJson(QJsonDocument::Compact),
                false, true);
        socket->disconnectFromHost();
    };
    while (socket->state() == QAbstractSocket::ConnectedState && m_incoming.contains(socket)) {
        Incoming &request = m_incoming[socket];
        const KTHttpRequest::Request r = KTHttpRequest::parse(request.buffer, MaxHeaderBytes, MaxBodyBytes);
        if (r.state == KTHttpRequest::Refused) {
            refuse(r.status, r.why);
            return;
        }
        if (r.state == KTHttpRequest::Incomplete) {
            // The body is still to come; a client that asked first is told to send it.
            if (r.expectsContinue && !request.continued) {
                request.continued = true;
                socket->write("HTTP/1.1 100 Continue\r\n\r\n");
            }
            return;
        }
        request.buffer.remove(0, r.consumed);
        request.continued = false;
        const QString path = QUrl(QString::fromLatin1(r.target)).path().mid(1);
        const QByteArray &verb = r.verb;
        const bool close = r.close;
        serve(socket, verb, path, r.body, r.key, verb == "HEAD", close);
        if (close) {
            m_incoming.remove(socket);
            socket->disconnectFromHost();
            return;
        }
    }
}

void KTCloudService::serve(QTcpSocket *socket, const QByteArray &verb, const QString &path, const QByteArray &body,
                           const QByteArray &key, bool head, bool close)
{
    static const QList<QByteArray> methods{"GET", "HEAD", "POST", "PUT", "PATCH"};
    if (!methods.contains(verb)) {
        respond(socket, 405, "{\"error\":\"method not allowed\"}", false, close, "Allow: GET, HEAD, POST, PUT, PATCH\r\n");
        return;
    }
    QJsonObject json;
    if (!body.isEmpty() || verb == "POST" || verb == "PUT" || verb == "PATCH") {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            respond(socket, 400, "{\"error\":\"the body must be a JSON object\"}", head, close);
            return;
        }
        json = doc.object();
    }
    const QByteArray method = head ? QByteArray("GET") : verb;
    m_requests.append({verb, path, json});
    const bool faulty = m_fault != NoFault && (m_faultPath.isEmpty() || m_faultPath == path);
    if (faulty && m_fault == Hang) {
        emit requestHandled(verb, path);
        return;   // the client's time-out ends it
    }
    if (faulty && m_fault == Status) {
        respond(socket, m_faultStatus, "{}", head, close);
    } else if (faulty && m_fault == BadJson) {
        respond(socket, 200, "this is not json", head, close);
    } else {
        int status = 200;
        QJsonObject answer;
        const QString idempotent = QString::fromLatin1(key);
        // Requests are served one at a time on this thread and the first
        // answer is kept before the next request is read, so of any number of
        // creations or records under one key arriving together, one is taken
        // and every other gets its answer.
        if (!key.isEmpty() && method == "POST" && m_idempotent.contains(idempotent)) {
            // A retry of a request already taken: the first answer, nothing new stored.
            const QJsonObject first = m_idempotent.value(idempotent).toObject();
            status = first.value("status").toInt(200);
            answer = first.value("answer").toObject();
        } else {
            answer = handle(method, path, json, status);
            if (!key.isEmpty() && method == "POST" && status >= 200 && status < 300) {
                m_idempotent.insert(idempotent, QJsonObject{{"status", status}, {"answer", answer}});
                save();
            }
        }
        if (faulty && m_fault == LoseAnswer) {
            socket->abort();
            emit requestHandled(verb, path);
            return;
        }
        respond(socket, status, QJsonDocument(answer).toJson(QJsonDocument::Compact), head, close);
    }
    emit requestHandled(verb, path);
}

QJsonObject KTCloudService::handle(const QByteArray &verb, const QString &path, const QJsonObject &body, int &status)
{
    auto findBy = [](const QJsonArray &list, const QString &key, const QJsonValue &value) {
        for (int i = 0; i < list.size(); ++i) {
            if (list.at(i).toObject().value(key) == value)
                return i;
        }
        return -1;
    };

    if (path == QLatin1String("device_model") && verb == "PATCH") {
        // The model number announced by a device.
        int at = findBy(m_models, "code", body.value("code"));
        if (at < 0) {
            m_models.append(QJsonObject{{"id", m_nextId++}, {"code", body.value("code")}});
            at = m_models.size() - 1;
            save();
        }
        return QJsonObject{{"id", m_models.at(at).toObject().value("id")}};
    }
    if (path == QLatin1String("device") && verb == "GET") {
        const int at = findBy(m_devices, "code", body.value("code"));
        if (at < 0) {
            status = 404;
            return QJsonObject{{"error", "no such device"}};
        }
        return m_devices.at(at).toObject();
    }
    if (path == QLatin1String("device") && verb == "PUT") {
        const int at = findBy(m_devices, "id", body.value("id"));
        if (at < 0) {
            status = 404;
            return QJsonObject{{"error", "no such device"}};
        }
        m_devices.replace(at, body);
        save();
        return body;
    }
    if (path == QLatin1String("device_model") && verb == "POST") {
        // Devices are created under this resource.
        QJsonObject device = body;
        device.insert("id", m_nextId++);
        m_devices.append(device);
        save();
        return QJsonObject{{"id", device.value("id")}};
    }
    if (path == QLatin1String("device_work_records") && verb == "POST") {
        QJsonObject record = body;
        record.insert("id", m_nextId++);
        m_records.append(record);
        save();
        emit workRecordStored(record);
        return QJsonObject{{"id", record.value("id")}};
    }
    status = 404;
    return QJsonObject{{"error", "no such resource"}};
}

void KTCloudService::respond(QTcpSocket *socket, int status, const QByteArray &body, bool head, bool close,
                            const QByteArray &extra)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + " " + reason(status) + "\r\n";
    out += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    if (close)
        out += "Connection: close\r\n";
    out += extra + "\r\n";
    if (!head)
        out += body;
    socket->write(out);
}

void KTCloudService::markOnline(const QString &channel, bool online)
{
    // Channels are "/CODE/Device/".
    const QString code = QUrl::fromPercentEncoding(channel.section(QLatin1Char('/'), 1, 1).toLatin1());
    if (!online) {
        for (const QString &other : m_channels) {
            if (other == channel)
                return;   // another connection of the device is still open
        }
    }
    for (int i = 0; i < m_devices.size(); ++i) {
        QJsonObject device = m_devices.at(i).toObject();
        if (device.value("code").toString() == code && device.value("online").toBool() != online) {
            device.insert("online", online);
            m_devices.replace(i, device);
            save();
        }
    }
}
