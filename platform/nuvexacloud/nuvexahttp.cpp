#include "platform/nuvexacloud/nuvexahttp.h"
#include "platform/nuvexacloud/nuvexaanswer.h"

#include <QLoggingCategory>
#include <QNetworkRequest>
#include <QTcpSocket>
#ifndef QT_NO_SSL
#include <QSslSocket>
#endif

#include <cstring>

namespace {

// Requests, answers and failures of the transport, in a category a host can
// switch (kt-host --verbose).
Q_LOGGING_CATEGORY(httpLog, "kt.cloud.http")

QNetworkReply::NetworkError errorForStatus(int status)
{
    if (status >= 200 && status < 300)
        return QNetworkReply::NoError;
    switch (status) {
    case 401: return QNetworkReply::AuthenticationRequiredError;
    case 403: return QNetworkReply::ContentAccessDenied;
    case 404: return QNetworkReply::ContentNotFoundError;
    case 405: return QNetworkReply::ContentOperationNotPermittedError;
    case 409: return QNetworkReply::ContentConflictError;
    case 410: return QNetworkReply::ContentGoneError;
    case 501: return QNetworkReply::OperationNotImplementedError;
    case 503: return QNetworkReply::ServiceUnavailableError;
    default: break;
    }
    if (status >= 500)
        return QNetworkReply::InternalServerError;
    if (status >= 400)
        return QNetworkReply::UnknownContentError;
    return QNetworkReply::ProtocolUnknownError;
}

} // namespace

NuvexaReply::NuvexaReply(const QUrl &url, const QByteArray &verb, QObject *parent)
    : QNetworkReply(parent)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CustomVerbAttribute, verb);
    setRequest(request);
    setUrl(url);
    setOperation(QNetworkAccessManager::CustomOperation);
}

void NuvexaReply::finishWith(int status, const QByteArray &reasonPhrase, const QList<QPair<QByteArray, QByteArray>> &headers,
                             const QByteArray &body)
{
    if (m_done)
        return;
    m_done = true;
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, reasonPhrase);
    for (const auto &h : headers)
        setRawHeader(h.first, h.second);
    m_body = body;
    open(QIODevice::ReadOnly);
    setFinished(true);
    const QNetworkReply::NetworkError code = errorForStatus(status);
    if (code != NoError) {
        setError(code, QString::fromLatin1(reasonPhrase));
        emit errorOccurred(code);
    }
    emit readyRead();
    emit finished();
}

void NuvexaReply::failWith(QNetworkReply::NetworkError code, const QString &text)
{
    if (m_done)
        return;
    m_done = true;
    open(QIODevice::ReadOnly);
    setFinished(true);
    setError(code, text);
    emit errorOccurred(code);
    emit finished();
}

void NuvexaReply::abort()
{
    failWith(OperationCanceledError, QStringLiteral("aborted"));
}

qint64 NuvexaReply::bytesAvailable() const
{
    return m_body.size() - m_at + QNetworkReply::bytesAvailable();
}

qint64 NuvexaReply::readData(char *data, qint64 maxSize)
{
    const qint64 n = qMin<qint64>(maxSize, m_body.size() - m_at);
    if (n <= 0)
        return m_done ? -1 : 0;
    std::memcpy(data, m_body.constData() + m_at, size_t(n));
    m_at += n;
    return n;
}

NuvexaHttp::NuvexaHttp(QObject *parent) : QObject(parent) {}

NuvexaHttp::~NuvexaHttp()
{
    m_queue.clear();
    for (NuvexaReply *reply : findChildren<NuvexaReply *>(QString(), Qt::FindDirectChildrenOnly))
        reply->disconnect(this);
    for (Connection *c : qAsConst(m_connections)) {
        c->socket->disconnect(this);
        c->socket->abort();
        delete c;
    }
    m_connections.clear();
}

QString NuvexaHttp::originOf(const QUrl &url)
{
    return url.scheme() + QLatin1String("://") + url.host() + QLatin1Char(':') +
           QString::number(url.port(url.scheme() == QLatin1String("https") ? 443 : 80));
}

