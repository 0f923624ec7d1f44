#include "platform/nuvexacloud/nuvexaoutbox.h"
#include "platform/nuvexacloud/nuvexaoutboxsalvage.h"

#include <QAtomicInt>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QLoggingCategory>
#include <QStringList>
#include <QUrl>
#include <QVariant>

#include <cerrno>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace {

QAtomicInt connectionCounter;

Q_LOGGING_CATEGORY(outboxLog, "kt.cloud.outbox")

bool processAlive(qint64 pid)
{
    if (pid <= 0)
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// SQLite's primary result codes, as the driver reports them.
enum SqliteCode {
    Perm = 3, Busy = 5, Locked = 6, ReadOnly = 8, IoErr = 10, Corrupt = 11, Full = 13, CantOpen = 14, Auth = 23,
    NotADb = 26
};

NuvexaOutbox::Fault faultOf(const QSqlError &error)
{
    switch (error.nativeErrorCode().toInt() & 0xff) {
    case Busy:
    case Locked:
        return NuvexaOutbox::Fault::Locked;
    case Perm:
    case ReadOnly:
    case Auth:
        return NuvexaOutbox::Fault::ReadOnly;
    case Full:
    case IoErr:
        return NuvexaOutbox::Fault::NoSpace;
    case Corrupt:
    case NotADb:
        return NuvexaOutbox::Fault::Damaged;
    case CantOpen:
        return NuvexaOutbox::Fault::CannotOpen;
    default:
        return NuvexaOutbox::Fault::Other;
    }
}

QString sentence(NuvexaOutbox::Fault fault, const QString &file)
{
    switch (fault) {
    case NuvexaOutbox::Fault::None:
        return QString();
    case NuvexaOutbox::Fault::Locked:
        return QStringLiteral("the outbox %1 is locked by another program").arg(file);
    case NuvexaOutbox::Fault::ReadOnly:
        return QStringLiteral("the outbox %1 is read-only").arg(file);
    case NuvexaOutbox::Fault::NoSpace:
        return QStringLiteral("the outbox %1 cannot be written: the disk is full or failing").arg(file);
    case NuvexaOutbox::Fault::Damaged:
        return QStringLiteral("the outbox %1 is damaged").arg(file);
    case NuvexaOutbox::Fault::CannotOpen:
        return QStringLiteral("the outbox %1 cannot be opened (is its folder read-only, or is it not a file?)").arg(file);
    case NuvexaOutbox::Fault::Other:
        break;
    }
    return QStringLiteral("the outbox %1 cannot be used").arg(file);
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
    r.registration = q.value(10).toByteArray();
    return r;
}

const char *const RowColumns =
    "id, service, path, idem_key, body, created, attempts, next_try, hold, last_error, registration";

// Layout version kept in the file's user_version.
constexpr int Layout = 1;

} // namespace

NuvexaOutbox::NuvexaOutbox(const QString &file, const QString &owner, int lockWaitMs)
    : m_file(file),
      m_connection(QStringLiteral("nuvexacloud-outbox-%1").arg(connectionCounter.fetchAndAddRelaxed(1))),
      m_owner(owner),
      m_lockWait(qMax(0, lockWaitMs))
{
    open();
}

NuvexaOutbox::~NuvexaOutbox()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
}

QString NuvexaOutbox::serviceKey(const QString &url)
{
    QUrl u(url.trimmed());
    QString key;
    if (u.isValid() && !u.host().isEmpty()) {
        // Loopback has many names; a port that is the scheme's own is no port.
        QString host = u.host().toLower();
        if (host == QLatin1String("127.0.0.1") || host == QLatin1String("::1") || host == QLatin1String("localhost.")
            || host == QLatin1String("[::1]"))
            host = QStringLiteral("localhost");
        const QString scheme = u.scheme().toLower();
        int port = u.port();
        if ((port == 80 && (scheme == QLatin1String("http") || scheme == QLatin1String("ws")))
            || (port == 443 && (scheme == QLatin1String("https") || scheme == QLatin1String("wss"))))
            port = -1;
        key = scheme + QStringLiteral("://") + (host.contains(QLatin1Char(':')) ? '[' + host + ']' : host);
        if (port > 0)
            key += QLatin1Char(':') + QString::number(port);
        QString path = u.path();
        while (path.contains(QLatin1String("//")))
            path.replace(QLatin1String("//"), QLatin1String("/"));
        key += path;
    } else {
        key = url.trimmed();
    }
    if (!key.endsWith(QLatin1Char('/')))
        key += QLatin1Char('/');
    return key;
}

