// Values as people read and type them, on the parameters of this machine.
#include "tools/host/hosttext.h"
#include "tools/host/ktvalue.h"
#include "property/ktdeviceproperty.h"
#include "plugin/ktmrc600cam.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QVBoxLayout>
#include <QtTest>

namespace {

std::unique_ptr<KTMRC600Cam> machine()
{
    KTMRC600Cam root;
    return std::unique_ptr<KTMRC600Cam>(static_cast<KTMRC600Cam *>(root.initInstance()));
}

// Puts text into a control as a person would.
void type(QWidget *control, const QString &text)
{
    if (auto *s = qobject_cast<QSpinBox *>(control))
        s->setValue(text.toInt());
    else if (auto *d = qobject_cast<QDoubleSpinBox *>(control))
        d->setValue(text.toDouble());
    else if (auto *c = qobject_cast<QComboBox *>(control))
        c->setCurrentIndex(c->findText(text, Qt::MatchContains));
    else if (auto *e = qobject_cast<QLineEdit *>(control))
        e->setText(text);
}

} // namespace

class tst_KTValue : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { device = machine(); }
    void cleanupTestCase() { device.reset(); }
    void shown_data();
    void shown();
    void typed_data();
    void typed();
    void typedAsTheControlStoresIt_data();
    void typedAsTheControlStoresIt();
    void everyAcceptedValueFitsItsFrame();
    void readBackComparison_data();
    void readBackComparison();
    void assignment_data();
    void assignment();
    void sense_data();
    void sense();
    void rounding_data();
    void rounding();
    void printable_data();
    void printable();

private:
    KTValue::Form form(const QString &key) { return KTValue::formOf(device.get(), key); }
    std::unique_ptr<KTMRC600Cam> device;
};

void tst_KTValue::shown_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("raw");
    QTest::addColumn<QString>("text");

    QTest::newRow("speed") << "SP2_SPEED" << QVariant(650u) << "975 mm/s";
    QTest::newRow("speed truncated") << "SP2_SPEED" << QVariant(7u) << "10 mm/s";
    QTest::newRow("pressure") << "SP2_PRESSURE" << QVariant(120u) << "120 gf";
    QTest::newRow("offset takes the group's unit") << "CAMERA_OFFSET_X" << QVariant(300) << "1.500 mm";
    QTest::newRow("negative offset") << "TOOL_SPACE_Y" << QVariant(-400) << "-2.000 mm";
    QTest::newRow("work area") << "WORKAREA_X" << QVariant(600u) << "300 mm";
    QTest::newRow("scale") << "SCALE_X" << QVariant(10000u) << "1";
    QTest::newRow("page space") << "PAGE_SPACE" << QVariant(30u) << "3.000";
    QTest::newRow("feed item") << "FEED_SPEED" << QVariant(75u) << "Medium";
    QTest::newRow("feed off") << "FEED_SPEED" << QVariant(0u) << "Off";
    QTest::newRow("no item for it") << "FEED_SPEED" << QVariant(200u) << "? (machine value 200)";
    QTest::newRow("text") << "DEVICE_ID" << QVariant("D24001") << "D24001";
    QTest::newRow("no control") << "HEARTBEAT" << QVariant(2) << "2 s";
}

void tst_KTValue::shown()
{
    QFETCH(QString, key);
    QFETCH(QVariant, raw);
    QTEST(KTValue::displayWithUnit(form(key), raw), "text");
}

