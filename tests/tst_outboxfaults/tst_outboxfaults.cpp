// The outbox file under real faults, end to end: kt-host, kt-cloud-service
// and the virtual cutter run as processes; each fault either keeps the work
// record for a later run or has kt-host say in one line that it is lost,
// with exit status 4. Faults that need root (chattr, mounting a tmpfs) are
// skipped without it.
#include "tests/support/kttestsupport.h"
#include "tools/virtual-cutter/ktvirtualcutter.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

using KTTestSupport::waitUntil;

bool run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

struct Run
{
    int status = -1;
    QString out;
    QString err;
};

} // namespace

class tst_OutboxFaults : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void faults_data();
    void faults();
    void flushRegisters_data();
    void flushRegisters();
    void retryRefused_data();
    void retryRefused();
    void addressSpelling_data();
    void addressSpelling();
    void failedJobSaysWhatIsLost();

private:
    void startService(const QStringList &fault = {});
    void killService();
    Run host(const QStringList &command, const QString &rest = QString());
    QString outbox() const { return m_data + QStringLiteral("/kt-host/nuvexacloud-outbox.sqlite"); }
    QString rest() const { return QStringLiteral("http://127.0.0.1:%1/").arg(m_service.restPort()); }
    QJsonArray stored(const char *what) const;
    bool immutable(const QString &path, bool on);
    bool mountSmallDisk();
    void fillDisk();

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<KTVirtualCutter> m_cutter;
    KTTestSupport::CloudStandIn m_service;
    QStringList m_immutable;
    QString m_mount;
    QString m_data;
    QString m_code;
    QSqlDatabase m_locker;
};

void tst_OutboxFaults::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_data = m_dir->filePath("data");
    m_code = QStringLiteral("KT0A1ZOUTBOX");
    m_cutter = std::make_unique<KTVirtualCutter>();
    m_cutter->reportIntervalMs = 30;
    m_cutter->cutBytesPerSecond = 20000;
    QVERIFY(m_cutter->listenTcp(0));
    // The system chooses the service's ports once; restarts, and the rows
    // where it is down, keep them.
    m_service.forgetPorts();
    startService();
    killService();
}

void tst_OutboxFaults::cleanup()
{
    if (m_locker.isValid()) {
        const QString name = m_locker.connectionName();
        m_locker.close();
        m_locker = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }
    for (const QString &path : qAsConst(m_immutable))
        run("chattr", {"-i", path});
    m_immutable.clear();
    if (!m_mount.isEmpty())
        run("umount", {m_mount});
    m_mount.clear();
    killService();
    m_cutter.reset();
}

void tst_OutboxFaults::startService(const QStringList &fault)
{
    QVERIFY(m_service.start(KT_CLOUD_SERVICE_PATH, QStringList{"--state", m_dir->filePath("state.json")} + fault));
}

void tst_OutboxFaults::killService()
{
    m_service.stop();
}

Run tst_OutboxFaults::host(const QStringList &command, const QString &restBase)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", m_data);
    p.setProcessEnvironment(env);
    const QString cloud = (restBase.isEmpty() ? rest() : restBase) + QStringLiteral(",ws://127.0.0.1:%1/").arg(m_service.wsPort());
    QStringList args{"--cloud", cloud, "--timeout", "2"};
    if (command.first() != QLatin1String("outbox"))
        args << "--tcp" << QStringLiteral("127.0.0.1:%1").arg(m_cutter->tcpPort()) << "--code" << m_code;
    p.start(QStringLiteral(KT_HOST_PATH), args + command);
    waitUntil([&p] { return p.state() == QProcess::NotRunning; }, 60000);
    Run r;
    if (p.state() == QProcess::NotRunning && p.exitStatus() == QProcess::NormalExit)
        r.status = p.exitCode();
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

QJsonArray tst_OutboxFaults::stored(const char *what) const
{
    QFile file(m_dir->filePath("state.json"));
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object().value(QLatin1String(what)).toArray();
}

