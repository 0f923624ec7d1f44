// Faults a user meets while kt-host runs a job or watches the machine, with
// kt-host, kt-virtual-cutter and kt-cloud-service as processes: another
// host's job in place of ours, a machine that freezes with the link up, a
// machine gone silent under watch, the terminal closed, control bytes from
// the machine.
#include "property/ktframe.h"
#include "tests/support/kttestsupport.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>

namespace {

const QString Sheet = QStringLiteral(KT_SOURCE_DIR "/examples/labels-a5.plt");   // 3534 bytes
// kt-host's --timeout: how long a frozen machine goes unnoticed.
const int Timeout = 1;
// Copies of the job that another host, a stop or a signal cuts short: it
// must still run when that comes, however slowly the processes start.
const QString LongJob = QStringLiteral("50");

using KTTestSupport::waitUntil;

QString seen(QProcess *p)
{
    return QString::fromUtf8(p->peek(1 << 20));
}

int finish(QProcess *p)
{
    waitUntil([p] { return p->state() == QProcess::NotRunning; }, 60000);
    return p->state() == QProcess::NotRunning && p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1;
}

} // namespace

class tst_HostJobFaults : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void faults_data();
    void faults();

private:
    QProcess *start(const QString &program, const QStringList &args);
    QString startCutter(const QStringList &options, const QString &link);
    QString startPeer();

    std::unique_ptr<QTemporaryDir> m_dir;
    QList<QProcess *> m_processes;
    QTcpServer m_peer;
};

void tst_HostJobFaults::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
}

void tst_HostJobFaults::cleanup()
{
    for (QProcess *p : m_processes) {
        p->kill();
        p->waitForFinished(2000);
        delete p;
    }
    m_processes.clear();
    m_peer.close();
}

QProcess *tst_HostJobFaults::start(const QString &program, const QStringList &args)
{
    auto *p = new QProcess;
    m_processes << p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", m_dir->filePath("data"));
    p->setProcessEnvironment(env);
    p->start(program, args);
    return p;
}

// The cutter's address for kt-host: --tcp 127.0.0.1:PORT or --usb PTY.
QString tst_HostJobFaults::startCutter(const QStringList &options, const QString &link)
{
    QProcess *cutter = start(KT_CUTTER_PATH, QStringList{"--port", "0"} + options);
    const QRegularExpression address(link == "--usb" ? "PTY (\\S+)\n" : "TCP (\\S+)\n");
    if (!waitUntil([&] { return address.match(seen(cutter)).hasMatch(); }, 10000))
        return QString();
    return address.match(seen(cutter)).captured(1);
}

// A machine of the test's own whose reports carry control bytes in the file
// name and in a QR code. It answers the first heartbeat, once the watch runs.
QString tst_HostJobFaults::startPeer()
{
    m_peer.listen(QHostAddress::LocalHost, 0);
    connect(&m_peer, &QTcpServer::newConnection, this, [this] {
        QTcpSocket *s = m_peer.nextPendingConnection();
        connect(s, &QTcpSocket::readyRead, s, [s] {
            s->readAll();
            s->write(KTFrame::pack(QStringLiteral("66,2,a\x1b[2Jb\x07.plt,1,0,5.0,0,0,0;"), QStringLiteral("CCMD")));
            s->write(KTFrame::pack(QStringLiteral("55,0,Q\x01R;"), QStringLiteral("CCMD")));
        });
    });
    return QStringLiteral("127.0.0.1:%1").arg(m_peer.serverPort());
}

void tst_HostJobFaults::faults_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("link");       // --tcp or --usb
    QTest::addColumn<bool>("cloud");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("line");       // printed by the host that met the fault

    const QString replaced = "job replaced or aborted by someone else: the machine runs job2.plt in place of job1.plt";
    const QString stalled = QStringLiteral("no task report for %1 s; stop sent to the machine, which did not confirm it")
                                .arg(Timeout);
    QTest::newRow("job replaced by another host") << "replaced" << "--tcp" << false << 3 << replaced;
    QTest::newRow("job replaced, with the cloud") << "replaced" << "--tcp" << true << 3 << replaced;
    QTest::newRow("job stopped by another host") << "aborted" << "--tcp" << false << 3
                                                 << "job replaced or aborted by someone else: the machine ended job1.plt at ";
    QTest::newRow("machine frozen, TCP") << "stall" << "--tcp" << false << 3 << stalled;
    QTest::newRow("machine frozen, pty") << "stall" << "--usb" << false << 3 << stalled;
    QTest::newRow("watch: machine silent") << "watch silent" << "--tcp" << false << 130
                                           << "status: no answer from the machine for ";
    QTest::newRow("watch: task lines") << "watch job" << "--tcp" << false << 130
                                       << "task: working job1.plt  copies 0/1  ";
    QTest::newRow("SIGHUP during a job") << "hangup" << "--tcp" << false << 130
                                         << "interrupted: stop sent to the machine, which confirmed it";
    QTest::newRow("control bytes from the machine") << "control bytes" << "--tcp" << false << 130
                                                    << "task: working a\\x1b[2Jb\\x07.plt  copies 0/1  5%";
    QTest::newRow("control byte in a refused value") << "refused value" << "--tcp" << false << 2 << "9\\x07";
}

