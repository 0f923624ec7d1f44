// Runs the built kt-host as a process against the virtual cutter and the
// local cloud service, as a host developer would.
#include "tools/cloud-service/ktcloudservice.h"
#include "tests/support/kttestsupport.h"
#include "tools/virtual-cutter/ktvirtualcutter.h"
#include "platform/usbchannel/usbchannel.h"

#include <QDateTime>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QJsonArray>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <pty.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

} // namespace

class tst_KTHost : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void cutJobReportsProgressAndWorkRecord();
    void setThenGet();
    void errors_data();
    void errors();
    void interruptEndsEveryWait_data();
    void interruptEndsEveryWait();
    void textCommandsNeedNoDisplay_data();
    void textCommandsNeedNoDisplay();
    void machineVanishesMidJob();
    void silentMachineTimesOut();
    void interruptStopsTheMachine();
    void settingsWindow();
    void silentMachineWindowExits3();
    void refusedValuesSendNothing_data();
    void refusedValuesSendNothing();
    void displayValuesRoundTrip();
    void clampedWriteIsReported();
    void refusedWriteIsReported();
    void keysListsEveryKey();
    void backupChangeRestore();
    void restoreRefusesAnotherModel();
    void backupAndDiffOverThePty();
    void restoreAsksOnATerminal_data();
    void restoreAsksOnATerminal();
    void usbReasons_data();
    void usbReasons();
    void baudReachesTheLine_data();
    void baudReachesTheLine();

private:
    QProcess *start(const QStringList &args, bool display = true);
    Run finish(QProcess *p, int timeoutMs = 20000);
    Run host(const QStringList &args) { return finish(start(args)); }
    QString tcp() const { return QStringLiteral("127.0.0.1:%1").arg(cutter->tcpPort()); }

    std::unique_ptr<KTVirtualCutter> cutter;
    std::unique_ptr<KTCloudService> cloud;
    QList<QProcess *> processes;
};

void tst_KTHost::init()
{
    cutter = std::make_unique<KTVirtualCutter>();
    cutter->reportIntervalMs = 30;
    cutter->cutBytesPerSecond = 20000;
    QVERIFY(cutter->listenTcp(0));
    cloud = std::make_unique<KTCloudService>();
    QVERIFY(cloud->listen());
}

void tst_KTHost::cleanup()
{
    for (QProcess *p : processes) {
        p->kill();
        p->waitForFinished(2000);
        delete p;
    }
    processes.clear();
    cutter.reset();
    cloud.reset();
}

QProcess *tst_KTHost::start(const QStringList &args, bool display)
{
    auto *p = new QProcess;
    processes << p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (display) {
        env.insert("QT_QPA_PLATFORM", "offscreen");
    } else {
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(name);
    }
    p->setProcessEnvironment(env);
    p->start(QStringLiteral(KT_HOST_PATH), args);
    return p;
}

Run tst_KTHost::finish(QProcess *p, int timeoutMs)
{
    // The cutter and the service live in this event loop: never block it.
    KTTestSupport::waitUntil([p] { return p->state() == QProcess::NotRunning; }, timeoutMs);
    Run r;
    r.exitCode = p->state() == QProcess::NotRunning ? p->exitCode() : -1;
    r.out = QString::fromUtf8(p->readAllStandardOutput());
    r.err = QString::fromUtf8(p->readAllStandardError());
    return r;
}

void tst_KTHost::cutJobReportsProgressAndWorkRecord()
{
    const Run r = host({"--tcp", tcp(), "--cloud", cloud->restBase() + "," + cloud->wsBase(), "--code", "KT0A1ZTEST",
                        "cut", KT_SOURCE_DIR "/examples/labels-a5.plt", "--copies", "2"});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QVERIFY(r.out.contains(" 100% "));
    QVERIFY(r.out.contains("copies 2/2"));
    QVERIFY(r.out.contains("cut job complete: 2 copies"));
    // Not a terminal: progress comes as a few whole lines, not one redrawn bar.
    QVERIFY(!r.out.contains('\r'));
    const int lines = r.out.count('\n');
    QVERIFY2(lines >= 4 && lines <= 30, qPrintable(r.out));
    QTRY_COMPARE(cloud->workRecords().size(), 1);
    const QJsonObject record = cloud->workRecords().first().toObject();
    QCOMPARE(record.value("finish_copies").toInt(), 2);
    QCOMPARE(record.value("task_copies").toInt(), 2);
    QVERIFY(record.value("path_length").toInt() > 1000);   // mm of cut path on the sheet
    QCOMPARE(record.value("device"), cloud->devices().first().toObject().value("id"));
    QVERIFY(cutter->lastCutData().startsWith("IN;SP1;"));
}

