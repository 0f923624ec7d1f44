#include "tools/cloud-service/ktcloudservice.h"
#include "property/ktdeviceproperty.h"
#include "plugin/ktmrc600cam.h"
#include "tools/virtual-cutter/ktvirtualcutter.h"
#include "platform/nuvexacloud/nuvexacloud.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QPointer>
#include <QWebSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QWebSocketServer>
#include <QtTest>

namespace {

// A reply as the network would deliver it, with a status and a body.
class FakeReply : public QNetworkReply
{
public:
    FakeReply(int status, const QByteArray &body) : m_body(body)
    {
        if (status)
            setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
        open(QIODevice::ReadOnly);
    }
    void abort() override {}
    qint64 bytesAvailable() const override { return m_body.size() - m_at + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 max) override
    {
        const qint64 n = qMin<qint64>(max, m_body.size() - m_at);
        memcpy(data, m_body.constData() + m_at, size_t(n));
        m_at += n;
        return n;
    }

private:
    QByteArray m_body;
    qint64 m_at = 0;
};

// Records every request; the test answers them when it wants to.
class RecordingCloud : public NuvexaCloud
{
public:
    struct Call
    {
        QString path;
        QByteArray verb;
        QJsonObject body;
        Callback callback;
    };
    QList<Call> calls;
    QString wsText = QStringLiteral("ws://127.0.0.1:1/");

    void customRequest(const QString &path, QByteArray verb, QJsonObject body, Callback callback) override
    {
        calls.append({path, verb, body, callback});
    }
    QString ws() override { return wsText; }

    QStringList summary() const
    {
        QStringList out;
        for (const Call &c : calls)
            out << QString::fromLatin1(c.verb) + " " + c.path;
        return out;
    }
    void answer(int index, int status, const QByteArray &body, bool ok = true)
    {
        FakeReply reply(status, body);
        if (calls.at(index).callback)
            calls.at(index).callback(&reply, ok);
    }
};

std::unique_ptr<KTMRC600Cam> machine()
{
    KTMRC600Cam root;
    auto d = std::unique_ptr<KTMRC600Cam>(static_cast<KTMRC600Cam *>(root.initInstance()));
    d->property_ptr("PCB_ID")->set_decode(QStringLiteral("P7316"));
    d->property_ptr("FIRMWARE")->set_decode(QStringLiteral("1.0.8"));
    d->property_ptr("DEVICE_ID")->set_decode(QStringLiteral("D24001"));
    return d;
}

QJsonObject cloudValue(KTDeviceInterface *d)
{
    return d->property_ptr("DEVICE_CLOUD")->value().toJsonObject();
}

// A finished task as the machine's reports leave it.
void finishTask(KTMRC600Cam *d, int copies, int finished)
{
    d->slot_usb_read(KTFrame::pack(QStringLiteral("66,1,a.plt,%1,%2,100,0,0,0;").arg(copies).arg(finished), "CCMD"));
}

} // namespace

class tst_KTCloud : public QObject
{
    Q_OBJECT
private slots:
    void modelNumber_data();
    void modelNumber();
    void registrationRequests();
    void lookupAnswers_data();
    void lookupAnswers();
    void creationNeedsSuccessFlag();
    void noAnswerRetriesSafely();
    void deviceGoneBeforeReply();
    void nullClientIgnored();
    void runtimeMessage_data();
    void runtimeMessage();
    void workRecord();
    void workRecordConditions_data();
    void workRecordConditions();
    void relayConnectedOnce();
    void endToEndAgainstLocalService();
    void serviceFaults_data();
    void serviceFaults();
    void recordsOfUnregisteredJobsFollowRegistration();
    void relayBoundedAndReconnecting();

private:
    QTemporaryDir m_dir;
};

void tst_KTCloud::modelNumber_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<int>("number");
    QTest::newRow("0A1Z") << "AB0A1ZXYZ" << 13031;
    QTest::newRow("two characters") << "AB" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("three characters") << "ABz" << 35;
    QTest::newRow("digits") << "xx0010" << 36;
}

void tst_KTCloud::modelNumber()
{
    QFETCH(QString, code);
    QTEST(KTCommonInterface::cloud_model_number(code), "number");
}

