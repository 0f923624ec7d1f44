#include "platform/nuvexacloud/nuvexaoutboxsalvage.h"

#include <QAtomicInt>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryFile>
#include <QVariant>
#include <QtEndian>

#include <algorithm>

namespace {

QAtomicInt readerCounter;

const QByteArray Magic("SQLite format 3\0", 16);
constexpr int HeaderSize = 100;

// The fixed part of a database file header for a page size; counts the
// library derives from the file itself (its size, no free list) are left 0.
QByteArray header(int pageSize)
{
    uchar h[HeaderSize] = {};
    std::copy(Magic.cbegin(), Magic.cend(), h);
    qToBigEndian<quint16>(quint16(pageSize == 65536 ? 1 : pageSize), h + 16);
    h[18] = 1;   // rollback journal: the copy is read without WAL files
    h[19] = 1;
    h[21] = 64;  // payload fractions, fixed by the format
    h[22] = 32;
    h[23] = 32;
    qToBigEndian<quint32>(1, h + 24);   // change counter
    qToBigEndian<quint32>(1, h + 40);   // schema cookie
    qToBigEndian<quint32>(4, h + 44);   // schema format
    qToBigEndian<quint32>(1, h + 56);   // UTF-8
    qToBigEndian<quint32>(3040001, h + 96);
    return QByteArray(reinterpret_cast<const char *>(h), HeaderSize);
}

int storedPageSize(const QByteArray &head)
{
    if (head.size() < HeaderSize || !head.startsWith(Magic))
        return 0;
    const int size = qFromBigEndian<quint16>(head.constData() + 16);
    const int pageSize = size == 1 ? 65536 : size;
    return pageSize >= 512 && (pageSize & (pageSize - 1)) == 0 ? pageSize : 0;
}

QString freeName(const QString &file, const QDateTime &now)
{
    const QString base = file + QStringLiteral(".corrupt-") + now.toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString name = base;
    for (int n = 2; QFileInfo::exists(name); ++n)
        name = base + QStringLiteral("-%1").arg(n);
    return name;
}

// Every row of one query until the first that cannot be read.
template <typename Fill>
void readRows(QSqlDatabase &db, const QStringList &statements, Fill fill)
{
    for (const QString &statement : statements) {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!q.exec(statement))
            continue;   // an older layout: try the next form
        while (q.next())
            fill(q);
        return;
    }
}

void readCopy(const QString &copy, NuvexaOutboxSalvage &out)
{
    const QString name = QStringLiteral("nuvexacloud-salvage-%1").arg(readerCounter.fetchAndAddRelaxed(1));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(copy);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            readRows(db,
                     {QStringLiteral("SELECT service, path, idem_key, body, created, attempts, next_try, hold,"
                                     " last_error, registration FROM outbox ORDER BY id"),
                      QStringLiteral("SELECT service, path, idem_key, body, created, attempts, next_try, hold,"
                                     " last_error, '' FROM outbox ORDER BY id")},
                     [&out](const QSqlQuery &q) {
                         NuvexaOutbox::Row r;
                         r.service = q.value(0).toString();
                         r.path = q.value(1).toString();
                         r.key = q.value(2).toString();
                         r.body = q.value(3).toByteArray();
                         r.created = q.value(4).toLongLong();
                         r.attempts = q.value(5).toInt();
                         r.nextTry = q.value(6).toLongLong();
                         r.hold = q.value(7).toString();
                         r.lastError = q.value(8).toString();
                         r.registration = q.value(9).toByteArray();
                         if (!r.key.isEmpty() && !r.body.isEmpty())
                             out.waiting.append(r);
                     });
            readRows(db,
                     {QStringLiteral("SELECT service, path, idem_key, body, created, attempts, status, reason,"
                                     " rejected_at FROM rejected ORDER BY id")},
                     [&out](const QSqlQuery &q) {
                         NuvexaOutbox::Row r;
                         r.service = q.value(0).toString();
                         r.path = q.value(1).toString();
                         r.key = q.value(2).toString();
                         r.body = q.value(3).toByteArray();
                         r.created = q.value(4).toLongLong();
                         r.attempts = q.value(5).toInt();
                         r.status = q.value(6).toInt();
                         r.reason = q.value(7).toString();
                         r.nextTry = q.value(8).toLongLong();
                         if (!r.key.isEmpty() && !r.body.isEmpty())
                             out.refused.append(r);
                     });
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

} // namespace

NuvexaOutboxSalvage salvageOutbox(const QString &file, const QDateTime &now)
{
    NuvexaOutboxSalvage out;
    out.setAsideAs = freeName(file, now);
    QFile damaged(file);
    if (!damaged.rename(out.setAsideAs)) {
        out.error = damaged.errorString();
        return out;
    }
    out.setAside = true;
    // The journal files belong to the damaged file: they go with it, so the
    // fresh file does not start with them.
    for (const char *suffix : {"-wal", "-shm", "-journal"}) {
        const QString journal = file + QLatin1String(suffix);
        if (QFileInfo::exists(journal))
            QFile::rename(journal, out.setAsideAs + QLatin1String(suffix));
    }

    QFile source(out.setAsideAs);
    if (!source.open(QIODevice::ReadOnly))
        return out;
    const QByteArray head = source.read(HeaderSize);
    const qint64 size = source.size();
    source.close();
    QList<int> pageSizes;
    if (const int stored = storedPageSize(head))
        pageSizes << stored;
    for (int p : {4096, 1024, 2048, 8192, 16384, 32768, 65536, 512}) {
        if (!pageSizes.contains(p) && size % p == 0)
            pageSizes << p;
    }
    // The first page size under which the copy reads as a database wins.
    for (int pageSize : qAsConst(pageSizes)) {
        QTemporaryFile copy;
        if (!copy.open())
            return out;
        QFile in(out.setAsideAs);
        if (!in.open(QIODevice::ReadOnly))
            return out;
        while (!in.atEnd())
            copy.write(in.read(1 << 20));
        copy.seek(0);
        copy.write(header(pageSize));
        copy.close();
        readCopy(copy.fileName(), out);
        if (!out.waiting.isEmpty() || !out.refused.isEmpty())
            break;
    }
    return out;
}
