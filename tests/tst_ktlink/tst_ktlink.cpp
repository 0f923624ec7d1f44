#include "property/ktdeviceproperty.h"
#include "plugin/ktmrc600cam.h"
#include "tools/virtual-cutter/ktvirtualcutter.h"

#include <QJsonObject>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

using T = KTDeviceInterface;

namespace {

std::unique_ptr<KTMRC600Cam> machine()
{
    KTMRC600Cam root;
    return std::unique_ptr<KTMRC600Cam>(static_cast<KTMRC600Cam *>(root.initInstance()));
}

// Records link events in the order the host sees them.
struct EventLog : QObject
{
    QStringList events;
    explicit EventLog(KTDeviceInterface *d)
    {
        connect(d->property_ptr("CONNECT_MODE"), &KTDeviceProperty::valueChanged, this,
                [this, d]() { events << "MODE " + d->property_ptr("CONNECT_MODE")->value().toString(); });
        connect(d->property_ptr("STATUS"), &KTDeviceProperty::valueChanged, this,
                [this, d]() { events << "STATUS " + d->property_ptr("STATUS")->value().toString(); });
        connect(d, &KTDeviceInterface::message, this,
                [this](T::KTDeviceMessage kind, const QString &text) { events << QString::number(kind) + " " + text; });
    }
    bool has(const QString &e) const { return events.contains(e); }
};

int status(KTDeviceInterface *d)
{
    return d->property_ptr("STATUS")->value().toInt();
}

QStringList framesAsText(const KTVirtualCutter &cutter)
{
    QStringList out;
    for (const QByteArray &f : cutter.framesReceived())
        out << QString::fromUtf8(f.mid(f.indexOf(';') + 1).chopped(1));
    return out;
}

} // namespace

class tst_KTLink : public QObject
{
    Q_OBJECT
private slots:
    void largeFrameLeavesWholeAndInOrder();
    void init();
    void cleanup();

    void tcpLinkEvents();
    void tcpRefused();
    void usbLinkEvents();
    void usbOpenError_data();
    void usbOpenError();
    void usbOtherStatusOnlySetsMode();
    void connectDeviceRefusals();
    void framesDroppedUnlessLinkUp();
    void zeroByteFrame();
    void writeAndReadBack_data();
    void writeAndReadBack();
    void deviceInformation();
    void cutJobOverTcp();
    void cutJobOverPty();
    void qrJob();
    void moveSendsJogSteps();
    void heartbeatQueryEachTick();
    void silenceRule_data();
    void silenceRule();
    void heartbeatIntervalBounds();
    void machineVanishesMidJob();
    void splitAndNoisyReplies();
    void nestedEventLoopKeepsArrivalOrder();

private:
    void connectTcp(KTMRC600Cam *d);
    // Links the device to a plain listener that plays the machine by hand.
    void connectToPeer(QTcpServer &server, KTMRC600Cam *d, QTcpSocket **machineEnd);
    std::unique_ptr<KTVirtualCutter> cutter;
};

void tst_KTLink::init()
{
    cutter = std::make_unique<KTVirtualCutter>();
    cutter->cutBytesPerSecond = 20000;
    cutter->reportIntervalMs = 20;
    QVERIFY(cutter->listenTcp(0));
}

void tst_KTLink::cleanup()
{
    cutter.reset();
}

void tst_KTLink::connectTcp(KTMRC600Cam *d)
{
    d->property_ptr("TCP_PORT")->setValue(int(cutter->tcpPort()));
    d->setIPAddress("127.0.0.1");
    QVERIFY(d->connectDevice());
    QTRY_COMPARE(status(d), int(T::Working));
    QTRY_COMPARE(cutter->connectionCount(), 1);
}

void tst_KTLink::connectToPeer(QTcpServer &server, KTMRC600Cam *d, QTcpSocket **machineEnd)
{
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    d->property_ptr("TCP_PORT")->setValue(int(server.serverPort()));
    d->setIPAddress("127.0.0.1");
    QVERIFY(d->connectDevice());
    QVERIFY(server.waitForNewConnection(5000));
    *machineEnd = server.nextPendingConnection();
    QTRY_COMPARE(status(d), int(T::Working));
}

