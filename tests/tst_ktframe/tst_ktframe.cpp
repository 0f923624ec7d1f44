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
    void parseReply_data();
    void parseReply();
    void parseReplyParts();
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

using R = KTFrame::Reply;

void tst_KTFrame::parseReply_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("word");
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("elements");
    QTest::addColumn<QStringList>("values");

    const QString s = QStringLiteral("\x02" "0;");
    const QString e = QStringLiteral("\x03");
    QTest::newRow("CMD three words") << s + "CMD;GET11:4464;12:1;13:0;" + e << int(R::Cmd) << 11 << 0 << 0
                                     << QStringList{"4464", "1", "0"};
    QTest::newRow("CMD one word") << s + "CMD;3:700;" + e << int(R::Cmd) << 3 << 0 << 0 << QStringList{"700"};
    QTest::newRow("CMD last item without separator") << s + "CMD;3:5;4:9" + e << int(R::Cmd) << 3 << 0 << 0
                                                     << QStringList{"5"};
    QTest::newRow("CMD only item without separator") << s + "CMD;3:5" + e << int(R::Cmd) << 0 << 0 << 0
                                                     << QStringList{};
    QTest::newRow("CMD empty body") << s + "CMD;" + e << int(R::Cmd) << 0 << 0 << 0 << QStringList{};
    QTest::newRow("CMD item without colon") << s + "CMD;GET11;" + e << int(R::Cmd) << 11 << 0 << 0
                                            << QStringList{"GET11"};
    QTest::newRow("CMD two colons") << s + "CMD;A:B:7;" + e << int(R::Cmd) << 0 << 0 << 0 << QStringList{"7"};
    QTest::newRow("CMD number not a number") << s + "CMD;X1y:5;2:6;" + e << int(R::Cmd) << 0 << 0 << 0
                                             << QStringList{"5", "6"};
    QTest::newRow("CMD signed number") << s + "CMD;-3:5;" + e << int(R::Cmd) << -3 << 0 << 0 << QStringList{"5"};
    QTest::newRow("CMD number too big") << s + "CMD;99999999999:5;" + e << int(R::Cmd) << 0 << 0 << 0
                                        << QStringList{"5"};
    QTest::newRow("CMD value outside Latin-1") << s + QString::fromUtf8("CMD;3:\xe4\xb8\xad" "1;") + e << int(R::Cmd)
                                               << 3 << 0 << 0 << QStringList{"?1"};
    QTest::newRow("CCMD value") << s + "CCMD;57,0,ABC;" + e << int(R::Ccmd) << 57 << 0 << 3 << QStringList{"ABC"};
    QTest::newRow("CCMD six values") << s + "CCMD;2,0,M1,D7,P3,V2,F1,C5;" + e << int(R::Ccmd) << 2 << 0 << 8
                                     << QStringList{"M1", "D7", "P3", "V2", "F1", "C5"};
    QTest::newRow("CCMD short reply") << s + "CCMD;44,0;" + e << int(R::Ccmd) << 44 << 0 << 2 << QStringList{};
    QTest::newRow("CCMD status 1") << s + "CCMD;57,1,A;" + e << int(R::Ccmd) << 57 << 1 << 3 << QStringList{"A"};
    QTest::newRow("CCMD code not a number") << s + "CCMD;x7,0,A;" + e << int(R::Ccmd) << 0 << 0 << 3 << QStringList{"A"};
    QTest::newRow("CCMD status not a number") << s + "CCMD;57,x,A;" + e << int(R::Ccmd) << 57 << 0 << 3
                                              << QStringList{"A"};
    QTest::newRow("CCMD code only") << s + "CCMD;1010;" + e << int(R::Ccmd) << 1010 << 0 << 1 << QStringList{};
    QTest::newRow("CCMD empty body") << s + "CCMD;;" + e << int(R::Ccmd) << 0 << 0 << 1 << QStringList{};
    QTest::newRow("CCMD empty elements kept") << s + "CCMD;16,0,,-2,;" + e << int(R::Ccmd) << 16 << 0 << 5
                                              << QStringList{"", "-2", ""};
    QTest::newRow("CCMD ETX stays on last element") << s + "CCMD;57,0,Q" + e << int(R::Ccmd) << 57 << 0 << 3
                                                    << QStringList{"Q" + e};
    QTest::newRow("CCMD code with spaces") << s + "CCMD; 57 ,0,A;" + e << int(R::Ccmd) << 57 << 0 << 3
                                           << QStringList{"A"};
    QTest::newRow("CCMD body fields after the first ignored") << s + "CCMD;3,0,a;4,0,b;" + e << int(R::Ccmd) << 3
                                                              << 0 << 3 << QStringList{"a"};
    QTest::newRow("unknown word") << s + "XYZ;3:9;" + e << int(R::Other) << 0 << 0 << 0 << QStringList{};
    QTest::newRow("word in lower case") << s + "cmd;3:9;" + e << int(R::Other) << 0 << 0 << 0 << QStringList{};
    QTest::newRow("two fields") << s + "CMD" + e << int(R::Invalid) << 0 << 0 << 0 << QStringList{};
    QTest::newRow("no separator") << "garbage" << int(R::Invalid) << 0 << 0 << 0 << QStringList{};
    QTest::newRow("empty") << "" << int(R::Invalid) << 0 << 0 << 0 << QStringList{};
}

void tst_KTFrame::parseReply()
{
    QFETCH(QString, text);
    const KTFrame::Reply r = KTFrame::parseReply(text);
    QTEST(int(r.word), "word");
    QTEST(r.number, "number");
    QTEST(r.status, "status");
    QTEST(r.elementCount, "elements");
    QTEST(r.values, "values");
    QCOMPARE(r.frame, text);
}

void tst_KTFrame::parseReplyParts()
{
    // The parts task reports, QR notices and short replies need, as sent.
    const KTFrame::Reply task = KTFrame::parseReply("\x02" "0;CCMD;66,2,a.plt,3,1,33.8,0,0,0;\x03");
    QCOMPARE(task.body(), QStringLiteral("66,2,a.plt,3,1,33.8,0,0,0"));
    QCOMPARE(task.number, 66);
    const KTFrame::Reply qr = KTFrame::parseReply("\x02" "0;CCMD;11,0,a,b;\x03");
    QCOMPARE(qr.lastElement(), QStringLiteral("b"));
    QCOMPARE(qr.elements(), (QStringList{"11", "0", "a", "b"}));
    const KTFrame::Reply shortReply = KTFrame::parseReply("\x02" "0;CCMD;55,F.plt;\x03");
    QCOMPARE(shortReply.element1(), QStringLiteral("F.plt"));
    QCOMPARE(shortReply.lastElement(), QStringLiteral("F.plt"));
    QCOMPARE(KTFrame::parseReply("\x02" "0;CCMD;55;\x03").lastElement(), QStringLiteral("55"));
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
