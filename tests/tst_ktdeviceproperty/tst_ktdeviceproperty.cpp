#include "property/ktdeviceproperty.h"
#include "property/ktframe.h"

#include <QJsonObject>
#include <QtTest>

using T = KTDeviceInterface;

namespace {

// Holds properties for one test and deletes them afterwards.
struct Props
{
    QList<KTDeviceProperty *> all;
    ~Props() { qDeleteAll(all); }
    KTDeviceProperty *make(const QVariant &value, int get, int set, int len, T::KTDeviceCMDType type,
                           const QStringList &params = {})
    {
        auto *p = new KTDeviceProperty;
        p->init(value, QStringLiteral("label"), QStringLiteral("unit"), get, set, len, type, params);
        all.append(p);
        return p;
    }
};

QByteArray frame(const char *inner)
{
    return QByteArray("\x02") + inner + QByteArray("\x03");
}

// The text between the command word's ";" and ETX.
QString bodyOf(const QByteArray &f)
{
    if (f.isEmpty())
        return QStringLiteral("<none>");
    const QByteArray inner = f.mid(1, f.size() - 2);
    const int first = inner.indexOf(';');
    const int second = inner.indexOf(';', first + 1);
    return QString::fromUtf8(inner.mid(second + 1));
}

QString wordOf(const QByteArray &f)
{
    const QByteArray inner = f.mid(1, f.size() - 2);
    const int first = inner.indexOf(';');
    return QString::fromUtf8(inner.mid(first + 1, inner.indexOf(';', first + 1) - first - 1));
}

} // namespace

Q_DECLARE_METATYPE(T::KTDeviceCMDType)

class tst_KTDeviceProperty : public QObject
{
    Q_OBJECT
private slots:
    void freshProperty();
    void setValueSignals_data();
    void setValueSignals();
    void metaObjectWriteIsSetValue();
    void copyHasNoParamsOrChildren();
    void propertyPtrOfWidgetIsNull();
    void encode_data();
    void encode();
    void writeOnlyWhatTheFrameCanCarry_data();
    void writeOnlyWhatTheFrameCanCarry();
    void listPropertyWrite();
    void listChildWithSeparatorIsNotWritten();
    void decode_data();
    void decode();
    void decodeListDistributesToChildren();
    void groupFollowsItsChildren_data();
    void groupFollowsItsChildren();
    void decodeDoesNotSignal();
    void retStatusEmits();
};

void tst_KTDeviceProperty::freshProperty()
{
    KTDeviceProperty p;
    QVERIFY(!p.value().isValid());
    QVERIFY(!p.previousValue().isValid());
    QCOMPARE(p.label(), QString(""));
    QCOMPARE(p.uint(), QString(""));
    QCOMPARE(p.get_cmd_int(), 0);
    QCOMPARE(p.set_cmd_int(), 0);
    QCOMPARE(p.cmd_len(), 0);
    QCOMPARE(p.cmd_type(), T::UnCMD);
    QVERIFY(p.param().isEmpty());
    QVERIFY(p.parent() == nullptr);
    QVERIFY(p.get_cmd_bytes().isEmpty());
    QVERIFY(p.set_cmd_bytes().isEmpty());
}

void tst_KTDeviceProperty::setValueSignals_data()
{
    QTest::addColumn<QVariantList>("writes");
    QTest::addColumn<int>("signals");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QVariant>("previous");

    QTest::newRow("same value") << QVariantList{1} << 0 << QVariant(1) << QVariant(1);
    QTest::newRow("A B A") << QVariantList{2, 1} << 1 << QVariant(1) << QVariant(1);
    QTest::newRow("A B C") << QVariantList{2, 3} << 2 << QVariant(3) << QVariant(2);
    QTest::newRow("A B B") << QVariantList{2, 2} << 1 << QVariant(2) << QVariant(1);
    QTest::newRow("A B C B") << QVariantList{2, 3, 2} << 2 << QVariant(2) << QVariant(2);
}

