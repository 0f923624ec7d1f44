#include "property/ktdeviceproperty.h"
#include "plugin/ktmrc600cam.h"

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QJsonObject>
#include <QSpinBox>
#include <QVBoxLayout>
#include <QtTest>

using T = KTDeviceInterface;

namespace {

std::unique_ptr<KTMRC600Cam> machine()
{
    KTMRC600Cam root;
    return std::unique_ptr<KTMRC600Cam>(static_cast<KTMRC600Cam *>(root.initInstance()));
}

QStringList keysOf(QObject *o)
{
    QStringList keys;
    for (const QByteArray &name : o->dynamicPropertyNames())
        keys << QString::fromLatin1(name);
    return keys;
}

QStringList childKeys(KTDeviceProperty *p)
{
    QStringList keys;
    for (const auto &c : p->childProperties())
        keys << QString::fromLatin1(c.first);
    return keys;
}

// The values a machine would send back for a parameter's read.
QStringList replyValuesFor(KTDeviceProperty *p)
{
    const QString frame = QString::fromUtf8(p->set_cmd_bytes());
    const QStringList fields = frame.split(';');
    QStringList values;
    if (p->cmd_type() == T::CMD) {
        for (int i = 2; i < fields.size() - 1; ++i)
            values << fields.at(i).section(':', -1);
    } else {
        values = fields.at(2).split(',').mid(1);
    }
    return values;
}

} // namespace

class tst_KTModel : public QObject
{
    Q_OBJECT
private slots:
    void buildOrder();
    void listedKeysResolve();
    void groupChildrenAreDeviceEntries();
    void devicesAreIndependent();
    void readAndWriteFramesRoundTrip();
    void everyControlShowsItsDefault();
    void modelEdgeCases_data();
    void modelEdgeCases();
    void deviceInfoDistribution_data();
    void deviceInfoDistribution();
    void family437();
    void feedAndToolHeads();
};

void tst_KTModel::buildOrder()
{
    auto d = machine();
    const QStringList expected{
        "STATUS", "TCP_PORT", "CONNECT_MODE", "QRCODE_COPIES", "QRCODE_FILE", "TASK_COPIES", "TASK_PLT", "TASK_STOP",
        "TASK_PAUSE", "TASK_RESUME", "QR_PLT", "FLAG_POINT", "BACK_FLAG_POINT", "TASK_MODE", "LAST_TIME", "HEARTBEAT",
        "FILE_PREVIEW", "TASK_FILE_INFO", "WORK_MODE", "PU_SPEED", "DEVICE_CLOUD",
        "CAMERA_OFFSET_X", "CAMERA_OFFSET_Y", "CAMERA_OFFSET", "FACTORY_SET",
        "TOOL_SPACE_X", "TOOL_SPACE_Y", "TOOL_SPACE",
        "FIRMWARE", "DEVICE_ID", "PCB_ID", "PCB_VERSION", "DEVICE_CONFIG_NO", "DEVICE_UNIQUE_ID", "DEVICE_MODEL",
        "DEVICE_INFO",
        "MOVE_X", "MOVE_Y",
        "SCALE_X", "SCALE_Y", "SCALE",
        "WORKAREA_X", "WORKAREA_Y", "WORKAREA",
        "SP2_SPEED", "SP2_PRESSURE", "FEED_SPEED", "ROLL_SPEED", "PAGE_SPACE", "PAGE_TURN", "DEVICE_MODEL_NAME"};
    QCOMPARE(keysOf(d.get()), expected);
    for (const QString &key : expected) {
        KTDeviceProperty *p = d->property_ptr(key.toLatin1().constData());
        QVERIFY2(p, qPrintable(key));
        QCOMPARE(p->previousValue(), p->value());
        QVERIFY(p->param().isEmpty());
        QVERIFY(!p->parent());
    }
    QVERIFY(!d->property_ptr("SPEED"));
    QVERIFY(!d->property_ptr("SP1"));
    QVERIFY(!d->property_ptr("TASK_PPLT"));
}

void tst_KTModel::listedKeysResolve()
{
    auto d = machine();
    QCOMPARE(d->userProperty(), (QStringList{"WORK_MODE", "SP2_SPEED", "SP2_PRESSURE", "FEED_SPEED", "ROLL_SPEED",
                                             "PAGE_SPACE", "PAGE_TURN", "CAMERA_OFFSET"}));
    QCOMPARE(d->sysProperty().size(), 10);
    for (const QString &key : d->userProperty() + d->sysProperty()) {
        KTDeviceProperty *p = d->property_ptr(key.toLatin1().constData());
        QVERIFY2(p, qPrintable(key));
        // Every listed key except the device-information list has a control.
        if (key != QLatin1String("DEVICE_INFO"))
            QVERIFY2(p->property("WIDGET").isValid(), qPrintable(key));
    }
}

