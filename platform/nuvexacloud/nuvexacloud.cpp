#include "platform/nuvexacloud/nuvexacloud.h"
#include "platform/nuvexacloud/nuvexacloud_p.h"
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
    : QObject(parent), d(new NuvexaCloudPrivate)
{
    d->http = new NuvexaHttp(this);
    d->retryTimer = new QTimer(this);
    d->owner = QUuid::createUuid().toString(QUuid::WithoutBraces);
    d->retryTimer->setSingleShot(true);
    connect(d->retryTimer, &QTimer::timeout, this, [this]() { flushOutbox(false); });
}

NuvexaCloud::NuvexaCloud(const QString &restBase, const QString &wsBase, QObject *parent)
    : NuvexaCloud(restBase, wsBase, QString(), parent)
{
}

NuvexaCloud::NuvexaCloud(const QString &restBase, const QString &wsBase, const QString &outboxFile, QObject *parent)
    : NuvexaCloud(parent)
{
    d->outboxFile = outboxFile;
    setBaseAddresses(restBase, wsBase);
}

NuvexaCloud::~NuvexaCloud()
{
    // Requests still out are dropped with their connections; what they carried
    // stays in the outbox for the next client.
    delete d->http;
    d->http = nullptr;
    if (d->outbox)
        d->outbox->releaseLeases();
}

QString NuvexaCloud::defaultOutboxFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/nuvexacloud-outbox.sqlite");
}

void NuvexaCloud::setBaseAddresses(const QString &restBase, const QString &wsBase)
{
    d->url = restBase;
    d->ws = wsBase;
    // What an earlier run left for this service is tried once now, whatever
    // its back-off said: a new start is a new chance.
    if (!d->url.isEmpty())
        QMetaObject::invokeMethod(this, [this]() { flushOutbox(true); }, Qt::QueuedConnection);
}

void NuvexaCloud::setTransferTimeout(int ms)
{
    d->timeout = ms;
}

void NuvexaCloud::setRetryPolicy(int firstMs, int capMs)
{
    d->retryFirst = qMax(1, firstMs);
    d->retryCap = qMax(d->retryFirst, capMs);
}

void NuvexaCloud::setOutboxLimits(int maxRecords, qint64 maxBytes)
{
    d->maxRecords = maxRecords;
    d->maxBytes = maxBytes;
}

void NuvexaCloud::setClock(std::function<qint64()> clock)
{
    d->clock = std::move(clock);
}

qint64 NuvexaCloud::now() const
{
    return d->clock ? d->clock() : QDateTime::currentMSecsSinceEpoch();
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
    return d->ws;
}

QString NuvexaCloud::url()
{
    return d->url;
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
    return NuvexaOutbox::serviceKey(d->url);
}

void NuvexaCloud::setOutboxLockWait(int ms)
{
    d->lockWait = qMax(0, ms);
    if (d->outbox)
        d->outbox->setLockWait(d->lockWait);
}

void NuvexaCloud::openOutbox()
{
    if (d->url.isEmpty())
        return;
    if (d->outboxFile.isEmpty())
        d->outboxFile = defaultOutboxFile();
    if (!d->outbox)
        d->outbox = std::make_unique<NuvexaOutbox>(d->outboxFile, d->owner, d->lockWait);
    else if (!d->outbox->open())
        return;
    const QString notice = d->outbox->takeNotice();
    if (!notice.isEmpty())
        emit outboxNotice(notice);
}

bool NuvexaCloud::outboxLocked() const
{
    return d->outbox && d->outbox->fault() == NuvexaOutbox::Fault::Locked;
}

QString NuvexaCloud::outboxProblem()
{
    openOutbox();
    if (!d->outbox)
        return QString();
    return d->outbox->problem();
}

int NuvexaCloud::retryRefused(const QString &key)
{
    openOutbox();
    return d->outbox ? d->outbox->unreject(service(), key) : -1;
}