void tst_KTDeviceProperty::setValueSignals()
{
    QFETCH(QVariantList, writes);
    KTDeviceProperty p;
    p.init(1, QString(), QString(), 0, 0, 0, T::UnCMD, {});
    QSignalSpy spy(&p, &KTDeviceProperty::valueChanged);
    for (const QVariant &v : writes)
        p.setValue(v);
    QTEST(int(spy.count()), "signals");
    QTEST(p.value(), "value");
    QTEST(p.previousValue(), "previous");
}

void tst_KTDeviceProperty::metaObjectWriteIsSetValue()
{
    KTDeviceProperty p;
    p.init(1, QString(), QString(), 0, 0, 0, T::UnCMD, {});
    QSignalSpy spy(&p, &KTDeviceProperty::valueChanged);
    QVERIFY(p.setProperty("value", 2));
    QVERIFY(p.setProperty("value", 1));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(p.property("value"), QVariant(1));
}

void tst_KTDeviceProperty::copyHasNoParamsOrChildren()
{
    KTDeviceProperty child;
    KTDeviceProperty p;
    p.init(5, QStringLiteral("L"), QStringLiteral("U"), 54, 55, 1, T::CCMD, {QStringLiteral("a")});
    p.setProperty("CHILD", KTDeviceProperty::toVariant(&child));
    KTDeviceProperty copy(p);
    QCOMPARE(copy.value(), QVariant(5));
    QCOMPARE(copy.label(), QStringLiteral("L"));
    QCOMPARE(copy.get_cmd_int(), 54);
    QCOMPARE(copy.set_cmd_int(), 55);
    QCOMPARE(copy.cmd_type(), T::CCMD);
    QVERIFY(copy.param().isEmpty());
    QVERIFY(copy.dynamicPropertyNames().isEmpty());
}

void tst_KTDeviceProperty::propertyPtrOfWidgetIsNull()
{
    KTDeviceProperty p, child;
    p.setProperty("WIDGET", QJsonObject{{"widget", "QSpinBox"}});
    p.setProperty("X", KTDeviceProperty::toVariant(&child));
    QVERIFY(p.property_ptr("WIDGET") == nullptr);
    QVERIFY(p.property_ptr("MISSING") == nullptr);
    QCOMPARE(p.property_ptr("X"), &child);
    QCOMPARE(p.childProperties().size(), 1);
}

