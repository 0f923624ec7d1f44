// Writes that could hurt the machine, and addresses that cannot reach one:
// kt-host run as a process against the virtual cutter.
#include "tools/virtual-cutter/ktvirtualcutter.h"

#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

class tst_HostWrites : public QObject
{
    Q_OBJECT
private slots:
    void writes_data();
    void writes();
};

void tst_HostWrites::writes_data()
{
    QTest::addColumn<QStringList>("args");   // PORT stands for the cutter's port
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("line");       // on standard error when refused, else on standard output
    QTest::addColumn<int>("reg");            // CMD register written (CCMD code when negative); 0 for none
    QTest::addColumn<QString>("held");       // what it holds afterwards

    // Refused: nothing is connected, nothing sent.
    QTest::newRow("factory reset without --yes")
        << QStringList{"set", "FACTORY_SET=1"} << 2
        << "kt-host: FACTORY_SET resets every setting of the machine, its serial number included, to factory values; "
           "add --yes to send it" << 0 << "";
    QTest::newRow("after good values") << QStringList{"set", "SP2_PRESSURE=200", "BACK_FLAG_POINT=1"} << 2
                                       << "BACK_FLAG_POINT moves the tool head back to the origin" << 0 << "";
    QTest::newRow("heartbeat 0")
        << QStringList{"set", "HEARTBEAT=0"} << 2
        << "kt-host: HEARTBEAT = 0 makes no sense for the machine: the heartbeat is 1 to 29 s (0 polls without pause, "
           "30 or more lets the silence watch drop the link); add --force to write it anyway" << 0 << "";
    QTest::newRow("negative copies") << QStringList{"set", "TASK_COPIES=-5"} << 2
                                     << "TASK_COPIES = -5 makes no sense for the machine: a job has at least 1 copy"
                                     << 0 << "";
    QTest::newRow("scale 0") << QStringList{"set", "SCALE_X=0"} << 2
                             << "SCALE_X = 0 makes no sense for the machine: a scale of 0" << 0 << "";
    QTest::newRow("--yes is no --force") << QStringList{"--yes", "set", "TASK_STOP=5"} << 2
                                         << "the machine stops a job on 2 only; add --force" << 0 << "";
    QTest::newRow("control bytes in a value") << QStringList{"set", "PCB_VERSION=a\x01" "b\x1b[2J"} << 2
                                              << "PCB_VERSION = a\\x01b\\x1b[2J is not allowed" << 0 << "";
    QTest::newRow("IPv4 past 255") << QStringList{"--tcp", "256.1.1.1", "info"} << 2
                                   << "kt-host: bad address \"256.1.1.1\": not a valid IPv4 address; give HOST or "
                                      "HOST:PORT" << 0 << "";
    QTest::newRow("bad characters") << QStringList{"--tcp", "cut ter!", "info"} << 2 << "not a valid host name" << 0
                                    << "";
    QTest::newRow("unclosed bracket") << QStringList{"--tcp", "[::1:PORT", "info"} << 2 << "[IPv6]:PORT" << 0 << "";
    QTest::newRow("control bytes in an address") << QStringList{"--tcp", "a\x1b" "b", "info"} << 2
                                                 << "bad address \"a\\x1bb\"" << 0 << "";
    QTest::newRow("IPv6 literal, nothing there") << QStringList{"--tcp", "[::1]:PORT", "info"} << 3
                                                 << "cannot connect to [::1]:" << 0 << "";
    QTest::newRow("name not found") << QStringList{"--tcp", "nosuchhost.invalid", "info"} << 3
                                    << "kt-host: cannot connect to nosuchhost.invalid: host name not found" << 0 << "";
    // Taken.
    QTest::newRow("rounded by the factor")
        << QStringList{"set", "SP2_SPEED=10"} << 0 << "SP2_SPEED = 10 mm/s: set to 9 mm/s (nearest the machine takes)"
        << 3 << "6";
    QTest::newRow("rounded to the offset step")
        << QStringList{"set", "CAMERA_OFFSET_X=1.0037"} << 0
        << "CAMERA_OFFSET_X = 1.0037 mm: set to 1.005 mm (nearest the machine takes)" << 11 << "201";
    QTest::newRow("factory reset with --yes") << QStringList{"--yes", "set", "FACTORY_SET=1"} << 0
                                              << "FACTORY_SET = 1: sent (not verifiable)" << 4 << "120";
    QTest::newRow("heartbeat 0 with --force") << QStringList{"--force", "set", "HEARTBEAT=0"} << 0
                                              << "HEARTBEAT = 0 s: ok" << -1010 << "0";
    QTest::newRow("a name that resolves") << QStringList{"--tcp", "localhost:PORT", "set", "SP2_PRESSURE=200"} << 0
                                          << "SP2_PRESSURE = 200 gf: ok" << 4 << "200";
}

void tst_HostWrites::writes()
{
    QFETCH(QStringList, args);
    QFETCH(int, reg);
    KTVirtualCutter cutter;
    QVERIFY(cutter.listenTcp(0));
    cutter.setCmdRegister(4, 333);   // a factory reset gives it back its 120
    const auto cmd = cutter.cmdRegisters();
    const auto ccmd = cutter.ccmdRegisters();
    QSignalSpy connected(&cutter, &KTVirtualCutter::clientConnected);

    const QString port = QString::number(cutter.tcpPort());
    if (!args.contains("--tcp"))
        args = QStringList{"--tcp", "127.0.0.1:PORT"} + args;
    QProcess p;
    p.start(QStringLiteral(KT_HOST_PATH), args.replaceInStrings("PORT", port));
    QTRY_VERIFY_WITH_TIMEOUT(p.state() == QProcess::NotRunning, 20000);   // the cutter lives in this event loop
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QTEST(p.exitCode(), "exitCode");
    QFETCH(QString, line);
    QFETCH(QString, held);
    if (reg == 0) {
        QVERIFY2(err.contains(line), qPrintable(err));
        QCOMPARE(err.count(QStringLiteral("kt-host: ")), 1);
        for (const QChar c : err)
            QVERIFY2(c.isPrint() || c == '\n', qPrintable(err.toUtf8().toHex()));
        QCOMPARE(connected.count(), 0);
        QCOMPARE(cutter.framesReceived().size(), 0);
        QCOMPARE(cutter.cmdRegisters(), cmd);
        QCOMPARE(cutter.ccmdRegisters(), ccmd);
    } else {
        QVERIFY2(out.contains(line + "\n"), qPrintable(out + err));
        QCOMPARE(reg < 0 ? cutter.ccmdRegister(-reg) : QString::number(cutter.cmdRegister(reg)), held);
    }
}

QTEST_MAIN(tst_HostWrites)
#include "tst_hostwrites.moc"