NuvexaReply *NuvexaHttp::send(const QUrl &url, const QByteArray &verb, const QByteArray &body, const Headers &headers,
                              int timeoutMs)
{
    auto *reply = new NuvexaReply(url, verb, this);
    connect(reply, &QObject::destroyed, this, [this]() {
        // A reply deleted by its owner before the answer leaves its slot idle.
        for (int i = m_queue.size() - 1; i >= 0; --i) {
            if (!m_queue.at(i).reply)
                m_queue.removeAt(i);
        }
    });
    const QString scheme = url.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        QMetaObject::invokeMethod(reply, [reply]() {
            reply->failWith(QNetworkReply::ProtocolUnknownError, QStringLiteral("unsupported address"));
        }, Qt::QueuedConnection);
        return reply;
    }
    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (url.hasQuery())
        target += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray wire = verb + ' ' + target + " HTTP/1.1\r\nHost: " + url.authority(QUrl::FullyEncoded).toLatin1() +
                      "\r\nContent-Type: application/json\r\nAccept: application/json\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\n";
    for (const auto &h : headers)
        wire += h.first + ": " + h.second + "\r\n";
    wire += "\r\n";
    wire += body;

    Job job;
    job.reply = reply;
    job.url = url;
    job.verb = verb;
    job.wire = wire;
    job.timeoutMs = timeoutMs;
    m_queue.append(job);
    QMetaObject::invokeMethod(this, &NuvexaHttp::dispatch, Qt::QueuedConnection);
    return reply;
}

void NuvexaHttp::dispatch()
{
    while (!m_queue.isEmpty()) {
        const Job job = m_queue.first();
        if (!job.reply) {
            m_queue.removeFirst();
            continue;
        }
        const QString origin = originOf(job.url);
        Connection *free = nullptr;
        for (Connection *c : qAsConst(m_connections)) {
            if (!c->busy && c->origin == origin && c->socket->state() == QAbstractSocket::ConnectedState) {
                free = c;
                break;
            }
        }
        if (!free && m_connections.size() >= MaxConnections) {
            // Make room by closing an idle connection to elsewhere; otherwise wait.
            Connection *idle = nullptr;
            for (Connection *c : qAsConst(m_connections)) {
                if (!c->busy) {
                    idle = c;
                    break;
                }
            }
            if (!idle)
                return;
            drop(idle);
        }
        m_queue.removeFirst();
        if (!free) {
            free = new Connection;
            free->origin = origin;
#ifndef QT_NO_SSL
            if (job.url.scheme() == QLatin1String("https"))
                free->socket = new QSslSocket(this);
            else
#endif
                free->socket = new QTcpSocket(this);
            free->timer = new QTimer(free->socket);
            free->timer->setSingleShot(true);
            Connection *c = free;
            connect(c->socket, &QTcpSocket::connected, this, [c]() {
                c->socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            });
            connect(c->socket, &QTcpSocket::readyRead, this, [this, c]() { onReadable(c); });
            connect(c->socket, &QTcpSocket::disconnected, this, [this, c]() {
                onClosed(c, QStringLiteral("connection closed by the service"), QNetworkReply::RemoteHostClosedError);
            });
            connect(c->socket, &QAbstractSocket::errorOccurred, this, [this, c](QAbstractSocket::SocketError e) {
                const auto code = e == QAbstractSocket::ConnectionRefusedError ? QNetworkReply::ConnectionRefusedError
                                  : e == QAbstractSocket::HostNotFoundError  ? QNetworkReply::HostNotFoundError
                                  : e == QAbstractSocket::RemoteHostClosedError ? QNetworkReply::RemoteHostClosedError
                                                                                 : QNetworkReply::UnknownNetworkError;
                onClosed(c, c->socket->errorString(), code);
            });
            connect(c->timer, &QTimer::timeout, this, [this, c]() {
                fail(c, QNetworkReply::TimeoutError, QStringLiteral("no answer within %1 ms").arg(c->job.timeoutMs));
            });
            m_connections.append(c);
            const int port = job.url.port(job.url.scheme() == QLatin1String("https") ? 443 : 80);
#ifndef QT_NO_SSL
            if (auto *ssl = qobject_cast<QSslSocket *>(c->socket))
                ssl->connectToHostEncrypted(job.url.host(), quint16(port));
            else
#endif
                c->socket->connectToHost(job.url.host(), quint16(port));
        } else {
            free->reused = true;
        }
        start(free, job);
    }
}