void tst_KTDeviceProperty::encode_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("get");
    QTest::addColumn<int>("set");
    QTest::addColumn<int>("len");
    QTest::addColumn<T::KTDeviceCMDType>("type");
    QTest::addColumn<QStringList>("params");
    QTest::addColumn<QString>("word");
    QTest::addColumn<QString>("readBody");
    QTest::addColumn<QString>("writeBody");

    const QString none = QStringLiteral("<none>");
    QTest::newRow("CCMD copies") << QVariant(3) << 54 << 54 << 1 << T::CCMD << QStringList() << "CCMD" << "54;" << "54,3;";
    QTest::newRow("CCMD with params") << QVariant(3) << 54 << 54 << 1 << T::CCMD << QStringList{"a", "b"} << "CCMD"
                                      << "54,a,b;" << "54,a,b,3;";
    // A fixed argument that would end the field, or the frame, gives no frame.
    QTest::newRow("CCMD param with ETX") << QVariant(3) << 54 << 54 << 1 << T::CCMD << QStringList{"a\x03"} << "CCMD"
                                         << none << none;
    QTest::newRow("CCMD param with separator") << QVariant(3) << 54 << 54 << 1 << T::CCMD << QStringList{"a;b"}
                                               << "CCMD" << none << none;
    QTest::newRow("CMD three words") << QVariant(70000u) << 11 << 11 << 3 << T::CMD << QStringList() << "CMD"
                                     << "GET11;12;13;" << "SET11:4464;12:1;13:0;";
    // Numbers counted on from the top of int stay numbers.
    QTest::newRow("CMD words past the largest int, three") << QVariant(1u) << 2147483647 << 2147483647 << 3 << T::CMD
                                                           << QStringList() << "CMD"
                                                           << "GET2147483647;2147483648;2147483649;"
                                                           << "SET2147483647:1;2147483648:0;2147483649:0;";
    QTest::newRow("CMD negative two words") << QVariant(-300) << 5 << 5 << 2 << T::CMD << QStringList() << "CMD"
                                            << "GET5;6;" << "SET5:65236;6:65535;";
    QTest::newRow("CMD six words") << QVariant(0x10002u) << 1 << 1 << 6 << T::CMD << QStringList() << "CMD"
                                   << "GET1;2;3;4;5;6;" << "SET1:2;2:1;3:0;4:0;5:0;6:0;";
    QTest::newRow("CMD seven words refused") << QVariant(1) << 1 << 1 << 7 << T::CMD << QStringList() << "CMD"
                                             << "GET1;2;3;4;5;6;7;" << none;
    QTest::newRow("CMD one word stop") << QVariant(2) << 125 << 125 << 1 << T::CMD << QStringList() << "CMD"
                                       << "GET125;" << "SET125:2;";
    QTest::newRow("CMD one word uses get") << QVariant(9) << 7 << 8 << 1 << T::CMD << QStringList() << "CMD"
                                           << "GET7;" << "SET7:9;";
    QTest::newRow("CMD double keeps shortest form") << QVariant(22.999999999999996) << 43 << 43 << 1 << T::CMD
                                                    << QStringList() << "CMD" << "GET43;" << "SET43:22.999999999999996;";
    QTest::newRow("CMD length 0 not readable") << QVariant(1) << 3 << 3 << 0 << T::CMD << QStringList() << "CMD" << none
                                               << "SET";
    QTest::newRow("NUM copies") << QVariant(2) << 1 << 1 << 1 << T::NUM << QStringList() << "CMD" << none << "NUM:2;";
    QTest::newRow("PLT") << QVariant("IN;PU0,0;") << 1 << 1 << 1 << T::PLT << QStringList() << "PLT" << none
                         << "IN;PU0,0;";
    QTest::newRow("PPLT") << QVariant("IN;") << 0 << 1 << 1 << T::PPLT << QStringList() << "PPLT" << none << "IN;";
    QTest::newRow("QRPLT") << QVariant("Q") << 1 << 1 << 1 << T::QRPLT << QStringList() << "QR_PLT" << none << "Q";
    QTest::newRow("get 0 not readable") << QVariant(0) << 0 << 67 << 1 << T::CCMD << QStringList() << "CCMD" << none
                                        << "67,0;";
    QTest::newRow("set 0 not writable") << QVariant(QString()) << 57 << 0 << 1 << T::CCMD << QStringList() << "CCMD"
                                        << "57;" << none;
    QTest::newRow("UnCMD") << QVariant(1) << 3 << 3 << 1 << T::UnCMD << QStringList() << "" << none << none;
}

void tst_KTDeviceProperty::encode()
{
    QFETCH(QVariant, value);
    QFETCH(int, get);
    QFETCH(int, set);
    QFETCH(int, len);
    QFETCH(T::KTDeviceCMDType, type);
    QFETCH(QStringList, params);
    QFETCH(QString, word);

    Props props;
    KTDeviceProperty *p = props.make(value, get, set, len, type, params);
    const QByteArray read = p->get_cmd_bytes();
    const QByteArray write = p->set_cmd_bytes();
    QTEST(bodyOf(read), "readBody");
    QTEST(bodyOf(write), "writeBody");
    for (const QByteArray &f : {read, write}) {
        if (f.isEmpty())
            continue;
        QCOMPARE(wordOf(f), word);
        QCOMPARE(f.mid(1, f.indexOf(';') - 1).toInt(), f.size());
    }
}