void tst_KTLink::tcpLinkEvents()
{
    auto d = machine();
    EventLog log(d.get());
    connectTcp(d.get());
    QVERIFY(d->deviceTimerActive());
    QCOMPARE(d->deviceTimerInterval(), 2000);
    const int up = log.events.indexOf("0 TCP CONNECTED.");
    QVERIFY(up > 0);
    QCOMPARE(log.events.mid(up - 2, 3), (QStringList{"MODE TCP", "STATUS 2", "0 TCP CONNECTED."}));
    QCOMPARE(log.events.count("0 TCP CONNECTED."), 1);

    cutter->dropConnections();
    QTRY_VERIFY(log.has("0 TCP DISCONNECTED."));
    QCOMPARE(status(d.get()), int(T::DisConnected));
    QVERIFY(!d->deviceTimerActive());
    // STATUS went back to its previous value: stored without a signal.
    QCOMPARE(log.events.count("STATUS 0"), 0);
}

void tst_KTLink::tcpRefused()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    closed.close();

    auto d = machine();
    EventLog log(d.get());
    d->property_ptr("TCP_PORT")->setValue(int(port));
    d->setIPAddress("127.0.0.1");
    QVERIFY(d->connectDevice());
    QTRY_VERIFY(log.has("0 TCP DISCONNECTED."));
    QCOMPARE(status(d.get()), int(T::DisConnected));
    QVERIFY(d->connectDevice());   // a new attempt is accepted
}

void tst_KTLink::usbLinkEvents()
{
    const QString path = cutter->openPty();
    QVERIFY(!path.isEmpty());
    auto d = machine();
    EventLog log(d.get());
    d->setUSBPath(path);
    QVERIFY(d->connectDevice());
    QTRY_VERIFY(log.has("0 USB CONNECTED."));
    QCOMPARE(d->property_ptr("CONNECT_MODE")->value().toString(), QStringLiteral("USB"));
    QCOMPARE(status(d.get()), int(T::Working));
    QVERIFY(d->deviceTimerActive());

    d->sendCMD(d->property_ptr("DEVICE_UNIQUE_ID")->get_cmd_bytes());
    QTRY_COMPARE(d->property_ptr("DEVICE_UNIQUE_ID")->value().toString(), QStringLiteral("7F3A9C21"));

    cutter->closePty();
    QTRY_VERIFY(log.has("0 USB DISCONNECTED."));
    QCOMPARE(status(d.get()), int(T::DisConnected));
    QVERIFY(!d->deviceTimerActive());
}

void tst_KTLink::usbOpenError_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing path") << "/dev/does-not-exist-kt" << "/dev/does-not-exist-kt: no such device";
    QTest::newRow("directory") << "/dev" << "/dev: is a directory";
}

void tst_KTLink::usbOpenError()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);
    auto d = machine();
    EventLog log(d.get());
    // A host reads the reason when the message arrives.
    QString seen;
    connect(d.get(), &KTDeviceInterface::message, this, [&] { seen = d->usbErrorString(); });
    d->setUSBPath(path);
    QVERIFY(d->connectDevice());
    QTRY_VERIFY(log.has("0 USB ERROR."));
    QCOMPARE(status(d.get()), int(T::Warning));
    QVERIFY2(seen.startsWith(reason), qPrintable(seen));
    QVERIFY(!d->connectDevice());

    // The next good open clears it.
    d->setUSBPath(cutter->openPty());
    d->property_ptr("STATUS")->setValue(int(T::DisConnected));
    QVERIFY(d->connectDevice());
    QTRY_VERIFY(log.has("0 USB CONNECTED."));
    QCOMPARE(d->usbErrorString(), QString());
}

void tst_KTLink::usbOtherStatusOnlySetsMode()
{
    auto d = machine();
    EventLog log(d.get());
    d->slot_usb_status(3);
    QCOMPARE(d->property_ptr("CONNECT_MODE")->value().toString(), QStringLiteral("USB"));
    QCOMPARE(status(d.get()), int(T::DisConnected));
    QCOMPARE(log.events, QStringList{"MODE USB"});
}