void tst_KTHost::setThenGet()
{
    Run r = host({"--tcp", tcp(), "--raw", "set", "SP2_SPEED=640", "CAMERA_OFFSET_X=70000", "DEVICE_ID=SN-9"});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QVERIFY2(r.out.contains("SP2_SPEED = 640: ok"), qPrintable(r.out));
    QVERIFY(r.out.contains("DEVICE_ID = SN-9: ok"));   // read back through DEVICE_INFO
    QCOMPARE(cutter->cmdRegister(3), 640);
    QCOMPARE(cutter->cmdRegister(12), 1);

    cutter->setCmdRegister(3, 611);   // changed on the machine's panel
    r = host({"--tcp", tcp(), "get", "SP2_SPEED", "CAMERA_OFFSET_X", "DEVICE_INFO"});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QVERIFY(r.out.contains("SP2_SPEED = 916 mm/s"));
    QVERIFY(r.out.contains("CAMERA_OFFSET_X = 350.000 mm"));
    QVERIFY(r.out.contains("DEVICE_ID = SN-9"));
}

void tst_KTHost::errors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    // Usage errors: nothing is connected, one line, status 2.
    QTest::newRow("unknown key") << QStringList{"get", "NOPE"} << 2 << "unknown key NOPE; the machine has: STATUS";
    QTest::newRow("wrong type") << QStringList{"set", "SP2_SPEED=fast"} << 2
                                << "SP2_SPEED = fast is not allowed: a whole number from 10 to 1050 mm/s";
    QTest::newRow("not readable") << QStringList{"get", "TASK_STOP"} << 2 << "TASK_STOP: it cannot be read";
    QTest::newRow("not writable") << QStringList{"set", "DEVICE_UNIQUE_ID=1"} << 2
                                  << "DEVICE_UNIQUE_ID cannot be written";
    QTest::newRow("not a backup") << QStringList{"restore", KT_SOURCE_DIR "/README.md"} << 2
                                  << "README.md is not a kt-host backup";
    QTest::newRow("unknown command") << QStringList{"fly"} << 2 << "unknown command fly";
    QTest::newRow("no command") << QStringList{} << 2 << "no command; see --help";
    QTest::newRow("missing file") << QStringList{"cut", "/nonexistent.plt"} << 2 << "cannot read /nonexistent.plt";
    QTest::newRow("unknown option") << QStringList{"--fast", "info"} << 2 << "Unknown option 'fast'; see --help";
    QTest::newRow("tcp and usb") << QStringList{"--tcp", "TCPADDR", "--usb", "/dev/null", "info"} << 2 << "--tcp and --usb name two machines";
    QTest::newRow("no machine") << QStringList{"--tcp", "", "info"} << 2 << "bad address \"\"";
    QTest::newRow("bad port") << QStringList{"--tcp", "127.0.0.1:99999", "info"} << 2 << "bad port in \"127.0.0.1:99999\"";
    QTest::newRow("port not a number") << QStringList{"--tcp", "127.0.0.1:x", "info"} << 2 << "bad port";
    QTest::newRow("timeout zero") << QStringList{"--timeout", "0", "info"} << 2 << "--timeout takes seconds above 0, not \"0\"";
    QTest::newRow("timeout negative") << QStringList{"--timeout", "-3", "info"} << 2 << "not \"-3\"";
    QTest::newRow("timeout text") << QStringList{"--timeout", "abc", "info"} << 2 << "not \"abc\"";
    QTest::newRow("timeout nan") << QStringList{"--timeout", "nan", "info"} << 2 << "not \"nan\"";
    QTest::newRow("copies zero") << QStringList{"--copies", "0", "qr"} << 2 << "--copies takes a whole number";
    QTest::newRow("code alone") << QStringList{"--code", "K1", "info"} << 2 << "--cloud and --code go together";
    QTest::newRow("cloud alone") << QStringList{"--cloud", "http://a/,ws://a/", "info"} << 2 << "--cloud and --code go together";
    QTest::newRow("cloud one base") << QStringList{"--cloud", "http://a/", "--code", "K1", "info"} << 2
                                    << "--cloud takes REST_BASE,WS_BASE";
    QTest::newRow("missing plug-in") << QStringList{"--plugin", "/nope.so", "info"} << 2 << "cannot load the plug-in /nope.so";
    QTest::newRow("jog words") << QStringList{"jog", "left", "1"} << 2 << "jog takes two whole numbers";
    QTest::newRow("jog one number") << QStringList{"jog", "-1"} << 2 << "jog DX DY: wrong number of arguments";
    QTest::newRow("screenshot elsewhere") << QStringList{"--screenshot", "/tmp/x.png", "info"} << 2
                                          << "--screenshot belongs to the settings command";
    // The machine cannot be reached or does not answer: status 3.
    QTest::newRow("unreachable") << QStringList{"--tcp", "CLOSED", "info"} << 3 << "cannot connect to 127.0.0.1:";
    QTest::newRow("no such usb device") << QStringList{"--usb", "/nonexistent/ttyACM9", "info"} << 3
                                        << "cannot connect to /nonexistent/ttyACM9";
    QTest::newRow("silent machine") << QStringList{"SILENT", "--timeout", "0.3", "get", "SP2_SPEED"} << 3
                                    << "SP2_SPEED: no reply within 0.3 s";
    QTest::newRow("silent machine, jog") << QStringList{"SILENT", "--timeout", "0.3", "jog", "1", "-1"} << 3
                                         << "jog: no reply within 0.3 s";
}

