#include "property/ktframe.h"

#include <QtTest>

using KTFrame::Cutter;

namespace {

QByteArray frame(const QByteArray &inner)
{
    return QByteArray(1, KTFrame::STX) + inner + QByteArray(1, KTFrame::ETX);
}

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// Feeds data to a cutter in chunks and returns every frame it cut.
QList<QByteArray> feed(const QList<QByteArray> &chunks, QByteArray *rest = nullptr, int maxPending = KTFrame::MaxPendingBytes)
{
    Cutter cutter(maxPending);
    QByteArray buffer;
    QList<QByteArray> out;
    for (const QByteArray &chunk : chunks) {
        buffer.append(chunk);
        const auto frames = cutter.cut(buffer);
        for (const QByteArray &f : frames)
            out.append(f);
    }
    if (rest)
        *rest = buffer;
    return out;
}

QList<QByteArray> bytewise(const QByteArray &data)
{
    QList<QByteArray> chunks;
    for (char c : data)
        chunks.append(QByteArray(1, c));
    return chunks;
}

} // namespace

class tst_KTFrame : public QObject
{
    Q_OBJECT
private slots:
    void pack_data();
    void pack();
    void packLengthDigits_data();
    void packLengthDigits();
    void packCountsEncodedBytes();
    void splitCmdItem_data();
    void splitCmdItem();
    void frameTextStopsAtNul();
    void cut_data();
    void cut();
    void cutSplitAtEveryByte();
    void garbageWithoutEtxStaysBounded();
    void oversizedFrameIsDroppedAndNextFrameDecodes();
    void manyFramesInOneBuffer();
};

void tst_KTFrame::pack_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("word");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("CCMD read 54") << "54;" << "CCMD" << hex("0231333b43434d443b35343b03");
    QTest::newRow("CMD write 125") << "SET125:2;" << "CMD" << hex("0231383b434d443b5345543132353a323b03");
    QTest::newRow("three CMD words") << "GET11;12;13;" << "CMD" << frame("21;CMD;GET11;12;13;");
    QTest::newRow("empty body") << "" << "CMD" << hex("02383b434d443b03");
}

void tst_KTFrame::pack()
{
    QFETCH(QString, body);
    QFETCH(QString, word);
    QFETCH(QByteArray, expected);
    QCOMPARE(KTFrame::pack(body, word), expected);
}

void tst_KTFrame::packLengthDigits_data()
{
    QTest::addColumn<int>("payloadBytes");
    QTest::addColumn<int>("frameBytes");

    // The length field counts itself, so 10 and 100 can never occur.
    QTest::newRow("5 -> 9") << 5 << 9;
    QTest::newRow("6 -> 11") << 6 << 11;
    QTest::newRow("94 -> 99") << 94 << 99;
    QTest::newRow("95 -> 101") << 95 << 101;
    QTest::newRow("993 -> 999") << 993 << 999;
    QTest::newRow("994 -> 1001") << 994 << 1001;
}

void tst_KTFrame::packLengthDigits()
{
    QFETCH(int, payloadBytes);
    QFETCH(int, frameBytes);
    // payload = word + ";" + body; word "P" takes 2 bytes with its ";".
    const QByteArray f = KTFrame::pack(QString(payloadBytes - 2, QLatin1Char('x')), QStringLiteral("P"));
    QCOMPARE(f.size(), frameBytes);
    QCOMPARE(f.mid(1, f.indexOf(';') - 1), QByteArray::number(frameBytes));
}

void tst_KTFrame::packCountsEncodedBytes()
{
    // Non-ASCII text is counted in encoded bytes, not characters.
    const QByteArray f = KTFrame::pack(QString::fromUtf8("\xe4\xb8\xad\xe6\x96\x87;"), QStringLiteral("PLT"));
    QCOMPARE(f.mid(1, f.indexOf(';') - 1).toInt(), f.size());
    QVERIFY(f.size() > 12);
}

void tst_KTFrame::splitCmdItem_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("value");

    QTest::newRow("named write") << "SET125:2" << "SET" << 125 << "2";
    QTest::newRow("bare number") << "12:300" << "" << 12 << "300";
    QTest::newRow("no colon") << "GET11" << "GET" << 11 << "GET11";
    QTest::newRow("two colons") << "A:B:7" << "A" << 0 << "7";
    QTest::newRow("empty") << "" << "" << 0 << "";
    QTest::newRow("not a number") << "X1y:5" << "X" << 0 << "5";
}

void tst_KTFrame::splitCmdItem()
{
    QFETCH(QString, item);
    QString name, value;
    int number = -1;
    KTFrame::splitCmdItem(item, name, number, value);
    QTEST(name, "name");
    QTEST(number, "number");
    QTEST(value, "value");
}