void tst_KTDeviceProperty::writeOnlyWhatTheFrameCanCarry_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<T::KTDeviceCMDType>("type");
    QTest::addColumn<int>("len");
    QTest::addColumn<QStringList>("params");
    QTest::addColumn<QString>("writeBody");

    const QString none = QStringLiteral("<none>");
    const QStringList noParams;
    auto text = [](std::initializer_list<ushort> codes, const char *around = "ab") {
        QString t = QString::fromLatin1(around, 1);
        for (ushort c : codes)
            t += QChar(c);
        return t + QLatin1Char(around[1]);
    };

    // Text values of a CCMD command: the field's own separators and every control byte are refused.
    QTest::newRow("text ordinary") << QVariant("SN-77 (left)") << T::CCMD << 1 << noParams << "44,SN-77 (left);";
    QTest::newRow("text non-ASCII") << QVariant(QStringLiteral("Ärger")) << T::CCMD << 1 << noParams << "44,Ärger;";
    QTest::newRow("text empty") << QVariant(QString()) << T::CCMD << 1 << noParams << "44,;";
    QTest::newRow("text item separator") << QVariant("a,b") << T::CCMD << 1 << noParams << none;
    QTest::newRow("text field separator") << QVariant("a;b") << T::CCMD << 1 << noParams << none;
    QTest::newRow("text NUL") << QVariant(text({0x00})) << T::CCMD << 1 << noParams << none;
    QTest::newRow("text STX") << QVariant(text({0x02})) << T::CCMD << 1 << noParams << none;
    QTest::newRow("text ETX") << QVariant(text({0x03})) << T::CCMD << 1 << noParams << none;
    QTest::newRow("text tab") << QVariant(text({0x09})) << T::CCMD << 1 << noParams << none;
    QTest::newRow("text line feed") << QVariant(text({0x0a})) << T::CCMD << 1 << noParams << none;
    QTest::newRow("text carriage return") << QVariant(text({0x0d})) << T::CCMD << 1 << noParams << none;
    QTest::newRow("text escape") << QVariant(text({0x1b})) << T::CCMD << 1 << noParams << none;
    QTest::newRow("text unit separator") << QVariant(text({0x1f})) << T::CCMD << 1 << noParams << none;
    QTest::newRow("text DEL") << QVariant(text({0x7f})) << T::CCMD << 1 << noParams << none;
    QTest::newRow("param with separator") << QVariant(3) << T::CCMD << 1 << QStringList{"a,b"} << none;
    QTest::newRow("number past 32 bits") << QVariant(Q_INT64_C(99999999999)) << T::CCMD << 1 << noParams
                                         << "44,99999999999;";
    QTest::newRow("infinite number") << QVariant(qInf()) << T::CCMD << 1 << noParams << none;
    QTest::newRow("not a number") << QVariant(qQNaN()) << T::CCMD << 1 << noParams << none;

    // One CMD word: 16 bits, read signed or unsigned by the machine.
    QTest::newRow("word 65535") << QVariant(65535u) << T::CMD << 1 << noParams << "SET44:65535;";
    QTest::newRow("word 65536") << QVariant(65536u) << T::CMD << 1 << noParams << none;
    QTest::newRow("word 99999") << QVariant(99999u) << T::CMD << 1 << noParams << none;
    QTest::newRow("word -32768") << QVariant(-32768) << T::CMD << 1 << noParams << "SET44:-32768;";
    QTest::newRow("word -32769") << QVariant(-32769) << T::CMD << 1 << noParams << none;
    QTest::newRow("word jog step") << QVariant(0x8064) << T::CMD << 1 << noParams << "SET44:32868;";
    QTest::newRow("word text number") << QVariant("600") << T::CMD << 1 << noParams << "SET44:600;";
    QTest::newRow("word text exponent") << QVariant("1.2e+06") << T::CMD << 1 << noParams << none;
    QTest::newRow("word text not a number") << QVariant("fast") << T::CMD << 1 << noParams << none;
    QTest::newRow("word text separator") << QVariant("5;SET3:0") << T::CMD << 1 << noParams << none;
    QTest::newRow("word empty text") << QVariant(QString()) << T::CMD << 1 << noParams << none;
    QTest::newRow("word no value") << QVariant() << T::CMD << 1 << noParams << none;
    QTest::newRow("word true") << QVariant(true) << T::CMD << 1 << noParams << none;
    QTest::newRow("word infinite") << QVariant(qInf()) << T::CMD << 1 << noParams << none;
    QTest::newRow("word not a number") << QVariant(qQNaN()) << T::CMD << 1 << noParams << none;
    QTest::newRow("word tiny double") << QVariant(1e-7) << T::CMD << 1 << noParams << none;

    // Two and more CMD words: a 32-bit number in the low and high words.
    QTest::newRow("words 2^32-1") << QVariant(4294967295u) << T::CMD << 3 << noParams
                                  << "SET44:65535;45:65535;46:0;";
    QTest::newRow("words 2^32") << QVariant(Q_INT64_C(4294967296)) << T::CMD << 3 << noParams << none;
    QTest::newRow("words -2^31") << QVariant(int(-2147483647 - 1)) << T::CMD << 3 << noParams
                                 << "SET44:0;45:32768;46:0;";
    QTest::newRow("words -2^31-1") << QVariant(Q_INT64_C(-2147483649)) << T::CMD << 3 << noParams << none;
    QTest::newRow("words double -400") << QVariant(-400.0) << T::CMD << 3 << noParams << "SET44:65136;45:65535;46:0;";
    QTest::newRow("words huge double") << QVariant(1e300) << T::CMD << 3 << noParams << none;
    QTest::newRow("words infinite") << QVariant(-qInf()) << T::CMD << 3 << noParams << none;
    QTest::newRow("words not a number") << QVariant(qQNaN()) << T::CMD << 3 << noParams << none;
    QTest::newRow("words text") << QVariant("abc") << T::CMD << 2 << noParams << none;

    // Copies.
    QTest::newRow("copies") << QVariant(2) << T::NUM << 1 << noParams << "NUM:2;";
    QTest::newRow("copies with separator") << QVariant("2;SET3:0") << T::NUM << 1 << noParams << none;
    QTest::newRow("copies past 32 bits") << QVariant(Q_INT64_C(4294967296)) << T::NUM << 1 << noParams << none;

    // Cut data keeps every byte but the frame delimiters.
    QTest::newRow("cut data with line breaks") << QVariant(QString("IN;\r\nPU0,0;\x1b.@;")) << T::PLT << 1 << noParams
                                               << "IN;\r\nPU0,0;\x1b.@;";
    QTest::newRow("cut data with ETX") << QVariant(text({0x03}, "I;")) << T::PLT << 1 << noParams << none;
    QTest::newRow("cut data with STX") << QVariant(text({0x02}, "I;")) << T::QRPLT << 1 << noParams << none;
}

