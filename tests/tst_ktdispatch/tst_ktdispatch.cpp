#include "property/ktdeviceproperty.h"
#include "models/ktmodelrow.h"
#include "plugin/ktmrc600cam.h"

#include <QJsonObject>
#include <QtTest>

using T = KTDeviceInterface;

namespace {

QByteArray frame(const QString &inner)
{
    // Reply frames carry a length the receiver ignores; a fixed one will do.
    return "\x02" "0;" + inner.toUtf8() + "\x03";
}

std::unique_ptr<KTMRC600Cam> machine()
{
    KTMRC600Cam root;
    return std::unique_ptr<KTMRC600Cam>(static_cast<KTMRC600Cam *>(root.initInstance()));
}

QVariant valueOf(KTDeviceInterface *d, const char *key)
{
    KTDeviceProperty *p = d->property_ptr(key);
    return p ? p->value() : QVariant(QStringLiteral("<absent>"));
}

// A device whose reply lookup can be asked directly.
class Probe : public KTCommonInterface
{
public:
    using KTCommonInterface::find_parameter;
};

// The whole model, moved in attachment order onto a probe, which owns it.
std::unique_ptr<Probe> probeWithModel()
{
    std::unique_ptr<KTMRC600Cam> source = machine();
    auto probe = std::make_unique<Probe>();
    for (const QByteArray &name : source->dynamicPropertyNames()) {
        probe->setProperty(name.constData(), source->property(name.constData()));
        source->setProperty(name.constData(), QVariant());
    }
    return probe;
}

// What the index stands for: the first parameter in attachment order whose
// type and get or set number match; an entry holding no parameter ends it.
KTParameterIndex::Match walk(KTDeviceInterface *d, T::KTDeviceCMDType kind, int number)
{
    KTParameterIndex::Match m;
    for (const QByteArray &name : d->dynamicPropertyNames()) {
        KTDeviceProperty *p = d->property_ptr(name.constData());
        if (!p) {
            m.stopped = true;
            return m;
        }
        if (p->cmd_type() == kind && (p->get_cmd_int() == number || p->set_cmd_int() == number)) {
            m.parameter = p;
            return m;
        }
    }
    return m;
}

} // namespace

class tst_KTDispatch : public QObject
{
    Q_OBJECT
private slots:
    void indexAgreesWithAWalk_data();
    void indexAgreesWithAWalk();
    void replyUpdatesParameter_data();
    void replyUpdatesParameter();
    void shortReplyAcknowledgesWrite();
    void firstMatchingParameterOnly();
    void taskReport();
    void taskReportTooShort();
    void qrNotices_data();
    void qrNotices();
    void family437Groups();
    void splitAtEveryByteWithGarbage();
    void matchingFollowsAttachment();
    void entryWithoutParameterEndsTheWalk();
    void handlerReadsMoreBytes();
    void pendingBytesBounded();
    void floodWithoutFrames_data();
    void floodWithoutFrames();
    void lastTimeFollowsReads_data();
    void lastTimeFollowsReads();
};

void tst_KTDispatch::indexAgreesWithAWalk_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("as built") << "";
    QTest::newRow("a parameter cleared") << "clear";
    QTest::newRow("a parameter replaced") << "replace";
    QTest::newRow("numbers changed after attachment") << "renumber";
    QTest::newRow("attached later with a taken number") << "later";
    QTest::newRow("an entry holding no parameter") << "plain";
}