void tst_KTCloud::registrationRequests()
{
    auto d = machine();
    RecordingCloud cloud;
    d->setNuvexaCloud(&cloud, "AB0A1ZXYZ");
    QCOMPARE(cloud.summary(), (QStringList{"PATCH device_model", "GET device"}));
    QCOMPARE(cloud.calls.at(0).body, (QJsonObject{{"code", 13031}}));
    QCOMPARE(cloud.calls.at(1).body, (QJsonObject{{"code", "AB0A1ZXYZ"}}));
    const QJsonObject record{{"code", "AB0A1ZXYZ"}, {"pcb", "P7316"}, {"version", "1.0.8"},
                             {"device_id", "D24001"}, {"online", true}};
    QCOMPARE(cloudValue(d.get()), record);
    QVERIFY(d->relaySocket());

    cloud.answer(0, 200, "{\"id\": 5}");
    QCOMPARE(cloudValue(d.get()).value("device_model").toInt(), 5);
    cloud.answer(0, 500, "{\"id\": 6}");
    QCOMPARE(cloudValue(d.get()).value("device_model").toInt(), 5);
}

void tst_KTCloud::lookupAnswers_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("followUp");
    QTest::addColumn<int>("id");

    QTest::newRow("200") << 200 << QByteArray("{\"id\": 42}") << QStringList{"PUT device"} << 42;
    // A malformed answer is no registration: the lookup is asked again later.
    QTest::newRow("200 without JSON") << 200 << QByteArray("<html>") << QStringList{} << -1;
    QTest::newRow("404") << 404 << QByteArray() << QStringList{"POST device_model"} << -1;
    QTest::newRow("500") << 500 << QByteArray() << QStringList{} << -1;
}

void tst_KTCloud::lookupAnswers()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QStringList, followUp);
    auto d = machine();
    RecordingCloud cloud;
    d->setNuvexaCloud(&cloud, "AB0A1ZXYZ");
    cloud.answer(0, 200, "{\"id\": 5}");   // the model reply came first
    cloud.answer(1, status, body);
    QCOMPARE(cloud.summary().mid(2), followUp);
    QTEST(cloudValue(d.get()).value("id").toInt(-1), "id");
    if (!followUp.isEmpty()) {
        const QJsonObject sent = cloud.calls.at(2).body;
        QCOMPARE(sent.value("device_model").toInt(), 5);
        QCOMPARE(sent.value("online").toBool(), true);
        QCOMPARE(sent.value("pcb").toString(), QStringLiteral("P7316"));
        QCOMPARE(sent.contains("id"), status == 200);
    }
}

void tst_KTCloud::creationNeedsSuccessFlag()
{
    auto d = machine();
    RecordingCloud cloud;
    d->setNuvexaCloud(&cloud, "CODE1234");
    cloud.answer(1, 404, "");
    QCOMPARE(cloud.calls.at(2).body.contains("device_model"), false);   // model reply not yet in
    cloud.answer(2, 200, "{\"id\": 7}", false);
    QVERIFY(!cloudValue(d.get()).contains("id"));
    cloud.answer(2, 200, "{\"id\": 7}", true);
    QCOMPARE(cloudValue(d.get()).value("id").toInt(), 7);
    QCOMPARE(cloud.calls.size(), 3);
}

void tst_KTCloud::noAnswerRetriesSafely()
{
    RecordingCloud cloud;
    auto d = machine();
    d->setCloudRetryInterval(30);
    d->setNuvexaCloud(&cloud, "CODE1234");
    cloud.answer(1, 0, "");   // no HTTP answer
    QCOMPARE(cloud.calls.size(), 2);
    QTRY_COMPARE(cloud.calls.size(), 3);
    QCOMPARE(cloud.summary().last(), QStringLiteral("GET device"));
    QCOMPARE(cloud.calls.last().body, (QJsonObject{{"code", "CODE1234"}}));

    cloud.answer(2, 0, "");
    d.reset();   // gone while waiting to ask again
    QTest::qWait(100);
    QCOMPARE(cloud.calls.size(), 3);
}

void tst_KTCloud::deviceGoneBeforeReply()
{
    RecordingCloud cloud;
    auto d = machine();
    d->setNuvexaCloud(&cloud, "CODE1234");
    d.reset();
    cloud.answer(0, 200, "{\"id\": 1}");
    cloud.answer(1, 200, "{\"id\": 2}");
    cloud.answer(1, 404, "");
    cloud.answer(1, 0, "");
    QTest::qWait(50);
    QCOMPARE(cloud.calls.size(), 2);
}

