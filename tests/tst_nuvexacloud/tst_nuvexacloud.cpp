#include "platform/nuvexacloud/nuvexacloud.h"
#include "tools/cloud-service/ktcloudservice.h"

#include <QCoreApplication>
#include <QNetworkReply>
#include <QDir>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

QJsonObject record(int n)
{
    return QJsonObject{{"end_time", "Wed Dec 9 04:00:00 2026"}, {"task_copies", n}, {"finish_copies", n}, {"device", 3}};
}

// A port on 127.0.0.1 that nothing listens on (until a test starts a service there).
quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

int storedOn(const KTCloudService &service)
{
    int n = 0;
    for (const auto &r : service.requests())
        n += r.path == QLatin1String("device_work_records") ? 1 : 0;
    return n;
}

// Run as a second process: a client for the service on the database, until
// nothing is left to send.
int childMain(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    NuvexaCloud cloud(QString::fromLocal8Bit(argv[3]), QString(), QString::fromLocal8Bit(argv[2]));
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&cloud]() {
        if (cloud.recordsInFlight() == 0 && cloud.pendingRecords().isEmpty())
            QCoreApplication::exit(0);
    });
    poll.start(20);
    QTimer::singleShot(30000, [] { QCoreApplication::exit(1); });
    return app.exec();
}

} // namespace

class tst_NuvexaCloud : public QObject
{
    Q_OBJECT
private slots:
    void deliveredOnceWithItsId();
    void answers_data();
    void answers();
    void survivesTheClient();
    void backOffSchedule();
    void retryAfterLostAnswerIsIdempotent();
    void twoProcessesOneDatabase();
    void bounded();
    void heldUntilReleased();
    void oldFileUnderAnotherSpelling();
    void damagedFileSetAside_data();
    void damagedFileSetAside();
    void lockedFileSendsAtOnce();

private:
    QString file(const char *name) { return m_dir.filePath(QString::fromLatin1(name)); }
    QTemporaryDir m_dir;
};

void tst_NuvexaCloud::deliveredOnceWithItsId()
{
    KTCloudService service;
    QVERIFY(service.listen());
    NuvexaCloud cloud(service.restBase(), service.wsBase(), file("delivered.sqlite"));
    QSignalSpy queued(&cloud, &NuvexaCloud::workRecordQueued);
    QSignalSpy delivered(&cloud, &NuvexaCloud::workRecordDelivered);
    int status = -1;
    cloud.customRequest("device_work_records", "POST", record(1), [&status](QNetworkReply *reply, bool ok) {
        status = ok ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
    });
    QCOMPARE(queued.count(), 1);
    QCOMPARE(cloud.pendingRecords().size(), 1);   // stored before it leaves
    QTRY_COMPARE(delivered.count(), 1);
    QCOMPARE(status, 200);
    QCOMPARE(delivered.first().at(0).toString(), queued.first().at(0).toString());
    QCOMPARE(delivered.first().at(1).toInt(), service.workRecords().first().toObject().value("id").toInt());
    QVERIFY(cloud.pendingRecords().isEmpty());
    QCOMPARE(service.workRecords().size(), 1);
}

void tst_NuvexaCloud::answers_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("kept");   // otherwise rejected
    QTest::newRow("500") << int(KTCloudService::Status) << 500 << true;
    QTest::newRow("503") << int(KTCloudService::Status) << 503 << true;
    QTest::newRow("429") << int(KTCloudService::Status) << 429 << true;
    QTest::newRow("408") << int(KTCloudService::Status) << 408 << true;
    QTest::newRow("no answer") << int(KTCloudService::Hang) << 0 << true;
    QTest::newRow("not JSON") << int(KTCloudService::BadJson) << 200 << true;
    QTest::newRow("400") << int(KTCloudService::Status) << 400 << false;
    QTest::newRow("404") << int(KTCloudService::Status) << 404 << false;
    QTest::newRow("422") << int(KTCloudService::Status) << 422 << false;
}