void tst_HostJobFaults::faults()
{
    QFETCH(QString, scenario);
    QFETCH(QString, link);
    QFETCH(bool, cloud);
    QFETCH(int, exitCode);
    QFETCH(QString, line);
    // The watch hears of a silent machine no sooner than a heartbeat answer
    // was due, about 3 s: a shorter --timeout gains nothing there.
    const int timeout = scenario == "watch silent" ? 3 : Timeout;

    QString bases;
    if (cloud) {
        auto *service = new QProcess;
        m_processes << service;
        const KTTestSupport::CloudService started = KTTestSupport::startCloudService(
            *service, KT_CLOUD_SERVICE_PATH, {"--state", m_dir->filePath("state.json")});
        QVERIFY(started.listening());
        bases = started.bases();
    }
    QStringList cutterOptions{"--speed", "10000"};   // about 0.35 s a copy of the sheet
    if (scenario == "stall")
        cutterOptions << "--stall-at" << "20";
    if (link == "--usb")
        cutterOptions << "--pty";
    if (scenario == "watch silent")
        cutterOptions << "--silent";
    const QString where = scenario == "control bytes" ? startPeer() : startCutter(cutterOptions, link);
    QVERIFY(!where.isEmpty());
    auto host = [&](const QStringList &command) {
        QStringList args{link, where, "--timeout", QString::number(timeout)};
        if (cloud)
            args << "--cloud" << bases << "--code" << "KT0A1ZJOBS";
        return start(KT_HOST_PATH, args + command);
    };

    QProcess *faulty = nullptr;   // the host that meets the fault
    QElapsedTimer sinceFault;
    if (scenario == "replaced" || scenario == "aborted") {
        faulty = host({"cut", Sheet, "--copies", LongJob});
        QVERIFY(waitUntil([&] { return seen(faulty).contains("job1.plt"); }, 20000));
        QProcess *other = host(scenario == "aborted" ? QStringList{"set", "TASK_STOP=2", "--yes"} : QStringList{"cut", Sheet});
        QCOMPARE(finish(other), 0);
        if (scenario == "replaced")
            QVERIFY(other->readAllStandardOutput().contains("cut job complete: 1 copies"));
    } else if (scenario == "stall") {
        QProcess *cutter = m_processes.last();
        faulty = host({"cut", Sheet});
        QVERIFY(waitUntil([&] { return seen(cutter).contains("job stalled"); }, 20000));
        sinceFault.start();
    } else if (scenario == "refused value") {
        faulty = host({"set", "SP2_SPEED=9\x07"});
    } else if (scenario == "hangup") {
        faulty = host({"cut", Sheet, "--copies", LongJob});
        QVERIFY(waitUntil([&] { return seen(faulty).contains("job1.plt"); }, 20000));
        ::kill(pid_t(faulty->processId()), SIGHUP);
    } else {
        faulty = host({"watch"});
        QVERIFY(waitUntil([&] { return seen(faulty).contains("status: TCP CONNECTED."); }, 10000));
        sinceFault.start();
        if (scenario == "watch job")
            host({"cut", Sheet});
        // watch goes on until it is told to stop, even with a silent machine.
        QVERIFY2(waitUntil([&] { return seen(faulty).contains(line); }, 20000), qPrintable(seen(faulty)));
        if (scenario == "watch silent")
            QVERIFY(sinceFault.elapsed() < (timeout + 3) * 1000);
        QCOMPARE(faulty->state(), QProcess::Running);
        ::kill(pid_t(faulty->processId()), scenario == "watch silent" ? SIGTERM : SIGHUP);
    }

    QCOMPARE(finish(faulty), exitCode);
    if (scenario == "stall")
        QVERIFY2(sinceFault.elapsed() < (timeout + 3) * 1000, qPrintable(QString::number(sinceFault.elapsed())));
    const QByteArray out = faulty->readAllStandardOutput();
    const QString err = QString::fromUtf8(faulty->readAllStandardError());
    QVERIFY2(QString::fromUtf8(out + err.toUtf8()).contains(line), qPrintable(out + err.toUtf8()));
    QCOMPARE(err.count("kt-host: "), 1);   // one clear line
    QVERIFY(!out.contains("complete"));
    if (scenario == "control bytes")
        QVERIFY(out.contains("qrcode: Q\\x01R"));
    for (char control : {'\x01', '\x07', '\x1b'})
        QVERIFY(!out.contains(control) && !err.contains(QLatin1Char(control)));
    if (cloud) {
        // The job that finished has its record; the one replaced has none.
        QFile state(m_dir->filePath("state.json"));
        QVERIFY(state.open(QIODevice::ReadOnly));
        const QJsonArray records = QJsonDocument::fromJson(state.readAll()).object().value("device_work_records").toArray();
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.first().toObject().value("finish_copies").toInt(), 1);
    }
}

QTEST_GUILESS_MAIN(tst_HostJobFaults)
#include "tst_hostjobfaults.moc"
