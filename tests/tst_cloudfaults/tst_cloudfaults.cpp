// The work-record fault matrix end to end: kt-host and kt-cloud-service run
// as processes against the virtual cutter; for N jobs the service ends up
// with exactly N records (or the outbox with N refused) after at most one
// later run of the host.
#include "tests/support/kttestsupport.h"
#include "tools/virtual-cutter/ktvirtualcutter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

using KTTestSupport::waitUntil;

} // namespace

class tst_CloudFaults : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void matrix_data();
    void matrix();

private:
    void startService(const QStringList &fault = {});
    void killService();
    QProcess *startHost(const QStringList &command);
    int finishHost(QProcess *p);
    QString bases() const
    {
        return QStringLiteral("http://127.0.0.1:%1/,ws://127.0.0.1:%2/").arg(m_service.restPort()).arg(m_service.wsPort());
    }
    QJsonObject state() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<KTVirtualCutter> m_cutter;
    KTTestSupport::CloudStandIn m_service;
    QList<QProcess *> m_hosts;
    int m_timeout = 2;   // seconds
    QString m_cloudWait = QStringLiteral("1.5");
};

void tst_CloudFaults::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_cutter = std::make_unique<KTVirtualCutter>();
    m_cutter->reportIntervalMs = 30;
    QVERIFY(m_cutter->listenTcp(0));
    // The system chooses the service's ports once; restarts, and the rows
    // where it is down, keep them.
    m_service.forgetPorts();
    startService();
    killService();
}

void tst_CloudFaults::cleanup()
{
    for (QProcess *p : m_hosts) {
        p->kill();
        p->waitForFinished(2000);
        delete p;
    }
    m_hosts.clear();
    killService();
    m_cutter.reset();
}

void tst_CloudFaults::startService(const QStringList &fault)
{
    QVERIFY(m_service.start(KT_CLOUD_SERVICE_PATH, QStringList{"--state", m_dir->filePath("state.json")} + fault));
}

void tst_CloudFaults::killService()
{
    m_service.stop();
}

QProcess *tst_CloudFaults::startHost(const QStringList &command)
{
    auto *p = new QProcess;
    m_hosts << p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_DATA_HOME", m_dir->filePath("data"));
    p->setProcessEnvironment(env);
    p->start(QStringLiteral(KT_HOST_PATH),
             QStringList{"--tcp", QStringLiteral("127.0.0.1:%1").arg(m_cutter->tcpPort()), "--cloud", bases(), "--code",
                         "KT0A1ZFAULT", "--timeout", QString::number(m_timeout), "--cloud-wait", m_cloudWait} +
                 command);
    return p;
}

int tst_CloudFaults::finishHost(QProcess *p)
{
    waitUntil([p] { return p->state() == QProcess::NotRunning; }, 60000);
    return p->state() == QProcess::NotRunning && p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1;
}

QJsonObject tst_CloudFaults::state() const
{
    QFile file(m_dir->filePath("state.json"));
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object();
}

void tst_CloudFaults::matrix_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("fault");   // the service's options while the jobs run
    QTest::addColumn<bool>("refused");       // 4xx: the records end in the outbox's refused list
    QTest::addColumn<QString>("cause");      // what the first run says of a failed registration
    QTest::addColumn<QString>("cloudWait");  // the host's --cloud-wait: how long each run gives a silent service

    QTest::newRow("service down at start") << "down" << QStringList() << false << "(service unreachable)" << "1.5";
    QTest::newRow("down mid-job, back later") << "down mid-job" << QStringList() << false << "" << "1.5";
    QTest::newRow("--fail 500") << "fault" << QStringList{"--fail", "500"} << false << "(HTTP 500)" << "1.5";
    QTest::newRow("--fail 400") << "fault" << QStringList{"--fail", "400", "--fault-path", "device_work_records"} << true
                                 << "" << "1.5";
    QTest::newRow("--hang") << "fault" << QStringList{"--hang"} << false << "(no answer within 0.5 s)" << "0.5";
    QTest::newRow("--bad-json") << "fault" << QStringList{"--bad-json"} << false << "(malformed answer)" << "1.5";
    QTest::newRow("host killed before delivery") << "kill host"
                                                 << QStringList{"--hang", "--fault-path", "device_work_records"} << false
                                                 << "" << "1.5";
    QTest::newRow("service restarted after the job") << "restart after"
                                                     << QStringList{"--hang", "--fault-path", "device_work_records"}
                                                     << false << "" << "1.5";
    QTest::newRow("service restarted during the job") << "restart during" << QStringList() << false << "" << "1.5";
    // The device is created but the answer lost: the next run finds it.
    QTest::newRow("--lose-answer creation") << "lose creation"
                                            << QStringList{"--lose-answer", "--fault-path", "device_model"} << false
                                            << "(connection closed without an answer)" << "1.5";
}

