#include "property/ktframe.h"
#include "tools/virtual-cutter/ktvirtualcutter.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {
QByteArray frameWithLength(const QByteArray &inner, int declared)
{
    return "\x02" + QByteArray::number(declared) + ";" + inner + "\x03";
}

// A frame around any bytes, its length counted here rather than by the codec,
// which takes text.
QByteArray rawFrame(const QByteArray &inner)
{
    int total = inner.size() + 3;
    total += QByteArray::number(total + QByteArray::number(total).size()).size();
    return frameWithLength(inner, total);
}

// A plain socket client: what it sends reaches the cutter byte for byte.
struct Client
{
    QTcpSocket socket;
    QByteArray received;
    explicit Client(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
};
} // namespace

class tst_KTVirtualCutter : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void malformedFramesAreRefused_data();
    void malformedFramesAreRefused();
    void frameByLengthCarriesAnyByte();
    void splitFrameIsOneFrame();
    void dumpHoldsTheExactJob();
    void hugeJobTakesItsTime();
    void ptyRepliesSurviveAFullPipe();
    void writesStayInSixteenBits_data();
    void writesStayInSixteenBits();

private:
    std::unique_ptr<KTVirtualCutter> cutter;
};

void tst_KTVirtualCutter::init()
{
    cutter = std::make_unique<KTVirtualCutter>();
    QVERIFY(cutter->listenTcp(0));
}

void tst_KTVirtualCutter::cleanup()
{
    cutter.reset();
}

void tst_KTVirtualCutter::malformedFramesAreRefused_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("malformed");

    const QByteArray job("PLT;IN;PU0,0;PD400,0;LBab\x03;PD0,0;");
    QTest::newRow("ETX inside a job") << rawFrame(job) << 1;
    QTest::newRow("STX inside a job") << rawFrame("PLT;IN;\x02PD0,0;") << 1;
    QTest::newRow("length short of the ETX") << frameWithLength("PLT;IN;PD400,0;", 10) << 1;
    QTest::newRow("length past the ETX") << frameWithLength("PLT;IN;PD400,0;", 25) + "zzzzzzz" << 1;
    QTest::newRow("no digits") << QByteArray("\x02;PLT;IN;\x03") << 1;
    QTest::newRow("length beyond any job") << frameWithLength("PLT;IN;", 999999999) << 1;
}

void tst_KTVirtualCutter::malformedFramesAreRefused()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, malformed);

    Client client(cutter->tcpPort());
    QSignalSpy refused(cutter.get(), &KTVirtualCutter::malformedFrame);
    // A good read after the bad frame shows the cutter finds its feet again.
    client.socket.write(bytes + KTFrame::pack("GET3;", "CMD"));
    QTRY_VERIFY(client.received.contains("CMD;GET3:300;"));
    QCOMPARE(refused.count(), malformed);
    QCOMPARE(cutter->malformedFrames(), malformed);
    QVERIFY(client.received.contains(";CCMD;66,5,"));   // error status, as a machine reports it
    QVERIFY(!cutter->jobRunning());
    QVERIFY(cutter->lastCutData().isEmpty());
}

void tst_KTVirtualCutter::frameByLengthCarriesAnyByte()
{
    Client client(cutter->tcpPort());
    QByteArray job("IN;PU0,0;LB");
    for (int b = 0; b < 256; ++b) {
        if (b != 0x02 && b != 0x03)
            job += char(b);
    }
    job += "\x1b;PD400,0;";
    client.socket.write(rawFrame("PLT;" + job));
    QTRY_VERIFY(cutter->jobRunning());
    QCOMPARE(cutter->lastCutData(), job);
    QCOMPARE(cutter->malformedFrames(), 0);
}

void tst_KTVirtualCutter::splitFrameIsOneFrame()
{
    Client client(cutter->tcpPort());
    QVERIFY(client.socket.waitForConnected(5000));
    const QByteArray frame = KTFrame::pack("GET3;", "CMD");
    for (char c : frame) {
        client.socket.write(QByteArray(1, c));
        client.socket.flush();
        QTest::qWait(1);
    }
    QTRY_VERIFY(client.received.contains("CMD;GET3:300;"));
    QCOMPARE(cutter->framesReceived().size(), 1);
    QCOMPARE(cutter->malformedFrames(), 0);
}