void tst_KTModel::groupChildrenAreDeviceEntries()
{
    auto d = machine();
    const QMap<QString, QStringList> groups{
        {"CAMERA_OFFSET", {"CAMERA_OFFSET_X", "CAMERA_OFFSET_Y"}},
        {"TOOL_SPACE", {"TOOL_SPACE_X", "TOOL_SPACE_Y"}},
        {"SCALE", {"SCALE_X", "SCALE_Y"}},
        {"WORKAREA", {"WORKAREA_X", "WORKAREA_Y"}},
        {"DEVICE_INFO", {"DEVICE_MODEL", "DEVICE_ID", "PCB_ID", "PCB_VERSION", "FIRMWARE", "DEVICE_CONFIG_NO"}}};
    for (auto it = groups.begin(); it != groups.end(); ++it) {
        KTDeviceProperty *group = d->property_ptr(it.key().toLatin1().constData());
        QCOMPARE(childKeys(group), it.value());
        for (const QString &child : it.value())
            QCOMPARE(group->property_ptr(child.toLatin1().constData()), d->property_ptr(child.toLatin1().constData()));
        if (it.key() == QLatin1String("DEVICE_INFO")) {
            QCOMPARE(group->value().toStringList(), it.value());
        } else {
            QVERIFY(!group->value().isValid());
            QCOMPARE(group->cmd_type(), T::UnCMD);
            QVERIFY(group->get_cmd_bytes().isEmpty());
            QVERIFY(group->set_cmd_bytes().isEmpty());
        }
    }
    // The camera offset group takes its children before its control.
    QCOMPARE(keysOf(d->property_ptr("CAMERA_OFFSET")),
             (QStringList{"CAMERA_OFFSET_X", "CAMERA_OFFSET_Y", "WIDGET"}));
    QCOMPARE(keysOf(d->property_ptr("SCALE")), (QStringList{"WIDGET", "SCALE_X", "SCALE_Y"}));
}

void tst_KTModel::devicesAreIndependent()
{
    auto a = machine();
    auto b = machine();
    QVERIFY(a->property_ptr("SP2_SPEED") != b->property_ptr("SP2_SPEED"));
    a->property_ptr("SP2_SPEED")->setValue(700u);
    QCOMPARE(b->property_ptr("SP2_SPEED")->value(), QVariant(0u));
    QCOMPARE(a->property_ptr("TCP_PORT")->value(), QVariant(9100));
    QCOMPARE(a->property_ptr("HEARTBEAT")->value(), QVariant(2));
    QVERIFY(a->property_ptr("LAST_TIME")->value().toDateTime().isValid());
    QCOMPARE(a->property_ptr("DEVICE_MODEL")->value(), QVariant("KT-PXT7316EVACam"));
}

void tst_KTModel::readAndWriteFramesRoundTrip()
{
    // Every writable parameter's write frame, answered as a read reply, gives
    // the same value back; every readable one has a read frame.
    auto d = machine();
    int checked = 0;
    for (const QString &key : keysOf(d.get())) {
        KTDeviceProperty *p = d->property_ptr(key.toLatin1().constData());
        if (p->cmd_type() == T::CMD || p->cmd_type() == T::CCMD) {
            if (p->get_cmd_int() && p->cmd_len())
                QVERIFY2(!p->get_cmd_bytes().isEmpty(), qPrintable(key));
        }
        if ((p->cmd_type() != T::CMD && p->cmd_type() != T::CCMD) || !p->set_cmd_int())
            continue;
        const QVariant original = p->value();
        QVariant sample = original;
        if (original.userType() == QMetaType::UInt)
            sample = p->cmd_len() > 1 ? QVariant(70000u) : QVariant(300u);
        else if (original.userType() == QMetaType::Int)
            sample = 5;
        else if (original.userType() == QMetaType::QString)
            sample = QStringLiteral("S1");
        p->setValue(sample);
        QVERIFY2(!p->set_cmd_bytes().isEmpty(), qPrintable(key));
        const QStringList values = replyValuesFor(p);
        p->set_decode(QString());   // disturb the value first
        p->set_decode(values);
        QVERIFY2(p->value().toString() == sample.toString(), qPrintable(key + ": " + p->value().toString()));
        ++checked;
    }
    QVERIFY(checked >= 20);
}