void tst_KTCloud::nullClientIgnored()
{
    auto d = machine();
    d->setNuvexaCloud(nullptr, "CODE1234");
    QVERIFY(cloudValue(d.get()).isEmpty());
    QVERIFY(!d->relaySocket());
}

void tst_KTCloud::runtimeMessage_data()
{
    QTest::addColumn<bool>("withPreview");
    QTest::addColumn<QByteArray>("preview");
    QTest::addColumn<QJsonValue>("expected");
    QTest::newRow("no preview parameter") << false << QByteArray() << QJsonValue(QJsonValue::Undefined);
    QTest::newRow("abc") << true << QByteArray("abc") << QJsonValue("YWJj");
    QTest::newRow("no bytes") << true << QByteArray() << QJsonValue(QJsonValue::Null);
}

void tst_KTCloud::runtimeMessage()
{
    QFETCH(bool, withPreview);
    QFETCH(QByteArray, preview);
    QFETCH(QJsonValue, expected);

    QWebSocketServer relay("relay", QWebSocketServer::NonSecureMode);
    QVERIFY(relay.listen(QHostAddress::LocalHost, 0));
    QStringList texts;
    connect(&relay, &QWebSocketServer::newConnection, this, [&]() {
        QWebSocket *peer = relay.nextPendingConnection();
        peer->setParent(&relay);
        connect(peer, &QWebSocket::textMessageReceived, this, [&texts](const QString &t) { texts << t; });
    });

    KTMRC600Cam d;
    d.init157(&d);
    if (!withPreview) {
        delete d.property_ptr("FILE_PREVIEW");
        d.setProperty("FILE_PREVIEW", QVariant());
    }
    else
        d.property_ptr("FILE_PREVIEW")->setValue(preview);
    RecordingCloud cloud;
    cloud.wsText = QStringLiteral("ws://127.0.0.1:%1/").arg(relay.serverPort());
    QSignalSpy connected(&d, &KTDeviceInterface::message);
    d.setNuvexaCloud(&cloud, "AB0A1ZXYZ");
    QTRY_VERIFY(connected.count() >= 1);
    QCOMPARE(connected.first().at(1).toString(), QStringLiteral("WEB SOCKET CONNECTED."));
    QCOMPARE(d.relaySocket()->requestUrl().toString(), cloud.wsText + "AB0A1ZXYZ/Device/");

    d.slot_usb_read(KTFrame::pack("66,2,a.plt,3,1,33,0,0,0;", "CCMD"));
    QTRY_COMPARE(texts.size(), 1);
    const QJsonObject message = QJsonDocument::fromJson(texts.first().toUtf8()).object();
    QCOMPARE(message.value("sender").toString(), QStringLiteral("Device"));
    QCOMPARE(message.value("actions").toArray(), QJsonArray{"Runtime"});
    QJsonObject runtime{{"Status", 2}, {"FileName", "a.plt"}, {"TaskCopies", 3}, {"Finished", 1}, {"Percent", 33}};
    if (withPreview)
        runtime.insert("FilePreview", expected);
    QCOMPARE(message.value("message").toObject(), (QJsonObject{{"Runtime", runtime}}));
    QVERIFY(!texts.first().contains('\n'));
}

void tst_KTCloud::workRecord()
{
    auto d = machine();
    RecordingCloud cloud;
    d->setNuvexaCloud(&cloud, "CODE1234");
    cloud.answer(1, 200, "{\"id\": 42}");
    d->property_ptr("TASK_FILE_INFO")->setValue(QJsonObject{{"path_length", 1500}, {"heigth", 300}, {"width", 200}});
    d->property_ptr("WORK_MODE")->setValue(2u);
    d->startTask();
    finishTask(d.get(), 3, 3);
    const int before = cloud.calls.size();
    d->stopTask();
    QCOMPARE(cloud.summary().mid(before), QStringList{"POST device_work_records"});
    const QJsonObject record = cloud.calls.last().body;
    QCOMPARE(record.value("page_area").toInt(), 60000);
    QCOMPARE(record.value("page_size").toString(), QStringLiteral("300x200"));
    QCOMPARE(record.value("path_length").toInt(), 1500);
    QCOMPARE(record.value("task_copies").toInt(), 3);
    QCOMPARE(record.value("finish_copies").toInt(), 3);
    QCOMPARE(record.value("device").toInt(), 42);
    QCOMPARE(record.value("task_model").toInt(), 0);
    QCOMPARE(record.value("work_model").toInt(), 2);
    QVERIFY(record.value("task_time").toInt() >= 0 && record.value("task_time").toInt() < 5);
    QVERIFY(QDateTime::fromString(record.value("end_time").toString(), Qt::TextDate).isValid());

    const QJsonObject task = d->property_ptr("TASK")->value().toJsonObject();
    QCOMPARE(task, (QJsonObject{{"Status", 0}, {"FileName", ""}, {"TaskCopies", 0}, {"Finished", 0}, {"Percent", 100}}));
    QVERIFY(!d->property_ptr("TASK_START_TIME")->value().toDateTime().isValid());
    d->stopTask();   // nothing more to report
    QCOMPARE(cloud.calls.size(), before + 1);
}