QString NuvexaOutbox::takeNotice()
{
    QString n;
    n.swap(m_notice);
    return n;
}

void NuvexaOutbox::failed(const QSqlError &error, Wait wait)
{
    m_fault = faultOf(error);
    m_problem = sentence(m_fault, m_file);
    if (m_fault == Fault::ReadOnly || m_fault == Fault::CannotOpen || m_fault == Fault::Other) {
        // The library's words do not tell a read-only file from a read-only
        // folder; the file system does.
        QFile probe(m_file);
        const QFileInfo info(m_file);
        QTemporaryFile inFolder(info.absolutePath() + QStringLiteral("/.nuvexacloud-probe-XXXXXX"));
        if (info.isDir()) {
            m_fault = Fault::CannotOpen;
            m_problem = QStringLiteral("the outbox %1 is a folder, not a file").arg(m_file);
        } else if (info.exists() && !probe.open(QIODevice::ReadWrite)) {
            m_fault = Fault::ReadOnly;
            m_problem = sentence(m_fault, m_file);
        } else if (!inFolder.open()) {
            m_fault = Fault::ReadOnly;
            m_problem = QStringLiteral("the outbox %1 cannot be written: its folder is read-only").arg(m_file);
        }
    }
    const QString detail = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    if (!detail.isEmpty())
        m_problem += QStringLiteral(" (SQLite: %1)").arg(detail);
    // A lock is waited for once; until it is gone, every step gives up at once.
    m_contended = m_fault == Fault::Locked && (m_contended || wait == Wait::Bounded);
    qCDebug(outboxLog) << "NuvexaOutbox:" << error.text();
}

void NuvexaOutbox::succeeded()
{
    m_contended = false;
    if (m_fault != Fault::Damaged) {
        m_fault = Fault::None;
        m_problem.clear();
    }
}

void NuvexaOutbox::waitFor(Wait wait)
{
    const int ms = wait == Wait::Bounded && !m_contended ? m_lockWait : 0;
    if (ms == m_busyTimeout)
        return;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    if (q.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(ms)))
        m_busyTimeout = ms;
}

bool NuvexaOutbox::exec(QSqlQuery &q, Wait wait)
{
    waitFor(wait);
    // A statement the library would not even prepare (a damaged or locked
    // file) fails with that error, not with the driver's misuse of it.
    if (q.lastError().isValid()) {
        failed(q.lastError(), wait);
        return false;
    }
    if (q.exec()) {
        succeeded();
        return true;
    }
    failed(q.lastError(), wait);
    return false;
}

bool NuvexaOutbox::exec(const QString &statement, Wait wait)
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(statement);
    return exec(q, wait);
}

bool NuvexaOutbox::open()
{
    if (m_open)
        return true;
    if (!QDir().mkpath(QFileInfo(m_file).absolutePath())) {
        m_fault = Fault::CannotOpen;
        m_problem = QStringLiteral("the folder of the outbox %1 cannot be created").arg(m_file);
        return false;
    }
    if (!QSqlDatabase::contains(m_connection)) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(m_file);
    }
    m_busyTimeout = -1;
    if (setUp()) {
        m_open = true;
        return true;
    }
    if (m_fault == Fault::Damaged && !m_recovered) {
        recover();
        return m_open;
    }
    QSqlDatabase::database(m_connection, false).close();
    return false;
}