void tst_NuvexaCloud::answers()
{
    QFETCH(int, mode);
    QFETCH(int, status);
    QFETCH(bool, kept);
    KTCloudService service;
    QVERIFY(service.listen());
    service.setFault(KTCloudService::FaultMode(mode), status, "device_work_records");
    const QString db = file("answers.sqlite") + QTest::currentDataTag();
    NuvexaCloud cloud(service.restBase(), service.wsBase(), db);
    cloud.setTransferTimeout(200);
    cloud.setRetryPolicy(60000, 60000);
    QSignalSpy keptSpy(&cloud, &NuvexaCloud::workRecordKept);
    QSignalSpy rejected(&cloud, &NuvexaCloud::workRecordRejected);
    cloud.customRequest("device_work_records", "POST", record(1), {});
    QTRY_COMPARE(keptSpy.count() + rejected.count(), 1);
    QCOMPARE(keptSpy.count(), kept ? 1 : 0);
    QCOMPARE(cloud.pendingRecords().size(), kept ? 1 : 0);
    QCOMPARE(cloud.rejectedRecords().size(), kept ? 0 : 1);
    if (kept) {
        QCOMPARE(cloud.pendingRecords().first().attempts, 1);
        // Sound again: the same record goes out and is taken once.
        service.setFault(KTCloudService::NoFault);
        QSignalSpy delivered(&cloud, &NuvexaCloud::workRecordDelivered);
        cloud.flushOutbox(true);
        QTRY_COMPARE(delivered.count(), 1);
        QCOMPARE(service.workRecords().size(), 1);
    } else {
        QCOMPARE(rejected.first().at(1).toInt(), status);
        const NuvexaCloud::Record r = cloud.rejectedRecords().first();
        QCOMPARE(r.status, status);
        QCOMPARE(r.body, record(1));
        cloud.flushOutbox(true);   // a refused record is never sent again by itself
        QTest::qWait(100);
        QCOMPARE(storedOn(service), 1);
    }
}

void tst_NuvexaCloud::survivesTheClient()
{
    const quint16 port = freePort();
    const QString rest = QStringLiteral("http://127.0.0.1:%1/").arg(port);
    {
        NuvexaCloud cloud(rest, QString(), file("survives.sqlite"));
        QSignalSpy kept(&cloud, &NuvexaCloud::workRecordKept);
        cloud.customRequest("device_work_records", "POST", record(1), {});
        cloud.customRequest("device_work_records", "POST", record(2), {});
        QTRY_COMPARE(kept.count(), 2);
        QCOMPARE(kept.first().at(1).toString(), QStringLiteral("service unreachable"));
    }
    KTCloudService service;
    QVERIFY(service.listen(port, 0));
    // Another service on the same file is not sent them.
    KTCloudService other;
    QVERIFY(other.listen());
    NuvexaCloud elsewhere(other.restBase(), QString(), file("survives.sqlite"));
    QVERIFY(elsewhere.pendingRecords().isEmpty());

    NuvexaCloud again(rest, QString(), file("survives.sqlite"));
    QTRY_COMPARE(service.workRecords().size(), 2);
    QTRY_VERIFY(again.pendingRecords().isEmpty());
    QCOMPARE(service.workRecords().at(0).toObject().value("task_copies").toInt() +
                 service.workRecords().at(1).toObject().value("task_copies").toInt(),
             3);
    QCOMPARE(storedOn(other), 0);
}

