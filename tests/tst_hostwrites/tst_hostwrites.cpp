// Writes that could hurt the machine, and addresses that cannot reach one:
// kt-host run as a process against the virtual cutter.
#include "tools/virtual-cutter/ktvirtualcutter.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

class tst_HostWrites : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void refusedBeforeAnythingIsSent_data();
    void refusedBeforeAnythingIsSent();
    void takenWrites_data();
    void takenWrites();

private:
    struct Run
    {
        int exitCode = -1;
        QString out, err;
    };
    Run host(QStringList args);

    std::unique_ptr<KTVirtualCutter> cutter;
};

void tst_HostWrites::init()
{
    cutter = std::make_unique<KTVirtualCutter>();
    QVERIFY(cutter->listenTcp(0));
}

void tst_HostWrites::cleanup()
{
    cutter.reset();
}

// TCP stands for the cutter's address, PORT for its port.
tst_HostWrites::Run tst_HostWrites::host(QStringList args)
{
    const QString port = QString::number(cutter->tcpPort());
    if (!args.contains("--tcp"))
        args = QStringList{"--tcp", "TCP"} + args;
    args.replaceInStrings("TCP", "127.0.0.1:" + port);
    args.replaceInStrings("PORT", port);
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(KT_HOST_PATH), args);
    // The cutter lives in this event loop: never block it.
    QElapsedTimer clock;
    clock.start();
    while (p.state() != QProcess::NotRunning && clock.elapsed() < 20000)
        QTest::qWait(20);
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(2000);
        return Run();
    }
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
}

void tst_HostWrites::refusedBeforeAnythingIsSent_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("line");

    QTest::newRow("factory reset without --yes")
        << QStringList{"set", "FACTORY_SET=1"} << 2
        << "kt-host: FACTORY_SET resets every setting of the machine, its serial number included, to factory values; "
           "add --yes to send it";
    QTest::newRow("stop without --yes") << QStringList{"set", "TASK_STOP=2"} << 2
                                        << "TASK_STOP stops the running job; add --yes";
    QTest::newRow("with good values before it") << QStringList{"set", "SP2_PRESSURE=200", "BACK_FLAG_POINT=1"} << 2
                                                << "BACK_FLAG_POINT moves the tool head back to the origin";
    QTest::newRow("heartbeat 0")
        << QStringList{"set", "HEARTBEAT=0"} << 2
        << "kt-host: HEARTBEAT = 0 makes no sense for the machine: the heartbeat is 1 to 29 s (0 polls without pause, "
           "30 or more lets the silence watch drop the link); add --force to write it anyway";
    QTest::newRow("heartbeat negative") << QStringList{"set", "HEARTBEAT=-1"} << 2 << "HEARTBEAT = -1 makes no sense";
    QTest::newRow("negative copies") << QStringList{"set", "TASK_COPIES=-5"} << 2
                                     << "TASK_COPIES = -5 makes no sense for the machine: a job has at least 1 copy";
    QTest::newRow("scale 0") << QStringList{"set", "SCALE_X=0"} << 2 << "SCALE_X = 0 makes no sense for the machine: "
                                                                         "a scale of 0 shrinks every cut to a point";
    QTest::newRow("--yes is no --force") << QStringList{"--yes", "set", "TASK_STOP=5"} << 2
                                         << "the machine stops a job on 2 only; add --force";
    QTest::newRow("control bytes in a value") << QStringList{"set", "PCB_VERSION=a\x01" "b\x1b[2J"} << 2
                                              << "PCB_VERSION = a\\x01b\\x1b[2J is not allowed";
    QTest::newRow("IPv4 past 255") << QStringList{"--tcp", "256.1.1.1", "info"} << 2
                                   << "kt-host: bad address \"256.1.1.1\": not a valid IPv4 address; give HOST or "
                                      "HOST:PORT";
    QTest::newRow("empty host") << QStringList{"--tcp", ":PORT", "info"} << 2 << "bad address \":";
    QTest::newRow("bad characters") << QStringList{"--tcp", "cut ter!", "info"} << 2 << "not a valid host name";
    QTest::newRow("unclosed bracket") << QStringList{"--tcp", "[::1:PORT", "info"} << 2 << "[IPv6]:PORT";
    QTest::newRow("control bytes in an address") << QStringList{"--tcp", "a\x1b" "b", "info"} << 2
                                                 << "bad address \"a\\x1bb\"";
    QTest::newRow("IPv6 literal, nothing there") << QStringList{"--tcp", "[::1]:PORT", "info"} << 3
                                                 << "cannot connect to [::1]:";
    QTest::newRow("name not found") << QStringList{"--tcp", "nosuchhost.invalid", "info"} << 3
                                    << "kt-host: cannot connect to nosuchhost.invalid: host name not found";
}