void tst_KTValue::typed_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("raw");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QVariant>("value");   // invalid: refused
    QTest::addColumn<QString>("error");

    const QVariant no;
    QTest::newRow("speed") << "SP2_SPEED" << false << "975" << QVariant(650u) << "";
    QTest::newRow("speed top") << "SP2_SPEED" << false << "1050" << QVariant(700u) << "";
    QTest::newRow("speed bottom") << "SP2_SPEED" << false << "10" << QVariant(6u) << "";
    QTest::newRow("speed below") << "SP2_SPEED" << false << "9" << no
                                 << "SP2_SPEED = 9 is not allowed: a whole number from 10 to 1050 mm/s";
    QTest::newRow("speed past 16 bits") << "SP2_SPEED" << false << "99999" << no << "SP2_SPEED = 99999";
    QTest::newRow("speed zero") << "SP2_SPEED" << false << "0" << no << "from 10 to 1050";
    QTest::newRow("speed word") << "SP2_SPEED" << false << "fast" << no << "SP2_SPEED = fast";
    QTest::newRow("speed fraction") << "SP2_SPEED" << false << "975.5" << no << "a whole number";
    QTest::newRow("speed raw") << "SP2_SPEED" << true << "650" << QVariant(650u) << "";
    QTest::newRow("speed raw lowest") << "SP2_SPEED" << true << "6" << QVariant(6u) << "";
    QTest::newRow("speed raw below") << "SP2_SPEED" << true << "5" << no
                                     << "SP2_SPEED = 5 is not allowed: a whole number from 6 to 700 (machine value)";
    QTest::newRow("speed raw above") << "SP2_SPEED" << true << "701" << no << "from 6 to 700";
    QTest::newRow("speed raw wraps") << "SP2_SPEED" << true << "65536" << no << "SP2_SPEED = 65536";
    QTest::newRow("speed raw fraction") << "SP2_SPEED" << true << "650.5" << no << "SP2_SPEED = 650.5";
    QTest::newRow("feed item") << "FEED_SPEED" << false << "medium" << QVariant(75u) << "";
    QTest::newRow("feed item spaced") << "FEED_SPEED" << false << " Very fast " << QVariant(125u) << "";
    QTest::newRow("feed unknown item") << "FEED_SPEED" << false << "warp" << no
                                       << "one of \"Off\", \"Very slow\", \"Slow\", \"Medium\", \"Fast\", \"Very fast\"";
    QTest::newRow("feed number is no item") << "FEED_SPEED" << false << "75" << no << "FEED_SPEED = 75";
    QTest::newRow("feed raw") << "FEED_SPEED" << true << "75" << QVariant(75u) << "";
    QTest::newRow("feed raw between items") << "FEED_SPEED" << true << "30" << no
                                            << "one of 0, 25, 50, 75, 100, 125";
    QTest::newRow("page space") << "PAGE_SPACE" << false << "2.3" << QVariant(23u) << "";
    QTest::newRow("page space above") << "PAGE_SPACE" << false << "20.001" << no << "a number from 0 to 20";
    QTest::newRow("offset") << "CAMERA_OFFSET_X" << false << "-2" << QVariant(-400) << "";
    QTest::newRow("offset top") << "CAMERA_OFFSET_X" << false << "1000" << QVariant(200000u) << "";
    QTest::newRow("offset past") << "CAMERA_OFFSET_X" << false << "1000.5" << no << "from -1000 to 1000 mm";
    QTest::newRow("offset raw") << "CAMERA_OFFSET_X" << true << "-200000" << QVariant(-200000) << "";
    QTest::newRow("offset raw past") << "CAMERA_OFFSET_X" << true << "200001" << no << "CAMERA_OFFSET_X = 200001";
    QTest::newRow("offset not a number") << "CAMERA_OFFSET_X" << false << "nan" << no << "CAMERA_OFFSET_X = nan";
    QTest::newRow("offset infinite") << "CAMERA_OFFSET_X" << false << "inf" << no << "CAMERA_OFFSET_X = inf";
    QTest::newRow("offset past every integer") << "CAMERA_OFFSET_X" << false << "100000000000000000000" << no
                                               << "from -1000 to 1000 mm";
    QTest::newRow("speed raw past every integer") << "SP2_SPEED" << true << "-100000000000000000000" << no
                                                  << "from 6 to 700";
    QTest::newRow("work area") << "WORKAREA_X" << false << "300" << QVariant(600u) << "";
    QTest::newRow("work area top") << "WORKAREA_X" << false << "32767.5" << QVariant(65535u) << "";
    QTest::newRow("work area past") << "WORKAREA_X" << false << "32768" << no << "a number from 0 to 32767.5 mm";
    QTest::newRow("work area negative") << "WORKAREA_X" << false << "-1" << no << "WORKAREA_X = -1";
    QTest::newRow("work area exponent") << "WORKAREA_X" << false << "1e3" << no << "WORKAREA_X = 1e3";
    QTest::newRow("scale") << "SCALE_X" << false << "1.2345" << QVariant(12345u) << "";
    QTest::newRow("text") << "DEVICE_ID" << false << "SN-77" << QVariant("SN-77") << "";
    QTest::newRow("text item separator") << "DEVICE_ID" << false << "a,b" << no
                                         << "DEVICE_ID = a,b is not allowed: a text of 1 to 64 printable ASCII";
    QTest::newRow("text field separator") << "DEVICE_ID" << false << "a;b" << no << "DEVICE_ID = a;b";
    QTest::newRow("text control byte") << "PCB_ID" << true << QString("a\x03") << no << "PCB_ID = a";
    QTest::newRow("text empty") << "PCB_VERSION" << false << "" << no << "PCB_VERSION =  is not allowed";
    QTest::newRow("text too long") << "DEVICE_ID" << false << QString(65, 'x') << no << "1 to 64";
    QTest::newRow("text longest") << "DEVICE_ID" << false << QString(64, 'x') << QVariant(QString(64, 'x')) << "";
    QTest::newRow("read-only") << "FIRMWARE" << false << "1.0" << no << "FIRMWARE cannot be written to the machine";
    QTest::newRow("read-only label") << "DEVICE_UNIQUE_ID" << true << "1" << no << "cannot be written";
    QTest::newRow("group") << "CAMERA_OFFSET" << false << "1" << no << "CAMERA_OFFSET cannot be written";
}