void tst_KTCloud::workRecordConditions_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("sent");
    QTest::newRow("all present") << "" << true;
    QTest::newRow("not registered") << "no id" << false;
    QTest::newRow("no cloud parameter") << "no DEVICE_CLOUD" << false;
    QTest::newRow("no finished copies") << "finished 0" << false;
    QTest::newRow("no file information") << "path 0" << false;
    QTest::newRow("never started") << "no start" << false;
    QTest::newRow("start time invalid") << "stopped start" << true;
    QTest::newRow("no mode parameters") << "no modes" << true;
}

void tst_KTCloud::workRecordConditions()
{
    QFETCH(QString, change);
    auto d = machine();
    RecordingCloud cloud;
    d->setNuvexaCloud(&cloud, "CODE1234");
    if (change != "no id")
        cloud.answer(1, 200, "{\"id\": 9}");
    d->property_ptr("TASK_FILE_INFO")->setValue(
        QJsonObject{{"path_length", change == "path 0" ? 0 : 10}, {"heigth", 1}, {"width", 2}});
    if (change != "no start")
        d->startTask();
    finishTask(d.get(), 3, change == "finished 0" ? 0 : 2);
    if (change == "no DEVICE_CLOUD")
        delete d->property_ptr("DEVICE_CLOUD"), d->setProperty("DEVICE_CLOUD", QVariant());
    if (change == "stopped start")
        d->property_ptr("TASK_START_TIME")->setValue(QDateTime());
    if (change == "no modes") {
        for (const char *key : {"TASK_MODE", "WORK_MODE"}) {
            delete d->property_ptr(key);
            d->setProperty(key, QVariant());
        }
    }
    const int before = cloud.calls.size();
    d->device_task_record_to_cloud();
    QTEST(cloud.calls.size() == before + 1, "sent");
    if (cloud.calls.size() == before + 1) {
        const QJsonObject record = cloud.calls.last().body;
        if (change == "stopped start")
            QCOMPARE(record.value("task_time").toInt(), 0);
        if (change == "no modes") {
            QCOMPARE(record.value("task_model").toInt(-1), 0);
            QCOMPARE(record.value("work_model").toInt(-1), 0);
        }
    }
}

void tst_KTCloud::relayConnectedOnce()
{
    KTCloudService service;
    QVERIFY(service.listen());
    NuvexaCloud cloud(service.restBase(), service.wsBase(), m_dir.filePath("relay.sqlite"));
    auto d = machine();
    QSignalSpy messages(d.get(), &KTDeviceInterface::message);
    d->setNuvexaCloud(&cloud, "CODE1234");
    QTRY_COMPARE(messages.count(), 1);
    d->setNuvexaCloud(&cloud, "CODE1234");
    QTRY_VERIFY(messages.count() >= 2);
    QTest::qWait(100);
    QStringList texts;
    for (const auto &m : messages)
        texts << m.at(1).toString();
    // The reopen closes the first connection once and connects once more.
    QCOMPARE(texts.count("WEB SOCKET CONNECTED."), 2);
    QVERIFY(texts.count("WEB SOCKET DISCONNECTED.") <= 1);
}