void tst_NuvexaCloud::backOffSchedule()
{
    const quint16 port = freePort();
    NuvexaCloud cloud(QStringLiteral("http://127.0.0.1:%1/").arg(port), QString(), file("backoff.sqlite"));
    qint64 now = 1'800'000'000'000;
    cloud.setClock([&now]() { return now; });
    cloud.setRetryPolicy(1000, 8000);
    QSignalSpy kept(&cloud, &NuvexaCloud::workRecordKept);
    cloud.customRequest("device_work_records", "POST", record(1), {});
    // Each wait lies in the upper half of a ceiling that doubles up to the cap.
    int failures = 0;
    for (const qint64 ceiling : {1000, 2000, 4000, 8000, 8000, 8000}) {
        ++failures;
        QTRY_COMPARE(kept.count(), failures);
        QCOMPARE(cloud.pendingRecords().first().attempts, failures);
        const NuvexaCloud::Record r = cloud.pendingRecords().first();
        const qint64 wait = r.nextTry.toMSecsSinceEpoch() - now;
        QVERIFY2(wait >= ceiling / 2 && wait <= ceiling, qPrintable(QString::number(wait)));
        // Not due yet: nothing leaves.
        now += wait - 1;
        cloud.flushOutbox();
        QTest::qWait(30);
        QCOMPARE(cloud.pendingRecords().first().attempts, r.attempts);
        now += 1;
        cloud.flushOutbox();
        QTRY_COMPARE(cloud.pendingRecords().first().attempts, r.attempts + 1);
    }
}

void tst_NuvexaCloud::retryAfterLostAnswerIsIdempotent()
{
    KTCloudService service;
    QVERIFY(service.listen());
    service.setFault(KTCloudService::LoseAnswer, 0, "device_work_records");
    NuvexaCloud cloud(service.restBase(), service.wsBase(), file("lost.sqlite"));
    cloud.setRetryPolicy(60000, 60000);
    QSignalSpy kept(&cloud, &NuvexaCloud::workRecordKept);
    QSignalSpy delivered(&cloud, &NuvexaCloud::workRecordDelivered);
    cloud.customRequest("device_work_records", "POST", record(1), {});
    QTRY_COMPARE(kept.count(), 1);
    QCOMPARE(service.workRecords().size(), 1);   // taken, but the answer never came

    service.setFault(KTCloudService::NoFault);
    cloud.flushOutbox(true);
    QTRY_COMPARE(delivered.count(), 1);
    QCOMPARE(storedOn(service), 2);               // sent twice...
    QCOMPARE(service.workRecords().size(), 1);    // ...stored once
    QCOMPARE(delivered.first().at(1).toInt(), service.workRecords().first().toObject().value("id").toInt());
}

void tst_NuvexaCloud::twoProcessesOneDatabase()
{
    KTCloudService service;
    QVERIFY(service.listen());
    const QString db = file("shared.sqlite");
    const int count = 40;
    {
        service.setFault(KTCloudService::Status, 503);
        NuvexaCloud cloud(service.restBase(), service.wsBase(), db);
        cloud.setRetryPolicy(600000, 600000);
        QSignalSpy kept(&cloud, &NuvexaCloud::workRecordKept);
        for (int i = 0; i < count; ++i)
            cloud.customRequest("device_work_records", "POST", record(i), {});
        QTRY_COMPARE(kept.count(), count);
    }
    service.setFault(KTCloudService::NoFault);
    const int before = storedOn(service);
    QProcess a, b;
    const QStringList args{"--child", db, service.restBase()};
    a.start(QCoreApplication::applicationFilePath(), args);
    b.start(QCoreApplication::applicationFilePath(), args);
    QTRY_COMPARE_WITH_TIMEOUT(a.state() == QProcess::NotRunning && b.state() == QProcess::NotRunning, true, 30000);
    QCOMPARE(a.exitCode(), 0);
    QCOMPARE(b.exitCode(), 0);
    // Every record sent exactly once between the two.
    QCOMPARE(storedOn(service) - before, count);
    QCOMPARE(service.workRecords().size(), count);
}