void tst_KTHost::errors()
{
    QFETCH(QStringList, args);
    if (args.removeAll("SILENT"))
        cutter->faults.silent = true;
    if (args.contains("TCPADDR"))
        args.replace(args.indexOf("TCPADDR"), tcp());
    else if (!args.contains("--tcp") && !args.contains("--usb") && !args.isEmpty())
        args = QStringList{"--tcp", tcp()} + args;
    if (args.contains("CLOSED")) {   // a port nothing listens on any more
        QTcpServer gone;
        QVERIFY(gone.listen(QHostAddress::LocalHost, 0));
        args.replace(args.indexOf("CLOSED"), QStringLiteral("127.0.0.1:%1").arg(gone.serverPort()));
    }
    const Run r = host(args);
    QTEST(r.exitCode, "exitCode");
    QFETCH(QString, message);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QCOMPARE(r.err.count(QStringLiteral("kt-host: ")), 1);   // one clear line
}

void tst_KTHost::interruptEndsEveryWait_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("wait");   // what shows the host is waiting

    QTest::newRow("reading a silent machine") << QStringList{"get", "SP2_SPEED"} << "silent read";
    QTest::newRow("info from a silent machine") << QStringList{"info"} << "silent read";
    QTest::newRow("watching") << QStringList{"watch"} << "connected";
    QTest::newRow("cloud after the command") << QStringList{"CLOUD", "info"} << "cloud request";
    QTest::newRow("QR job") << QStringList{"qr", "--copies", "50"} << "job";
}

// Ctrl-C ends any wait at once with status 130, whatever --timeout says.
void tst_KTHost::interruptEndsEveryWait()
{
    QFETCH(QStringList, args);
    QFETCH(QString, wait);
    if (wait == "silent read")
        cutter->faults.silent = true;
    if (args.removeAll("CLOUD")) {
        cloud->setFault(KTCloudService::Hang);
        args = QStringList{"--cloud", cloud->restBase() + "," + cloud->wsBase(), "--code", "K1", "--cloud-wait", "30"}
               + args;
    }
    cutter->reportIntervalMs = 200;
    QProcess *p = start(QStringList{"--tcp", tcp(), "--timeout", "30"} + args);
    if (wait == "cloud request")   // the command is done and the host waits for the cloud
        QTRY_VERIFY_WITH_TIMEOUT(!cloud->requests().isEmpty() && p->peek(1 << 20).contains("Firmware"), 10000);
    else if (wait == "job")
        QTRY_VERIFY_WITH_TIMEOUT(cutter->jobRunning(), 10000);
    else
        QTRY_COMPARE_WITH_TIMEOUT(cutter->connectionCount(), 1, 10000);
    QTest::qWait(200);
    ::kill(pid_t(p->processId()), SIGINT);
    const Run r = finish(p, 5000);
    QCOMPARE(r.exitCode, 130);
    QCOMPARE(r.err.count(QStringLiteral("kt-host: ")), 1);
    QVERIFY2(r.err.contains("interrupted"), qPrintable(r.err));
    if (wait == "cloud request")
        QVERIFY2(r.err.contains("while waiting for the cloud service"), qPrintable(r.err));
}