bool NuvexaOutbox::setUp()
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    if (!db.isOpen() && !db.open()) {
        failed(db.lastError(), Wait::None);
        return false;
    }
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
        " lease_until INTEGER NOT NULL DEFAULT 0, registration BLOB NOT NULL DEFAULT '')",
        "CREATE TABLE IF NOT EXISTS rejected (id INTEGER PRIMARY KEY AUTOINCREMENT, service TEXT NOT NULL,"
        " path TEXT NOT NULL, idem_key TEXT NOT NULL, body BLOB NOT NULL, created INTEGER NOT NULL,"
        " attempts INTEGER NOT NULL, status INTEGER NOT NULL, reason TEXT NOT NULL, rejected_at INTEGER NOT NULL)",
        "CREATE INDEX IF NOT EXISTS outbox_due ON outbox (service, hold, next_try)",
    };
    for (const char *statement : setup) {
        if (!exec(QString::fromLatin1(statement)))
            return false;
    }
    // A file overwritten in part opens; only a look at its pages tells.
    QSqlQuery check(db);
    check.prepare(QStringLiteral("PRAGMA quick_check(1)"));
    if (!exec(check))
        return false;
    if (!check.next() || check.value(0).toString() != QLatin1String("ok")) {
        m_fault = Fault::Damaged;
        m_problem = sentence(m_fault, m_file) + QStringLiteral(" (SQLite: %1)").arg(check.value(0).toString());
        return false;
    }
    check.finish();
    return migrate();
}

bool NuvexaOutbox::migrate()
{
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("PRAGMA user_version"));
    if (!exec(q) || !q.next())
        return false;
    if (q.value(0).toInt() >= Layout)
        return true;
    q.finish();
    if (!begin(Wait::Bounded))
        return false;
    bool hasRegistration = false;
    q.prepare(QStringLiteral("PRAGMA table_info(outbox)"));
    if (!exec(q)) {
        rollback();
        return false;
    }
    while (q.next())
        hasRegistration = hasRegistration || q.value(1).toString() == QLatin1String("registration");
    q.finish();
    if (!hasRegistration
        && !exec(QStringLiteral("ALTER TABLE outbox ADD COLUMN registration BLOB NOT NULL DEFAULT ''"))) {
        rollback();
        return false;
    }
    // Rows kept under another spelling of a service's address join its own.
    for (const char *table : {"outbox", "rejected"}) {
        q.prepare(QStringLiteral("SELECT DISTINCT service FROM %1").arg(QLatin1String(table)));
        if (!exec(q)) {
            rollback();
            return false;
        }
        QStringList services;
        while (q.next())
            services << q.value(0).toString();
        q.finish();
        for (const QString &service : qAsConst(services)) {
            if (serviceKey(service) == service)
                continue;
            QSqlQuery u(QSqlDatabase::database(m_connection, false));
            u.prepare(QStringLiteral("UPDATE %1 SET service = ? WHERE service = ?").arg(QLatin1String(table)));
            u.addBindValue(serviceKey(service));
            u.addBindValue(service);
            if (!exec(u)) {
                rollback();
                return false;
            }
        }
    }
    if (!exec(QStringLiteral("PRAGMA user_version = %1").arg(Layout))) {
        rollback();
        return false;
    }
    return commit();
}

void NuvexaOutbox::recover()
{
    m_recovered = true;
    const QString damage = m_problem;
    QSqlDatabase::database(m_connection, false).close();
    const NuvexaOutboxSalvage salvage = salvageOutbox(m_file, QDateTime::currentDateTime());
    if (!salvage.setAside) {
        m_fault = Fault::Damaged;
        m_problem = damage + QStringLiteral("; it cannot be set aside (%1): move it away").arg(salvage.error);
        return;
    }
    m_fault = Fault::None;
    m_problem.clear();
    m_busyTimeout = -1;
    if (!setUp()) {
        QSqlDatabase::database(m_connection, false).close();
        return;
    }
    m_open = true;
    const int carried = carryOver(salvage.waiting, salvage.refused);
    const int found = salvage.waiting.size() + salvage.refused.size();
    m_notice = QStringLiteral("the outbox %1 was damaged: it is set aside as %2 and a fresh one started with %3 "
                              "record(s) still readable in it")
                   .arg(m_file, salvage.setAsideAs)
                   .arg(carried);
    if (carried < found)
        m_notice += QStringLiteral(" (%1 could not be written: %2)").arg(found - carried).arg(m_problem);
}