void tst_CloudFaults::matrix()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, fault);
    QFETCH(bool, refused);
    QFETCH(QString, cause);
    QFETCH(QString, cloudWait);
    const int jobs = 2;
    const QStringList cut{"cut", KT_SOURCE_DIR "/examples/labels-a5.plt"};
    const QRegularExpression cutting(QStringLiteral("\\s[1-9]\\d?%"));
    // Long enough for the client's first retry after the restart.
    m_timeout = scenario == QLatin1String("restart after") ? 5 : 2;
    m_cloudWait = cloudWait;
    // The service goes away while a job cuts only at a pace the test can
    // catch; elsewhere a copy takes the cutter's least time.
    const bool midJob = scenario == QLatin1String("down mid-job") || scenario == QLatin1String("restart during");
    m_cutter->cutBytesPerSecond = midJob ? 5000 : 1000000;

    if (scenario != QLatin1String("down"))
        startService(fault);
    for (int job = 0; job < jobs; ++job) {
        QProcess *host = startHost(cut);
        if (scenario == QLatin1String("down mid-job") && job == 0) {
            QVERIFY(waitUntil([&] { return cutting.match(QString::fromUtf8(host->peek(1 << 20))).hasMatch(); }, 20000));
            killService();
        } else if (scenario == QLatin1String("restart during")) {
            QVERIFY(waitUntil([&] { return cutting.match(QString::fromUtf8(host->peek(1 << 20))).hasMatch(); }, 20000));
            killService();
            startService();
        } else if (scenario == QLatin1String("kill host")) {
            // The job is over and its record on the way to a service that holds it.
            QVERIFY(waitUntil([&] { return QString::fromUtf8(host->peek(1 << 20)).contains(" 100% "); }, 20000));
            QTest::qWait(500);
            ::kill(pid_t(host->processId()), SIGKILL);
        } else if (scenario == QLatin1String("restart after")) {
            QVERIFY(waitUntil([&] { return QString::fromUtf8(host->peek(1 << 20)).contains(" 100% "); }, 20000));
            QTest::qWait(500);
            killService();
            startService();
        }
        const int status = finishHost(host);
        if (scenario == QLatin1String("kill host"))
            continue;
        const QString err = QString::fromUtf8(host->readAllStandardError());
        const QString out = QString::fromUtf8(host->readAllStandardOutput());
        QVERIFY2(status == 0, qPrintable(err));
        // The machine's work is reported done whatever the cloud does.
        QVERIFY2(out.contains("cut job complete: 1 copies"), qPrintable(out));
        if (job == 0) {
            // A failed registration is reported with its cause; so is each record's fate.
            if (cause.isEmpty())
                QVERIFY2(!err.contains("did not register"), qPrintable(err));
            else
                QVERIFY2(err.contains("did not register the device " + cause + "; 1 work record(s) of this run wait in "),
                         qPrintable(err));
            if (refused)
                QVERIFY2(out.contains("work record refused by the service (HTTP 400)"), qPrintable(out));
            else if (!cause.isEmpty() || scenario == QLatin1String("down mid-job"))
                QVERIFY2(out.contains("work record kept for later: "), qPrintable(out));
        }
    }

    // One later run of the host with the service sound.
    if (refused || scenario == QLatin1String("restart after") || scenario == QLatin1String("restart during") ||
        scenario == QLatin1String("lose creation")) {
        // Nothing to deliver later: the jobs' own runs settled every record.
    } else {
        startService();
        QProcess *later = startHost({"info"});
        QVERIFY2(finishHost(later) == 0, later->readAllStandardError().constData());
        QVERIFY(later->readAllStandardOutput().contains("work record delivered"));
    }

    QCOMPARE(state().value("device_work_records").toArray().size(), refused ? 0 : jobs);
    QProcess *outbox = startHost({"outbox", "--json"});
    QCOMPARE(finishHost(outbox), 0);
    const QJsonObject listed = QJsonDocument::fromJson(outbox->readAllStandardOutput()).object();
    QCOMPARE(listed.value("pending").toArray().size(), 0);
    QCOMPARE(listed.value("rejected").toArray().size(), refused ? jobs : 0);
    // One device, however its creation went; registered with the machine's
    // identity, and each record names it.
    QCOMPARE(state().value("devices").toArray().size(), 1);
    const QJsonObject device = state().value("devices").toArray().first().toObject();
    QCOMPARE(device.value("device_id").toString(), QStringLiteral("D24001"));
    QVERIFY(!device.value("pcb").toString().isEmpty());
    QVERIFY(!device.value("version").toString().isEmpty());
    for (const QJsonValue &r : state().value("device_work_records").toArray())
        QCOMPARE(r.toObject().value("device"), state().value("devices").toArray().first().toObject().value("id"));
}

QTEST_GUILESS_MAIN(tst_CloudFaults)
#include "tst_cloudfaults.moc"