void tst_KTHost::textCommandsNeedNoDisplay_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");

    QTest::newRow("help") << QStringList{"--help"} << 0 << "Exit status:";
    QTest::newRow("version") << QStringList{"--version"} << 0 << "kt-host 1.";
    QTest::newRow("info") << QStringList{"TCP", "info"} << 0 << "Firmware version";
    QTest::newRow("jog with a negative step") << QStringList{"TCP", "jog", "1", "-1"} << 0 << "jogged X + Y -";
    QTest::newRow("window without a display") << QStringList{"TCP", "settings"} << 2 << "there is no display";
}

void tst_KTHost::textCommandsNeedNoDisplay()
{
    QFETCH(QStringList, args);
    if (args.removeAll("TCP"))
        args = QStringList{"--tcp", tcp()} + args;
    const Run r = finish(start(args, false));
    QTEST(r.exitCode, "exitCode");
    QFETCH(QString, output);
    QVERIFY2((r.out + r.err).contains(output), qPrintable(r.out + r.err));
}

void tst_KTHost::machineVanishesMidJob()
{
    cutter->faults.dropAtPercent = 30;
    const Run r = host({"--tcp", tcp(), "cut", KT_SOURCE_DIR "/examples/labels-a5.plt", "--copies", "2"});
    QCOMPARE(r.exitCode, 3);
    QVERIFY2(r.err.contains("link lost during the job (TCP DISCONNECTED.)"), qPrintable(r.err));
}

void tst_KTHost::silentMachineTimesOut()
{
    cutter->faults.silent = true;
    const Run r = host({"--tcp", tcp(), "--timeout", "0.3", "get", "SP2_SPEED"});
    QCOMPARE(r.exitCode, 3);
    QVERIFY2(r.err.contains("SP2_SPEED: no reply within 0.3 s"), qPrintable(r.err));
}

void tst_KTHost::interruptStopsTheMachine()
{
    cutter->cutBytesPerSecond = 500;
    QProcess *p = start({"--tcp", tcp(), "cut", KT_SOURCE_DIR "/examples/labels-a5.plt"});
    QTRY_VERIFY_WITH_TIMEOUT(cutter->jobRunning(), 10000);
    ::kill(pid_t(p->processId()), SIGINT);
    const Run r = finish(p);
    QCOMPARE(r.exitCode, 130);
    QVERIFY(r.err.contains("interrupted: stop sent to the machine"));
    QTRY_VERIFY(!cutter->jobRunning());
    bool stopSent = false;
    for (const QByteArray &f : cutter->framesReceived())
        stopSent |= f.contains(";CMD;SET125:2;");
    QVERIFY(stopSent);
}

void tst_KTHost::settingsWindow()
{
    cutter->setCmdRegister(3, 444);
    cutter->setCcmdRegister(57, "UID-77");
    QTemporaryDir dir;
    const QString png = dir.filePath("settings.png");
    const Run r = host({"--tcp", tcp(), "settings", "--screenshot", png});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    const QImage image(png);
    QVERIFY(!image.isNull());
    QVERIFY(image.width() > 300 && image.height() > 200);

    QMap<QString, QStringList> rows;
    for (const QString &line : r.out.split('\n', Qt::SkipEmptyParts))
        rows.insert(line.section(' ', 0, 0), line.split(' '));
    QCOMPARE(rows.size(), 18);
    for (auto it = rows.begin(); it != rows.end(); ++it) {
        if (it.key() != "DEVICE_INFO")   // read through its members' controls
            QVERIFY2(it.value().value(1) != "none", qPrintable(it.key()));
    }
    // The same value get prints: what the control shows, with its unit.
    QCOMPARE(rows.value("SP2_SPEED").mid(1), (QStringList{"QSpinBox", "666", "mm/s"}));
    QCOMPARE(rows.value("DEVICE_UNIQUE_ID").value(2), QStringLiteral("UID-77"));
    QCOMPARE(rows.value("FIRMWARE").mid(1), (QStringList{"QLabel", "1.0.8"}));   // read-only: no editor
    QCOMPARE(rows.value("DEVICE_ID").value(1), QStringLiteral("QLineEdit"));
    // Opening and reading wrote nothing.
    for (const QByteArray &f : cutter->framesReceived())
        QVERIFY2(!f.contains("SET") && !f.contains(','), f.constData());
}

void tst_KTHost::silentMachineWindowExits3()
{
    cutter->faults.silent = true;
    QTemporaryDir dir;
    const Run r = host({"--tcp", tcp(), "--timeout", "0.5", "settings", "--screenshot", dir.filePath("s.png")});
    QCOMPARE(r.exitCode, 3);
    QVERIFY2(r.err.contains("the machine did not answer"), qPrintable(r.err));
    QCOMPARE(r.err.count(QStringLiteral("kt-host: ")), 1);
}