bool tst_OutboxFaults::immutable(const QString &path, bool on)
{
    if (!run("chattr", {on ? "+i" : "-i", path}))
        return false;
    if (on)
        m_immutable << path;
    else
        m_immutable.removeAll(path);
    return true;
}

bool tst_OutboxFaults::mountSmallDisk()
{
    if (::geteuid() != 0)
        return false;
    QDir().mkpath(m_data);
    if (!run("mount", {"-t", "tmpfs", "-o", "size=256k", "tmpfs", m_data}))
        return false;
    m_mount = m_data;
    return true;
}

void tst_OutboxFaults::fillDisk()
{
    QFile filler(m_data + QStringLiteral("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly));
    const QByteArray block(4096, 'x');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
}

void tst_OutboxFaults::faults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("serviceUp");   // while the job runs
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("line");     // in what kt-host says on standard error
    QTest::addColumn<int>("delivered");    // records the service has after a later sound run

    QTest::newRow("read-only file, service down") << "file" << false << 4 << "is read-only" << 0;
    QTest::newRow("read-only file, service up") << "file" << true << 0 << "sent at once without a copy" << 1;
    QTest::newRow("read-only folder, service down") << "folder" << false << 4 << "its folder is read-only" << 0;
    QTest::newRow("read-only folder, service up") << "folder" << true << 0 << "sent at once without a copy" << 1;
    QTest::newRow("disk full, service down") << "full" << false << 4 << "the disk is full or failing" << 0;
    QTest::newRow("disk full, service up") << "full" << true << 0 << "sent at once without a copy" << 1;
    QTest::newRow("locked, service down") << "locked" << false << 4 << "locked by another program" << 0;
    QTest::newRow("locked, service up") << "locked" << true << 0 << "locked by another program" << 1;
    QTest::newRow("damaged, record waiting") << "damaged" << false << 0 << "was damaged" << 1;
    QTest::newRow("outbox is a folder") << "folder in its place" << false << 4 << "is a folder, not a file" << 0;
}

void tst_OutboxFaults::faults()
{
    QFETCH(QString, fault);
    QFETCH(bool, serviceUp);
    QFETCH(int, status);
    QFETCH(QString, line);
    QFETCH(int, delivered);
    const QStringList cut{"cut", KT_SOURCE_DIR "/examples/labels-a5.plt"};

    if (fault == QLatin1String("full") && !mountSmallDisk())
        QSKIP("a small tmpfs cannot be mounted here (it needs root)");
    // An earlier run made the outbox and registered the device.
    startService();
    QCOMPARE(host({"info"}).status, 0);
    QVERIFY(QFileInfo::exists(outbox()));
    if (!serviceUp)
        killService();

    if (fault == QLatin1String("file") && !immutable(outbox(), true))
        QSKIP("chattr +i is not possible here");
    if (fault == QLatin1String("folder") && !immutable(QFileInfo(outbox()).absolutePath(), true))
        QSKIP("chattr +i is not possible here");
    if (fault == QLatin1String("full"))
        fillDisk();
    if (fault == QLatin1String("locked")) {
        m_locker = QSqlDatabase::addDatabase("QSQLITE", "locker");
        m_locker.setDatabaseName(outbox());
        QVERIFY(m_locker.open());
        QVERIFY(QSqlQuery(m_locker).exec("BEGIN EXCLUSIVE"));
    }
    if (fault == QLatin1String("damaged")) {
        // A record waits in the file, then its header is overwritten.
        const Run kept = host(cut);
        QVERIFY2(kept.status == 0, qPrintable(kept.err));
        QVERIFY(kept.out.contains("work record kept for later"));
        QFile file(outbox());
        QVERIFY(file.open(QIODevice::ReadWrite));
        file.write(QByteArray(100, '\xa5'));
        file.close();
    }

    if (fault == QLatin1String("folder in its place")) {
        QVERIFY(QFile::remove(outbox()));
        QVERIFY(QDir().mkpath(outbox()));
    }
    // A job, or a look at the outbox when the fault is in what it holds.
    const bool listing = fault == QLatin1String("damaged") || fault == QLatin1String("folder in its place");
    const Run job = host(listing ? QStringList{"outbox"} : cut);
    QVERIFY2(job.status == status, qPrintable(job.err));
    QVERIFY2(job.err.contains(line), qPrintable(job.err));
    // Sentences, not the database's own words alone.
    QVERIFY2(!job.err.contains("Unable to fetch row"), qPrintable(job.err));
    if (serviceUp)
        QVERIFY2(!job.err.contains("did not register"), qPrintable(job.err));
    if (status == 4) {
        // One line: what was lost, why, and where the outbox is.
        const QStringList lines = job.err.trimmed().split('\n');
        QVERIFY2(lines.last().startsWith(listing ? "kt-host: cannot read the work records: the outbox " + outbox()
                                                 : QStringLiteral("kt-host: work record lost (1 of 1 copies")),
                 qPrintable(job.err));
        QVERIFY2(lines.last().contains(outbox()), qPrintable(job.err));
    }
    if (fault == QLatin1String("damaged")) {
        QVERIFY2(job.out.contains("1 waiting, 0 refused"), qPrintable(job.out));
        QCOMPARE(QDir(QFileInfo(outbox()).absolutePath())
                     .entryList({"nuvexacloud-outbox.sqlite.corrupt-*"}, QDir::Files)
                     .size(),
                 1);
    }

    // The fault is gone and the service sound: one more run settles the rest.
    if (m_locker.isValid())
        m_locker.close();
    for (const QString &path : QStringList(m_immutable))
        QVERIFY(immutable(path, false));
    QFile::remove(m_data + QStringLiteral("/filler"));
    if (QFileInfo(outbox()).isDir())
        QVERIFY(QDir().rmdir(outbox()));
    startService();
    QCOMPARE(host({"info"}).status, 0);
    QCOMPARE(stored("device_work_records").size(), delivered);
    const Run listed = host({"outbox"});
    QCOMPARE(listed.status, 0);
    QVERIFY2(listed.out.contains("0 waiting, 0 refused"), qPrintable(listed.out));
}

void tst_OutboxFaults::flushRegisters_data()
{
    QTest::addColumn<bool>("serviceBack");
    QTest::newRow("service back") << true;
    QTest::newRow("service still down") << false;
}

void tst_OutboxFaults::flushRegisters()
{
    QFETCH(bool, serviceBack);
    // The job ends before the device was ever registered.
    const Run job = host({"cut", KT_SOURCE_DIR "/examples/labels-a5.plt"});
    QVERIFY2(job.status == 0, qPrintable(job.err));
    QVERIFY2(host({"outbox"}).out.contains("until device " + m_code + " is registered"), "not held");

    if (serviceBack)
        startService();
    const Run flush = host({"outbox", "--flush"});
    if (!serviceBack) {
        QCOMPARE(flush.status, 3);
        QVERIFY2(flush.err.startsWith("kt-host: 1 work record(s) still wait in " + outbox()), qPrintable(flush.err));
        QVERIFY2(flush.err.contains("device " + m_code + " could not be registered"), qPrintable(flush.err));
        QCOMPARE(flush.err.count('\n'), 1);
        return;
    }
    QVERIFY2(flush.status == 0, qPrintable(flush.err));
    QVERIFY2(flush.out.contains("0 waiting, 0 refused"), qPrintable(flush.out));
    // Registered with the identity the device had when the job ended.
    const QJsonArray devices = stored("devices");
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices.first().toObject().value("code").toString(), m_code);
    QCOMPARE(devices.first().toObject().value("device_id").toString(), QStringLiteral("D24001"));
    QCOMPARE(stored("device_work_records").size(), 1);
    QCOMPARE(stored("device_work_records").first().toObject().value("device"), devices.first().toObject().value("id"));
}