void tst_KTDeviceProperty::writeOnlyWhatTheFrameCanCarry()
{
    QFETCH(QVariant, value);
    QFETCH(T::KTDeviceCMDType, type);
    QFETCH(int, len);
    QFETCH(QStringList, params);

    Props props;
    KTDeviceProperty *p = props.make(value, 44, 44, len, type, params);
    const QByteArray write = p->set_cmd_bytes();
    QTEST(bodyOf(write), "writeBody");
    if (!write.isEmpty()) {
        QCOMPARE(write.count(KTFrame::STX), 1);
        QCOMPARE(write.count(KTFrame::ETX), 1);
        QCOMPARE(write.mid(1, write.indexOf(';') - 1).toInt(), write.size());
    }
}

void tst_KTDeviceProperty::listPropertyWrite()
{
    Props props;
    KTDeviceProperty *x = props.make(1.5, 0, 0, 0, T::UnCMD);
    KTDeviceProperty *y = props.make(-2.0, 0, 0, 0, T::UnCMD);
    KTDeviceProperty *group =
        props.make(QStringList{"CAMERA_OFFSET_X", "MISSING", "CAMERA_OFFSET_Y"}, 16, 15, 1, T::CCMD);
    group->setProperty("CAMERA_OFFSET_X", KTDeviceProperty::toVariant(x));
    group->setProperty("CAMERA_OFFSET_Y", KTDeviceProperty::toVariant(y));
    QCOMPARE(group->set_cmd_bytes(), frame("20;CCMD;15,1.5,-2;"));
    QCOMPARE(bodyOf(group->get_cmd_bytes()), QStringLiteral("16;"));
}