void tst_KTHost::refusedValuesSendNothing_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("past 16 bits") << QStringList{"set", "SP2_SPEED=99999"}
                                  << "SP2_SPEED = 99999 is not allowed: a whole number from 10 to 1050 mm/s";
    QTest::newRow("below the control") << QStringList{"set", "SP2_SPEED=0"} << "SP2_SPEED = 0 is not allowed";
    QTest::newRow("raw above the control") << QStringList{"--raw", "set", "SP2_SPEED=701"}
                                           << "SP2_SPEED = 701 is not allowed: a whole number from 6 to 700";
    QTest::newRow("wrong type") << QStringList{"set", "PAGE_SPACE=wide"} << "PAGE_SPACE = wide is not allowed";
    QTest::newRow("no such item") << QStringList{"set", "FEED_SPEED=warp"} << "FEED_SPEED = warp is not allowed: one of";
    QTest::newRow("item separator") << QStringList{"set", "DEVICE_ID=a,b"} << "DEVICE_ID = a,b is not allowed";
    QTest::newRow("field separator") << QStringList{"set", "PCB_ID=a;b"} << "PCB_ID = a;b is not allowed";
    QTest::newRow("control byte") << QStringList{"set", "PCB_VERSION=a\x02" "b"} << "PCB_VERSION = a";
    QTest::newRow("read-only") << QStringList{"set", "FIRMWARE=9"} << "FIRMWARE cannot be written";
    QTest::newRow("group") << QStringList{"set", "CAMERA_OFFSET=1"}
                           << "CAMERA_OFFSET is a group; write its members: CAMERA_OFFSET_X CAMERA_OFFSET_Y";
    QTest::newRow("one bad among good") << QStringList{"set", "SP2_SPEED=975", "DEVICE_ID=a,b", "PAGE_SPACE=2"}
                                        << "DEVICE_ID = a,b is not allowed";
    QTest::newRow("last one bad") << QStringList{"set", "SP2_SPEED=975", "WORKAREA_X=1e9"}
                                  << "WORKAREA_X = 1e9 is not allowed: a number from 0 to 32767.5 mm";
}

void tst_KTHost::refusedValuesSendNothing()
{
    QFETCH(QStringList, args);
    const auto cmd = cutter->cmdRegisters();
    const auto ccmd = cutter->ccmdRegisters();
    const Run r = host(QStringList{"--tcp", tcp()} + args);
    QCOMPARE(r.exitCode, 2);
    QFETCH(QString, message);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QCOMPARE(r.err.count(QStringLiteral("kt-host: ")), 1);
    QCOMPARE(cutter->cmdRegisters(), cmd);
    QCOMPARE(cutter->ccmdRegisters(), ccmd);
    QCOMPARE(cutter->framesReceived().size(), 0);
}

void tst_KTHost::displayValuesRoundTrip()
{
    Run r = host({"--tcp", tcp(), "set", "SP2_SPEED=975", "CAMERA_OFFSET_X=-2", "PAGE_SPACE=2.3", "WORKAREA_X=150",
                  "SCALE_Y=1.25", "FEED_SPEED=fast", "WORK_MODE=Balanced"});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QVERIFY2(r.out.contains("SP2_SPEED = 975 mm/s: ok"), qPrintable(r.out));
    QVERIFY(r.out.contains("CAMERA_OFFSET_X = -2.000 mm: ok"));
    QVERIFY(r.out.contains("FEED_SPEED = Fast: ok"));
    QVERIFY(r.out.contains("WORK_MODE = Balanced: sent (not verifiable)"));

    r = host({"--tcp", tcp(), "--raw", "get", "SP2_SPEED", "CAMERA_OFFSET_X", "PAGE_SPACE", "WORKAREA_X", "SCALE_Y",
              "FEED_SPEED"});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    // What the controls send for the same text.
    QCOMPARE(r.out.split('\n', Qt::SkipEmptyParts),
             (QStringList{"SP2_SPEED = 650", "CAMERA_OFFSET_X = -400", "PAGE_SPACE = 23", "WORKAREA_X = 300",
                          "SCALE_Y = 12500", "FEED_SPEED = 100"}));
    QCOMPARE(cutter->cmdRegister(11), 65136);
    QCOMPARE(cutter->cmdRegister(12), 65535);
    QCOMPARE(cutter->cmdRegister(27), 1);

    r = host({"--tcp", tcp(), "get", "SP2_SPEED", "PAGE_SPACE"});
    QCOMPARE(r.out.split('\n', Qt::SkipEmptyParts), (QStringList{"SP2_SPEED = 975 mm/s", "PAGE_SPACE = 2.300"}));
}