// The index, built before each change, must follow it to the walk's answer.
void tst_KTDispatch::indexAgreesWithAWalk()
{
    QFETCH(QString, change);
    std::unique_ptr<Probe> d = probeWithModel();
    QVERIFY(d->find_parameter(T::CMD, 3).parameter);
    std::unique_ptr<KTDeviceProperty> cleared;
    if (change == "clear") {
        cleared.reset(d->property_ptr("SP2_SPEED"));
        d->setProperty("SP2_SPEED", QVariant());
    } else if (change == "replace") {
        auto *p = new KTDeviceProperty;
        p->init(0u, "r", "", 4, 4, 1, T::CMD, {});
        KTDeviceInterface::attachParameter(d.get(), "SP2_SPEED", p);
    } else if (change == "renumber") {
        d->property_ptr("SP2_SPEED")->init(0u, "r", "", 250, 250, 1, T::CMD, {});
    } else if (change == "later") {
        ktAttachRows(d.get(), {{"LATER", "l", "", 0u, 3, 3, 1, T::CMD}, {"NEW", "n", "", 0u, 251, 251, 1, T::CMD}});
    } else if (change == "plain") {
        d->setProperty("ZZ_PLAIN", 5);
    }
    int found = 0;
    for (const T::KTDeviceCMDType kind : {T::CMD, T::CCMD}) {   // the kinds replies are matched by
        for (int number = 0; number <= 260; ++number) {
            const KTParameterIndex::Match expected = walk(d.get(), kind, number);
            const KTParameterIndex::Match actual = d->find_parameter(kind, number);
            QVERIFY2(actual.parameter == expected.parameter && actual.stopped == expected.stopped,
                     qPrintable(QStringLiteral("type %1, number %2").arg(int(kind)).arg(number)));
            found += expected.parameter != nullptr;
        }
    }
    QVERIFY(found > 20);   // the model's numbers were asked for, not only absent ones
}

void tst_KTDispatch::replyUpdatesParameter_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("CMD three words") << "CMD;GET11:4464;12:1;13:0;" << QByteArray("CAMERA_OFFSET_X") << QVariant(70000);
    QTest::newRow("CMD one word") << "CMD;3:700;" << QByteArray("SP2_SPEED") << QVariant(700u);
    QTest::newRow("CMD without final separator") << "CMD;3:5;4:9" << QByteArray("SP2_SPEED") << QVariant(5u);
    QTest::newRow("CMD 27 never applied") << "CMD;27:2;" << QByteArray("WORK_MODE") << QVariant(0u);
    QTest::newRow("CMD 27 first item blocks the rest") << "CMD;27:2;3:600;" << QByteArray("SP2_SPEED")
                                                       << QVariant(0u);
    QTest::newRow("CMD 125 never applied") << "CMD;SET125:0;" << QByteArray("TASK_STOP") << QVariant(2);
    QTest::newRow("device info six") << "CCMD;2,0,M1,D7,P3,V2,F1,C5;" << QByteArray("DEVICE_CONFIG_NO")
                                     << QVariant("C5");
    QTest::newRow("device info six firmware") << "CCMD;2,0,M1,D7,P3,V2,F1,C5;" << QByteArray("FIRMWARE")
                                              << QVariant("F1");
    QTest::newRow("device info four keeps firmware") << "CCMD;2,0,M1,D7,P3,V2;" << QByteArray("FIRMWARE")
                                                     << QVariant("");
    QTest::newRow("device info four model") << "CCMD;2,0,M1,D7,P3,V2;" << QByteArray("DEVICE_MODEL")
                                            << QVariant("M1");
    QTest::newRow("unique id") << "CCMD;57,0,ABC123;" << QByteArray("DEVICE_UNIQUE_ID") << QVariant("ABC123");
    QTest::newRow("short read reply") << "CCMD;57,XYZ;" << QByteArray("DEVICE_UNIQUE_ID") << QVariant("XYZ");
    QTest::newRow("matched by set command") << "CCMD;44,0,SN9;" << QByteArray("DEVICE_ID") << QVariant("SN9");
    QTest::newRow("status 1 ignored") << "CCMD;57,1,ABC;" << QByteArray("DEVICE_UNIQUE_ID") << QVariant("");
    QTest::newRow("heartbeat value") << "CCMD;1010,0,5;" << QByteArray("HEARTBEAT") << QVariant(5);
    QTest::newRow("unknown word") << "XYZ;3:9;" << QByteArray("SP2_SPEED") << QVariant(0u);
    QTest::newRow("too few fields") << "CMD" << QByteArray("SP2_SPEED") << QVariant(0u);
    // Without the final ";" the ETX stays on the last CCMD element.
    QTest::newRow("ETX inside last CCMD element") << "CCMD;57,0,Q" << QByteArray("DEVICE_UNIQUE_ID")
                                                  << QVariant("Q\x03");
}