void tst_KTDeviceProperty::listChildWithSeparatorIsNotWritten()
{
    Props props;
    KTDeviceProperty *x = props.make(QStringLiteral("1,5"), 0, 0, 0, T::UnCMD);
    KTDeviceProperty *y = props.make(-2.0, 0, 0, 0, T::UnCMD);
    KTDeviceProperty *group = props.make(QStringList{"X", "Y"}, 16, 15, 1, T::CCMD);
    group->setProperty("X", KTDeviceProperty::toVariant(x));
    group->setProperty("Y", KTDeviceProperty::toVariant(y));
    QVERIFY(group->set_cmd_bytes().isEmpty());
    x->setValue(QStringLiteral("1.5"));
    QCOMPARE(group->set_cmd_bytes(), frame("20;CCMD;15,1.5,-2;"));
}

void tst_KTDeviceProperty::decode_data()
{
    QTest::addColumn<QVariant>("initial");
    QTest::addColumn<T::KTDeviceCMDType>("type");
    QTest::addColumn<QStringList>("params");
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("CMD three words") << QVariant(0u) << T::CMD << QStringList() << QStringList{"4464", "1", "0"}
                                     << QVariant(70000);
    QTest::newRow("CMD all ones is -1") << QVariant(0u) << T::CMD << QStringList() << QStringList{"65535", "65535"}
                                        << QVariant(-1);
    QTest::newRow("CMD bad word reads 0") << QVariant(0u) << T::CMD << QStringList() << QStringList{"x", "1"}
                                          << QVariant(65536);
    QTest::newRow("one entry on double") << QVariant(0.0) << T::CMD << QStringList() << QStringList{"12"}
                                         << QVariant(12.0);
    QTest::newRow("one entry on string") << QVariant(QString()) << T::CCMD << QStringList() << QStringList{"12"}
                                         << QVariant(QStringLiteral("12"));
    QTest::newRow("one entry on uint") << QVariant(5u) << T::CMD << QStringList() << QStringList{"700"}
                                       << QVariant(700u);
    QTest::newRow("bad number on int") << QVariant(5) << T::CCMD << QStringList() << QStringList{"abc"} << QVariant(0);
    QTest::newRow("json unchanged") << QVariant(QJsonObject{{"a", 1}}) << T::UnCMD << QStringList()
                                    << QStringList{"12"} << QVariant(QJsonObject{{"a", 1}});
    QTest::newRow("CCMD params match") << QVariant(0) << T::CCMD << QStringList{"a", "b"}
                                       << QStringList{"a", "b", "7", "9"} << QVariant(7);
    QTest::newRow("CCMD params differ") << QVariant(0) << T::CCMD << QStringList{"a", "b"}
                                        << QStringList{"a", "c", "7"} << QVariant(0);
    QTest::newRow("CCMD nothing after params") << QVariant(4) << T::CCMD << QStringList{"a", "b"}
                                               << QStringList{"a", "b"} << QVariant(4);
    QTest::newRow("CCMD string as list key") << QVariant(QStringLiteral("v")) << T::CCMD << QStringList()
                                             << QStringList{"1", "2"} << QVariant(QStringLiteral("v"));
    QTest::newRow("NUM ignores lists") << QVariant(1) << T::NUM << QStringList() << QStringList{"5", "6"}
                                       << QVariant(1);
}

void tst_KTDeviceProperty::decode()
{
    QFETCH(QVariant, initial);
    QFETCH(T::KTDeviceCMDType, type);
    QFETCH(QStringList, params);
    QFETCH(QStringList, values);
    Props props;
    KTDeviceProperty *p = props.make(initial, 1, 1, 1, type, params);
    p->set_decode(values);
    QFETCH(QVariant, expected);
    QCOMPARE(p->value(), expected);
    QCOMPARE(p->value().userType(), expected.userType());
}

