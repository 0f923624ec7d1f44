#include "platform/nuvexacloud/nuvexaoutbox.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QtDebug>

#include <cerrno>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace {

QAtomicInt connectionCounter;

bool processAlive(qint64 pid)
{
    if (pid <= 0)
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

bool run(QSqlQuery &q)
{
    if (q.exec())
        return true;
    qWarning("NuvexaCloud outbox: %s", qPrintable(q.lastError().text()));
    return false;
}

NuvexaOutbox::Row rowFrom(const QSqlQuery &q)
{
    NuvexaOutbox::Row r;
    r.rowId = q.value(0).toLongLong();
    r.service = q.value(1).toString();
    r.path = q.value(2).toString();
    r.key = q.value(3).toString();
    r.body = q.value(4).toByteArray();
    r.created = q.value(5).toLongLong();
    r.attempts = q.value(6).toInt();
    r.nextTry = q.value(7).toLongLong();
    r.hold = q.value(8).toString();
    r.lastError = q.value(9).toString();
    return r;
}

const char *const RowColumns = "id, service, path, idem_key, body, created, attempts, next_try, hold, last_error";

} // namespace

NuvexaOutbox::NuvexaOutbox(const QString &file, const QString &owner)
    : m_connection(QStringLiteral("nuvexacloud-outbox-%1").arg(connectionCounter.fetchAndAddRelaxed(1))),
      m_owner(owner)
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    db.setDatabaseName(file);
    // Other processes may hold the write lock for a moment: wait, never fail.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    if (!db.open()) {
        qWarning("NuvexaCloud outbox: cannot open %s: %s", qPrintable(file), qPrintable(db.lastError().text()));
        return;
    }
    QSqlQuery q(db);
    const char *const setup[] = {
        "PRAGMA journal_mode=WAL",
        // Bookkeeping may be lost with the machine's power (a record then
        // goes out once more, under the same key); a new record may not, so
        // add() writes it through to the disk.
        "PRAGMA synchronous=NORMAL",
        "CREATE TABLE IF NOT EXISTS outbox (id INTEGER PRIMARY KEY AUTOINCREMENT, service TEXT NOT NULL,"
        " path TEXT NOT NULL, idem_key TEXT NOT NULL UNIQUE, body BLOB NOT NULL, created INTEGER NOT NULL,"
        " attempts INTEGER NOT NULL DEFAULT 0, next_try INTEGER NOT NULL DEFAULT 0, hold TEXT NOT NULL DEFAULT '',"
        " last_error TEXT NOT NULL DEFAULT '', lease_owner TEXT NOT NULL DEFAULT '', lease_pid INTEGER NOT NULL DEFAULT 0,"
        " lease_until INTEGER NOT NULL DEFAULT 0)",
        "CREATE TABLE IF NOT EXISTS rejected (id INTEGER PRIMARY KEY AUTOINCREMENT, service TEXT NOT NULL,"
        " path TEXT NOT NULL, idem_key TEXT NOT NULL, body BLOB NOT NULL, created INTEGER NOT NULL,"
        " attempts INTEGER NOT NULL, status INTEGER NOT NULL, reason TEXT NOT NULL, rejected_at INTEGER NOT NULL)",
        "CREATE INDEX IF NOT EXISTS outbox_due ON outbox (service, hold, next_try)",
    };
    for (const char *statement : setup) {
        if (!q.exec(QString::fromLatin1(statement))) {
            qWarning("NuvexaCloud outbox: %s", qPrintable(q.lastError().text()));
            return;
        }
    }
    m_open = true;
}

NuvexaOutbox::~NuvexaOutbox()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

bool NuvexaOutbox::begin()
{
    // Immediate: the write lock is taken now, so a read-then-write cannot
    // deadlock against another process doing the same.
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    return q.exec(QStringLiteral("BEGIN IMMEDIATE"));
}

bool NuvexaOutbox::commit()
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (q.exec(QStringLiteral("COMMIT")))
        return true;
    rollback();
    return false;
}

void NuvexaOutbox::rollback()
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.exec(QStringLiteral("ROLLBACK"));
}