void tst_KTDispatch::replyUpdatesParameter()
{
    QFETCH(QString, reply);
    QFETCH(QByteArray, key);
    auto d = machine();
    QSignalSpy changed(d->property_ptr(key.constData()), &KTDeviceProperty::valueChanged);
    d->slot_usb_read(frame(reply));
    QTEST(valueOf(d.get(), key.constData()), "expected");
    QCOMPARE(changed.count(), 0);
    QVERIFY(d->receiveBuffer().isEmpty());
}

void tst_KTDispatch::shortReplyAcknowledgesWrite()
{
    auto d = machine();
    QSignalSpy ack(d->property_ptr("DEVICE_ID"), &KTDeviceProperty::retStatus);
    d->slot_usb_read(frame("CCMD;44,0;"));
    QCOMPARE(ack.count(), 1);
    QCOMPARE(ack.first().first().toInt(), 0);
    QCOMPARE(valueOf(d.get(), "DEVICE_ID"), QVariant(""));

    // Get and set equal: a short reply is always a value.
    QSignalSpy copiesAck(d->property_ptr("QRCODE_COPIES"), &KTDeviceProperty::retStatus);
    d->slot_usb_read(frame("CCMD;54,5;"));
    QCOMPARE(copiesAck.count(), 0);
    QCOMPARE(valueOf(d.get(), "QRCODE_COPIES"), QVariant(5));
}

void tst_KTDispatch::firstMatchingParameterOnly()
{
    KTCommonInterface d;
    ktAttachRows(&d, {{"FIRST", "a", "", 0u, 3, 3, 1, T::CMD},
                      {"SECOND", "b", "", 0u, 3, 3, 1, T::CMD},
                      {"PARAMS", "c", "", 0, 9, 9, 1, T::CCMD}});
    d.property_ptr("PARAMS")->init(0, "c", "", 9, 9, 1, T::CCMD, {"p"});
    d.slot_usb_read(frame("CMD;3:42;"));
    QCOMPARE(valueOf(&d, "FIRST"), QVariant(42u));
    QCOMPARE(valueOf(&d, "SECOND"), QVariant(0u));

    // With params, only a reply of params + 1 values whose last is not "0".
    d.slot_usb_read(frame("CCMD;9,0,p,0;"));
    QCOMPARE(valueOf(&d, "PARAMS"), QVariant(0));
    d.slot_usb_read(frame("CCMD;9,0,p,7;"));
    QCOMPARE(valueOf(&d, "PARAMS"), QVariant(7));
    d.slot_usb_read(frame("CCMD;9,0,p,8,9;"));
    QCOMPARE(valueOf(&d, "PARAMS"), QVariant(7));
}

void tst_KTDispatch::taskReport()
{
    auto d = machine();
    QSignalSpy messages(d.get(), &KTDeviceInterface::message);
    const QByteArray report = frame("CCMD;66,2,a.plt,3,1,33.8,0,0,0;");
    d->slot_usb_read(report);
    KTDeviceProperty *task = d->property_ptr("TASK");
    QVERIFY(task);
    QCOMPARE(task->label(), QCoreApplication::translate("KTCommonInterface", "当前任务"));
    const QJsonObject expected{{"Status", 2}, {"FileName", "a.plt"}, {"TaskCopies", 3}, {"Finished", 1}, {"Percent", 33}};
    QCOMPARE(task->value().toJsonObject(), expected);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.first().at(0).value<KTDeviceInterface::KTDeviceMessage>(), KTDeviceInterface::DevTasK);
    QCOMPARE(messages.first().at(1).toString(), QStringLiteral("66,2,a.plt,3,1,33.8,0,0,0"));

    d->slot_usb_read(report);   // the same report again is ignored
    QCOMPARE(messages.count(), 1);

    d->slot_usb_read(frame("CCMD;66,2,a.plt,3,2,99.9,0,0,0;"));
    QCOMPARE(messages.count(), 2);
    QCOMPARE(task->value().toJsonObject().value("Percent").toInt(), 99);
    QCOMPARE(task->value().toJsonObject().value("Finished").toInt(), 2);
    QVERIFY(!d->property_ptr("STATUS")->value().toInt());
}