void tst_KTLink::connectDeviceRefusals()
{
    auto d = machine();
    QVERIFY(!d->connectDevice());   // neither address
    const QString path = cutter->openPty();
    d->setIPAddress("127.0.0.1");
    d->setUSBPath(path);
    QSignalSpy messages(d.get(), &KTDeviceInterface::message);
    QVERIFY(d->connectDevice());   // USB wins
    QTRY_COMPARE(messages.count(), 1);
    QCOMPARE(messages.first().at(1).toString(), QStringLiteral("USB CONNECTED."));
    QVERIFY(!d->connectDevice());  // already Working
    QTest::qWait(50);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(d->findChildren<QTcpSocket *>().size(), 0);
}

void tst_KTLink::framesDroppedUnlessLinkUp()
{
    auto d = machine();
    connectTcp(d.get());
    const QByteArray frame = d->property_ptr("SP2_SPEED")->get_cmd_bytes();
    d->sendCMD(QByteArray());
    d->property_ptr("STATUS")->setValue(int(T::Warning));
    d->sendCMD(frame);
    d->property_ptr("STATUS")->setValue(int(T::Error));
    d->sendCMD(frame);
    d->property_ptr("STATUS")->setValue(int(T::Pause));
    d->sendCMD(frame);
    QTRY_COMPARE(cutter->framesReceived().size(), 1);
    QTest::qWait(50);
    QCOMPARE(cutter->framesReceived().size(), 1);
}

void tst_KTLink::zeroByteFrame()
{
    const QByteArray withZero("\x02" "12;CMD;A\0B;\x03", 13);
    {
        auto d = machine();
        connectTcp(d.get());
        d->sendCMD(withZero);
        QTRY_COMPARE(cutter->bytesReceived(), qint64(13));
    }
    const QString path = cutter->openPty();
    auto d = machine();
    d->setUSBPath(path);
    d->connectDevice();
    QTRY_COMPARE(status(d.get()), int(T::Working));
    const qint64 before = cutter->bytesReceived();
    d->sendCMD(withZero);
    QTRY_COMPARE(cutter->bytesReceived() - before, qint64(9));   // cut at the zero byte
}

void tst_KTLink::writeAndReadBack_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("reg");
    QTest::addColumn<int>("word");

    QTest::newRow("cutting speed") << QByteArray("SP2_SPEED") << QVariant(700u) << 3 << 700;
    QTest::newRow("three words") << QByteArray("CAMERA_OFFSET_X") << QVariant(70000u) << 12 << 1;
    QTest::newRow("negative offset") << QByteArray("TOOL_SPACE_Y") << QVariant(-400) << 9 << 65535;
    QTest::newRow("page space from a control") << QByteArray("PAGE_SPACE") << QVariant(22.999999999999996) << 43 << 23;
}

void tst_KTLink::writeAndReadBack()
{
    QFETCH(QByteArray, key);
    QFETCH(QVariant, value);
    auto d = machine();
    connectTcp(d.get());
    KTDeviceProperty *p = d->property_ptr(key.constData());
    p->setValue(value);
    d->sendCMD(p->set_cmd_bytes());
    QFETCH(int, reg);
    QFETCH(int, word);
    QTRY_COMPARE(cutter->cmdRegister(reg), word);

    p->set_decode(QStringLiteral("0"));
    d->sendCMD(p->get_cmd_bytes());
    QTRY_COMPARE(p->value().toInt(), qRound(value.toDouble()));
}