void tst_KTCloud::endToEndAgainstLocalService()
{
    KTCloudService service;
    QVERIFY(service.listen());
    KTVirtualCutter cutter;
    cutter.reportIntervalMs = 20;
    cutter.cutBytesPerSecond = 100000;
    QVERIFY(cutter.listenTcp(0));
    NuvexaCloud cloud(service.restBase(), service.wsBase(), m_dir.filePath("e2e.sqlite"));

    auto d = machine();
    d->property_ptr("TCP_PORT")->setValue(int(cutter.tcpPort()));
    d->setIPAddress("127.0.0.1");
    d->connectDevice();
    d->setNuvexaCloud(&cloud, "KT0A1ZDEMO");
    QTRY_VERIFY(cloudValue(d.get()).contains("id"));   // 404, then created
    QTRY_VERIFY(cloudValue(d.get()).contains("device_model"));
    QCOMPARE(service.devices().size(), 1);
    QCOMPARE(service.models().first().toObject().value("code").toInt(), KTCommonInterface::cloud_model_number("KT0A1ZDEMO"));

    // A second device under the same code finds the first and updates it.
    auto again = machine();
    again->setNuvexaCloud(&cloud, "KT0A1ZDEMO");
    QTRY_COMPARE(cloudValue(again.get()).value("id"), cloudValue(d.get()).value("id"));
    QTRY_COMPARE(service.requests().last().verb, QByteArray("PUT"));
    QCOMPARE(service.devices().size(), 1);

    // A relay listener sees the task runtime messages.
    QWebSocket listener;
    QStringList relayed;
    connect(&listener, &QWebSocket::textMessageReceived, this, [&relayed](const QString &t) { relayed << t; });
    listener.open(QUrl(service.wsBase() + "KT0A1ZDEMO/Device/"));
    QTRY_COMPARE(service.relayClients(), 3);
    QTRY_COMPARE(d->property_ptr("STATUS")->value().toInt(), 2);

    d->property_ptr("TASK_FILE_INFO")->setValue(QJsonObject{{"path_length", 1500}, {"heigth", 300}, {"width", 200}});
    d->setPlt(QString(3000, 'P'));
    d->property_ptr("TASK_COPIES")->setValue(2);
    d->startTask();
    auto percent = [&d]() {
        KTDeviceProperty *task = d->property_ptr("TASK");
        return task ? task->value().toJsonObject().value("Percent").toInt() : -1;
    };
    QTRY_COMPARE_WITH_TIMEOUT(percent(), 100, 10000);
    QVERIFY(relayed.size() >= 2);
    d->stopTask();
    QTRY_COMPARE(service.workRecords().size(), 1);
    const QJsonObject record = service.workRecords().first().toObject();
    QCOMPARE(record.value("finish_copies").toInt(), 2);
    QCOMPARE(record.value("device"), cloudValue(d.get()).value("id"));
    QCOMPARE(record.value("page_size").toString(), QStringLiteral("300x200"));

    // A text from the relay triggers a runtime message; the same text again does not.
    const int seen = relayed.size();
    listener.sendTextMessage("{\"sender\":\"App\"}");
    listener.sendTextMessage("{\"sender\":\"App\"}");
    // Only the device that has a task reports it.
    QTRY_COMPARE(relayed.size(), seen + 1);
    QTest::qWait(100);
    QCOMPARE(relayed.size(), seen + 1);
}

void tst_KTCloud::serviceFaults_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("status");
    QTest::newRow("500") << int(KTCloudService::Status) << 500;
    QTest::newRow("503") << int(KTCloudService::Status) << 503;
    QTest::newRow("not JSON") << int(KTCloudService::BadJson) << 200;
    QTest::newRow("no answer") << int(KTCloudService::Hang) << 0;
}

void tst_KTCloud::serviceFaults()
{
    QFETCH(int, mode);
    QFETCH(int, status);
    KTCloudService service;
    QVERIFY(service.listen());
    service.setFault(KTCloudService::FaultMode(mode), status, "device");
    NuvexaCloud cloud(service.restBase(), service.wsBase(), m_dir.filePath("faults.sqlite"));
    cloud.setTransferTimeout(200);

    auto d = machine();
    QSignalSpy messages(d.get(), &KTDeviceInterface::message);
    d->setCloudRetryInterval(20);
    d->setNuvexaCloud(&cloud, "CODE1234");
    QTRY_VERIFY(cloudValue(d.get()).contains("device_model"));
    // The lookup is asked again and again, and the host hears of each wait.
    QTRY_VERIFY(service.requests().size() >= 4);
    QVERIFY(!cloudValue(d.get()).contains("id"));
    bool told = false;
    for (const auto &m : messages)
        told = told || m.at(1).toString() == QLatin1String("CLOUD REGISTRATION RETRYING.");
    QVERIFY(told);

    // Once the service is sound again the device registers by itself.
    service.setFault(KTCloudService::NoFault);
    QTRY_VERIFY(cloudValue(d.get()).value("id").toInt() > 0);
    QTRY_COMPARE(service.devices().size(), 1);
}