void tst_KTModel::everyControlShowsItsDefault()
{
    auto d = machine();
    QWidget page;
    new QVBoxLayout(&page);
    int spinBoxes = 0;
    for (const QString &key : keysOf(d.get())) {
        KTDeviceProperty *p = d->property_ptr(key.toLatin1().constData());
        if (!p->property("WIDGET").isValid())
            continue;
        p->create_ui_ctrl(&page, key, true);
        QVERIFY2(p->uiControl(), qPrintable(key));
        p->to_ui_ctrl();
        // A default outside the table's range shows as the nearest end of it.
        const QJsonObject w = p->property("WIDGET").toJsonObject();
        const double factor = w.value("factor").toDouble(1);
        if (auto *s = qobject_cast<QSpinBox *>(p->uiControl())) {
            const int shown = int(p->value().toInt() * factor);
            const int expected = qBound(w.value("min").toInt(s->minimum()), shown, w.value("max").toInt(s->maximum()));
            QVERIFY2(s->value() == expected, qPrintable(key + ": " + QString::number(s->value())));
            ++spinBoxes;
        } else if (auto *s = qobject_cast<QDoubleSpinBox *>(p->uiControl())) {
            const double shown = p->value().toDouble() * factor;
            const double expected =
                qBound(w.value("min").toDouble(s->minimum()), shown, w.value("max").toDouble(s->maximum()));
            QVERIFY2(qAbs(s->value() - expected) < 1e-9, qPrintable(key + ": " + QString::number(s->value())));
            ++spinBoxes;
        }
    }
    QVERIFY(spinBoxes >= 8);
}

void tst_KTModel::modelEdgeCases_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QVariant>("shown");

    QTest::newRow("feed speed 75") << QByteArray("FEED_SPEED") << QVariant(75u) << QVariant("   中速");
    QTest::newRow("roll speed 125") << QByteArray("ROLL_SPEED") << QVariant(125u) << QVariant("   很快");
    QTest::newRow("page turn 1") << QByteArray("PAGE_TURN") << QVariant(1u) << QVariant("   开启");
    QTest::newRow("work mode 1") << QByteArray("WORK_MODE") << QVariant(1u) << QVariant("   平衡");
    QTest::newRow("speed 700") << QByteArray("SP2_SPEED") << QVariant(700u) << QVariant(1050);
    QTest::newRow("pressure 600") << QByteArray("SP2_PRESSURE") << QVariant(600u) << QVariant(600);
    QTest::newRow("page space") << QByteArray("PAGE_SPACE") << QVariant(150u) << QVariant(15.0);
    QTest::newRow("camera offset") << QByteArray("CAMERA_OFFSET_X") << QVariant(2000u) << QVariant(10.0);
    QTest::newRow("work area") << QByteArray("WORKAREA_X") << QVariant(600u) << QVariant("300");
    QTest::newRow("scale") << QByteArray("SCALE_X") << QVariant(10000u) << QVariant("1");
    QTest::newRow("model name") << QByteArray("DEVICE_MODEL_NAME") << QVariant() << QVariant();
}

void tst_KTModel::modelEdgeCases()
{
    QFETCH(QByteArray, key);
    QFETCH(QVariant, value);
    QFETCH(QVariant, shown);
    auto d = machine();
    KTDeviceProperty *p = d->property_ptr(key.constData());
    QWidget page;
    new QVBoxLayout(&page);
    p->create_ui_ctrl(&page, QString::fromLatin1(key), true);
    if (value.isValid())
        p->setValue(value);
    else
        shown = QCoreApplication::translate("KTMRC600Cam", "桌面式标签机");
    p->to_ui_ctrl();
    QWidget *c = p->uiControl();
    QVariant actual;
    if (auto *cb = qobject_cast<QComboBox *>(c)) {
        actual = cb->currentText();
        shown = QCoreApplication::translate(key == "WORK_MODE" ? "KTCommonInterface" : "KTMRC600Cam",
                                            shown.toString().toUtf8().constData());
    } else if (auto *s = qobject_cast<QSpinBox *>(c)) {
        actual = s->value();
    } else if (auto *ds = qobject_cast<QDoubleSpinBox *>(c)) {
        actual = ds->value();
    } else {
        actual = c->property("text");
    }
    QCOMPARE(actual, shown);
}

void tst_KTModel::deviceInfoDistribution_data()
{
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("six") << QStringList{"A", "B", "C", "D", "E", "F"} << QStringList{"A", "B", "C", "D", "E", "F"};
    QTest::newRow("four") << QStringList{"A", "B", "C", "D"} << QStringList{"A", "B", "C", "D", "", ""};
}