void tst_KTLink::deviceInformation()
{
    auto d = machine();
    connectTcp(d.get());
    KTDeviceProperty *id = d->property_ptr("DEVICE_ID");
    QSignalSpy ack(id, &KTDeviceProperty::retStatus);
    id->setValue(QStringLiteral("SN-42"));
    d->sendCMD(id->set_cmd_bytes());
    QTRY_COMPARE(ack.count(), 1);
    QCOMPARE(ack.first().first().toInt(), 0);

    d->property_ptr("FIRMWARE")->set_decode(QStringLiteral(""));
    d->sendCMD(d->property_ptr("DEVICE_INFO")->get_cmd_bytes());
    QTRY_COMPARE(d->property_ptr("FIRMWARE")->value().toString(), QStringLiteral("1.0.8"));
    QCOMPARE(d->property_ptr("DEVICE_ID")->value().toString(), QStringLiteral("SN-42"));
    QCOMPARE(d->property_ptr("DEVICE_MODEL")->value().toString(), QStringLiteral("KT-MRC600Cam"));
    QCOMPARE(d->property_ptr("DEVICE_CONFIG_NO")->value().toString(), QStringLiteral("C3"));
}

static void runCutJob(KTMRC600Cam *d, KTVirtualCutter *cutter)
{
    QSignalSpy messages(d, &KTDeviceInterface::message);
    QByteArray plt = "IN;PU0,0;";
    for (int i = 0; i < 300; ++i)
        plt += "PD" + QByteArray::number(i * 10) + "," + QByteArray::number(i % 40) + ";";
    d->setPlt(QString::fromLatin1(plt));
    d->property_ptr("TASK_COPIES")->setValue(2);
    d->startTask();
    QVERIFY(d->property_ptr("TASK_START_TIME")->value().toDateTime().isValid());
    QTRY_VERIFY_WITH_TIMEOUT(!cutter->jobRunning() && cutter->lastCutData() == plt, 10000);
    KTDeviceProperty *task = d->property_ptr("TASK");
    QTRY_COMPARE(task->value().toJsonObject().value("Percent").toInt(), 100);
    QCOMPARE(task->value().toJsonObject().value("Finished").toInt(), 2);
    QCOMPARE(task->value().toJsonObject().value("TaskCopies").toInt(), 2);
    int reports = 0;
    for (const auto &m : messages)
        reports += m.at(0).value<T::KTDeviceMessage>() == T::DevTasK;
    QVERIFY(reports >= 3);
    const QStringList frames = framesAsText(*cutter);
    const int copies = frames.indexOf("CMD;NUM:2;");
    QVERIFY(copies >= 0);
    QVERIFY(frames.at(copies + 1).startsWith("PLT;IN;PU0,0;"));
}

void tst_KTLink::cutJobOverTcp()
{
    auto d = machine();
    connectTcp(d.get());
    runCutJob(d.get(), cutter.get());
}

void tst_KTLink::cutJobOverPty()
{
    const QString path = cutter->openPty();
    auto d = machine();
    d->setUSBPath(path);
    d->connectDevice();
    QTRY_COMPARE(status(d.get()), int(T::Working));
    runCutJob(d.get(), cutter.get());
}

void tst_KTLink::qrJob()
{
    auto d = machine();
    connectTcp(d.get());
    QSignalSpy messages(d.get(), &KTDeviceInterface::message);
    d->property_ptr("TASK_MODE")->setValue(1);
    d->property_ptr("QRCODE_COPIES")->setValue(2);
    d->startTask();
    QTRY_VERIFY_WITH_TIMEOUT(!cutter->jobRunning() && cutter->framesReceived().size() == 1, 5000);
    auto codes = [&messages]() {
        QStringList out;
        for (const auto &m : messages)
            if (m.at(0).value<T::KTDeviceMessage>() == T::Qrcode)
                out << m.at(1).toString();
        return out;
    };
    QTRY_COMPARE(codes(), (QStringList{"QR-1-1", "QR-1-2"}));
    QCOMPARE(d->property_ptr("QRCODE_COPIES")->value(), QVariant(2));
}

void tst_KTLink::moveSendsJogSteps()
{
    auto d = machine();
    connectTcp(d.get());
    d->move(-5, 7);
    QTRY_COMPARE(cutter->framesReceived().size(), 2);
    QCOMPARE(framesAsText(*cutter), (QStringList{"CMD;SET83:100;", "CMD;SET82:32868;"}));
    d->move(0, 0);
    QTRY_COMPARE(cutter->framesReceived().size(), 4);
    QCOMPARE(framesAsText(*cutter).mid(2), (QStringList{"CMD;SET83:0;", "CMD;SET82:0;"}));
}