void tst_KTDispatch::taskReportTooShort()
{
    auto d = machine();
    QSignalSpy messages(d.get(), &KTDeviceInterface::message);
    d->slot_usb_read(frame("CCMD;66,2,a.plt,3;"));
    QVERIFY(d->property_ptr("TASK"));
    QVERIFY(d->property_ptr("TASK")->value().toJsonObject().isEmpty());
    QCOMPARE(messages.count(), 0);
}

void tst_KTDispatch::qrNotices_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QVariant>("qrFile");
    QTest::newRow("code 55") << "CCMD;55,0,QR123;" << "QR123" << QVariant("");
    QTest::newRow("code 11") << "CCMD;11,0,a,b;" << "b" << QVariant("");
    QTest::newRow("short 55 also sets the parameter") << "CCMD;55,F.plt;" << "F.plt" << QVariant("F.plt");
}

void tst_KTDispatch::qrNotices()
{
    QFETCH(QString, reply);
    auto d = machine();
    QSignalSpy messages(d.get(), &KTDeviceInterface::message);
    d->slot_usb_read(frame(reply));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.first().at(0).value<KTDeviceInterface::KTDeviceMessage>(), KTDeviceInterface::Qrcode);
    QTEST(messages.first().at(1).toString(), "text");
    QTEST(valueOf(d.get(), "QRCODE_FILE"), "qrFile");
}

void tst_KTDispatch::family437Groups()
{
    KTMRC600Cam d;
    d.init437(&d);
    d.camera_offset_437(&d);
    d.work_area_437(&d);
    d.slot_usb_read(frame("CCMD;16,0,1.5,-2;"));
    QCOMPARE(valueOf(&d, "CAMERA_OFFSET_X"), QVariant(1.5));
    QCOMPARE(valueOf(&d, "CAMERA_OFFSET_Y"), QVariant(-2.0));

    QSignalSpy ack(d.property_ptr("CAMERA_OFFSET"), &KTDeviceProperty::retStatus);
    d.slot_usb_read(frame("CCMD;15,0;"));
    QCOMPARE(ack.count(), 1);

    // A reply to the task controls' shared command 27 never changes them.
    d.slot_usb_read(frame("CCMD;27,0,5;"));
    QCOMPARE(valueOf(&d, "TASK_STOP"), QVariant(2));
    d.slot_usb_read(frame("CCMD;63,0,300,200;"));
    QCOMPARE(valueOf(&d, "WORKAREA_Y"), QVariant(200.0));
}

void tst_KTDispatch::splitAtEveryByteWithGarbage()
{
    auto d = machine();
    const QByteArray stream = "\x01zz" + frame("CMD;3:650;") + "\x03\x02" "7;CM" + frame("CCMD;57,0,U1;")
                              + frame("CCMD;2,0,M,D,P,V,F,C;");
    for (char c : stream)
        d->slot_usb_read(QByteArray(1, c));
    QCOMPARE(valueOf(d.get(), "SP2_SPEED"), QVariant(650u));
    QCOMPARE(valueOf(d.get(), "DEVICE_UNIQUE_ID"), QVariant("U1"));
    QCOMPARE(valueOf(d.get(), "PCB_VERSION"), QVariant("V"));
}