void tst_KTValue::typed()
{
    QFETCH(QString, key);
    QFETCH(bool, raw);
    QFETCH(QString, text);
    QFETCH(QVariant, value);
    QFETCH(QString, error);
    const KTValue::Form s = form(key);
    const KTValue::Parsed p = raw ? KTValue::fromRaw(s, text) : KTValue::fromDisplay(s, text);
    if (value.isValid()) {
        QVERIFY2(p.ok(), qPrintable(p.error));
        QCOMPARE(p.raw, value);
        QVERIFY(KTValue::check(s, p.raw).isEmpty());
    } else {
        QVERIFY(!p.ok());
        QVERIFY2(p.error.startsWith(key), qPrintable(p.error));
        QVERIFY2(p.error.contains(error), qPrintable(p.error));
        QVERIFY(!p.error.contains('\n'));
    }
}

void tst_KTValue::typedAsTheControlStoresIt_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");
    QTest::newRow("speed") << "SP2_SPEED" << "975";
    QTest::newRow("speed odd") << "SP2_SPEED" << "1000";
    QTest::newRow("pressure") << "SP2_PRESSURE" << "333";
    QTest::newRow("feed") << "FEED_SPEED" << "Medium";
    QTest::newRow("turn") << "PAGE_TURN" << "On";
    QTest::newRow("work mode") << "WORK_MODE" << "Balanced";
    QTest::newRow("page space") << "PAGE_SPACE" << "2.3";
    QTest::newRow("offset") << "CAMERA_OFFSET_Y" << "-2.5";
    QTest::newRow("tool offset") << "TOOL_SPACE_X" << "12.345";
    QTest::newRow("work area") << "WORKAREA_Y" << "150";
    QTest::newRow("scale") << "SCALE_Y" << "1.25";
    QTest::newRow("pen speed") << "PU_SPEED" << "650";
    QTest::newRow("machine number") << "DEVICE_ID" << "SN-9";
}