void tst_KTLink::heartbeatQueryEachTick()
{
    auto d = machine();
    connectTcp(d.get());
    d->slot_device_timer();
    d->slot_device_timer();
    QTRY_COMPARE(cutter->framesReceived().size(), 2);
    QCOMPARE(framesAsText(*cutter), (QStringList{"CCMD;1010;", "CCMD;1010;"}));
    QTRY_COMPARE(d->property_ptr("HEARTBEAT")->value(), QVariant(2));
}

void tst_KTLink::silenceRule_data()
{
    QTest::addColumn<int>("silentSecs");
    QTest::addColumn<bool>("timedOut");
    QTest::newRow("30 s") << 30 << false;
    QTest::newRow("31 s") << 31 << true;
}

void tst_KTLink::silenceRule()
{
    QFETCH(int, silentSecs);
    QFETCH(bool, timedOut);
    auto d = machine();
    connectTcp(d.get());
    QSignalSpy messages(d.get(), &KTDeviceInterface::message);
    d->property_ptr("LAST_TIME")->setValue(QDateTime::currentDateTime().addSecs(-silentSecs));
    d->slot_device_timer();
    d->slot_device_timer();
    QCOMPARE(messages.count(), timedOut ? 2 : 0);
    QCOMPARE(status(d.get()), timedOut ? int(T::DisConnected) : int(T::Working));
    if (timedOut) {
        QCOMPARE(messages.first().at(1).toString(), QStringLiteral("HEARTBEAT TIMEOUT 30S."));
        QVERIFY(d->deviceTimerActive());   // a time-out does not stop the timer
        QTest::qWait(50);
        QCOMPARE(cutter->framesReceived().size(), 0);   // no query once declared lost

        // The transport is still open; connecting again starts it over.
        messages.clear();
        QVERIFY(d->connectDevice());
        QTRY_COMPARE(status(d.get()), int(T::Working));
        QStringList texts;
        for (const auto &m : messages)
            texts << m.at(1).toString();
        QCOMPARE(texts, (QStringList{"TCP DISCONNECTED.", "TCP CONNECTED."}));
    } else {
        QTRY_COMPARE(cutter->framesReceived().size(), 2);
    }
}

void tst_KTLink::heartbeatIntervalBounds()
{
    auto d = machine();
    d->property_ptr("HEARTBEAT")->setValue(0);
    d->heartbeat_switch(true);
    QCOMPARE(d->deviceTimerInterval(), 1000);
    d->property_ptr("HEARTBEAT")->setValue(5);
    d->heartbeat_switch(true);
    QCOMPARE(d->deviceTimerInterval(), 5000);
    d->heartbeat_switch(false);
    QVERIFY(!d->deviceTimerActive());

    // A link opened long after the device was built starts with a fresh stamp.
    d->property_ptr("LAST_TIME")->setValue(QDateTime::currentDateTime().addSecs(-120));
    connectTcp(d.get());
    QSignalSpy messages(d.get(), &KTDeviceInterface::message);
    d->slot_device_timer();
    QCOMPARE(messages.count(), 0);
}

void tst_KTLink::machineVanishesMidJob()
{
    cutter->faults.dropAtPercent = 40;
    auto d = machine();
    connectTcp(d.get());
    QSignalSpy messages(d.get(), &KTDeviceInterface::message);
    d->setPlt(QString(4000, 'P'));
    d->startTask();
    QTRY_VERIFY(status(d.get()) == int(T::DisConnected));
    bool disconnected = false;
    for (const auto &m : messages)
        disconnected |= m.at(1).toString() == QLatin1String("TCP DISCONNECTED.");
    QVERIFY(disconnected);
    QVERIFY(d->property_ptr("TASK")->value().toJsonObject().value("Percent").toInt() < 100);
}

