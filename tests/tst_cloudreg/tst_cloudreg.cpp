// Registration that makes one device however its answers are lost or however
// many hosts register one code at once; device codes that cannot break an
// address; the relay reached whether its base ends in a slash or not.
#include "tools/cloud-service/ktcloudservice.h"
#include "plugin/ktmrc600cam.h"
#include "property/ktdeviceproperty.h"
#include "platform/nuvexacloud/nuvexacloud.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

namespace {

// A client that sends nothing: it only names the relay.
class RelayOnlyCloud : public NuvexaCloud
{
public:
    QString wsText;
    int requests = 0;
    void customRequest(const QString &, QByteArray, QJsonObject, Callback) override { ++requests; }
    QString ws() override { return wsText; }
};

QJsonObject cloudValue(KTDeviceInterface *d)
{
    return d->property_ptr("DEVICE_CLOUD")->value().toJsonObject();
}

} // namespace

class tst_CloudReg : public QObject
{
    Q_OBJECT
private slots:
    void creationKey_data();
    void creationKey();
    void oneDevice_data();
    void oneDevice();
    void relayAddress_data();
    void relayAddress();
    void invalidCodeRefused_data();
    void invalidCodeRefused();
    void hostRefusesBadCloudOptions_data();
    void hostRefusesBadCloudOptions();

private:
    QTemporaryDir m_dir;
};

void tst_CloudReg::creationKey_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("same");   // as the key of http://cloud.example/api/ and KT1

    QTest::newRow("same spelling") << "http://cloud.example/api/" << "KT1" << true;
    QTest::newRow("no trailing slash") << "http://cloud.example/api" << "KT1" << true;
    QTest::newRow("upper-case scheme and host") << "HTTP://Cloud.EXAMPLE/api/" << "KT1" << true;
    QTest::newRow("default port") << "http://cloud.example:80/api/" << "KT1" << true;
    QTest::newRow("dot segment") << "http://cloud.example/x/../api/" << "KT1" << true;
    QTest::newRow("other code") << "http://cloud.example/api/" << "KT2" << false;
    QTest::newRow("other port") << "http://cloud.example:8080/api/" << "KT1" << false;
    QTest::newRow("other host") << "http://other.example/api/" << "KT1" << false;
}

void tst_CloudReg::creationKey()
{
    QFETCH(QString, base);
    QFETCH(QString, code);
    QFETCH(bool, same);
    const QByteArray reference = NuvexaCloud::creationKey("http://cloud.example/api/", "KT1");
    QCOMPARE(NuvexaCloud::creationKey(base, code) == reference, same);
}

void tst_CloudReg::oneDevice_data()
{
    QTest::addColumn<int>("hosts");
    QTest::addColumn<bool>("loseAnswers");   // of "device_model": the model and the creation

    QTest::newRow("creation answer lost") << 1 << true;
    QTest::newRow("20 hosts at once") << 20 << false;
    QTest::newRow("20 hosts at once, answers lost") << 20 << true;
}