void tst_KTHost::clampedWriteIsReported()
{
    cutter->cmdCeiling.insert(3, 600);
    const Run r = host({"--tcp", tcp(), "set", "SP2_PRESSURE=200", "SP2_SPEED=975"});
    QCOMPARE(r.exitCode, 3);
    QVERIFY(r.out.contains("SP2_PRESSURE = 200 gf: ok"));
    QVERIFY2(r.out.contains("SP2_SPEED = 975 mm/s: machine kept 900 mm/s"), qPrintable(r.out));
    QVERIFY2(r.err.contains("not every value was taken by the machine"), qPrintable(r.err));
}

void tst_KTHost::refusedWriteIsReported()
{
    // A write no read can verify: the machine's own answer is all there is.
    cutter->ccmdRefused.insert(67);
    cutter->setCmdRegister(3, 300);
    const Run r = host({"--tcp", tcp(), "--raw", "--yes", "set", "FACTORY_SET=1"});
    QCOMPARE(r.exitCode, 3);
    QVERIFY2(r.out.contains("FACTORY_SET = 1: machine refused it (status 1)"), qPrintable(r.out));
    QCOMPARE(cutter->cmdRegister(3), 300);   // no reset happened
}

void tst_KTHost::keysListsEveryKey()
{
    const Run r = host({"keys"});   // needs no machine
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QMap<QString, QString> rows;
    for (const QString &line : r.out.split('\n', Qt::SkipEmptyParts))
        rows.insert(line.section(' ', 0, 0), line.simplified());
    QCOMPARE(rows.size(), 52);   // the header and 51 keys
    QVERIFY2(rows.value("SP2_SPEED").startsWith("SP2_SPEED rw user Cutting speed mm/s a whole number from 10 to 1050 "
                                                 "mm/s; --raw: a whole number from 6 to 700"),
             qPrintable(rows.value("SP2_SPEED")));
    QVERIFY(rows.value("FIRMWARE").startsWith("FIRMWARE r- system"));
    QVERIFY(rows.value("WORK_MODE").contains("-w user"));
    QVERIFY(rows.value("FEED_SPEED").contains("one of \"Off\", \"Very slow\""));
    QVERIFY(rows.value("PU_SPEED").contains("rw -"));
}

void tst_KTHost::backupChangeRestore()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("machine.json");
    const auto cmd = cutter->cmdRegisters();
    const auto ccmd = cutter->ccmdRegisters();
    Run r = host({"--tcp", tcp(), "backup", file});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QJsonObject doc = QJsonDocument::fromJson(f.readAll()).object();
    QCOMPARE(doc.value("machine").toObject().value("DEVICE_MODEL").toString(), QStringLiteral("KT-MRC600Cam"));
    QCOMPARE(doc.value("firmware").toString(), QStringLiteral("1.0.8"));
    QVERIFY(QDateTime::fromString(doc.value("time").toString(), Qt::ISODate).isValid());
    bool speedSeen = false;
    for (const QJsonValue &v : doc.value("parameters").toArray()) {
        const QJsonObject o = v.toObject();
        if (o.value("key") == "SP2_SPEED") {
            speedSeen = true;
            QCOMPARE(o.value("raw").toInt(), 300);
            QCOMPARE(o.value("display").toString(), QStringLiteral("450"));
            QCOMPARE(o.value("unit").toString(), QStringLiteral("mm/s"));
        }
    }
    QVERIFY(speedSeen);

    // Changed on the panel and by a host; the identity changes too.
    cutter->setCmdRegister(28, 700);
    cutter->setCcmdRegister(44, "OTHER-1");
    r = host({"--tcp", tcp(), "set", "SP2_SPEED=975", "CAMERA_OFFSET_Y=12.5", "PAGE_TURN=On"});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));

    r = host({"--tcp", tcp(), "diff", file});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QVERIFY2(r.out.contains(QRegularExpression("SP2_SPEED +975 mm/s +450 mm/s")), qPrintable(r.out));
    QVERIFY(r.out.contains(QRegularExpression("WORKAREA_X +350 mm +300 mm")));
    QVERIFY(r.out.contains(QRegularExpression("DEVICE_ID +OTHER-1 +D24001 +identity, never written")));

    const int framesBefore = cutter->framesReceived().size();
    r = host({"--tcp", tcp(), "restore", file});   // no terminal, no --yes
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.contains("only after --yes"));
    for (const QByteArray &frame : cutter->framesReceived().mid(framesBefore))
        QVERIFY2(!frame.contains("SET") && !frame.contains(','), frame.constData());

    r = host({"--tcp", tcp(), "restore", file, "--yes"});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err + r.out));
    QVERIFY(r.out.contains("SP2_SPEED = 450 mm/s: ok"));
    QVERIFY(r.out.contains("restored 4 of 4 parameters"));
    QVERIFY(r.out.contains("not restored: DEVICE_ID (identity, never written)"));
    auto after = cutter->ccmdRegisters();
    QCOMPARE(after.take(44), QStringLiteral("OTHER-1"));   // identity is never written
    after.insert(44, ccmd.value(44));
    QCOMPARE(after, ccmd);
    QCOMPARE(cutter->cmdRegisters(), cmd);
}