void tst_KTLink::splitAndNoisyReplies()
{
    cutter->faults.splitBytes = true;
    cutter->faults.garbage = true;
    auto d = machine();
    connectTcp(d.get());
    d->sendCMD(d->property_ptr("CAMERA_OFFSET_X")->get_cmd_bytes());
    d->sendCMD(d->property_ptr("DEVICE_INFO")->get_cmd_bytes());
    cutter->setCmdRegister(11, 4464);
    cutter->setCmdRegister(12, 1);
    QTRY_COMPARE(d->property_ptr("PCB_VERSION")->value().toString(), QStringLiteral("V2.1"));
    QCOMPARE(d->property_ptr("CAMERA_OFFSET_X")->value(), QVariant(70000));
}

// A job of many megabytes reaches the machine byte for byte, followed by what
// was sent after it, while the socket never holds more than a window of it.
void tst_KTLink::largeFrameLeavesWholeAndInOrder()
{
    QTcpServer server;
    auto d = machine();
    QTcpSocket *machineEnd = nullptr;
    connectToPeer(server, d.get(), &machineEnd);
    if (QTest::currentTestFailed())
        return;

    QByteArray job;
    for (int i = 0; job.size() < 6 * 1024 * 1024; ++i)
        job += "PD" + QByteArray::number(i % 40000) + ",0;";
    KTDeviceProperty *plt = d->property_ptr("TASK_PLT");
    plt->setValue(QString::fromLatin1(job));
    const QByteArray jobFrame = plt->set_cmd_bytes();
    const QByteArray speedFrame = d->property_ptr("SP2_SPEED")->get_cmd_bytes();
    auto *socket = d->findChild<QTcpSocket *>();
    qint64 mostQueued = 0;
    connect(socket, &QTcpSocket::bytesWritten, this, [&]() { mostQueued = qMax(mostQueued, socket->bytesToWrite()); });
    d->sendCMD(jobFrame);
    mostQueued = qMax(mostQueued, socket->bytesToWrite());
    d->sendCMD(speedFrame);

    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += machineEnd->readAll()).size() >= jobFrame.size() + speedFrame.size(), 20000);
    QCOMPARE(received.size(), jobFrame.size() + speedFrame.size());
    QVERIFY(received.startsWith(jobFrame));
    QVERIFY(received.endsWith(speedFrame));
    QVERIFY2(mostQueued <= 2 * 1024 * 1024, qPrintable(QString::number(mostQueued)));
}

void tst_KTLink::nestedEventLoopKeepsArrivalOrder()
{
    // A host shows a modal dialog on a QR notice: its event loop reads the
    // next replies while the rest of the first read still waits.
    QTcpServer server;
    auto d = machine();
    QTcpSocket *machineEnd = nullptr;
    connectToPeer(server, d.get(), &machineEnd);
    if (QTest::currentTestFailed())
        return;

    auto frame = [](const char *inner) { return "\x02" "0;" + QByteArray(inner) + "\x03"; };
    QStringList texts;
    QVariant speedAtB;
    connect(d.get(), &KTDeviceInterface::message, this, [&](T::KTDeviceMessage kind, const QString &text) {
        if (kind != T::Qrcode)
            return;
        texts << text;
        if (text == QLatin1String("B"))
            speedAtB = d->property_ptr("SP2_SPEED")->value();
        if (text != QLatin1String("A"))
            return;
        machineEnd->write(frame("CMD;3:200;") + frame("CCMD;55,0,C;"));
        // The dialog stays open until those bytes have reached the device.
        QEventLoop dialog;
        QTimer poll;
        connect(&poll, &QTimer::timeout, &dialog, [&]() {
            if (d->findChild<QTcpSocket *>()->bytesAvailable() > 0 || texts.contains("C"))
                dialog.quit();
        });
        poll.start(5);
        QTimer::singleShot(5000, &dialog, &QEventLoop::quit);
        dialog.exec();
    });
    machineEnd->write(frame("CCMD;55,0,A;") + frame("CMD;3:100;") + frame("CCMD;11,0,B;"));
    QTRY_COMPARE(texts.size(), 3);
    QCOMPARE(texts, (QStringList{"A", "B", "C"}));
    QCOMPARE(speedAtB, QVariant(100u));
    QCOMPARE(d->property_ptr("SP2_SPEED")->value(), QVariant(200u));
}

QTEST_MAIN(tst_KTLink)
#include "tst_ktlink.moc"