// The value the command sends is the one the control would send for the same
// text, so the window and kt-host never disagree.
void tst_KTValue::typedAsTheControlStoresIt()
{
    QFETCH(QString, key);
    QFETCH(QString, text);
    KTDeviceProperty *p = device->property_ptr(key.toLatin1().constData());
    QWidget page;
    new QVBoxLayout(&page);
    p->create_ui_ctrl(&page, key, true);
    type(p->uiControl(), text);
    p->from_ui_ctrl();
    const KTValue::Form s = form(key);
    const KTValue::Parsed parsed = KTValue::fromDisplay(s, text);
    QVERIFY2(parsed.ok(), qPrintable(parsed.error));
    QVERIFY2(KTValue::sameValue(s, parsed.raw, p->value()),
             qPrintable(parsed.raw.toString() + " / control " + p->value().toString()));
    QCOMPARE(KTValue::display(s, parsed.raw), KTValue::display(s, p->value()));
}

// Whatever the checks accept, the codec can put into a frame.
void tst_KTValue::everyAcceptedValueFitsItsFrame()
{
    int accepted = 0;
    for (const QByteArray &name : device->dynamicPropertyNames()) {
        const KTValue::Form s = form(QString::fromLatin1(name));
        KTDeviceProperty *p = device->property_ptr(name.constData());
        if (!s.writable || !s.numeric || p->cmd_type() == KTDeviceInterface::NUM)
            continue;
        const QVariant old = p->value();
        for (double d : {-2147483649.0, -200001.0, -32769.0, -32768.0, -1.0, 0.0, 6.0, 700.0, 65535.0, 65536.0,
                         4294967295.0, 4294967296.0}) {
            const KTValue::Parsed parsed = KTValue::fromRaw(s, QString::number(d, 'f', 0));
            if (!parsed.ok())
                continue;
            ++accepted;
            p->setValue(parsed.raw);
            QVERIFY2(!p->set_cmd_bytes().isEmpty(), qPrintable(s.key + " " + parsed.raw.toString()));
        }
        p->setValue(old);
    }
    QVERIFY(accepted > 20);
}

void tst_KTValue::readBackComparison_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("sent");
    QTest::addColumn<QVariant>("back");
    QTest::addColumn<bool>("same");
    QTest::newRow("equal") << "SP2_SPEED" << QVariant(650u) << QVariant(650u) << true;
    QTest::newRow("clamped") << "SP2_SPEED" << QVariant(650u) << QVariant(600u) << false;
    QTest::newRow("signed word back unsigned") << "MOVE_X" << QVariant(-1) << QVariant(65535) << true;
    QTest::newRow("two words back signed") << "CAMERA_OFFSET_X" << QVariant(4294966896u) << QVariant(-400) << true;
    QTest::newRow("two words differ") << "CAMERA_OFFSET_X" << QVariant(-400) << QVariant(-401) << false;
    QTest::newRow("text") << "DEVICE_ID" << QVariant("A") << QVariant("A") << true;
    QTest::newRow("text differs") << "DEVICE_ID" << QVariant("A") << QVariant("a") << false;
}

void tst_KTValue::readBackComparison()
{
    QFETCH(QString, key);
    QFETCH(QVariant, sent);
    QFETCH(QVariant, back);
    QTEST(KTValue::sameValue(form(key), sent, back), "same");
}

void tst_KTValue::assignment_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("plain") << "SP2_SPEED=975" << "SP2_SPEED" << "975";
    QTest::newRow("value with =") << "DEVICE_ID=a=b" << "DEVICE_ID" << "a=b";
    QTest::newRow("empty value") << "DEVICE_ID=" << "DEVICE_ID" << "";
    QTest::newRow("no =") << "SP2_SPEED" << "" << "";
    QTest::newRow("no key") << "=5" << "" << "";
    QTest::newRow("lower-case key") << "sp2_speed=5" << "" << "";
}

void tst_KTValue::assignment()
{
    QFETCH(QString, argument);
    QFETCH(QString, key);
    QString k, v, error;
    const bool ok = KTValue::parseAssignment(argument, &k, &v, &error);
    QCOMPARE(ok, !key.isEmpty());
    if (ok) {
        QCOMPARE(k, key);
        QTEST(v, "value");
    } else {
        QVERIFY(error.contains(argument));
    }
}

