#ifndef NUVEXAOUTBOX_H
#define NUVEXAOUTBOX_H

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QString>

// The client's durable queue in one SQLite file, shared by every process that
// names the same file. Rows are claimed with a lease in an immediate
// transaction, so two processes never send one record at the same time; a
// lease held by a process that no longer exists is taken over at once.
class NuvexaOutbox
{
public:
    struct Row
    {
        qint64 rowId = 0;
        QString service;
        QString path;
        QString key;
        QByteArray body;
        qint64 created = 0;
        int attempts = 0;
        qint64 nextTry = 0;
        QString hold;
        QString lastError;
        int status = 0;
        QString reason;
    };
    enum class Stored { Yes, Full, Failed };

    NuvexaOutbox(const QString &file, const QString &owner);
    ~NuvexaOutbox();
    bool isOpen() const { return m_open; }

    // Stores a new record; unless hold is set the caller holds its lease.
    Stored add(const Row &row, qint64 now, qint64 leaseUntil, int maxRecords, qint64 maxBytes);
    // Up to limit records of service due by now (all when force), leased to us.
    QList<Row> claim(const QString &service, qint64 now, qint64 leaseUntil, bool force, int limit);
    bool remove(const QString &key);
    bool retryLater(const QString &key, int attempts, qint64 nextTry, const QString &error);
    bool reject(const QString &key, int status, const QString &reason, qint64 now, int keepRejected);
    // Held records of a device get its id and become due now; returns how many.
    int release(const QString &service, const QString &hold, const QString &field, const QJsonValue &value);
    void releaseLeases();
    // When the next record of service falls due (0: none waiting).
    qint64 nextDue(const QString &service, qint64 now);
    QList<Row> pending(const QString &service);
    QList<Row> rejected(const QString &service);

private:
    Stored insert(const Row &row, qint64 now, qint64 leaseUntil, int maxRecords, qint64 maxBytes);
    bool begin();
    bool commit();
    void rollback();

    QString m_connection;
    QString m_owner;
    bool m_open = false;
};

#endif // NUVEXAOUTBOX_H
