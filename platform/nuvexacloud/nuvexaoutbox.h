#ifndef NUVEXAOUTBOX_H
#define NUVEXAOUTBOX_H

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QString>

class QSqlError;
class QSqlQuery;

// The client's durable queue in one SQLite file, shared by every process that
// names the same file. Rows are claimed with a lease in an immediate
// transaction, so two processes never send one record at the same time; a
// lease held by a process that no longer exists is taken over at once.
//
// Another process's lock is waited for at most lockWait, and only by a step
// that stores something new; while the lock lasts every other step gives up at
// once and is tried again later. A damaged file is set aside under a dated
// name and a fresh one started with what could still be read from it.
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
        qint64 nextTry = 0;     // refused rows: when they were refused
        QString hold;
        QString lastError;
        int status = 0;
        QString reason;
        QByteArray registration;   // the held device's cloud record, if known
    };
    enum class Stored { Yes, Full, Failed };
    enum class Fault { None, Locked, ReadOnly, NoSpace, Damaged, CannotOpen, Other };

    NuvexaOutbox(const QString &file, const QString &owner, int lockWaitMs = 10000);
    ~NuvexaOutbox();
    // Opens the file if it is not open yet (again after a failure).
    bool open();
    bool isOpen() const { return m_open; }
    QString file() const { return m_file; }
    void setLockWait(int ms) { m_lockWait = qMax(0, ms); }

    // What went wrong last, as a sentence naming the file (empty: nothing).
    Fault fault() const { return m_fault; }
    QString problem() const { return m_problem; }
    // What the last open did that the user should know of (a damaged file set
    // aside), once.
    QString takeNotice();

    // The one spelling of a service address under which its rows are kept.
    static QString serviceKey(const QString &url);

    // Stores a new record; unless hold is set the caller holds its lease.
    Stored add(const Row &row, qint64 now, qint64 leaseUntil, int maxRecords, qint64 maxBytes);
    // Up to limit records of service due by now (all when force), leased to us.
    QList<Row> claim(const QString &service, qint64 now, qint64 leaseUntil, bool force, int limit);
    bool remove(const QString &key);
    bool retryLater(const QString &key, int attempts, qint64 nextTry, const QString &error);
    bool reject(const QString &key, int status, const QString &reason, qint64 now, int keepRejected);
    // Held records of a device get its id and become due now; how many, -1 on failure.
    int release(const QString &service, const QString &hold, const QString &field, const QJsonValue &value);
    // Refused records (one by key, all when key is empty) wait again; how many, -1 on failure.
    int unreject(const QString &service, const QString &key);
    void releaseLeases();
    // When the next record of service falls due (0: none waiting).
    qint64 nextDue(const QString &service, qint64 now);
    QList<Row> pending(const QString &service);
    QList<Row> rejected(const QString &service);

private:
    enum class Wait { None, Bounded };
    bool setUp();
    void recover();
    bool migrate();
    int carryOver(const QList<Row> &waiting, const QList<Row> &refused);
    Stored insert(const Row &row, qint64 now, qint64 leaseUntil, int maxRecords, qint64 maxBytes);
    bool exec(QSqlQuery &q, Wait wait = Wait::None);
    bool exec(const QString &statement, Wait wait = Wait::None);
    void waitFor(Wait wait);
    void failed(const QSqlError &error, Wait wait);
    void succeeded();
    bool begin(Wait wait = Wait::None);
    bool commit();
    void rollback();

    QString m_file;
    QString m_connection;
    QString m_owner;
    QString m_problem;
    QString m_notice;
    Fault m_fault = Fault::None;
    int m_lockWait;
    int m_busyTimeout = -1;
    bool m_contended = false;
    bool m_open = false;
    bool m_recovered = false;
};

#endif // NUVEXAOUTBOX_H