QNetworkReply *NuvexaCloud::send(const QString &path, const QByteArray &verb, const QByteArray &body, const QByteArray &key)
{
    NuvexaHttp::Headers headers;
    if (!key.isEmpty())
        headers.append({"Idempotency-Key", key});
    QString base = d->url;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return d->http->send(QUrl(base + normalisedPath(path)), verb, body, headers, d->timeout);
}

void NuvexaCloud::customRequest(const QString &path, QByteArray verb, QJsonObject body, Callback callback)
{
    const QByteArray bytes = QJsonDocument(body).toJson(QJsonDocument::Compact);
    if (verb == "POST" && normalisedPath(path) == WorkRecords) {
        const QString key = QUuid::createUuid().toString(QUuid::WithoutBraces);
        openOutbox();
        NuvexaOutbox::Stored stored = NuvexaOutbox::Stored::Failed;
        if (d->outbox) {
            NuvexaOutbox::Row row;
            row.service = service();
            row.path = WorkRecords;
            row.key = key;
            row.body = bytes;
            const qint64 t = now();
            stored = d->outbox->add(row, t, t + qMax(60000, 3 * d->timeout), d->maxRecords, d->maxBytes);
        }
        emit workRecordQueued(key);
        if (stored != NuvexaOutbox::Stored::Yes) {
            const QString why = stored == NuvexaOutbox::Stored::Full
                                    ? QStringLiteral("the outbox %1 is full (%2 records or %3 bytes)")
                                          .arg(d->outboxFile).arg(d->maxRecords).arg(d->maxBytes)
                                    : d->outbox ? d->outbox->problem() : QStringLiteral("there is no outbox");
            d->unstored.insert(key, {body, why});
            emit outboxNotice(why + QStringLiteral("; the work record is sent at once without a copy"));
        }
        sendRecord(key, WorkRecords, bytes, 0, stored == NuvexaOutbox::Stored::Yes, callback);
        return;
    }
    QByteArray key;
    const QJsonValue code = body.value(QStringLiteral("code"));
    if (verb == "POST" && normalisedPath(path) == DeviceModel && code.isString())
        key = creationKey(d->url, code.toString());
    ++d->requestsInFlight;
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
        --d->requestsInFlight;
        reply->deleteLater();
    });
}