NuvexaOutbox::Stored NuvexaOutbox::add(const Row &row, qint64 now, qint64 leaseUntil, int maxRecords, qint64 maxBytes)
{
    if (!m_open)
        return Stored::Failed;
    QSqlQuery sync(QSqlDatabase::database(m_connection, false));
    sync.exec(QStringLiteral("PRAGMA synchronous=FULL"));
    const Stored stored = insert(row, now, leaseUntil, maxRecords, maxBytes);
    sync.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    return stored;
}

NuvexaOutbox::Stored NuvexaOutbox::insert(const Row &row, qint64 now, qint64 leaseUntil, int maxRecords, qint64 maxBytes)
{
    if (!begin())
        return Stored::Failed;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT COUNT(*), COALESCE(SUM(LENGTH(body)), 0) FROM outbox"));
    if (!run(q) || !q.next()) {
        rollback();
        return Stored::Failed;
    }
    if (q.value(0).toLongLong() + 1 > maxRecords || q.value(1).toLongLong() + row.body.size() > maxBytes) {
        rollback();
        return Stored::Full;
    }
    q.prepare(QStringLiteral("INSERT INTO outbox (service, path, idem_key, body, created, hold, lease_owner, lease_pid,"
                             " lease_until) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    const bool held = !row.hold.isEmpty();
    q.addBindValue(row.service);
    q.addBindValue(row.path);
    q.addBindValue(row.key);
    q.addBindValue(row.body);
    q.addBindValue(now);
    q.addBindValue(row.hold.isNull() ? QStringLiteral("") : row.hold);
    q.addBindValue(held ? QStringLiteral("") : m_owner);
    q.addBindValue(held ? 0 : qint64(QCoreApplication::applicationPid()));
    q.addBindValue(held ? 0 : leaseUntil);
    if (!run(q)) {
        rollback();
        return Stored::Failed;
    }
    return commit() ? Stored::Yes : Stored::Failed;
}

QList<NuvexaOutbox::Row> NuvexaOutbox::claim(const QString &service, qint64 now, qint64 leaseUntil, bool force, int limit)
{
    QList<Row> out;
    if (!m_open || !begin())
        return out;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT %1, lease_owner, lease_pid, lease_until FROM outbox WHERE service = ? AND hold = ''"
                             " AND (? OR next_try <= ?) ORDER BY id")
                  .arg(QLatin1String(RowColumns)));
    q.addBindValue(service);
    q.addBindValue(force);
    q.addBindValue(now);
    if (!run(q)) {
        rollback();
        return out;
    }
    while (q.next() && out.size() < limit) {
        const qint64 until = q.value(12).toLongLong();
        const bool leased = until > now && (q.value(10).toString() == m_owner || processAlive(q.value(11).toLongLong()));
        if (!leased)
            out.append(rowFrom(q));
    }
    q.finish();
    for (const Row &r : qAsConst(out)) {
        QSqlQuery u(QSqlDatabase::database(m_connection, false));
        u.prepare(QStringLiteral("UPDATE outbox SET lease_owner = ?, lease_pid = ?, lease_until = ? WHERE id = ?"));
        u.addBindValue(m_owner);
        u.addBindValue(qint64(QCoreApplication::applicationPid()));
        u.addBindValue(leaseUntil);
        u.addBindValue(r.rowId);
        if (!run(u)) {
            rollback();
            return {};
        }
    }
    if (!commit())
        return {};
    return out;
}

bool NuvexaOutbox::remove(const QString &key)
{
    if (!m_open)
        return false;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("DELETE FROM outbox WHERE idem_key = ?"));
    q.addBindValue(key);
    return run(q);
}

bool NuvexaOutbox::retryLater(const QString &key, int attempts, qint64 nextTry, const QString &error)
{
    if (!m_open)
        return false;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("UPDATE outbox SET attempts = ?, next_try = ?, last_error = ?, lease_owner = '',"
                             " lease_pid = 0, lease_until = 0 WHERE idem_key = ?"));
    q.addBindValue(attempts);
    q.addBindValue(nextTry);
    q.addBindValue(error);
    q.addBindValue(key);
    return run(q);
}