void tst_KTHost::restoreRefusesAnotherModel()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("other.json");
    Run r = host({"--tcp", tcp(), "backup", file});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadWrite));
    const QByteArray original = f.readAll();
    auto rewrite = [&f](const QByteArray &text) {
        f.resize(0);
        f.write(text);
        f.flush();
    };
    const auto cmd = cutter->cmdRegisters();

    // A value the machine's controls do not allow stops the whole restore.
    rewrite(QByteArray(original).replace("\"raw\": 300", "\"raw\": 310").replace("\"raw\": 600", "\"raw\": 99999"));
    r = host({"--tcp", tcp(), "restore", file, "--yes"});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("nothing written: WORKAREA_X = 99999 is not allowed"), qPrintable(r.err));
    QCOMPARE(cutter->cmdRegisters(), cmd);

    rewrite(QByteArray(original).replace("\"KT-MRC600Cam\"", "\"KT-OTHER\"").replace("\"raw\": 300", "\"raw\": 310"));
    r = host({"--tcp", tcp(), "restore", file, "--yes"});
    QCOMPARE(r.exitCode, 2);
    QVERIFY2(r.err.contains("the backup is of a KT-OTHER, this machine is a KT-MRC600Cam"), qPrintable(r.err));
    QCOMPARE(cutter->cmdRegisters(), cmd);

    r = host({"--tcp", tcp(), "restore", file, "--yes", "--force"});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QVERIFY(cutter->cmdRegisters() != cmd);
}

void tst_KTHost::backupAndDiffOverThePty()
{
    const QString pty = cutter->openPty();
    QVERIFY(!pty.isEmpty());
    QTemporaryDir dir;
    const QString file = dir.filePath("machine.json");
    Run r = host({"--usb", pty, "backup", file});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    cutter->setCmdRegister(45, 100);
    r = host({"--usb", pty, "diff", file});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QVERIFY2(r.out.contains(QRegularExpression("ROLL_SPEED +Fast +Slow")), qPrintable(r.out));
}

void tst_KTHost::restoreAsksOnATerminal_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("yes") << QByteArray("y\n") << 0;
    QTest::newRow("no") << QByteArray("n\n") << 2;
    QTest::newRow("just Enter") << QByteArray("\n") << 2;
}

void tst_KTHost::restoreAsksOnATerminal()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("machine.json");
    QCOMPARE(host({"--tcp", tcp(), "backup", file}).exitCode, 0);
    cutter->setCmdRegister(4, 333);
    int master = -1, slave = -1;
    char name[128] = {};
    QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
    QProcess *p = new QProcess;
    processes << p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p->setProcessEnvironment(env);
    p->setStandardInputFile(QString::fromLocal8Bit(name));   // a terminal, as a person would have
    p->start(QStringLiteral(KT_HOST_PATH), {"--tcp", tcp(), "restore", file});
    QString out;
    QTRY_VERIFY_WITH_TIMEOUT((out += QString::fromUtf8(p->readAllStandardOutput())).contains("[y/N] "), 10000);
    QCOMPARE(cutter->cmdRegister(4), 333);   // nothing before the answer
    QFETCH(QByteArray, answer);
    QCOMPARE(::write(master, answer.constData(), size_t(answer.size())), ssize_t(answer.size()));
    const Run r = finish(p);
    ::close(master);
    ::close(slave);
    QTEST(r.exitCode, "exitCode");
    QCOMPARE(cutter->cmdRegister(4), r.exitCode == 0 ? 120 : 333);
}