int NuvexaOutbox::carryOver(const QList<Row> &waiting, const QList<Row> &refused)
{
    // An empty value read back is a null one to the driver; the columns want ''.
    auto text = [](const QString &s) { return QVariant(s.isNull() ? QStringLiteral("") : s); };
    auto blob = [](const QByteArray &b) { return QVariant(b.isNull() ? QByteArray("") : b); };
    if (!begin(Wait::Bounded))
        return 0;
    int carried = 0;
    for (const Row &r : waiting) {
        QSqlQuery q(QSqlDatabase::database(m_connection, false));
        q.prepare(QStringLiteral("INSERT OR IGNORE INTO outbox (service, path, idem_key, body, created, attempts,"
                                 " next_try, hold, last_error, registration) VALUES (?, ?, ?, ?, ?, ?, 0, ?, ?, ?)"));
        for (const QVariant &v : {QVariant(serviceKey(r.service)), text(r.path), text(r.key), QVariant(r.body),
                                  QVariant(r.created), QVariant(r.attempts), text(r.hold), text(r.lastError),
                                  blob(r.registration)})
            q.addBindValue(v);
        carried += exec(q) ? 1 : 0;
    }
    for (const Row &r : refused) {
        QSqlQuery q(QSqlDatabase::database(m_connection, false));
        q.prepare(QStringLiteral("INSERT INTO rejected (service, path, idem_key, body, created, attempts, status,"
                                 " reason, rejected_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        for (const QVariant &v : {QVariant(serviceKey(r.service)), text(r.path), text(r.key), QVariant(r.body),
                                  QVariant(r.created), QVariant(r.attempts), QVariant(r.status), text(r.reason),
                                  QVariant(r.nextTry)})
            q.addBindValue(v);
        carried += exec(q) ? 1 : 0;
    }
    return commit() ? carried : 0;
}

bool NuvexaOutbox::begin(Wait wait)
{
    // Immediate: the write lock is taken now, so a read-then-write cannot
    // deadlock against another process doing the same.
    return exec(QStringLiteral("BEGIN IMMEDIATE"), wait);
}

bool NuvexaOutbox::commit()
{
    if (exec(QStringLiteral("COMMIT"), Wait::Bounded))
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
    const QString problem = m_problem;
    const Fault fault = m_fault;
    sync.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    m_problem = problem;
    m_fault = fault;
    return stored;
}

