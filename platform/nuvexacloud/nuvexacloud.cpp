#include "platform/nuvexacloud/nuvexacloud.h"
#include "platform/nuvexacloud/nuvexahttp.h"
#include "platform/nuvexacloud/nuvexaoutbox.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <QUuid>

namespace {

const QString WorkRecords = QStringLiteral("device_work_records");
const QString DeviceModel = QStringLiteral("device_model");

QString normalisedPath(const QString &path)
{
    QString p = path;
    while (p.startsWith(QLatin1Char('/')))
        p.remove(0, 1);
    return p;
}

// One short phrase for why an attempt got no usable answer.
QString failureReason(QNetworkReply *reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status)
        return QStringLiteral("HTTP %1").arg(status);
    switch (reply->error()) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("service unreachable");
    case QNetworkReply::TimeoutError:
        return QStringLiteral("no answer in time");
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("connection closed without an answer");
    case QNetworkReply::ProtocolFailure:
        return QStringLiteral("malformed answer");
    default:
        return QStringLiteral("service unreachable: %1").arg(reply->errorString());
    }
}

NuvexaCloud::Record recordFrom(const NuvexaOutbox::Row &row)
{
    NuvexaCloud::Record r;
    r.key = row.key;
    r.path = row.path;
    r.body = QJsonDocument::fromJson(row.body).object();
    r.created = QDateTime::fromMSecsSinceEpoch(row.created);
    r.attempts = row.attempts;
    r.nextTry = QDateTime::fromMSecsSinceEpoch(row.nextTry);
    r.heldFor = row.hold;
    r.lastError = row.lastError;
    r.status = row.status;
    r.reason = row.reason;
    r.registration = QJsonDocument::fromJson(row.registration).object();
    return r;
}

} // namespace

NuvexaCloud::NuvexaCloud(QObject *parent)
    : QObject(parent),
      m_http(new NuvexaHttp(this)),
      m_retryTimer(new QTimer(this)),
      m_owner(QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, [this]() { flushOutbox(false); });
}

NuvexaCloud::NuvexaCloud(const QString &restBase, const QString &wsBase, QObject *parent)
    : NuvexaCloud(restBase, wsBase, QString(), parent)
{
}

NuvexaCloud::NuvexaCloud(const QString &restBase, const QString &wsBase, const QString &outboxFile, QObject *parent)
    : NuvexaCloud(parent)
{
    m_outboxFile = outboxFile;
    setBaseAddresses(restBase, wsBase);
}

NuvexaCloud::~NuvexaCloud()
{
    // Requests still out are dropped with their connections; what they carried
    // stays in the outbox for the next client.
    delete m_http;
    m_http = nullptr;
    if (m_outbox)
        m_outbox->releaseLeases();
}

QString NuvexaCloud::defaultOutboxFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/nuvexacloud-outbox.sqlite");
}

void NuvexaCloud::setBaseAddresses(const QString &restBase, const QString &wsBase)
{
    m_url = restBase;
    m_ws = wsBase;
    // What an earlier run left for this service is tried once now, whatever
    // its back-off said: a new start is a new chance.
    if (!m_url.isEmpty())
        QMetaObject::invokeMethod(this, [this]() { flushOutbox(true); }, Qt::QueuedConnection);
}

void NuvexaCloud::setTransferTimeout(int ms)
{
    m_timeout = ms;
}

void NuvexaCloud::setRetryPolicy(int firstMs, int capMs)
{
    m_retryFirst = qMax(1, firstMs);
    m_retryCap = qMax(m_retryFirst, capMs);
}

void NuvexaCloud::setOutboxLimits(int maxRecords, qint64 maxBytes)
{
    m_maxRecords = maxRecords;
    m_maxBytes = maxBytes;
}

void NuvexaCloud::setClock(std::function<qint64()> clock)
{
    m_clock = std::move(clock);
}

qint64 NuvexaCloud::now() const
{
    return m_clock ? m_clock() : QDateTime::currentMSecsSinceEpoch();
}

qint64 NuvexaCloud::retryDelay(int attempts, int firstMs, int capMs)
{
    qint64 ceiling = firstMs;
    for (int i = 1; i < attempts && ceiling < capMs; ++i)
        ceiling *= 2;
    ceiling = qMin<qint64>(ceiling, capMs);
    const qint64 half = ceiling / 2;
    return ceiling - half + qint64(QRandomGenerator::global()->bounded(double(half) + 1.0));
}