void tst_KTVirtualCutter::dumpHoldsTheExactJob()
{
    QTemporaryDir dir;
    cutter->dumpDir = dir.path();
    QSignalSpy dumped(cutter.get(), &KTVirtualCutter::jobDumped);
    Client client(cutter->tcpPort());
    const QByteArray job("IN;PU0,0;PD400,0;CO\"\xc3\xa9\xff\";PU;");
    client.socket.write(KTFrame::pack("NUM:2;", "CMD"));
    client.socket.write(rawFrame("PLT;" + job));
    QTRY_COMPARE(dumped.count(), 1);
    QFile file(dumped.at(0).at(0).toString());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), job);
}

// A 150 MB job at 200 MB/s cuts for 0.75 s a copy; the cut time once
// overflowed 32 bits and such a job "finished" at once.
void tst_KTVirtualCutter::hugeJobTakesItsTime()
{
    cutter->cutBytesPerSecond = 200 * 1000 * 1000;
    cutter->reportIntervalMs = 50;
    QSignalSpy finished(cutter.get(), &KTVirtualCutter::jobFinished);
    // Started as the frame arrives, just before the cutter's own clock: the
    // job cannot end sooner on this one, however late the test looks.
    QElapsedTimer clock;
    connect(cutter.get(), &KTVirtualCutter::frameReceived, this, [&clock] {
        if (!clock.isValid())
            clock.start();
    });
    Client client(cutter->tcpPort());
    QByteArray frame = rawFrame("PLT;" + QByteArray(150 * 1000 * 1000, ';'));
    client.socket.write(frame);
    frame.clear();
    QTRY_VERIFY_WITH_TIMEOUT(cutter->jobRunning(), 60000);
    QCOMPARE(cutter->copyMs(), qint64(750));
    QCOMPARE(finished.count(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
    QVERIFY(clock.elapsed() >= 750);   // a floor set by the cutter's own clock, not a speed test
    QVERIFY(client.received.contains(",1,1,100.0,0,0,0;"));
}

void tst_KTVirtualCutter::ptyRepliesSurviveAFullPipe()
{
    const QString path = cutter->openPty();
    QVERIFY(!path.isEmpty());
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    // Far more replies than the pty holds; the host reads only once it has
    // written every request, so the cutter must wait for room, not spin.
    QByteArray burst;
    for (int i = 0; i < 4000; ++i)
        burst += KTFrame::pack("GET3;", "CMD");
    const QByteArray one = KTFrame::pack("GET3:300;", "CMD");
    QByteArray got;
    qint64 sent = 0;
    auto pump = [&] {
        if (sent < burst.size()) {
            const ssize_t n = ::write(fd, burst.constData() + sent, size_t(burst.size() - sent));
            sent += qMax<ssize_t>(0, n);
        } else {
            char chunk[65536];
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n > 0)
                got.append(chunk, int(n));
        }
        return got.size() >= 4000 * one.size();
    };
    QTRY_VERIFY_WITH_TIMEOUT(pump(), 30000);
    ::close(fd);
    QCOMPARE(got.count(one), 4000);
}

void tst_KTVirtualCutter::writesStayInSixteenBits_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("word");
    QTest::newRow("in range") << "700" << 700;
    QTest::newRow("rounded") << "2.5" << 3;
    QTest::newRow("negative wraps") << "-1" << 0xffff;
    QTest::newRow("far above") << "1e300" << 0xffff;
    QTest::newRow("far below") << "-1e300" << 0x8000;
    QTest::newRow("not a number") << "nan" << 0;
    QTest::newRow("infinite") << "-inf" << 0;
}

void tst_KTVirtualCutter::writesStayInSixteenBits()
{
    QFETCH(QString, value);
    QFETCH(int, word);
    cutter->feed(KTFrame::pack("SET3:" + value + ";SET4:9;", "CMD"));
    QCOMPARE(cutter->cmdRegister(3), word);
    QCOMPARE(cutter->cmdRegister(4), 9);   // the rest of the frame is still taken
    QCOMPARE(cutter->malformedFrames(), 0);
}

QTEST_GUILESS_MAIN(tst_KTVirtualCutter)
#include "tst_ktvirtualcutter.moc"