void tst_KTValue::sense_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");   // as typed with --raw
    QTest::addColumn<QString>("rule");   // empty: makes sense

    QTest::newRow("heartbeat 0") << "HEARTBEAT" << "0" << "the heartbeat is 1 to 29 s";
    QTest::newRow("heartbeat 1") << "HEARTBEAT" << "1" << "";
    QTest::newRow("heartbeat 29") << "HEARTBEAT" << "29" << "";
    QTest::newRow("heartbeat 30") << "HEARTBEAT" << "30" << "silence watch";
    QTest::newRow("copies negative") << "TASK_COPIES" << "-5" << "a job has at least 1 copy";
    QTest::newRow("scale 0") << "SCALE_X" << "0" << "a scale of 0";
    QTest::newRow("work area 0") << "WORKAREA_Y" << "0" << "nothing to cut";
    QTest::newRow("stop on another value") << "TASK_STOP" << "1" << "stops a job on 2 only";
    QTest::newRow("jog either way") << "MOVE_X" << "-300" << "";
}

// Values the frame carries and the controls allow, that the machine has no use for.
void tst_KTValue::sense()
{
    QFETCH(QString, key);
    QFETCH(QString, text);
    QFETCH(QString, rule);
    const KTValue::Parsed parsed = KTValue::fromRaw(form(key), text);
    QVERIFY2(parsed.ok(), qPrintable(parsed.error));   // a rule of sense, not of range
    const QString broken = KTValue::senseRule(form(key), parsed.raw);
    QVERIFY2(rule.isEmpty() ? broken.isEmpty() : broken.contains(rule), qPrintable(broken));
}

void tst_KTValue::rounding_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("held");   // empty: shown as typed

    QTest::newRow("speed 10 holds 9") << "SP2_SPEED" << "10" << "9 mm/s";
    QTest::newRow("speed 975 exact") << "SP2_SPEED" << "975" << "";
    QTest::newRow("offset step") << "CAMERA_OFFSET_X" << "1.0037" << "1.005 mm";
    QTest::newRow("offset three decimals") << "TOOL_SPACE_Y" << "12.345" << "";
    QTest::newRow("scale step") << "SCALE_X" << "1.23456" << "1.2346";
    QTest::newRow("work area half") << "WORKAREA_X" << "150.3" << "150.5 mm";
    QTest::newRow("combo item") << "FEED_SPEED" << "fast" << "";
}

// Decided before sending: the typed value maps to a machine value that the
// control shows differently.
void tst_KTValue::rounding()
{
    QFETCH(QString, key);
    QFETCH(QString, typed);
    const KTValue::Parsed parsed = KTValue::fromDisplay(form(key), typed);
    QVERIFY2(parsed.ok(), qPrintable(parsed.error));
    QTEST(KTValue::roundedTo(form(key), typed, parsed.raw), "held");
}

void tst_KTValue::printable_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");

    QTest::newRow("control byte") << QString("a\x01" "b") << "a\\x01b";
    QTest::newRow("escape sequence and line break") << QString("\x1b[2J\n") << "\\x1b[2J\\x0a";
    QTest::newRow("C1 control and delete") << QString(QChar(0x9b)) + "\x7f" << "\\x9b\\x7f";
    QTest::newRow("right-to-left override") << QString(QChar(0x202e)) + "txt" << "\\u202etxt";
    QTest::newRow("label and emoji") << QString::fromUtf8("切割 \xf0\x9f\x93\x8f") << QString::fromUtf8("切割 \xf0\x9f\x93\x8f");
}

void tst_KTValue::printable()
{
    QFETCH(QString, text);
    const QString shown = HostText::printable(text);
    QTEST(shown, "shown");
    QCOMPARE(HostText::printable(shown), shown);   // escaping twice changes nothing
}

QTEST_MAIN(tst_KTValue)
#include "tst_ktvalue.moc"