void tst_KTDeviceProperty::decodeListDistributesToChildren()
{
    Props props;
    KTDeviceProperty *x = props.make(0.0, 0, 0, 0, T::UnCMD);
    KTDeviceProperty *y = props.make(0.0, 0, 0, 0, T::UnCMD);
    KTDeviceProperty *group = props.make(QStringList{"X", "NOPE", "Y"}, 16, 15, 1, T::CCMD);
    group->setProperty("X", KTDeviceProperty::toVariant(x));
    group->setProperty("Y", KTDeviceProperty::toVariant(y));
    group->set_decode(QStringList{"1.5", "9", "-2", "extra"});
    QCOMPARE(x->value(), QVariant(1.5));
    QCOMPARE(y->value(), QVariant(-2.0));
    group->set_decode(QStringList{"3", "4"});   // shorter reply: only positions present
    QCOMPARE(x->value(), QVariant(3.0));
    QCOMPARE(y->value(), QVariant(-2.0));
}

// Children are followed as they change: replaced, given other keys, removed;
// with an application (change events delivered) and without one.
void tst_KTDeviceProperty::groupFollowsItsChildren_data()
{
    QTest::addColumn<bool>("application");
    QTest::newRow("application") << true;
    QTest::newRow("none") << false;
}

void tst_KTDeviceProperty::groupFollowsItsChildren()
{
    QFETCH(bool, application);
    int argc = 1;
    char name[] = "tst_ktdeviceproperty";
    char *argv[] = {name, nullptr};
    std::unique_ptr<QCoreApplication> app(application ? new QCoreApplication(argc, argv) : nullptr);
    Props props;
    KTDeviceProperty *x = props.make(0.0, 0, 0, 0, T::UnCMD);
    KTDeviceProperty *y = props.make(0.0, 0, 0, 0, T::UnCMD);
    KTDeviceProperty *group = props.make(QStringList{"X", "NOPE", "Y"}, 16, 15, 1, T::CCMD);
    group->setProperty("X", KTDeviceProperty::toVariant(x));
    group->setProperty("Y", KTDeviceProperty::toVariant(y));
    group->set_decode(QStringList{"3", "0", "4"});
    QCOMPARE(x->value(), QVariant(3.0));

    KTDeviceProperty *z = props.make(0.0, 0, 0, 0, T::UnCMD);
    group->setProperty("X", KTDeviceProperty::toVariant(z));
    group->set_decode(QStringList{"5", "0", "6"});
    QCOMPARE(z->value(), QVariant(5.0));
    QCOMPARE(x->value(), QVariant(3.0));
    group->setValue(QStringList{"Y", "X"});
    group->set_decode(QStringList{"7", "8"});
    QCOMPARE(y->value(), QVariant(7.0));
    QCOMPARE(z->value(), QVariant(8.0));
    group->setProperty("Y", QVariant());
    group->set_decode(QStringList{"9", "10"});
    QCOMPARE(y->value(), QVariant(7.0));
    QCOMPARE(z->value(), QVariant(10.0));
}

void tst_KTDeviceProperty::decodeDoesNotSignal()
{
    Props props;
    KTDeviceProperty *p = props.make(1, 3, 3, 1, T::CMD);
    QSignalSpy spy(p, &KTDeviceProperty::valueChanged);
    p->set_decode(QStringLiteral("9"));
    QCOMPARE(p->value(), QVariant(9));
    QCOMPARE(p->previousValue(), QVariant(1));
    QCOMPARE(spy.count(), 0);
}

void tst_KTDeviceProperty::retStatusEmits()
{
    KTDeviceProperty p;
    QSignalSpy spy(&p, &KTDeviceProperty::retStatus);
    p.ret_Status(7);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().first().toInt(), 7);
}

QTEST_APPLESS_MAIN(tst_KTDeviceProperty)
#include "tst_ktdeviceproperty.moc"