void tst_KTDispatch::matchingFollowsAttachment()
{
    KTCommonInterface d;
    ktAttachRows(&d, {{"FIRST", "a", "", 0u, 3, 3, 1, T::CMD}, {"SECOND", "b", "", 0u, 4, 3, 1, T::CMD}});
    d.slot_usb_read(frame("CMD;3:1;"));
    QCOMPARE(valueOf(&d, "FIRST"), QVariant(1u));

    // Cleared: the next parameter with that number takes the reply at once.
    std::unique_ptr<KTDeviceProperty> cleared(d.property_ptr("FIRST"));
    d.setProperty("FIRST", QVariant());
    d.slot_usb_read(frame("CMD;3:2;"));
    QCOMPARE(valueOf(&d, "SECOND"), QVariant(2u));

    // Replaced: the new parameter, in the old one's place.
    auto *replacement = new KTDeviceProperty;
    replacement->init(0u, "c", "", 5, 5, 1, T::CMD, {});
    KTDeviceInterface::attachParameter(&d, "SECOND", replacement);
    d.slot_usb_read(frame("CMD;3:3;"));
    d.slot_usb_read(frame("CMD;5:4;"));
    QCOMPARE(replacement->value(), QVariant(4u));

    // Given other numbers after attachment.
    replacement->init(0u, "c", "", 3, 3, 1, T::CMD, {});
    d.slot_usb_read(frame("CMD;3:6;"));
    QCOMPARE(replacement->value(), QVariant(6u));

    // Attached later but with the number: the earlier one still wins.
    ktAttachRows(&d, {{"THIRD", "d", "", 0u, 3, 3, 1, T::CMD}});
    d.slot_usb_read(frame("CMD;3:7;"));
    QCOMPARE(replacement->value(), QVariant(7u));
    QCOMPARE(valueOf(&d, "THIRD"), QVariant(0u));
}

void tst_KTDispatch::entryWithoutParameterEndsTheWalk()
{
    auto d = machine();
    // A host's own dynamic property ahead of the parameters it shadows.
    std::unique_ptr<KTDeviceProperty> cleared(d->property_ptr("SP2_SPEED"));
    d->setProperty("SP2_SPEED", QVariant());
    d->setProperty("HOST_NOTE", 5);
    ktAttachRows(d.get(), {{"SP2_SPEED", "s", "", 0u, 3, 3, 1, T::CMD}});
    QSignalSpy ack(d->property_ptr("DEVICE_ID"), &KTDeviceProperty::retStatus);
    d->slot_usb_read(frame("CMD;3:9;") + frame("CCMD;57,0,U;") + frame("CCMD;44,0;"));
    QCOMPARE(valueOf(d.get(), "DEVICE_UNIQUE_ID"), QVariant("U"));   // attached before the note: still reached
    QCOMPARE(valueOf(d.get(), "SP2_SPEED"), QVariant(0u));          // after it: never reached
    QCOMPARE(ack.count(), 1);

    d->setProperty("HOST_NOTE", QVariant());
    d->slot_usb_read(frame("CMD;3:9;"));
    QCOMPARE(valueOf(d.get(), "SP2_SPEED"), QVariant(9u));
}

void tst_KTDispatch::handlerReadsMoreBytes()
{
    // The host reads on from inside a message: replies are still applied in
    // the order they arrived, so the newer value stays.
    auto d = machine();
    QStringList texts;
    connect(d.get(), &KTDeviceInterface::message, this, [&](T::KTDeviceMessage, const QString &text) {
        texts << text;
        if (texts.size() == 1)
            d->slot_usb_read(frame("CMD;3:200;") + frame("CCMD;55,0,C;"));
    });
    d->slot_usb_read(frame("CCMD;55,0,A;") + frame("CMD;3:100;") + frame("CCMD;11,0,B;"));
    QCOMPARE(texts, (QStringList{"A", "B", "C"}));
    QCOMPARE(valueOf(d.get(), "SP2_SPEED"), QVariant(200u));
    QVERIFY(d->receiveBuffer().isEmpty());
}