QString NuvexaCloud::ws()
{
    return m_ws;
}

QString NuvexaCloud::url()
{
    return m_url;
}

bool NuvexaCloud::isValidDeviceCode(const QString &code)
{
    if (code.isEmpty() || code.size() > MaxDeviceCodeLength)
        return false;
    for (const QChar c : code) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

QByteArray NuvexaCloud::creationKey(const QString &restBase, const QString &code)
{
    // One service, one spelling: QUrl puts scheme and host in lower case; the
    // default port, dot segments, query and fragment go; one trailing slash.
    QUrl base(restBase.trimmed());
    if ((base.scheme() == QLatin1String("http") && base.port() == 80) ||
        (base.scheme() == QLatin1String("https") && base.port() == 443))
        base.setPort(-1);
    QString text = base.adjusted(QUrl::NormalizePathSegments | QUrl::RemoveQuery | QUrl::RemoveFragment |
                                 QUrl::RemoveUserInfo)
                       .toString(QUrl::FullyEncoded);
    if (!text.endsWith(QLatin1Char('/')))
        text += QLatin1Char('/');
    const QByteArray digest =
        QCryptographicHash::hash((text + QLatin1Char('\n') + code).toUtf8(), QCryptographicHash::Sha256);
    return "device-" + digest.toHex();
}

QString NuvexaCloud::service() const
{
    return NuvexaOutbox::serviceKey(m_url);
}

void NuvexaCloud::setOutboxLockWait(int ms)
{
    m_lockWait = qMax(0, ms);
    if (m_outbox)
        m_outbox->setLockWait(m_lockWait);
}

void NuvexaCloud::openOutbox()
{
    if (m_url.isEmpty())
        return;
    if (m_outboxFile.isEmpty())
        m_outboxFile = defaultOutboxFile();
    if (!m_outbox)
        m_outbox = std::make_unique<NuvexaOutbox>(m_outboxFile, m_owner, m_lockWait);
    else if (!m_outbox->open())
        return;
    const QString notice = m_outbox->takeNotice();
    if (!notice.isEmpty())
        emit outboxNotice(notice);
}

bool NuvexaCloud::outboxLocked() const
{
    return m_outbox && m_outbox->fault() == NuvexaOutbox::Fault::Locked;
}

QString NuvexaCloud::outboxProblem()
{
    openOutbox();
    if (!m_outbox)
        return QString();
    return m_outbox->problem();
}

int NuvexaCloud::retryRefused(const QString &key)
{
    openOutbox();
    return m_outbox ? m_outbox->unreject(service(), key) : -1;
}

QNetworkReply *NuvexaCloud::send(const QString &path, const QByteArray &verb, const QByteArray &body, const QByteArray &key)
{
    NuvexaHttp::Headers headers;
    if (!key.isEmpty())
        headers.append({"Idempotency-Key", key});
    QString base = m_url;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return m_http->send(QUrl(base + normalisedPath(path)), verb, body, headers, m_timeout);
}

void NuvexaCloud::customRequest(const QString &path, QByteArray verb, QJsonObject body, Callback callback)
{
    const QByteArray bytes = QJsonDocument(body).toJson(QJsonDocument::Compact);
    if (verb == "POST" && normalisedPath(path) == WorkRecords) {
        const QString key = QUuid::createUuid().toString(QUuid::WithoutBraces);
        openOutbox();
        NuvexaOutbox::Stored stored = NuvexaOutbox::Stored::Failed;
        if (m_outbox) {
            NuvexaOutbox::Row row;
            row.service = service();
            row.path = WorkRecords;
            row.key = key;
            row.body = bytes;
            const qint64 t = now();
            stored = m_outbox->add(row, t, t + qMax(60000, 3 * m_timeout), m_maxRecords, m_maxBytes);
        }
        emit workRecordQueued(key);
        if (stored != NuvexaOutbox::Stored::Yes) {
            const QString why = stored == NuvexaOutbox::Stored::Full
                                    ? QStringLiteral("the outbox %1 is full (%2 records or %3 bytes)")
                                          .arg(m_outboxFile).arg(m_maxRecords).arg(m_maxBytes)
                                    : m_outbox ? m_outbox->problem() : QStringLiteral("there is no outbox");
            m_unstored.insert(key, {body, why});
            emit outboxNotice(why + QStringLiteral("; the work record is sent at once without a copy"));
        }
        sendRecord(key, WorkRecords, bytes, 0, stored == NuvexaOutbox::Stored::Yes, callback);
        return;
    }
    QByteArray key;
    const QJsonValue code = body.value(QStringLiteral("code"));
    if (verb == "POST" && normalisedPath(path) == DeviceModel && code.isString())
        key = creationKey(m_url, code.toString());
    ++m_requestsInFlight;
    QNetworkReply *reply = send(path, verb, bytes, key);
    connect(reply, &QNetworkReply::finished, this, [this, reply, callback, path, verb]() {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status < 200 || status > 299) {
            emit requestFailed(path, verb, status, failureReason(reply));
        } else if (auto *ours = qobject_cast<NuvexaReply *>(reply)) {
            QJsonParseError error;
            QJsonDocument::fromJson(ours->body(), &error);
            if (error.error != QJsonParseError::NoError)
                emit requestFailed(path, verb, status, QStringLiteral("malformed answer"));
        }
        if (callback)
            callback(reply, reply->error() == QNetworkReply::NoError);
        // Counted down after the callback: a step it starts keeps the count
        // above zero, so a waiter never sees a gap between two steps.
        --m_requestsInFlight;
        reply->deleteLater();
    });
}