void NuvexaCloud::sendRecord(const QString &key, const QString &path, const QByteArray &body, int attempts, bool stored,
                             Callback callback)
{
    d->inFlight.insert(key);
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
    d->inFlight.remove(key);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    auto *ours = qobject_cast<NuvexaReply *>(reply);
    const QByteArray body = ours ? ours->body() : QByteArray();
    QString reason;
    bool retry = false;
    if (status >= 200 && status < 300) {
        QJsonParseError error;
        const QJsonDocument answer = QJsonDocument::fromJson(body, &error);
        if (error.error == QJsonParseError::NoError && answer.isObject()) {
            if (stored && d->outbox)
                d->outbox->remove(key);
            d->unstored.remove(key);
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
        const auto unstored = d->unstored.take(key);
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
        d->outbox->retryLater(key, next, now() + retryDelay(next, d->retryFirst, d->retryCap), reason);
        emit workRecordKept(key, reason);
    } else {
        d->outbox->reject(key, status, reason, now(), d->maxRecords);
        emit workRecordRejected(key, status, reason);
    }
    schedule();
}

void NuvexaCloud::schedule()
{
    if (!d->outbox)
        return;
    if (!d->outbox->isOpen() || d->outbox->fault() != NuvexaOutbox::Fault::None) {
        // The file cannot be used now (another program's lock, read-only, a
        // full disk): look again in a moment instead of waiting here or
        // trying again at once.
        d->retryTimer->start(qMin(outboxLocked() ? 1000 : 5000, d->retryCap));
        return;
    }
    const qint64 t = now();
    const qint64 due = d->outbox->nextDue(service(), t);
    if (due == 0) {
        d->retryTimer->stop();
        return;
    }
    d->retryTimer->start(int(qBound<qint64>(0, due - t, d->retryCap)));
}

void NuvexaCloud::flushOutbox(bool force)
{
    openOutbox();
    if (!d->outbox)
        return;
    while (!d->releases.isEmpty()) {
        const NuvexaCloudPrivate::Release r = d->releases.first();
        if (d->outbox->release(service(), r.holder, r.field, r.value) < 0)
            break;
        d->releases.removeFirst();
    }
    const qint64 t = now();
    const QList<NuvexaOutbox::Row> rows = d->outbox->claim(service(), t, t + qMax(60000, 3 * d->timeout), force, 100);
    for (const NuvexaOutbox::Row &row : rows) {
        if (d->inFlight.contains(row.key))
            continue;
        sendRecord(row.key, row.path, row.body, row.attempts, true, {});
    }
    schedule();
}

void NuvexaCloud::holdWorkRecord(const QString &holder, const QJsonObject &record, const QJsonObject &registration)
{
    openOutbox();
    if (d->outbox) {
        NuvexaOutbox::Row row;
        row.service = service();
        row.path = WorkRecords;
        row.key = QUuid::createUuid().toString(QUuid::WithoutBraces);
        row.body = QJsonDocument(record).toJson(QJsonDocument::Compact);
        row.hold = holder;
        if (!registration.isEmpty())
            row.registration = QJsonDocument(registration).toJson(QJsonDocument::Compact);
        if (d->outbox->add(row, now(), 0, d->maxRecords, d->maxBytes) == NuvexaOutbox::Stored::Yes) {
            emit workRecordQueued(row.key);
            emit workRecordKept(row.key, QStringLiteral("device not registered yet"));
            return;
        }
        d->heldWhy = d->outbox->problem().isEmpty() ? QStringLiteral("the outbox %1 is full").arg(d->outboxFile)
                                                  : d->outbox->problem();
        emit outboxNotice(d->heldWhy + QStringLiteral("; the work record waits in memory until the device is registered"));
    }
    // No outbox to keep it in: it waits in memory for this run only.
    d->heldInMemory.append({holder, record});
}

void NuvexaCloud::releaseHeld(const QString &holder, const QString &field, const QJsonValue &value)
{
    for (int i = 0; i < d->heldInMemory.size();) {
        if (d->heldInMemory.at(i).first == holder) {
            QJsonObject record = d->heldInMemory.takeAt(i).second;
            record.insert(field, value);
            customRequest(WorkRecords, "POST", record, {});
        } else {
            ++i;
        }
    }
    openOutbox();
    if (!d->outbox)
        return;
    const int released = d->outbox->release(service(), holder, field, value);
    if (released < 0) {
        // The file is busy or cannot be written now: the next flush tries again.
        d->releases.append({holder, field, value});
        schedule();
    } else if (released > 0) {
        flushOutbox(false);
    }
}

QList<QJsonObject> NuvexaCloud::recordsHeldInMemory() const
{
    QList<QJsonObject> out;
    for (const auto &held : d->heldInMemory)
        out.append(held.second);
    return out;
}

QList<NuvexaCloud::Record> NuvexaCloud::pendingRecords()
{
    QList<Record> out;
    openOutbox();
    if (d->outbox) {
        for (const NuvexaOutbox::Row &row : d->outbox->pending(service()))
            out.append(recordFrom(row));
    }
    return out;
}

QList<NuvexaCloud::Record> NuvexaCloud::rejectedRecords()
{
    QList<Record> out;
    openOutbox();
    if (d->outbox) {
        for (const NuvexaOutbox::Row &row : d->outbox->rejected(service()))
            out.append(recordFrom(row));
    }
    return out;
}

int NuvexaCloud::requestsInFlight() const
{
    return d->requestsInFlight;
}

QString NuvexaCloud::outboxFile() const
{
    return d->outboxFile;
}

QString NuvexaCloud::whyHeldInMemory() const
{
    return d->heldWhy;
}

int NuvexaCloud::recordsInFlight() const
{
    return d->inFlight.size();
}

QList<QPair<QJsonObject, QString>> NuvexaCloud::recordsWithoutCopy() const
{
    return d->unstored.values();
}