void tst_KTDispatch::pendingBytesBounded()
{
    auto d = machine();
    const QByteArray garbage(64 * 1024, 'g');
    for (int i = 0; i < 20; ++i) {
        d->slot_usb_read(garbage);
        QVERIFY(d->receiveBuffer().size() <= KTFrame::MaxPendingBytes);
    }
    d->slot_usb_read(frame("CMD;3:42;"));
    QCOMPARE(valueOf(d.get(), "SP2_SPEED"), QVariant(42u));
    QVERIFY(d->receiveBuffer().isEmpty());
}

void tst_KTDispatch::floodWithoutFrames_data()
{
    QTest::addColumn<QByteArray>("first");   // the first read
    QTest::addColumn<QByteArray>("read");    // every read after it
    QTest::addColumn<int>("mostKept");       // the most the buffer may hold after a read

    const QByteArray zeros(10240, '\0');
    QByteArray starts;
    while (starts.size() + 17 <= 10240)
        starts += "\x02" "18;CMD;SET3:700;";
    QByteArray oneStart = zeros;
    oneStart[100] = '\x02';
    // Nothing there can start a frame: it is not kept at all.
    QTest::newRow("no STX") << zeros << zeros << 0;
    QTest::newRow("frame starts, no ETX") << starts << starts << KTFrame::MaxPendingBytes;
    QTest::newRow("one STX, no ETX") << oneStart << zeros << KTFrame::MaxPendingBytes;
    QTest::newRow("lone ETXs") << QByteArray(10240, '\x03') << QByteArray(10240, '\x03') << 0;
}

// A port that sends 8 MiB and no frame: what is kept stays bounded, and the
// next real reply still arrives.
void tst_KTDispatch::floodWithoutFrames()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, read);
    QFETCH(int, mostKept);
    auto d = machine();
    QStringList texts;
    connect(d.get(), &KTDeviceInterface::message, this, [&](T::KTDeviceMessage, const QString &t) { texts << t; });
    d->slot_usb_read(first);
    for (int i = 0; i < 8 * 1024 * 1024 / read.size(); ++i) {
        d->slot_usb_read(read);
        QVERIFY2(d->receiveBuffer().size() <= mostKept, qPrintable(QString::number(d->receiveBuffer().size())));
    }
    QVERIFY(texts.isEmpty());
    d->slot_usb_read(frame("CMD;3:42;"));
    QCOMPARE(valueOf(d.get(), "SP2_SPEED"), QVariant(42u));
    QVERIFY(d->receiveBuffer().isEmpty());
}

void tst_KTDispatch::lastTimeFollowsReads_data()
{
    QTest::addColumn<QByteArray>("before");   // read before someone sets the stamp back
    QTest::addColumn<QVector<QByteArray>>("reads");

    QTest::newRow("whole frame") << QByteArray() << QVector<QByteArray>{frame("CMD;3:1;")};
    QTest::newRow("first byte of a frame") << QByteArray() << QVector<QByteArray>{"\x02"};
    QTest::newRow("bytes inside a frame") << QByteArray("\x02" "0;CMD;3:") << QVector<QByteArray>(64, "1");
    QTest::newRow("byte that ends a frame") << QByteArray("\x02" "0;CMD;3:1;") << QVector<QByteArray>{"\x03"};
    QTest::newRow("garbage") << QByteArray("zz") << QVector<QByteArray>{QByteArray(100, 'g')};
}

void tst_KTDispatch::lastTimeFollowsReads()
{
    QFETCH(QByteArray, before);
    QFETCH(QVector<QByteArray>, reads);
    auto d = machine();
    d->slot_usb_read(before);
    const QDateTime stale = QDateTime::currentDateTime().addSecs(-120);
    d->property_ptr("LAST_TIME")->setValue(stale);
    for (const QByteArray &read : reads)
        d->slot_usb_read(read);
    QVERIFY(valueOf(d.get(), "LAST_TIME").toDateTime().secsTo(QDateTime::currentDateTime()) < 5);
}

QTEST_MAIN(tst_KTDispatch)
#include "tst_ktdispatch.moc"