// Each host has its own client and outbox, as separate programs would.
void tst_CloudReg::oneDevice()
{
    QFETCH(int, hosts);
    QFETCH(bool, loseAnswers);
    KTCloudService service;
    QVERIFY(service.listen());
    if (loseAnswers)
        service.setFault(KTCloudService::LoseAnswer, 0, "device_model");
    KTMRC600Cam root;
    std::vector<std::unique_ptr<NuvexaCloud>> clients;
    std::vector<std::unique_ptr<KTDeviceInterface>> devices;
    for (int i = 0; i < hosts; ++i) {
        clients.push_back(std::make_unique<NuvexaCloud>(
            service.restBase(), service.wsBase(), m_dir.filePath(QStringLiteral("%1-%2.sqlite").arg(QTest::currentDataTag()).arg(i))));
        devices.emplace_back(root.initInstance());
        static_cast<KTCommonInterface *>(devices.back().get())->setCloudRetryInterval(20);
    }
    for (int i = 0; i < hosts; ++i)
        devices[size_t(i)]->setNuvexaCloud(clients[size_t(i)].get(), "KT0A1ZSAME");
    auto registered = [&devices]() {
        for (const auto &d : devices) {
            if (!cloudValue(d.get()).contains("id"))
                return false;
        }
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(registered(), 20000);
    QCOMPARE(service.devices().size(), 1);
    for (const auto &d : devices)
        QCOMPARE(cloudValue(d.get()).value("id"), service.devices().first().toObject().value("id"));
    int creations = 0;
    for (const KTCloudService::Request &r : service.requests())
        creations += r.verb == "POST" && r.path == QLatin1String("device_model");
    QVERIFY(creations >= 1);   // the creation really was asked for, and answered once
}

void tst_CloudReg::relayAddress_data()
{
    QTest::addColumn<QString>("slash");   // after the base's port
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("path");    // the relay's request path, as sent

    QTest::newRow("base with slash") << "/" << "KT0A1Z" << "/KT0A1Z/Device/";
    QTest::newRow("base without slash") << "" << "KT0A1Z" << "/KT0A1Z/Device/";
    QTest::newRow("slash and query in the code") << "" << "A/B?c#d" << "/A%2FB%3Fc%23d/Device/";
    QTest::newRow("escape in the code") << "/" << "A%2FB" << "/A%252FB/Device/";
}

void tst_CloudReg::relayAddress()
{
    QFETCH(QString, slash);
    QFETCH(QString, code);
    QFETCH(QString, path);
    QWebSocketServer relay(QStringLiteral("relay"), QWebSocketServer::NonSecureMode);
    QVERIFY(relay.listen(QHostAddress::LocalHost));
    QString seen;
    connect(&relay, &QWebSocketServer::newConnection, this, [&]() {
        QWebSocket *peer = relay.nextPendingConnection();
        seen = peer->requestUrl().path(QUrl::FullyEncoded);
        peer->setParent(&relay);
    });
    RelayOnlyCloud cloud;
    cloud.wsText = QStringLiteral("ws://127.0.0.1:%1").arg(relay.serverPort()) + slash;
    KTMRC600Cam root;
    std::unique_ptr<KTDeviceInterface> d(root.initInstance());
    d->setNuvexaCloud(&cloud, code);
    QTRY_COMPARE(seen, path);
}

void tst_CloudReg::invalidCodeRefused_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("taken");

    QTest::newRow("64 characters") << QString(64, QLatin1Char('K')) << true;
    QTest::newRow("punctuation") << QStringLiteral("KT-0A1Z_9.~!") << true;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("65 characters") << QString(65, QLatin1Char('K')) << false;
    QTest::newRow("100000 characters") << QString(100000, QLatin1Char('K')) << false;
    QTest::newRow("control byte") << QStringLiteral("KT\x01" "0A1Z") << false;
    QTest::newRow("line feed") << QStringLiteral("KT0A1Z\n") << false;
    QTest::newRow("space") << QStringLiteral("KT 0A1Z") << false;
    QTest::newRow("not ASCII") << QStringLiteral("KT0A1Z\u00e9") << false;
}

void tst_CloudReg::invalidCodeRefused()
{
    QFETCH(QString, code);
    QFETCH(bool, taken);
    RelayOnlyCloud cloud;
    cloud.wsText = QStringLiteral("ws://127.0.0.1:1/");
    KTMRC600Cam root;
    std::unique_ptr<KTDeviceInterface> d(root.initInstance());
    if (!taken)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^KTCommonInterface::setNuvexaCloud refused a device code"));
    d->setNuvexaCloud(&cloud, code);
    // Taken: announced, looked up and the relay opened; refused: none of it.
    QCOMPARE(cloud.requests, taken ? 2 : 0);
    QCOMPARE(cloudValue(d.get()).value("code").toString(), taken ? code : QString());
    QCOMPARE(static_cast<KTCommonInterface *>(d.get())->relaySocket() != nullptr, taken);
}

void tst_CloudReg::hostRefusesBadCloudOptions_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("message");

    const QString code = QStringLiteral("--code takes 1 to 64 visible ASCII characters");
    QTest::newRow("empty code") << QStringList{"--code", ""} << code;
    QTest::newRow("65 characters") << QStringList{"--code", QString(65, 'K')} << code;
    QTest::newRow("100000 characters") << QStringList{"--code", QString(100000, 'K')} << code;
    QTest::newRow("control byte") << QStringList{"--code", "KT\x01Z"} << code;
    QTest::newRow("space") << QStringList{"--code", "KT 1"} << code;
    QTest::newRow("negative wait") << QStringList{"--code", "KT1", "--cloud-wait", "-1"}
                                   << "--cloud-wait takes seconds from 0 to 3600";
    QTest::newRow("wait not a number") << QStringList{"--code", "KT1", "--cloud-wait", "soon"}
                                       << "--cloud-wait takes seconds from 0 to 3600";
}

// Refused before any connection: the machine's address is never tried.
void tst_CloudReg::hostRefusesBadCloudOptions()
{
    QFETCH(QStringList, options);
    QFETCH(QString, message);
    QProcess host;
    host.start(QStringLiteral(KT_HOST_PATH),
               QStringList{"--tcp", "127.0.0.1:1", "--cloud", "http://127.0.0.1:1/,ws://127.0.0.1:1/"} + options
                   + QStringList{"info"});
    QVERIFY(host.waitForFinished(20000));
    const QString err = QString::fromUtf8(host.readAllStandardError());
    QCOMPARE(host.exitCode(), 2);
    QVERIFY2(err.contains(message), qPrintable(err));
    QCOMPARE(err.count(QStringLiteral("kt-host: ")), 1);
    QVERIFY2(!err.contains(QStringLiteral("KKKKKKKKKK")) && !err.contains(QChar(1)), "the bad value is not echoed");
}

QTEST_MAIN(tst_CloudReg)
#include "tst_cloudreg.moc"