void tst_OutboxFaults::retryRefused_data()
{
    QTest::addColumn<bool>("byKey");
    QTest::newRow("--retry KEY") << true;
    QTest::newRow("--all-refused") << false;
}

void tst_OutboxFaults::retryRefused()
{
    QFETCH(bool, byKey);
    startService({"--fail", "400", "--fault-path", "device_work_records"});
    const Run job = host({"cut", KT_SOURCE_DIR "/examples/labels-a5.plt"});
    QVERIFY2(job.status == 0, qPrintable(job.err));
    QVERIFY(job.out.contains("work record refused by the service (HTTP 400)"));
    const QJsonArray refused =
        QJsonDocument::fromJson(host({"outbox", "--json"}).out.toUtf8()).object().value("rejected").toArray();
    QCOMPARE(refused.size(), 1);

    startService();
    QCOMPARE(host({"outbox", "--retry", "no-such-key"}).status, 2);
    const Run back = host(byKey ? QStringList{"outbox", "--retry", refused.first().toObject().value("key").toString()}
                                : QStringList{"outbox", "--all-refused"});
    QVERIFY2(back.status == 0, qPrintable(back.err));
    QVERIFY2(back.out.startsWith("1 refused record(s) put back to waiting\n"), qPrintable(back.out));
    QVERIFY2(back.out.contains("\n1 waiting, 0 refused\n"), qPrintable(back.out));
    const Run flush = host({"outbox", "--flush"});
    QVERIFY2(flush.status == 0, qPrintable(flush.err));
    QCOMPARE(stored("device_work_records").size(), 1);
    QVERIFY(flush.out.contains("0 waiting, 0 refused"));
}