NuvexaOutbox::Stored NuvexaOutbox::insert(const Row &row, qint64 now, qint64 leaseUntil, int maxRecords, qint64 maxBytes)
{
    if (!begin(Wait::Bounded))
        return Stored::Failed;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT COUNT(*), COALESCE(SUM(LENGTH(body)), 0) FROM outbox"));
    if (!exec(q) || !q.next()) {
        rollback();
        return Stored::Failed;
    }
    if (q.value(0).toLongLong() + 1 > maxRecords || q.value(1).toLongLong() + row.body.size() > maxBytes) {
        rollback();
        return Stored::Full;
    }
    q.prepare(QStringLiteral("INSERT INTO outbox (service, path, idem_key, body, created, hold, lease_owner, lease_pid,"
                             " lease_until, registration) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
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
    q.addBindValue(row.registration.isNull() ? QByteArray("") : row.registration);
    if (!exec(q, Wait::Bounded)) {
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
    if (!exec(q)) {
        rollback();
        return out;
    }
    while (q.next() && out.size() < limit) {
        const qint64 until = q.value(13).toLongLong();
        const bool leased = until > now && (q.value(11).toString() == m_owner || processAlive(q.value(12).toLongLong()));
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
        if (!exec(u)) {
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
    return exec(q, Wait::Bounded);
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
    return exec(q, Wait::Bounded);
}

bool NuvexaOutbox::reject(const QString &key, int status, const QString &reason, qint64 now, int keepRejected)
{
    if (!m_open || !begin(Wait::Bounded))
        return false;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("INSERT INTO rejected (service, path, idem_key, body, created, attempts, status, reason,"
                             " rejected_at) SELECT service, path, idem_key, body, created, attempts + 1, ?, ?, ?"
                             " FROM outbox WHERE idem_key = ?"));
    q.addBindValue(status);
    q.addBindValue(reason);
    q.addBindValue(now);
    q.addBindValue(key);
    bool ok = exec(q, Wait::Bounded);
    q.prepare(QStringLiteral("DELETE FROM outbox WHERE idem_key = ?"));
    q.addBindValue(key);
    ok = ok && exec(q, Wait::Bounded);
    // Only the newest rejections are kept.
    q.prepare(QStringLiteral("DELETE FROM rejected WHERE id <= (SELECT MAX(id) FROM rejected) - ?"));
    q.addBindValue(keepRejected);
    ok = ok && exec(q, Wait::Bounded);
    if (!ok) {
        rollback();
        return false;
    }
    return commit();
}

int NuvexaOutbox::release(const QString &service, const QString &hold, const QString &field, const QJsonValue &value)
{
    if (!m_open || !begin(Wait::Bounded))
        return -1;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT id, body FROM outbox WHERE service = ? AND hold = ?"));
    q.addBindValue(service);
    q.addBindValue(hold);
    if (!exec(q, Wait::Bounded)) {
        rollback();
        return -1;
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
        if (!exec(u, Wait::Bounded)) {
            rollback();
            return -1;
        }
    }
    return commit() ? rows.size() : -1;
}

int NuvexaOutbox::unreject(const QString &service, const QString &key)
{
    if (!m_open || !begin(Wait::Bounded))
        return -1;
    const QString which = key.isEmpty() ? QStringLiteral("service = ?") : QStringLiteral("service = ? AND idem_key = ?");
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    // The same key again: the service never took it, and a retry stays safe.
    q.prepare(QStringLiteral("INSERT OR IGNORE INTO outbox (service, path, idem_key, body, created, attempts)"
                             " SELECT service, path, idem_key, body, created, attempts FROM rejected WHERE %1")
                  .arg(which));
    q.addBindValue(service);
    if (!key.isEmpty())
        q.addBindValue(key);
    if (!exec(q, Wait::Bounded)) {
        rollback();
        return -1;
    }
    const int moved = q.numRowsAffected();
    q.prepare(QStringLiteral("DELETE FROM rejected WHERE %1").arg(which));
    q.addBindValue(service);
    if (!key.isEmpty())
        q.addBindValue(key);
    if (!exec(q, Wait::Bounded)) {
        rollback();
        return -1;
    }
    return commit() ? moved : -1;
}

void NuvexaOutbox::releaseLeases()
{
    if (!m_open)
        return;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("UPDATE outbox SET lease_owner = '', lease_pid = 0, lease_until = 0 WHERE lease_owner = ?"));
    q.addBindValue(m_owner);
    exec(q);
}

qint64 NuvexaOutbox::nextDue(const QString &service, qint64 now)
{
    if (!m_open)
        return 0;
    QSqlQuery q(QSqlDatabase::database(m_connection, false));
    q.prepare(QStringLiteral("SELECT next_try, lease_owner, lease_pid, lease_until FROM outbox"
                             " WHERE service = ? AND hold = ''"));
    q.addBindValue(service);
    if (!exec(q))
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
    if (exec(q)) {
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
    q.prepare(QStringLiteral("SELECT id, service, path, idem_key, body, created, attempts, rejected_at, '', '', '',"
                             " status, reason FROM rejected WHERE service = ? ORDER BY id"));
    q.addBindValue(service);
    if (exec(q)) {
        while (q.next()) {
            Row r = rowFrom(q);
            r.status = q.value(11).toInt();
            r.reason = q.value(12).toString();
            out.append(r);
        }
    }
    return out;
}