void tst_KTHost::usbReasons_data()
{
    // PTY: the virtual cutter's terminal; HELD: the same, opened by another
    // program first; DENIED: the same, for a user who may not open it.
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");

    QTest::newRow("the cutter's terminal") << QStringList{"--usb", "PTY", "--baud", "9600", "info"} << 0
                                           << "Firmware version" << "";
    QTest::newRow("missing path") << QStringList{"--usb", "DIR/ttyACM9", "info"} << 3 << ""
                                  << "cannot connect to DIR/ttyACM9: no such device; is the machine plugged in";
    QTest::newRow("directory") << QStringList{"--usb", "DIR", "info"} << 3 << ""
                               << "cannot connect to DIR: is a directory, not a device";
    QTest::newRow("busy") << QStringList{"--usb", "HELD", "info"} << 3 << ""
                          << "cannot connect to HELD: device busy; another program is using it";
    QTest::newRow("permission denied") << QStringList{"--usb", "DENIED", "info"} << 3 << ""
                                       << "cannot connect to DENIED: permission denied; join the group";
    QTest::newRow("line speed not known") << QStringList{"--usb", "PTY", "--baud", "12345", "info"} << 2 << ""
                                          << "--baud takes one of 1200 2400";
    QTest::newRow("line speed over tcp") << QStringList{"--tcp", "127.0.0.1", "--baud", "9600", "info"} << 2 << ""
                                         << "--baud belongs to --usb";
    QTest::newRow("ports") << QStringList{"ports", "PTY", "DIR/ttyACM9", "DIR"} << 0
                           << "PTY  can be opened\nDIR/ttyACM9  cannot be opened: no such device" << "";
    QTest::newRow("ports, none usable") << QStringList{"ports", "HELD", "DIR"} << 3
                                        << "HELD  cannot be opened: device busy" << "none of the ports can be opened";
}

void tst_KTHost::usbReasons()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    const QString pty = cutter->openPty();
    QVERIFY(!pty.isEmpty());
    QTemporaryDir dir;
    UsbChannel holder;
    QSignalSpy held(&holder, &UsbChannel::statusChanged);
    QString program = QStringLiteral(KT_HOST_PATH);
    for (QString name : {"PTY", "HELD", "DENIED", "DIR"}) {
        if (!args.join(' ').contains(name))
            continue;
        const QString path = name == "DIR" ? dir.path() : pty;
        if (name == "HELD") {
            holder.usbConnect(pty, UsbChannel::ReadWrite, false);
            QTRY_COMPARE(held.count(), 1);
        } else if (name == "DENIED") {
            // A node nobody may open; root opens anything, so it runs
            // without the capabilities that pass over file modes.
            QCOMPARE(::chmod(QFile::encodeName(pty).constData(), 0), 0);
            if (::geteuid() == 0) {
                args = QStringList{"--inh-caps=-all", "--bounding-set=-all", program} + args;
                program = QStringLiteral("setpriv");
            }
        }
        args.replaceInStrings(name, path);
        out.replace(name, path);
        err.replace(name, path);
    }
    auto *p = new QProcess;
    processes << p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p->setProcessEnvironment(env);
    p->start(program, args);
    const Run r = finish(p);
    QVERIFY2(r.out.simplified().contains(out.simplified()), qPrintable(r.out));   // columns are padded
    QVERIFY2(r.err.contains(err), qPrintable(r.err));
    QCOMPARE(r.err.count(QStringLiteral("kt-host: ")), err.isEmpty() ? 0 : 1);
    QCOMPARE(r.exitCode, exitCode);
}

void tst_KTHost::baudReachesTheLine_data()
{
    QTest::addColumn<QStringList>("baud");
    QTest::addColumn<int>("expected");
    QTest::newRow("the plug-in's default") << QStringList{} << int(B115200);
    QTest::newRow("--baud 9600") << QStringList{"--baud", "9600"} << int(B9600);
}

void tst_KTHost::baudReachesTheLine()
{
    QFETCH(QStringList, baud);
    QFETCH(int, expected);
    // A terminal whose other side stays silent; its settings are the slave's.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    auto speed = [master] {
        termios tio {};
        return ::tcgetattr(master, &tio) == 0 ? int(::cfgetospeed(&tio)) : -1;
    };
    QVERIFY(speed() != expected);
    QProcess *p = start(QStringList{"--usb", QString::fromLocal8Bit(::ptsname(master))} + baud + QStringList{"watch"});
    QTRY_COMPARE(speed(), expected);
    QCOMPARE(p->state(), QProcess::Running);
    p->kill();
    p->waitForFinished(5000);
    ::close(master);
}

QTEST_MAIN(tst_KTHost)
#include "tst_kthost.moc"