void tst_NuvexaCloud::bounded()
{
    const quint16 port = freePort();
    NuvexaCloud cloud(QStringLiteral("http://127.0.0.1:%1/").arg(port), QString(), file("bounded.sqlite"));
    cloud.setRetryPolicy(600000, 600000);
    cloud.setOutboxLimits(3, 1024 * 1024);
    QSignalSpy kept(&cloud, &NuvexaCloud::workRecordKept);
    QSignalSpy rejected(&cloud, &NuvexaCloud::workRecordRejected);
    for (int i = 0; i < 4; ++i)
        cloud.customRequest("device_work_records", "POST", record(i), {});
    QTRY_COMPARE(kept.count() + rejected.count(), 4);
    QCOMPARE(cloud.pendingRecords().size(), 3);
    QCOMPARE(rejected.count(), 1);
    QCOMPARE(rejected.first().at(1).toInt(), 0);
    QVERIFY(rejected.first().at(2).toString().startsWith("outbox full"));

    // The byte bound counts too.
    cloud.setOutboxLimits(100, 0);
    cloud.customRequest("device_work_records", "POST", record(9), {});
    QTRY_COMPARE(rejected.count(), 2);
    QCOMPARE(cloud.pendingRecords().size(), 3);
}

void tst_NuvexaCloud::heldUntilReleased()
{
    KTCloudService service;
    QVERIFY(service.listen());
    NuvexaCloud cloud(service.restBase(), service.wsBase(), file("held.sqlite"));
    QJsonObject r = record(1);
    r.remove("device");
    cloud.holdWorkRecord("CODE1", r);
    cloud.holdWorkRecord("CODE2", r);
    QTest::qWait(50);
    QCOMPARE(storedOn(service), 0);
    QCOMPARE(cloud.pendingRecords().size(), 2);
    cloud.releaseHeld("CODE1", "device", 77);
    QTRY_COMPARE(service.workRecords().size(), 1);
    QCOMPARE(service.workRecords().first().toObject().value("device").toInt(), 77);
    QTRY_COMPARE(cloud.pendingRecords().size(), 1);
    QCOMPARE(cloud.pendingRecords().first().heldFor, QStringLiteral("CODE2"));
}

void tst_NuvexaCloud::oldFileUnderAnotherSpelling()
{
    // A file of an earlier layout (no registration column), its record kept
    // under "localhost" without the trailing slash.
    KTCloudService service;
    QVERIFY(service.listen());
    const quint16 port = QUrl(service.restBase()).port();
    const QString db = file("old.sqlite");
    {
        QSqlDatabase old = QSqlDatabase::addDatabase("QSQLITE", "old");
        old.setDatabaseName(db);
        QVERIFY(old.open());
        QSqlQuery q(old);
        QVERIFY(q.exec("CREATE TABLE outbox (id INTEGER PRIMARY KEY AUTOINCREMENT, service TEXT NOT NULL,"
                       " path TEXT NOT NULL, idem_key TEXT NOT NULL UNIQUE, body BLOB NOT NULL, created INTEGER NOT NULL,"
                       " attempts INTEGER NOT NULL DEFAULT 0, next_try INTEGER NOT NULL DEFAULT 0, hold TEXT NOT NULL"
                       " DEFAULT '', last_error TEXT NOT NULL DEFAULT '', lease_owner TEXT NOT NULL DEFAULT '',"
                       " lease_pid INTEGER NOT NULL DEFAULT 0, lease_until INTEGER NOT NULL DEFAULT 0)"));
        QVERIFY(q.exec(QStringLiteral("INSERT INTO outbox (service, path, idem_key, body, created) VALUES"
                                      " ('http://localhost:%1', 'device_work_records', 'old-1', '%2', 1)")
                           .arg(port)
                           .arg(QString::fromUtf8(QJsonDocument(record(5)).toJson(QJsonDocument::Compact)))));
        old.close();
    }
    QSqlDatabase::removeDatabase("old");
    NuvexaCloud cloud(QStringLiteral("http://127.0.0.1:%1/").arg(port), QString(), db);
    QTRY_COMPARE(service.workRecords().size(), 1);
    QCOMPARE(service.workRecords().first().toObject().value("task_copies").toInt(), 5);
    QTRY_VERIFY(cloud.pendingRecords().isEmpty());
    QVERIFY(cloud.outboxProblem().isEmpty());
}