void NuvexaCloud::sendRecord(const QString &key, const QString &path, const QByteArray &body, int attempts, bool stored,
                             Callback callback)
{
    m_inFlight.insert(key);
    QNetworkReply *reply = send(path, "POST", body, key.toLatin1());
    connect(reply, &QNetworkReply::finished, this, [this, reply, key, attempts, stored, callback]() {
        settle(reply, key, attempts, stored);
        if (callback)
            callback(reply, reply->error() == QNetworkReply::NoError);
        reply->deleteLater();
    });
}

void NuvexaCloud::settle(QNetworkReply *reply, const QString &key, int attempts, bool stored)
{
    m_inFlight.remove(key);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    auto *ours = qobject_cast<NuvexaReply *>(reply);
    const QByteArray body = ours ? ours->body() : QByteArray();
    QString reason;
    bool retry = false;
    if (status >= 200 && status < 300) {
        QJsonParseError error;
        const QJsonDocument answer = QJsonDocument::fromJson(body, &error);
        if (error.error == QJsonParseError::NoError && answer.isObject()) {
            if (stored && m_outbox)
                m_outbox->remove(key);
            m_unstored.remove(key);
            emit workRecordDelivered(key, answer.object().value(QStringLiteral("id")).toInt());
            schedule();
            return;
        }
        // Taken or not, nobody can tell: the same key makes a retry safe.
        reason = QStringLiteral("malformed answer");
        retry = true;
    } else if (status == 0 || status == 408 || status == 429 || status >= 500) {
        reason = failureReason(reply);
        retry = true;
    } else {
        reason = QString::fromUtf8(body.left(500)).trimmed();
        if (reason.isEmpty())
            reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    }
    emit requestFailed(WorkRecords, "POST", status, retry ? reason : QStringLiteral("HTTP %1 %2").arg(status).arg(reason));
    if (!stored) {
        const auto unstored = m_unstored.take(key);
        const bool full = unstored.second.contains(QLatin1String(" is full ("));
        if (retry)
            emit workRecordRejected(key, 0, QStringLiteral("outbox %1; not kept (%2)")
                                                .arg(full ? QStringLiteral("full") : QStringLiteral("unavailable"), reason));
        else
            emit workRecordRejected(key, status, reason);
        emit workRecordLost(key, unstored.first,
                            QStringLiteral("%1, and sending it at once failed (%2)")
                                .arg(unstored.second, retry ? reason : QStringLiteral("HTTP %1 %2").arg(status).arg(reason)));
        return;
    }
    if (retry) {
        const int next = attempts + 1;
        m_outbox->retryLater(key, next, now() + retryDelay(next, m_retryFirst, m_retryCap), reason);
        emit workRecordKept(key, reason);
    } else {
        m_outbox->reject(key, status, reason, now(), m_maxRecords);
        emit workRecordRejected(key, status, reason);
    }
    schedule();
}