bool NuvexaOutbox::reject(const QString &key, int status, const QString &reason, qint64 now, int keepRejected)
{
    if (!m_open || !begin())
        return false;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("INSERT INTO rejected (service, path, idem_key, body, created, attempts, status, reason,"
                             " rejected_at) SELECT service, path, idem_key, body, created, attempts + 1, ?, ?, ?"
                             " FROM outbox WHERE idem_key = ?"));
    q.addBindValue(status);
    q.addBindValue(reason);
    q.addBindValue(now);
    q.addBindValue(key);
    bool ok = run(q);
    q.prepare(QStringLiteral("DELETE FROM outbox WHERE idem_key = ?"));
    q.addBindValue(key);
    ok = ok && run(q);
    // Only the newest rejections are kept.
    q.prepare(QStringLiteral("DELETE FROM rejected WHERE id <= (SELECT MAX(id) FROM rejected) - ?"));
    q.addBindValue(keepRejected);
    ok = ok && run(q);
    if (!ok) {
        rollback();
        return false;
    }
    return commit();
}

int NuvexaOutbox::release(const QString &service, const QString &hold, const QString &field, const QJsonValue &value)
{
    if (!m_open || !begin())
        return 0;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT id, body FROM outbox WHERE service = ? AND hold = ?"));
    q.addBindValue(service);
    q.addBindValue(hold);
    if (!run(q)) {
        rollback();
        return 0;
    }
    QList<QPair<qint64, QByteArray>> rows;
    while (q.next())
        rows.append({q.value(0).toLongLong(), q.value(1).toByteArray()});
    q.finish();
    for (const auto &r : qAsConst(rows)) {
        QJsonObject body = QJsonDocument::fromJson(r.second).object();
        body.insert(field, value);
        QSqlQuery u(QSqlDatabase::database(m_connection, false));
        u.prepare(QStringLiteral("UPDATE outbox SET body = ?, hold = '', next_try = 0 WHERE id = ?"));
        u.addBindValue(QJsonDocument(body).toJson(QJsonDocument::Compact));
        u.addBindValue(r.first);
        if (!run(u)) {
            rollback();
            return 0;
        }
    }
    return commit() ? rows.size() : 0;
}

void NuvexaOutbox::releaseLeases()
{
    if (!m_open)
        return;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("UPDATE outbox SET lease_owner = '', lease_pid = 0, lease_until = 0 WHERE lease_owner = ?"));
    q.addBindValue(m_owner);
    run(q);
}

qint64 NuvexaOutbox::nextDue(const QString &service, qint64 now)
{
    if (!m_open)
        return 0;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT next_try, lease_owner, lease_pid, lease_until FROM outbox"
                             " WHERE service = ? AND hold = ''"));
    q.addBindValue(service);
    if (!run(q))
        return 0;
    qint64 due = 0;
    while (q.next()) {
        qint64 at = q.value(0).toLongLong();
        const qint64 until = q.value(3).toLongLong();
        if (until > now) {
            if (q.value(1).toString() == m_owner)
                continue;   // in flight here: its answer reschedules it
            if (processAlive(q.value(2).toLongLong()))
                at = qMax(at, until);
        }
        due = due == 0 ? at : qMin(due, at);
    }
    return due;
}

QList<NuvexaOutbox::Row> NuvexaOutbox::pending(const QString &service)
{
    QList<Row> out;
    if (!m_open)
        return out;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT %1 FROM outbox WHERE service = ? ORDER BY id").arg(QLatin1String(RowColumns)));
    q.addBindValue(service);
    if (run(q)) {
        while (q.next())
            out.append(rowFrom(q));
    }
    return out;
}

QList<NuvexaOutbox::Row> NuvexaOutbox::rejected(const QString &service)
{
    QList<Row> out;
    if (!m_open)
        return out;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT id, service, path, idem_key, body, created, attempts, rejected_at, '', '', status,"
                             " reason FROM rejected WHERE service = ? ORDER BY id"));
    q.addBindValue(service);
    if (run(q)) {
        while (q.next()) {
            Row r = rowFrom(q);
            r.status = q.value(10).toInt();
            r.reason = q.value(11).toString();
            out.append(r);
        }
    }
    return out;
}
