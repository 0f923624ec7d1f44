#include "tools/cloud-service/ktcloudservice.h"

#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {
// Requests larger than this are refused: nothing the plug-in sends comes near.
constexpr int MaxRequestBytes = 4 * 1024 * 1024;

QByteArray reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 413: return "Payload Too Large";
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
                m_buffers.remove(s);
                s->deleteLater();
            });
        }
    });
    connect(m_relay, &QWebSocketServer::newConnection, this, [this]() {
        while (QWebSocket *ws = m_relay->nextPendingConnection()) {
            m_channels.insert(ws, ws->requestUrl().path());
            connect(ws, &QWebSocket::textMessageReceived, this, [this, ws](const QString &text) {
                const QString channel = m_channels.value(ws);
                for (auto it = m_channels.begin(); it != m_channels.end(); ++it) {
                    if (it.key() != ws && it.value() == channel)
                        it.key()->sendTextMessage(text);
                }
                emit relayed(channel, text);
            });
            connect(ws, &QWebSocket::disconnected, this, [this, ws]() {
                m_channels.remove(ws);
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

void KTCloudService::setStateFile(const QString &path)
{
    m_stateFile = path;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QJsonObject state = QJsonDocument::fromJson(file.readAll()).object();
    m_devices = state.value("devices").toArray();
    m_models = state.value("models").toArray();
    m_records = state.value("device_work_records").toArray();
    m_nextId = qMax(1, state.value("next_id").toInt(1));
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
                            {"next_id", m_nextId}};
    file.write(QJsonDocument(state).toJson());
    file.commit();
}

void KTCloudService::readRequest(QTcpSocket *socket)
{
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();
    for (;;) {
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0) {
            if (buffer.size() > MaxRequestBytes)
                socket->abort();
            return;
        }
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        if (requestLine.size() < 2) {
            respond(socket, 400, "{}");
            socket->disconnectFromHost();
            return;
        }
        int length = 0;
        for (const QByteArray &line : lines.mid(1)) {
            const int colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().toLower() == "content-length")
                length = line.mid(colon + 1).trimmed().toInt();
        }
        if (length < 0 || length > MaxRequestBytes) {
            respond(socket, 413, "{}");
            socket->disconnectFromHost();
            return;
        }
        if (buffer.size() < headerEnd + 4 + length)
            return;
        const QByteArray body = buffer.mid(headerEnd + 4, length);
        buffer.remove(0, headerEnd + 4 + length);
        const QString path = QUrl(QString::fromLatin1(requestLine.at(1))).path().mid(1);
        serve(socket, requestLine.at(0), path, body);
    }
}

void KTCloudService::serve(QTcpSocket *socket, const QByteArray &verb, const QString &path, const QByteArray &body)
{
    const QJsonObject json = QJsonDocument::fromJson(body).object();
    m_requests.append({verb, path, json});
    const bool faulty = m_fault != NoFault && (m_faultPath.isEmpty() || m_faultPath == path);
    if (faulty && m_fault == Hang) {
        emit requestHandled(verb, path);
        return;   // the client's time-out ends it
    }
    if (faulty && m_fault == Status) {
        respond(socket, m_faultStatus, "{}");
    } else if (faulty && m_fault == BadJson) {
        respond(socket, 200, "this is not json");
    } else {
        int status = 200;
        const QJsonObject answer = handle(verb, path, json, status);
        respond(socket, status, QJsonDocument(answer).toJson(QJsonDocument::Compact));
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

void KTCloudService::respond(QTcpSocket *socket, int status, const QByteArray &body)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + " " + reason(status) + "\r\n";
    out += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    out += body;
    socket->write(out);
}