void tst_KTCloud::recordsOfUnregisteredJobsFollowRegistration()
{
    // The service is down while a job finishes; its record waits in the
    // outbox and leaves, with the device's id, once the device is registered.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    const QString rest = QStringLiteral("http://127.0.0.1:%1/").arg(port);
    NuvexaCloud cloud(rest, "ws://127.0.0.1:1/", m_dir.filePath("held.sqlite"));
    cloud.setRetryPolicy(20, 100);
    auto d = machine();
    d->setCloudRetryInterval(20);
    d->setNuvexaCloud(&cloud, "KT0A1ZHELD");
    d->property_ptr("TASK_FILE_INFO")->setValue(QJsonObject{{"path_length", 10}, {"heigth", 3}, {"width", 4}});
    d->startTask();
    finishTask(d.get(), 2, 2);
    d->stopTask();
    QCOMPARE(cloud.pendingRecords().size(), 1);
    QCOMPARE(cloud.pendingRecords().first().heldFor, QStringLiteral("KT0A1ZHELD"));

    KTCloudService service;
    QVERIFY(service.listen(port, 0));
    QTRY_COMPARE_WITH_TIMEOUT(service.workRecords().size(), 1, 10000);
    const QJsonObject record = service.workRecords().first().toObject();
    QCOMPARE(record.value("device"), cloudValue(d.get()).value("id"));
    QCOMPARE(record.value("finish_copies").toInt(), 2);
    QTRY_VERIFY(cloud.pendingRecords().isEmpty());
}

void tst_KTCloud::relayBoundedAndReconnecting()
{
    QWebSocketServer server(QStringLiteral("relay"), QWebSocketServer::NonSecureMode);
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QList<QWebSocket *> peers;
    QStringList received;
    QList<int> closeCodes;
    connect(&server, &QWebSocketServer::newConnection, this, [&]() {
        QWebSocket *ws = server.nextPendingConnection();
        peers.append(ws);
        connect(ws, &QWebSocket::textMessageReceived, this, [&received](const QString &t) { received << t; });
        connect(ws, &QWebSocket::disconnected, this, [&closeCodes, ws]() { closeCodes << int(ws->closeCode()); });
    });
    RecordingCloud cloud;
    cloud.wsText = QStringLiteral("ws://127.0.0.1:%1/").arg(server.serverPort());
    auto d = machine();
    d->setCloudRetryInterval(20);
    QSignalSpy messages(d.get(), &KTDeviceInterface::message);
    d->setNuvexaCloud(&cloud, "CODE1234");
    QTRY_COMPARE(peers.size(), 1);
    QTRY_COMPARE(d->relaySocket()->state(), QAbstractSocket::ConnectedState);

    // A message within the bound is acted on: the device answers with its task.
    finishTask(d.get(), 2, 1);   // a task to report
    QTRY_COMPARE(received.size(), 1);
    peers.first()->sendTextMessage("hello");
    QTRY_COMPARE(received.size(), 2);

    // One above it is refused and the relay closed, not buffered.
    peers.first()->sendTextMessage(QString(int(KTCommonInterface::RelayMessageLimit) + 1, QLatin1Char('x')));
    QTRY_COMPARE(closeCodes.size(), 1);
    QCOMPARE(closeCodes.first(), int(QWebSocketProtocol::CloseCodeTooMuchData));
    QCOMPARE(received.size(), 2);

    // The relay comes back by itself, and after the service drops it again.
    QTRY_COMPARE(peers.size(), 2);
    peers.last()->close();
    QTRY_COMPARE(peers.size(), 3);
    QStringList texts;
    for (const auto &m : messages)
        texts << m.at(1).toString();
    QCOMPARE(texts.count("WEB SOCKET CONNECTED."), 3);
    QVERIFY(texts.count("WEB SOCKET DISCONNECTED.") >= 2);
    qDeleteAll(peers);
}

QTEST_MAIN(tst_KTCloud)
#include "tst_ktcloud.moc"