void tst_KTModel::deviceInfoDistribution()
{
    QFETCH(QStringList, values);
    QFETCH(QStringList, expected);
    auto d = machine();
    d->property_ptr("DEVICE_INFO")->set_decode(values);
    QStringList actual;
    for (const char *key : {"DEVICE_MODEL", "DEVICE_ID", "PCB_ID", "PCB_VERSION", "FIRMWARE", "DEVICE_CONFIG_NO"})
        actual << d->property_ptr(key)->value().toString();
    QCOMPARE(actual, expected);
}

void tst_KTModel::family437()
{
    KTCommonInterface d;
    d.init437(&d);
    d.info_437(&d);
    d.camera_offset_437(&d);
    d.scale_437(&d);
    d.work_area_437(&d);
    QVERIFY(!d.property_ptr("HEARTBEAT"));
    QVERIFY(!d.property_ptr("TASK_PLT"));
    QVERIFY(!d.property_ptr("PU_SPEED"));

    KTDeviceProperty *offset = d.property_ptr("CAMERA_OFFSET");
    QCOMPARE(offset->cmd_type(), T::CCMD);
    QCOMPARE(offset->value().toStringList(), (QStringList{"CAMERA_OFFSET_X", "CAMERA_OFFSET_Y"}));
    QCOMPARE(d.property_ptr("CAMERA_OFFSET_X")->cmd_type(), T::UnCMD);
    d.property_ptr("CAMERA_OFFSET_X")->setValue(15.0);
    d.property_ptr("CAMERA_OFFSET_Y")->setValue(1.5);
    offset->setValue(offset->value());
    d.property_ptr("WORKAREA_X")->setValue(-2.0);
    QCOMPARE(offset->set_cmd_bytes(), QByteArray("\x02" "20;CCMD;15,15,1.5;\x03"));
    QCOMPARE(d.property_ptr("SCALE_X")->value(), QVariant(1.0));
    QCOMPARE(d.property_ptr("SCALE_X")->set_cmd_bytes(), QByteArray("\x02" "15;CCMD;20,1;\x03"));
    QVERIFY(d.property_ptr("SCALE")->set_cmd_bytes().isEmpty());
    QCOMPARE(d.property_ptr("WORK_MODE")->get_cmd_bytes(), QByteArray("\x02" "13;CCMD;64;\x03"));
    QCOMPARE(d.property_ptr("TASK_PPLT")->cmd_type(), T::PPLT);
    QCOMPARE(keysOf(d.property_ptr("WORKAREA")), (QStringList{"WIDGET", "WORKAREA_X", "WORKAREA_Y"}));
}

void tst_KTModel::feedAndToolHeads()
{
    KTCommonInterface d;
    d.feed_157(&d);
    d.sp1_157(&d);
    d.sp2_157(&d);
    QCOMPARE(childKeys(d.property_ptr("FEED")),
             (QStringList{"AUTO_FEED", "FEED_MODEL", "FEED_LENGTH", "FEED_CENTER", "FEED_SPEED", "FAN_DELAY"}));
    QCOMPARE(keysOf(&d).mid(4, 3), (QStringList{"FAN_DELAY", "FEED_SPEED", "FEED"}));
    QCOMPARE(childKeys(d.property_ptr("SP1")), (QStringList{"SP1_TOOL", "SP1_SPEED", "SP1_PRESSURE", "SP1_ANGLE"}));
    QCOMPARE(childKeys(d.property_ptr("SP2")), (QStringList{"SP2_TOOL", "SP2_SPEED", "SP2_PRESSURE", "SP2_ANGLE"}));

    QWidget page;
    new QVBoxLayout(&page);
    for (const char *key : {"FEED", "SP1", "SP2"})
        d.property_ptr(key)->create_ui_ctrl(&page, key, true);
    const auto tabs = page.findChildren<QTabWidget *>();
    QCOMPARE(tabs.size(), 1);
    QCOMPARE(tabs.first()->count(), 3);
    auto range = [&](const char *key) {
        auto *s = qobject_cast<QSpinBox *>(d.property_ptr(key)->uiControl());
        return s ? qMakePair(s->minimum(), s->maximum()) : qMakePair(-1, -1);
    };
    QCOMPARE(range("SP1_ANGLE"), qMakePair(-360, 360));
    QCOMPARE(range("FAN_DELAY"), qMakePair(0, 10000));
    QCOMPARE(range("FEED_LENGTH"), qMakePair(0, 1000));
    d.property_ptr("SP1_PRESSURE")->setValue(600u);
    d.property_ptr("SP1_PRESSURE")->to_ui_ctrl();
    QCOMPARE(qobject_cast<QSpinBox *>(d.property_ptr("SP1_PRESSURE")->uiControl())->value(), 1900);
}

QTEST_MAIN(tst_KTModel)
#include "tst_ktmodel.moc"