void NuvexaHttp::start(Connection *c, const Job &job)
{
    c->job = job;
    c->busy = true;
    c->in.clear();
    if (job.timeoutMs > 0)
        c->timer->start(job.timeoutMs);
    qCDebug(httpLog).noquote() << "NuvexaHttp:" << job.verb << job.url.toDisplayString() << job.wire.size() << "bytes"
                     << (c->reused ? "on a kept connection" : "on a new connection");
    c->socket->write(job.wire);
}

void NuvexaHttp::onReadable(Connection *c)
{
    c->in += c->socket->readAll();
    if (!c->busy) {
        // Bytes nobody asked for: the connection is out of step.
        qCDebug(httpLog) << "NuvexaHttp: dropped a connection that sent" << c->in.size() << "bytes unasked";
        drop(c);
        return;
    }
    read(c, false);
}

bool NuvexaHttp::read(Connection *c, bool closed)
{
    const NuvexaAnswer::Answer a =
        NuvexaAnswer::parse(c->in, closed, c->job.verb == "HEAD", MaxResponseBytes);
    switch (a.state) {
    case NuvexaAnswer::State::Incomplete:
        return false;
    case NuvexaAnswer::State::Malformed:
        fail(c, QNetworkReply::ProtocolFailure, QStringLiteral("malformed answer"));
        return true;
    case NuvexaAnswer::State::HeaderTooLarge:
        fail(c, QNetworkReply::ProtocolFailure, QStringLiteral("answer header too large"));
        return true;
    case NuvexaAnswer::State::TooLarge:
        fail(c, QNetworkReply::ProtocolFailure, QStringLiteral("answer too large"));
        return true;
    case NuvexaAnswer::State::Complete:
        break;
    }
    c->in.remove(0, a.consumed);
    qCDebug(httpLog).nospace() << "NuvexaHttp: answer " << a.status << ", " << a.body.size() << " bytes"
                               << (a.close ? ", closing" : "");
    NuvexaReply *reply = c->job.reply;
    finishJob(c, !closed && !a.close && c->in.isEmpty());
    if (reply)
        reply->finishWith(a.status, a.reason, a.headers, a.body);
    dispatch();
    return true;
}

void NuvexaHttp::onClosed(Connection *c, const QString &why, QNetworkReply::NetworkError code)
{
    if (!m_connections.contains(c))
        return;
    qCDebug(httpLog) << "NuvexaHttp: connection closed:" << why;
    if (c->busy && c->job.reply) {
        // An answer whose body runs to the end of the connection ends here.
        if (read(c, true))
            return;
        if (c->reused && c->in.isEmpty() && !c->job.retried) {
            // A kept-alive connection the service had already closed: the
            // request never reached it, so it goes out once more on a new one.
            qCDebug(httpLog) << "NuvexaHttp: kept connection closed before the request, sending it again";
            Job again = c->job;
            again.retried = true;
            m_queue.prepend(again);
            c->busy = false;
        } else {
            c->job.reply->failWith(code, why);
        }
    }
    drop(c);
    dispatch();
}

void NuvexaHttp::fail(Connection *c, QNetworkReply::NetworkError code, const QString &why)
{
    qCDebug(httpLog) << "NuvexaHttp:" << why;
    // The reply may already be gone: its owner can delete it at any time.
    if (c->busy && c->job.reply)
        c->job.reply->failWith(code, why);
    drop(c);
    dispatch();
}

void NuvexaHttp::finishJob(Connection *c, bool keepAlive)
{
    c->timer->stop();
    c->busy = false;
    c->job = Job();
    if (!keepAlive)
        drop(c);
}

void NuvexaHttp::drop(Connection *c)
{
    if (!m_connections.removeOne(c))
        return;
    c->timer->stop();
    c->socket->disconnect(this);
    c->socket->abort();
    c->socket->deleteLater();
    delete c;
}
