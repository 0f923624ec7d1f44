#ifndef NUVEXACLOUD_H
#define NUVEXACLOUD_H

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>

#include "nuvexacloud_export.h"

class QNetworkReply;
class NuvexaCloudPrivate;

// Client of the cloud service: REST requests with JSON bodies and the base
// address of the WebSocket relay. The host owns it; devices only call it.
//
// Work records ("POST" "device_work_records") go through a durable outbox, an
// SQLite file: stored before they are sent, removed only on a 2xx answer with
// a JSON body, retried with capped, jittered exponential back-off after no
// answer, a malformed answer, 408, 429 or 5xx, and moved to a "rejected" table
// on any other status. Each carries an Idempotency-Key that stays the same
// across retries. Any client built later for the same service (in this or
// another process) tries what is left at once, then by its back-off. The outbox holds at most
// maxRecords/maxBytes; a record that does not fit, or that the file cannot
// take (read-only, disk full, locked longer than the lock wait), is sent once
// without a copy and, if that fails, reported rejected with status 0 and lost
// (workRecordLost). Rows are kept under one spelling of the service address
// so localhost and 127.0.0.1 share them.
class NUVEXACLOUD_EXPORT NuvexaCloud : public QObject
{
    Q_OBJECT
public:
    using Callback = std::function<void(QNetworkReply *, bool)>;

    struct Record
    {
        QString key;          // the Idempotency-Key
        QString path;
        QJsonObject body;
        QDateTime created;
        int attempts = 0;
        QDateTime nextTry;    // pending: when it is tried next; rejected: when it was refused
        QString heldFor;      // device code whose id it waits for
        QString lastError;
        int status = 0;       // rejected only
        QString reason;       // rejected only
        QJsonObject registration;   // held: the device's cloud record, for registering it
    };

    explicit NuvexaCloud(QObject *parent = nullptr);
    NuvexaCloud(const QString &restBase, const QString &wsBase, QObject *parent = nullptr);
    // outboxFile empty: defaultOutboxFile().
    NuvexaCloud(const QString &restBase, const QString &wsBase, const QString &outboxFile, QObject *parent = nullptr);
    ~NuvexaCloud() override;

    // Sends verb to restBase + path with body as JSON (a "GET" carries it too)
    // and returns at once. The callback runs once, from the calling thread's
    // event loop, with the reply and whether it ended without error; a request
    // that gets no HTTP answer reaches it with no status. The reply is deleted
    // after the callback returns. For a work record the callback sees the
    // first attempt; later attempts are reported by the signals below.
    virtual void customRequest(const QString &path, QByteArray verb, QJsonObject body, Callback callback);
    virtual QString ws();
    virtual QString url();

    // A device code as the client puts it into addresses and keys: 1 to
    // MaxDeviceCodeLength visible ASCII characters (no space, no control byte).
    static bool isValidDeviceCode(const QString &code);
    static constexpr int MaxDeviceCodeLength = 64;
    // The Idempotency-Key of a device's creation ("POST" "device_model"): the
    // same for every client of one service that creates code, however the
    // service's address is spelt, so a creation sent again after a lost
    // answer, or by many hosts at once, makes one device.
    static QByteArray creationKey(const QString &restBase, const QString &code);
    // Requests other than work records (registration) waiting for an answer.
    int requestsInFlight() const;

    void setBaseAddresses(const QString &restBase, const QString &wsBase);
    // A request without an answer for this long is ended (default 10 s).
    void setTransferTimeout(int ms);

    static QString defaultOutboxFile();
    QString outboxFile() const;
    // Keeps a work record until holder's device has an id (releaseHeld);
    // registration is the device's cloud record, kept for registering it later.
    void holdWorkRecord(const QString &holder, const QJsonObject &record,
                        const QJsonObject &registration = QJsonObject());
    // Gives the held records of holder field := value and sends them.
    void releaseHeld(const QString &holder, const QString &field, const QJsonValue &value);
    // Tries the waiting records of this service now; force ignores back-off.
    void flushOutbox(bool force = false);
    QList<Record> pendingRecords();
    QList<Record> rejectedRecords();
    // Refused records wait again (the one with key, all when key is empty);
    // how many, -1 when the outbox cannot be written.
    int retryRefused(const QString &key = QString());
    // Why the outbox cannot be used now, as a sentence (empty: it can).
    QString outboxProblem();
    // Longest wait for another process's lock on the outbox (default 10 s).
    void setOutboxLockWait(int ms);
    // Held records that no outbox took: they wait only while this client lives.
    QList<QJsonObject> recordsHeldInMemory() const;
    // Why the outbox did not take them.
    QString whyHeldInMemory() const;
    // Work records sent or being sent by this client and not yet settled.
    int recordsInFlight() const;
    // Records on their way without a copy (the outbox could not take them),
    // each with why: lost if this client goes before they are settled.
    QList<QPair<QJsonObject, QString>> recordsWithoutCopy() const;

    void setRetryPolicy(int firstMs, int capMs);
    void setOutboxLimits(int maxRecords, qint64 maxBytes);
    // The clock the outbox schedules by (ms since the epoch); for tests.
    void setClock(std::function<qint64()> clock);
    // Back-off before try attempts + 1: up to first * 2^(attempts-1), capped,
    // the upper half drawn at random so that many clients spread out.
    static qint64 retryDelay(int attempts, int firstMs, int capMs);

    static constexpr int DefaultMaxRecords = 10000;
    static constexpr qint64 DefaultMaxBytes = 64 * 1024 * 1024;

signals:
    void workRecordQueued(const QString &key);
    void workRecordDelivered(const QString &key, int id);
    // The attempt failed in a way worth retrying; the record waits.
    void workRecordKept(const QString &key, const QString &reason);
    void workRecordRejected(const QString &key, int status, const QString &reason);
    // Neither kept nor delivered: why names the outbox and what failed.
    void workRecordLost(const QString &key, const QJsonObject &record, const QString &why);
    // Something about the outbox file the user should know (set aside, locked).
    void outboxNotice(const QString &text);
    // Any request that ended without a 2xx: status 0 when no answer came.
    void requestFailed(const QString &path, const QByteArray &verb, int status, const QString &reason);

private:
    // Helpers of the implementation, kept out of the library's symbols.
    NUVEXACLOUD_NO_EXPORT void openOutbox();
    NUVEXACLOUD_NO_EXPORT void sendRecord(const QString &key, const QString &path, const QByteArray &body,
                                          int attempts, bool stored, Callback callback);
    NUVEXACLOUD_NO_EXPORT void settle(QNetworkReply *reply, const QString &key, int attempts, bool stored);
    NUVEXACLOUD_NO_EXPORT void schedule();
    NUVEXACLOUD_NO_EXPORT QString service() const;
    NUVEXACLOUD_NO_EXPORT bool outboxLocked() const;
    NUVEXACLOUD_NO_EXPORT qint64 now() const;
    NUVEXACLOUD_NO_EXPORT QNetworkReply *send(const QString &path, const QByteArray &verb, const QByteArray &body,
                                              const QByteArray &key);

    const std::unique_ptr<NuvexaCloudPrivate> d;
};

#endif // NUVEXACLOUD_H