void tst_KTFrame::frameTextStopsAtNul()
{
    QCOMPARE(KTFrame::frameText(QByteArray("\x02" "9;CMD;A\0B\x03", 11)), QStringLiteral("\x02" "9;CMD;A"));
    QCOMPARE(KTFrame::frameText(QByteArray("\x02" "8;CCMD;2,0,\xe4\xb8\xad;\x03")),
             QString::fromUtf8("\x02" "8;CCMD;2,0,\xe4\xb8\xad;\x03"));
}

void tst_KTFrame::cut_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<QByteArray>("rest");

    const QByteArray a = frame("13;CCMD;54;");
    const QByteArray b = frame("16;CMD;GET3:7;");
    QTest::newRow("two frames in one read") << QList<QByteArray>{a + b} << QList<QByteArray>{a, b} << QByteArray();
    QTest::newRow("one frame in three reads") << QList<QByteArray>{a.left(3), a.mid(3, 5), a.mid(8)}
                                              << QList<QByteArray>{a} << QByteArray();
    QTest::newRow("stray letters before a frame") << QList<QByteArray>{"xy" + a} << QList<QByteArray>{a} << QByteArray();
    QTest::newRow("unfinished start then a frame") << QList<QByteArray>{"\x02" "12;CM", b} << QList<QByteArray>{b}
                                                   << QByteArray();
    QTest::newRow("ETX alone") << QList<QByteArray>{"\x03"} << QList<QByteArray>{} << QByteArray();
    QTest::newRow("wrong length field") << QList<QByteArray>{frame("99;CMD;GET3:7;")}
                                        << QList<QByteArray>{frame("99;CMD;GET3:7;")} << QByteArray();
    QTest::newRow("tail waits for more") << QList<QByteArray>{a + "\x02" "1"} << QList<QByteArray>{a}
                                         << QByteArray("\x02" "1");
    QTest::newRow("garbage tail kept until ETX") << QList<QByteArray>{a + "zz"} << QList<QByteArray>{a}
                                                 << QByteArray("zz");
    QTest::newRow("STX inside body restarts") << QList<QByteArray>{"\x02" "8;CMD;\x02" "9;X;\x03"}
                                              << QList<QByteArray>{"\x02" "9;X;\x03"} << QByteArray();
}

void tst_KTFrame::cut()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QList<QByteArray>, frames);
    QFETCH(QByteArray, rest);
    QByteArray left;
    QCOMPARE(feed(chunks, &left), frames);
    QCOMPARE(left, rest);
}

void tst_KTFrame::cutSplitAtEveryByte()
{
    QByteArray stream;
    QList<QByteArray> expected;
    for (int i = 0; i < 50; ++i) {
        const QByteArray f = KTFrame::pack(QStringLiteral("GET%1:%2;").arg(i).arg(i * 7), QStringLiteral("CMD"));
        expected.append(f);
        stream += (i % 3 == 0 ? QByteArray("junk") : QByteArray()) + f;
    }
    QCOMPARE(feed(bytewise(stream)), expected);
}

void tst_KTFrame::garbageWithoutEtxStaysBounded()
{
    const int bound = 4096;
    Cutter cutter(bound);
    QByteArray buffer;
    const QByteArray chunk(1000, 'g');
    for (int i = 0; i < 100; ++i) {
        buffer.append(chunk);
        QVERIFY(cutter.cut(buffer).isEmpty());
        QVERIFY2(buffer.size() <= bound, QByteArray::number(buffer.size()).constData());
    }
    // A frame start in the garbage survives while it could still be a frame.
    buffer.append("\x02" "11;CMD;");
    cutter.cut(buffer);
    QVERIFY(buffer.startsWith('\x02'));
    buffer.append("GET3:1;\x03");
    const auto frames = cutter.cut(buffer);
    QCOMPARE(frames.size(), 1);
    QCOMPARE(frames.first(), QByteArray("\x02" "11;CMD;GET3:1;\x03"));
}

void tst_KTFrame::oversizedFrameIsDroppedAndNextFrameDecodes()
{
    const int bound = 1024;
    const QByteArray good = frame("13;CCMD;54;");
    QByteArray rest;
    const QList<QByteArray> frames =
        feed({"\x02" "9999;PLT;", QByteArray(2000, 'a'), QByteArray(10, 'b') + "\x03", good}, &rest, bound);
    QCOMPARE(frames, QList<QByteArray>{good});
    QVERIFY(rest.isEmpty());
}

void tst_KTFrame::manyFramesInOneBuffer()
{
    const QByteArray one = frame("18;CMD;GET3:700;");
    QByteArray buffer = one.repeated(100000);
    Cutter cutter;
    const auto frames = cutter.cut(buffer);
    QCOMPARE(frames.size(), 100000);
    QCOMPARE(frames.last(), one);
    QVERIFY(buffer.isEmpty());
}

QTEST_APPLESS_MAIN(tst_KTFrame)
#include "tst_ktframe.moc"