void tst_NuvexaCloud::damagedFileSetAside_data()
{
    QTest::addColumn<bool>("wholeFile");   // otherwise only its 100-byte header is overwritten
    QTest::addColumn<int>("carried");      // records still readable
    QTest::newRow("header overwritten") << false << 2;
    QTest::newRow("nothing but garbage") << true << 0;
}

void tst_NuvexaCloud::damagedFileSetAside()
{
    QFETCH(bool, wholeFile);
    QFETCH(int, carried);
    QTemporaryDir dir;
    const QString db = dir.filePath("damaged.sqlite");
    const QString rest = QStringLiteral("http://127.0.0.1:%1/").arg(freePort());
    {
        NuvexaCloud cloud(rest, QString(), db);
        QSignalSpy kept(&cloud, &NuvexaCloud::workRecordKept);
        cloud.customRequest("device_work_records", "POST", record(1), {});
        cloud.holdWorkRecord("CODE1", record(2), QJsonObject{{"code", "CODE1"}, {"device_id", "D1"}});
        QTRY_COMPARE(kept.count(), 2);
    }
    QFile f(db);
    QVERIFY(f.open(QIODevice::ReadWrite));
    if (wholeFile)
        QVERIFY(f.resize(0));
    f.write(QByteArray(wholeFile ? 8192 : 100, '\xa5'));
    f.close();

    NuvexaCloud cloud(rest, QString(), db);
    QSignalSpy notice(&cloud, &NuvexaCloud::outboxNotice);
    const QList<NuvexaCloud::Record> pending = cloud.pendingRecords();
    QCOMPARE(pending.size(), carried);
    QCOMPARE(notice.count(), 1);
    QVERIFY2(notice.first().first().toString().contains("was damaged: it is set aside as " + db + ".corrupt-"),
             qPrintable(notice.first().first().toString()));
    QCOMPARE(QDir(dir.path()).entryList({"damaged.sqlite.corrupt-*"}, QDir::Files).size(), 1);
    if (carried) {
        QCOMPARE(pending.at(1).heldFor, QStringLiteral("CODE1"));
        QCOMPARE(pending.at(1).registration.value("device_id").toString(), QStringLiteral("D1"));
        QCOMPARE(pending.at(0).body, record(1));
    }
    // The fresh file takes new records.
    cloud.holdWorkRecord("CODE2", record(3));
    QCOMPARE(cloud.pendingRecords().size(), carried + 1);
    QVERIFY(cloud.outboxProblem().isEmpty());
}

void tst_NuvexaCloud::lockedFileSendsAtOnce()
{
    KTCloudService service;
    QVERIFY(service.listen());
    const QString db = file("locked.sqlite");
    NuvexaCloud cloud(service.restBase(), service.wsBase(), db);
    cloud.setOutboxLockWait(200);
    QVERIFY(cloud.pendingRecords().isEmpty());   // the file exists
    {
        QSqlDatabase locker = QSqlDatabase::addDatabase("QSQLITE", "locker");
        locker.setDatabaseName(db);
        QVERIFY(locker.open());
        QVERIFY(QSqlQuery(locker).exec("BEGIN EXCLUSIVE"));
        QSignalSpy notice(&cloud, &NuvexaCloud::outboxNotice);
        QSignalSpy delivered(&cloud, &NuvexaCloud::workRecordDelivered);
        cloud.customRequest("device_work_records", "POST", record(1), {});
        QCOMPARE(notice.count(), 1);
        QVERIFY(notice.first().first().toString().contains("is locked by another program"));
        QTRY_COMPARE(delivered.count(), 1);
        QCOMPARE(service.workRecords().size(), 1);
        locker.close();
    }
    QSqlDatabase::removeDatabase("locker");
    QVERIFY(cloud.pendingRecords().isEmpty());
}

int main(int argc, char *argv[])
{
    if (argc >= 4 && qstrcmp(argv[1], "--child") == 0)
        return childMain(argc, argv);
    QCoreApplication app(argc, argv);
    tst_NuvexaCloud test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_nuvexacloud.moc"