void NuvexaCloud::schedule()
{
    if (!m_outbox)
        return;
    if (!m_outbox->isOpen() || m_outbox->fault() != NuvexaOutbox::Fault::None) {
        // The file cannot be used now (another program's lock, read-only, a
        // full disk): look again in a moment instead of waiting here or
        // trying again at once.
        m_retryTimer->start(qMin(outboxLocked() ? 1000 : 5000, m_retryCap));
        return;
    }
    const qint64 t = now();
    const qint64 due = m_outbox->nextDue(service(), t);
    if (due == 0) {
        m_retryTimer->stop();
        return;
    }
    m_retryTimer->start(int(qBound<qint64>(0, due - t, m_retryCap)));
}

void NuvexaCloud::flushOutbox(bool force)
{
    openOutbox();
    if (!m_outbox)
        return;
    while (!m_releases.isEmpty()) {
        const Release r = m_releases.first();
        if (m_outbox->release(service(), r.holder, r.field, r.value) < 0)
            break;
        m_releases.removeFirst();
    }
    const qint64 t = now();
    const QList<NuvexaOutbox::Row> rows = m_outbox->claim(service(), t, t + qMax(60000, 3 * m_timeout), force, 100);
    for (const NuvexaOutbox::Row &row : rows) {
        if (m_inFlight.contains(row.key))
            continue;
        sendRecord(row.key, row.path, row.body, row.attempts, true, {});
    }
    schedule();
}

void NuvexaCloud::holdWorkRecord(const QString &holder, const QJsonObject &record, const QJsonObject &registration)
{
    openOutbox();
    if (m_outbox) {
        NuvexaOutbox::Row row;
        row.service = service();
        row.path = WorkRecords;
        row.key = QUuid::createUuid().toString(QUuid::WithoutBraces);
        row.body = QJsonDocument(record).toJson(QJsonDocument::Compact);
        row.hold = holder;
        if (!registration.isEmpty())
            row.registration = QJsonDocument(registration).toJson(QJsonDocument::Compact);
        if (m_outbox->add(row, now(), 0, m_maxRecords, m_maxBytes) == NuvexaOutbox::Stored::Yes) {
            emit workRecordQueued(row.key);
            emit workRecordKept(row.key, QStringLiteral("device not registered yet"));
            return;
        }
        m_heldWhy = m_outbox->problem().isEmpty() ? QStringLiteral("the outbox %1 is full").arg(m_outboxFile)
                                                  : m_outbox->problem();
        emit outboxNotice(m_heldWhy + QStringLiteral("; the work record waits in memory until the device is registered"));
    }
    // No outbox to keep it in: it waits in memory for this run only.
    m_heldInMemory.append({holder, record});
}

void NuvexaCloud::releaseHeld(const QString &holder, const QString &field, const QJsonValue &value)
{
    for (int i = 0; i < m_heldInMemory.size();) {
        if (m_heldInMemory.at(i).first == holder) {
            QJsonObject record = m_heldInMemory.takeAt(i).second;
            record.insert(field, value);
            customRequest(WorkRecords, "POST", record, {});
        } else {
            ++i;
        }
    }
    openOutbox();
    if (!m_outbox)
        return;
    const int released = m_outbox->release(service(), holder, field, value);
    if (released < 0) {
        // The file is busy or cannot be written now: the next flush tries again.
        m_releases.append({holder, field, value});
        schedule();
    } else if (released > 0) {
        flushOutbox(false);
    }
}

QList<QJsonObject> NuvexaCloud::recordsHeldInMemory() const
{
    QList<QJsonObject> out;
    for (const auto &held : m_heldInMemory)
        out.append(held.second);
    return out;
}

QList<NuvexaCloud::Record> NuvexaCloud::pendingRecords()
{
    QList<Record> out;
    openOutbox();
    if (m_outbox) {
        for (const NuvexaOutbox::Row &row : m_outbox->pending(service()))
            out.append(recordFrom(row));
    }
    return out;
}

QList<NuvexaCloud::Record> NuvexaCloud::rejectedRecords()
{
    QList<Record> out;
    openOutbox();
    if (m_outbox) {
        for (const NuvexaOutbox::Row &row : m_outbox->rejected(service()))
            out.append(recordFrom(row));
    }
    return out;
}