void tst_OutboxFaults::addressSpelling_data()
{
    QTest::addColumn<QString>("keptUnder");
    QTest::addColumn<QString>("listedUnder");
    QTest::newRow("localhost, then 127.0.0.1 without slash") << "http://localhost:%1/" << "http://127.0.0.1:%1";
    QTest::newRow("127.0.0.1, then LOCALHOST with //") << "http://127.0.0.1:%1" << "http://LOCALHOST:%1//";
    QTest::newRow("another port is another service") << "http://localhost:%1/" << "http://127.0.0.1:%2/";
}

void tst_OutboxFaults::addressSpelling()
{
    QFETCH(QString, keptUnder);
    QFETCH(QString, listedUnder);
    const Run job = host({"cut", KT_SOURCE_DIR "/examples/labels-a5.plt"},
                         QString(keptUnder).replace("%1", QString::number(m_service.restPort())));
    QVERIFY2(job.status == 0, qPrintable(job.err));
    const Run listed = host({"outbox", "--json"}, QString(listedUnder)
                                                     .replace("%1", QString::number(m_service.restPort()))
                                                     .replace("%2", QString::number(m_service.wsPort())));
    QCOMPARE(listed.status, 0);
    const int expected = listedUnder.contains("%2") ? 0 : 1;
    QCOMPARE(QJsonDocument::fromJson(listed.out.toUtf8()).object().value("pending").toArray().size(), expected);
}


// A job that ends in failure after cutting a copy still posts its record;
// with nowhere to keep it and no service, that loss gets its own line after
// the job's, and the job's status stays.
void tst_OutboxFaults::failedJobSaysWhatIsLost()
{
    QVERIFY(QDir().mkpath(QFileInfo(outbox()).absolutePath()));
    if (!immutable(QFileInfo(outbox()).absolutePath(), true))
        QSKIP("chattr +i is not possible here");
    m_cutter->faults.dropAtPercent = 60;
    const Run job = host({"cut", KT_SOURCE_DIR "/examples/labels-a5.plt", "--copies", "2"});
    QVERIFY2(job.status == 3, qPrintable(job.err));
    QVERIFY2(job.err.contains("kt-host: link lost during the job"), qPrintable(job.err));
    const QString last = job.err.trimmed().split('\n').last();
    QVERIFY2(last.startsWith("kt-host: work record lost (1 of 2 copies"), qPrintable(job.err));
    QVERIFY2(last.contains(outbox()), qPrintable(job.err));
}

QTEST_GUILESS_MAIN(tst_OutboxFaults)
#include "tst_outboxfaults.moc"