// Refused: one line, the documented status, no byte to the machine.
void tst_HostWrites::refusedBeforeAnythingIsSent()
{
    QFETCH(QStringList, args);
    const auto cmd = cutter->cmdRegisters();
    const auto ccmd = cutter->ccmdRegisters();
    QSignalSpy connected(cutter.get(), &KTVirtualCutter::clientConnected);
    const Run r = host(args);
    QTEST(r.exitCode, "exitCode");
    QFETCH(QString, line);
    QVERIFY2(r.err.contains(line), qPrintable(r.err));
    QCOMPARE(r.err.count(QStringLiteral("kt-host: ")), 1);
    for (const QChar c : r.err)
        QVERIFY2(c.isPrint() || c == '\n', qPrintable(r.err.toUtf8().toHex()));
    QCOMPARE(connected.count(), 0);
    QCOMPARE(cutter->framesReceived().size(), 0);
    QCOMPARE(cutter->cmdRegisters(), cmd);
    QCOMPARE(cutter->ccmdRegisters(), ccmd);
}

void tst_HostWrites::takenWrites_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("out");
    QTest::addColumn<int>("reg");        // CMD register written, or CCMD code when negative
    QTest::addColumn<QString>("held");   // what it holds afterwards

    QTest::newRow("rounded by the factor")
        << QStringList{"set", "SP2_SPEED=10"} << "SP2_SPEED = 10 mm/s: set to 9 mm/s (nearest the machine takes)" << 3
        << "6";
    QTest::newRow("rounded to the offset step")
        << QStringList{"set", "CAMERA_OFFSET_X=1.0037"}
        << "CAMERA_OFFSET_X = 1.0037 mm: set to 1.005 mm (nearest the machine takes)" << 11 << "201";
    QTest::newRow("shown as typed") << QStringList{"set", "SP2_SPEED=975"} << "SP2_SPEED = 975 mm/s: ok" << 3 << "650";
    QTest::newRow("factory reset with --yes") << QStringList{"--yes", "set", "FACTORY_SET=1"}
                                              << "FACTORY_SET = 1: sent (not verifiable)" << 4 << "120";
    QTest::newRow("heartbeat 0 with --force") << QStringList{"--force", "set", "HEARTBEAT=0"} << "HEARTBEAT = 0 s: ok"
                                              << -1010 << "0";
    QTest::newRow("scale 0 with --force") << QStringList{"--force", "--raw", "set", "SCALE_X=0"} << "SCALE_X = 0: ok"
                                          << 24 << "0";
    QTest::newRow("a name that resolves") << QStringList{"--tcp", "localhost:PORT", "set", "SP2_PRESSURE=200"}
                                          << "SP2_PRESSURE = 200 gf: ok" << 4 << "200";
}

void tst_HostWrites::takenWrites()
{
    QFETCH(int, reg);
    cutter->setCmdRegister(4, 333);   // the factory reset gives it back its 120
    QFETCH(QStringList, args);
    const Run r = host(args);
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QFETCH(QString, out);
    QVERIFY2(r.out.contains(out + "\n"), qPrintable(r.out));
    QFETCH(QString, held);
    QCOMPARE(reg < 0 ? cutter->ccmdRegister(-reg) : QString::number(cutter->cmdRegister(reg)), held);
}

QTEST_MAIN(tst_HostWrites)
#include "tst_hostwrites.moc"
