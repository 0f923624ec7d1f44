#include "device/ktcommoninterface.h"
#include "property/ktdeviceproperty.h"

#include <QPointer>
#include <QtTest>

class tst_KTDeviceInterface : public QObject
{
    Q_OBJECT
private slots:
    void bareInterfaceIsInert();
    void statusEnumConvertsFromInt();
    void setUSBPathTwiceReplaces();
    void replacedParameterLivesUntilTheDeviceGoes();
    void interfaceDefaultsStoreAddressAsLabel();
    void destructionDeletesEveryParameter();
    void setPltPrefersPplt();
    void buildDate_data();
    void buildDate();
    void commonDefaults();
};

void tst_KTDeviceInterface::bareInterfaceIsInert()
{
    KTDeviceInterface d;
    QVERIFY(d.initInstance() == nullptr);
    QVERIFY(!d.connectDevice());
    QVERIFY(d.property_ptr("STATUS") == nullptr);
    QVERIFY(d.userProperty().isEmpty());
    QVERIFY(d.sysProperty().isEmpty());
    QCOMPARE(d.icon(), 0);
    QSignalSpy spy(&d, &KTDeviceInterface::message);
    d.sendCMD("x");
    d.startTask();
    d.stopTask();
    d.move(1, 1);
    d.setNuvexaCloud(nullptr, "code");
    QVERIFY(!d.setUSBBaudRate(9600));   // no USB link: nothing to set, and no parameter grows
    QCOMPARE(d.usbBaudRate(), 0);
    QCOMPARE(spy.count(), 0);
    QVERIFY(d.dynamicPropertyNames().isEmpty());
}

void tst_KTDeviceInterface::statusEnumConvertsFromInt()
{
    QVERIFY(QMetaType::type("KTDeviceInterface::KTDeviceStatus") != QMetaType::UnknownType);
    QCOMPARE(qvariant_cast<KTDeviceInterface::KTDeviceStatus>(QVariant(3)), KTDeviceInterface::Pause);
    const QMetaEnum e = QMetaEnum::fromType<KTDeviceInterface::KTDeviceMessage>();
    QCOMPARE(QByteArray(e.valueToKey(1)), QByteArray("DevTasK"));
}

void tst_KTDeviceInterface::setUSBPathTwiceReplaces()
{
    KTCommonInterface d;
    d.setUSBPath("/dev/ttyACM0");
    QPointer<KTDeviceProperty> first = d.property_ptr("USB");
    d.setUSBPath("/dev/ttyACM1");
    KTDeviceProperty *second = d.property_ptr("USB");
    QVERIFY(second);
    QVERIFY(second != first);
    QCOMPARE(second->value().toString(), QStringLiteral("/dev/ttyACM1"));
    d.setIPAddress("10.0.0.5");
    QCOMPARE(d.property_ptr("TCP")->value().toString(), QStringLiteral("10.0.0.5"));
    QCOMPARE(d.property_ptr("TCP")->label(), QStringLiteral("IP 地址"));
}

void tst_KTDeviceInterface::replacedParameterLivesUntilTheDeviceGoes()
{
    QPointer<KTDeviceProperty> first;
    {
        KTCommonInterface d;
        d.setUSBPath("/dev/ttyACM0");
        first = d.property_ptr("USB");
        d.setUSBPath("/dev/ttyACM1");
        QVERIFY(!first.isNull());   // a host may still hold it
        QCOMPARE(first->value().toString(), QStringLiteral("/dev/ttyACM0"));
        QCOMPARE(d.dynamicPropertyNames().size(), 1);
    }
    QVERIFY(first.isNull());
}

void tst_KTDeviceInterface::interfaceDefaultsStoreAddressAsLabel()
{
    KTDeviceInterface d;
    d.setUSBPath("/dev/usb/lp0");
    auto *usb = KTDeviceProperty::fromVariant(d.property("USB"));
    QVERIFY(usb);
    QCOMPARE(usb->value().toString(), QStringLiteral("USB"));
    QCOMPARE(usb->label(), QStringLiteral("/dev/usb/lp0"));
}

void tst_KTDeviceInterface::destructionDeletesEveryParameter()
{
    auto *device = static_cast<KTCommonInterface *>(KTCommonInterface().initInstance());
    QList<QPointer<KTDeviceProperty>> params;
    for (const QByteArray &name : device->dynamicPropertyNames())
        params << device->property_ptr(name.constData());
    QCOMPARE(params.size(), 21);
    delete device;
    for (const auto &p : params)
        QVERIFY(p.isNull());
}

void tst_KTDeviceInterface::setPltPrefersPplt()
{
    KTCommonInterface d;
    d.init157(&d);
    d.setPlt("IN;PD1,1;");
    QCOMPARE(d.property_ptr("TASK_PLT")->value().toString(), QStringLiteral("IN;PD1,1;"));
    d.init437(&d);   // adds TASK_PPLT
    d.setPlt("IN;");
    QCOMPARE(d.property_ptr("TASK_PPLT")->value().toString(), QStringLiteral("IN;"));
    QCOMPARE(d.property_ptr("TASK_PLT")->value().toString(), QStringLiteral("IN;PD1,1;"));
}

void tst_KTDeviceInterface::buildDate_data()
{
    QTest::addColumn<QString>("compiler");
    QTest::addColumn<QString>("expected");
    QTest::newRow("two-digit day") << "Apr 11 2024" << "2024 - 04 - 11";
    QTest::newRow("padded day") << "Jan  5 2024" << "2024 - 01 - 05";
    QTest::newRow("garbage") << "not a date" << "";
}

void tst_KTDeviceInterface::buildDate()
{
    QFETCH(QString, compiler);
    QTEST(KTDeviceInterface::formatBuildDate(compiler), "expected");
    QVERIFY(QRegularExpression("^\\d{4} - \\d\\d - \\d\\d$").match(KTDeviceInterface::buildDate()).hasMatch());
}

void tst_KTDeviceInterface::commonDefaults()
{
    KTCommonInterface root;
    std::unique_ptr<KTDeviceInterface> d(root.initInstance());
    QVERIFY(d);
    QVERIFY(d.get() != &root);
    QVERIFY(d->property_ptr("STATUS"));
    QVERIFY(!d->property_ptr("SP2_SPEED"));
    QCOMPARE(root.userProperty(), (QStringList{"WORK_MODE", "SPEED", "PRESSURE", "CAMERA_OFFSET", "TOOL_SPACE",
                                                "SP1", "SP2"}));
    QVERIFY(root.sysProperty().isEmpty());
    QVERIFY(root.dynamicPropertyNames().isEmpty());
}

QTEST_MAIN(tst_KTDeviceInterface)
#include "tst_ktdeviceinterface.moc"
