// Cut jobs through the built kt-host, as processes, against the virtual cutter
// and against peers that are not cutters: what is refused before connecting,
// what reaches the machine, and what the host claims about it.
#include "tests/support/kttestsupport.h"
#include "tools/virtual-cutter/ktvirtualcutter.h"

#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const QString Sheet = QStringLiteral(KT_SOURCE_DIR "/examples/labels-a5.plt");
const QString Labelled = QStringLiteral(KT_SOURCE_DIR "/tests/data/hpgl/text-pstoedit.hpgl");

} // namespace

class tst_KTHostJob : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void refusedBeforeConnecting_data();
    void refusedBeforeConnecting();
    void droppedLabelsArriveExactly();
    void textBytesArriveUnchanged();
    void convertedJobArrives_data();
    void convertedJobArrives();
    void writtenIntoWhatIsNoFile_data();
    void writtenIntoWhatIsNoFile();
    void interruptedWhileReading_data();
    void interruptedWhileReading();
    void fullDiskKeepsTheFile_data();
    void fullDiskKeepsTheFile();
    void notACutterGetsNoJob();
    void silenceStopsTheJob_data();
    void silenceStopsTheJob();
    void machineErrorIsNoCompletion_data();
    void machineErrorIsNoCompletion();
    void inspectJson();
    void inspectWithMachineEstimatesTime();
    void previewDrawsTheStrokes();
    void plotArea_data();
    void plotArea();

private:
    QString write(const QString &name, const QByteArray &bytes);
    Run host(const QStringList &args, int timeoutMs = 30000);
    QString tcp() const { return QStringLiteral("127.0.0.1:%1").arg(cutter->tcpPort()); }

    std::unique_ptr<KTVirtualCutter> cutter;
    std::unique_ptr<QTemporaryDir> dir;
};

void tst_KTHostJob::init()
{
    dir = std::make_unique<QTemporaryDir>();
    cutter = std::make_unique<KTVirtualCutter>();
    cutter->reportIntervalMs = 30;
    cutter->cutBytesPerSecond = 100000;
    cutter->dumpDir = dir->path();
    QVERIFY(cutter->listenTcp(0));
}

void tst_KTHostJob::cleanup()
{
    cutter.reset();
    dir.reset();
}

QString tst_KTHostJob::write(const QString &name, const QByteArray &bytes)
{
    const QString path = dir->filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return QString();
    return path;
}

Run tst_KTHostJob::host(const QStringList &args, int timeoutMs)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", "C.UTF-8");   // the local encoding the byte checks below assume
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(KT_HOST_PATH), args);
    // The cutter lives in this event loop: never block it.
    KTTestSupport::waitUntil([&p] { return p.state() == QProcess::NotRunning; }, timeoutMs);
    Run r;
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished(2000);
    } else {
        r.exitCode = p.exitCode();
    }
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

void tst_KTHostJob::refusedBeforeConnecting_data()
{
    QTest::addColumn<QByteArray>("job");
    QTest::addColumn<bool>("asIs");
    QTest::addColumn<QString>("cause");

    QImage png(4, 4, QImage::Format_RGB32);
    png.fill(Qt::red);
    QBuffer pngBytes;
    pngBytes.open(QIODevice::WriteOnly);
    png.save(&pngBytes, "PNG");

    QTest::newRow("text label") << readFile(Labelled) << false << "a text label, which the job made from";
    QTest::newRow("text label as is") << readFile(Labelled) << true << "offset 127: a text label ends with ETX";
    QTest::newRow("empty") << QByteArray() << false << "the file is empty";
    QTest::newRow("PNG") << pngBytes.data() << false << "offset 0: not HPGL";
    QTest::newRow("STX as is") << QByteArray("IN;PU0,0;\x02;PD400,0;") << true << "offset 9: control byte 0x02 (STX)";
    QTest::newRow("PD1e308") << QByteArray("IN;PU0,0;PD1e308,0;") << false
                             << "offset 11: PD has a number that is not finite";
    QTest::newRow("Latin-1 byte as is") << QByteArray("IN;CO\"caf\xe9\";PD400,0;") << true
                                        << "offset 9: byte 0xe9 would not reach";
    // The XML library's own complaint about the bytes stays off stderr.
    QTest::newRow("SVG of bytes no encoding takes")
        << QByteArray("<\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0Ming,97.38\xe0\xdf\xd8/g>\n</svg>\n", 41) << false
        << "the SVG file is not well-formed XML";
    QTest::newRow("placed as is") << QByteArray("IN;PU0,0;PD400,0;") << true << "--as-is sends the file as it is";
}

// Refused with one line and status 2; the listener never sees a connection.
void tst_KTHostJob::refusedBeforeConnecting()
{
    QFETCH(QByteArray, job);
    QFETCH(bool, asIs);
    QFETCH(QString, cause);
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    const QString file = write("job.plt", job);
    QStringList args{"--tcp", QStringLiteral("127.0.0.1:%1").arg(listener.serverPort()), "cut", file};
    if (asIs)
        args << "--as-is";
    if (QByteArray(QTest::currentDataTag()).startsWith("placed"))
        args << "--rotate" << "90";
    const Run r = host(args);
    QCOMPARE(r.exitCode, 2);
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY2(r.err.contains(cause), qPrintable(r.err));
    if (!QByteArray(QTest::currentDataTag()).startsWith("placed"))
        QVERIFY(r.err.contains("nothing sent"));
    QVERIFY(!listener.hasPendingConnections());
}

void tst_KTHostJob::droppedLabelsArriveExactly()
{
    const Run r = host({"--tcp", tcp(), "cut", Labelled, "--drop-labels", "--as-is"});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QVERIFY(r.out.contains("1 text labels dropped"));
    QVERIFY(r.out.contains("cut job complete: 1 copies"));
    QByteArray expected = readFile(Labelled);
    QVERIFY(expected.contains("LBLabel\x03;"));
    expected.replace("LBLabel\x03;", "");
    QCOMPARE(readFile(dir->filePath("job1.plt")), expected);
}

// Bytes above 0x7F that survive the plug-in's conversions reach the machine
// as they are in the file.
void tst_KTHostJob::textBytesArriveUnchanged()
{
    const QByteArray job("IN;CO\"caf\xc3\xa9 \xe2\x82\xac\";PU0,0;PD400,0;\r\n");
    const Run r = host({"--tcp", tcp(), "cut", write("utf8.plt", job), "--as-is"});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QCOMPARE(readFile(dir->filePath("job1.plt")), job);
}

void tst_KTHostJob::convertedJobArrives_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("warning");   // what cut says before it cuts

    const QString data = QStringLiteral(KT_SOURCE_DIR "/tests/data/");
    QTest::newRow("encoded, 8-bit, labels dropped") << data + "hpgl/polar-gnuplot.pcl" << QStringList{"--drop-labels"}
                                                    << QString();
    QTest::newRow("arcs, turned and placed") << data + "hpgl/dome-fig2dev.hpgl"
                                             << QStringList{"--rotate", "90", "--origin", "5,5"} << QString();
    QTest::newRow("plain, fitted") << Sheet << QStringList{"--fit", "50x50", "--mirror"} << QString();
    QTest::newRow("DXF with text") << data + "dxf/ezdxf-r12.dxf" << QStringList()
                                   << "warning: 1 text is not cut";
    QTest::newRow("SVG") << data + "svg/inkscape-shapes-mm.svg" << QStringList{"--origin", "0,0"} << QString();
}

// What convert writes is what cut sends, to the byte.
void tst_KTHostJob::convertedJobArrives()
{
    QFETCH(QString, file);
    QFETCH(QStringList, options);
    QFETCH(QString, warning);
    const QString converted = dir->filePath("converted.plt");
    const Run c = host(QStringList{"convert", file, "-o", converted} + options);
    QVERIFY2(c.exitCode == 0, qPrintable(c.err));
    const QByteArray job = readFile(converted);
    QVERIFY(job.startsWith("IN;"));
    const Run r = host(QStringList{"--tcp", tcp(), "cut", file} + options);
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QVERIFY2(r.out.contains(QStringLiteral("(%1 bytes of the job made from its paths").arg(job.size())),
             qPrintable(r.out));
    QVERIFY2(warning.isEmpty() ? !r.out.contains("warning:") : r.out.contains(warning), qPrintable(r.out));
    QCOMPARE(readFile(dir->filePath("job1.plt")), job);
}

void tst_KTHostJob::writtenIntoWhatIsNoFile_data()
{
    QTest::addColumn<QStringList>("command");   // -o PIPE follows
    QTest::addColumn<QByteArray>("starts");

    QTest::newRow("convert") << QStringList{"convert", Sheet} << QByteArray("IN;");
    QTest::newRow("preview") << QStringList{"preview", Sheet} << QByteArray("\x89PNG");
    QTest::newRow("qrcode") << QStringList{"qrcode", "A-1", "--size", "20"} << QByteArray("\x89PNG");
}

// A named pipe (as a device would be) is written into, never replaced by a
// file of the same name.
void tst_KTHostJob::writtenIntoWhatIsNoFile()
{
    QFETCH(QStringList, command);
    QFETCH(QByteArray, starts);
    const QString pipe = dir->filePath("pipe.png");
    QCOMPARE(QProcess::execute("mkfifo", {pipe}), 0);
    QProcess reader;
    reader.setStandardOutputFile(dir->filePath("received"));
    reader.start("cat", {pipe});
    QVERIFY(reader.waitForStarted());
    const Run r = host(command + QStringList{"-o", pipe});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QVERIFY(KTTestSupport::waitUntil([&] { return reader.state() == QProcess::NotRunning; }, 10000));
    QVERIFY(QFileInfo(pipe).exists() && !QFileInfo(pipe).isFile());
    QVERIFY(readFile(dir->filePath("received")).startsWith(starts));
}

void tst_KTHostJob::interruptedWhileReading_data()
{
    QTest::addColumn<QStringList>("command");   // the job file follows
    QTest::addColumn<QString>("output");        // what must not appear

    QTest::newRow("convert") << QStringList{"convert"} << "out.plt";
    QTest::newRow("preview") << QStringList{"preview"} << "out.png";
}

// A Ctrl-C while the job file is still being read (here: a pipe whose
// writer is slow) stops the command before anything is written.
void tst_KTHostJob::interruptedWhileReading()
{
    QFETCH(QStringList, command);
    QFETCH(QString, output);
    const QString fifo = dir->filePath("job.plt");
    QCOMPARE(QProcess::execute("mkfifo", {fifo}), 0);
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(KT_HOST_PATH), command + QStringList{fifo, "-o", dir->filePath(output)});
    // The pipe opens for writing once kt-host reads it, its signals handled by then.
    int fd = -1;
    QVERIFY(KTTestSupport::waitUntil([&] {
        if (fd < 0)
            fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
        return fd >= 0;
    }, 10000));
    ::kill(pid_t(p.processId()), SIGINT);
    const QByteArray job = "IN;SC0,100,0,100;PU0,0;PD100,0,100,100;";
    QCOMPARE(::write(fd, job.constData(), size_t(job.size())), ssize_t(job.size()));
    ::close(fd);
    QVERIFY(KTTestSupport::waitUntil([&] { return p.state() == QProcess::NotRunning; }, 10000));
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 130);
    QCOMPARE(err.count('\n'), 1);
    QVERIFY2(err.contains("interrupted"), qPrintable(err));
    QVERIFY(!QFileInfo::exists(dir->filePath(output)));
}

void tst_KTHostJob::fullDiskKeepsTheFile_data()
{
    QTest::addColumn<QStringList>("command");   // -o FILE follows
    QTest::addColumn<QString>("file");

    const QString svg = QStringLiteral(KT_SOURCE_DIR "/tests/data/svg/gnuplot.svg");
    QTest::newRow("convert") << QStringList{"convert", svg} << "job.plt";
    QTest::newRow("preview") << QStringList{"preview", svg} << "job.png";
    QTest::newRow("QR code as SVG") << QStringList{"qrcode", "A-1", "--size", "20"} << "code.svg";
    QTest::newRow("QR code as PNG") << QStringList{"qrcode", "A-1", "--size", "20"} << "code.png";
}

// On a full disk, the file already there stays as it was, and the one line
// says why; a write the disk took only in part is never reported as done.
void tst_KTHostJob::fullDiskKeepsTheFile()
{
    QFETCH(QStringList, command);
    QFETCH(QString, file);
    if (::geteuid() != 0)
        QSKIP("a small tmpfs cannot be mounted here (it needs root)");
    const QString disk = dir->filePath("disk");
    QVERIFY(QDir().mkpath(disk));
    QCOMPARE(QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", disk}), 0);
    const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {disk}); });
    const QString target = disk + "/" + file;
    {
        QFile old(target);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old") == 3);
    }
    QFile filler(disk + "/filler");
    QVERIFY(filler.open(QIODevice::WriteOnly));
    const QByteArray block(1024, 'x');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    filler.close();

    const Run r = host(command + QStringList{"-o", target});
    QCOMPARE(r.exitCode, 2);
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY2(r.err.contains("No space left on device") || r.err.contains("the disk may be full"), qPrintable(r.err));
    QCOMPARE(readFile(target), QByteArray("old"));
}

// A listener that takes the connection and answers nothing (a printer on
// port 9100, say) gets the question for the machine's information, never the job.
void tst_KTHostJob::notACutterGetsNoJob()
{
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    QByteArray received;
    connect(&listener, &QTcpServer::newConnection, this, [&] {
        QTcpSocket *s = listener.nextPendingConnection();
        connect(s, &QTcpSocket::readyRead, s, [s, &received] { received += s->readAll(); });
    });
    const Run r = host({"--tcp", QStringLiteral("127.0.0.1:%1").arg(listener.serverPort()), "--timeout", "0.5", "cut", Sheet});
    QCOMPARE(r.exitCode, 3);
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY2(r.err.contains("does not answer as a cutter") && r.err.contains("no job sent"), qPrintable(r.err));
    QVERIFY(!received.isEmpty());                       // it was asked
    QVERIFY(!received.contains("PLT"));
    QVERIFY(!received.contains("IN;SP1;"));
    QVERIFY(received.size() < 200);
}

void tst_KTHostJob::silenceStopsTheJob_data()
{
    QTest::addColumn<bool>("deaf");
    QTest::addColumn<QString>("said");
    QTest::newRow("machine confirms") << false << "stop sent to the machine, which confirmed it";
    QTest::newRow("machine deaf") << true << "stop sent to the machine, which did not confirm it";
}

// A machine that stops reporting during a job times the host out after
// --timeout, not a fixed time; the stop goes out and the host says whether
// the machine confirmed it, never that the job is complete.
void tst_KTHostJob::silenceStopsTheJob()
{
    QFETCH(bool, deaf);
    QFETCH(QString, said);
    cutter->reportIntervalMs = 60000;
    cutter->cutBytesPerSecond = 100;
    if (deaf)
        connect(cutter.get(), &KTVirtualCutter::jobDumped, this, [this] { cutter->faults.silent = true; });
    const Run r = host({"--tcp", tcp(), "--timeout", "1", "cut", Sheet});
    QCOMPARE(r.exitCode, 3);
    QVERIFY2(r.err.contains("no task report for 1 s; " + said), qPrintable(r.err));
    QVERIFY(!r.out.contains("complete"));
    QCOMPARE(cutter->jobRunning(), deaf);
}

// The machine's error report ends the job as a failure, never as complete.
void tst_KTHostJob::machineErrorIsNoCompletion_data()
{
    QTest::addColumn<bool>("hostBusy");
    QTest::newRow("host reading") << false;
    // The error report and the working ones after it then arrive in one read.
    QTest::newRow("host busy") << true;
}

void tst_KTHostJob::machineErrorIsNoCompletion()
{
    QFETCH(bool, hostBusy);
    cutter->cutBytesPerSecond = 1000;
    QProcess p;
    p.start(QStringLiteral(KT_HOST_PATH), {"--tcp", tcp(), "cut", Sheet});
    QTRY_VERIFY_WITH_TIMEOUT(cutter->jobRunning(), 10000);
    if (hostBusy)
        ::kill(pid_t(p.processId()), SIGSTOP);
    // Another client's broken frame: the cutter reports an error task status to every link.
    QTcpSocket other;
    other.connectToHost(QHostAddress::LocalHost, cutter->tcpPort());
    other.write("\x02" "13;PLT;I\x03N;\x03");   // its length is right, but an ETX sits inside
    QTRY_COMPARE(cutter->malformedFrames(), 1);
    if (hostBusy) {
        QTest::qWait(5 * cutter->reportIntervalMs);
        ::kill(pid_t(p.processId()), SIGCONT);
    }
    QTRY_COMPARE_WITH_TIMEOUT(p.state(), QProcess::NotRunning, 10000);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QCOMPARE(p.exitCode(), 3);
    QVERIFY2(err.contains("the machine reported an error (task status 5) during the job; stop sent to the machine, "
                          "which confirmed it"),
             qPrintable(err));
    QVERIFY(!p.readAllStandardOutput().contains("complete"));
    QVERIFY(!cutter->jobRunning());
}

void tst_KTHostJob::inspectJson()
{
    const Run r = host({"inspect", Sheet, "--json"});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    // The sheet: 199.5 x 132 mm of drawing, twelve rounded labels and three marks.
    QCOMPARE(o.value("task_file_info").toObject(),
             QJsonObject({{"path_length", 1768}, {"heigth", 132}, {"width", 200}}));
    QCOMPARE(o.value("strokes").toInt(), 15);
    QCOMPARE(o.value("labels").toInt(), 0);
    QVERIFY(o.value("refusal").isNull());
    QVERIFY(!o.contains("estimated_cut_s"));
}

void tst_KTHostJob::inspectWithMachineEstimatesTime()
{
    cutter->setCmdRegister(3, 400);   // 600 mm/s on the panel
    const Run r = host({"--tcp", tcp(), "inspect", Sheet});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QVERIFY2(r.out.contains("cut time:      2.9 s a copy at 600 mm/s"), qPrintable(r.out));
    QVERIFY(r.out.contains("cut: would be sent as it is"));
    QVERIFY(cutter->lastCutData().isEmpty());
}

void tst_KTHostJob::previewDrawsTheStrokes()
{
    const QString png = dir->filePath("sheet.png");
    const Run r = host({"preview", Sheet, "-o", png});
    QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    QImage image(png);
    QVERIFY(!image.isNull());
    // 199.5 x 132 mm, the longer side on 1400 pixels, 40 pixels round, 48 below.
    const double scale = 1400 / 199.5;
    QCOMPARE(image.size(), QSize(1400 + 80, int(132 * scale) + 80 + 48));
    // The left edges of the first column of labels at x = 20 mm, 12 mm right
    // of the marks: three straight runs of 24 mm, rounded into 30 mm labels.
    const int x = 40 + int(12 * scale);
    int dark = 0;
    for (int y = 0; y < image.height(); ++y) {
        int darkest = 255;
        for (int dx = -2; dx <= 2; ++dx)
            darkest = qMin(darkest, qGray(image.pixel(x + dx, y)));
        dark += darkest < 128;
    }
    QVERIFY2(dark >= int(3 * 24 * scale) && dark <= int(3 * 30 * scale), qPrintable(QString::number(dark)));
}

// A file that scales without IP is read against a landscape A4 plotter's
// area unless --plot-area names another.
void tst_KTHostJob::plotArea_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("expected");   // task_file_info width x height, or the usage line

    QTest::newRow("landscape A4") << QStringList() << "259 x 199";
    QTest::newRow("A3") << QStringList{"--plot-area", "420x297"} << "420 x 297";
    QTest::newRow("not a size") << QStringList{"--plot-area", "A3"} << "--plot-area takes WIDTHxHEIGHT in mm";
    // Placement, and what it refuses before reading anything.
    QTest::newRow("turned") << QStringList{"--rotate", "90"} << "199 x 259";
    QTest::newRow("fitted") << QStringList{"--fit", "100x100"} << "100 x 77";
    QTest::newRow("halved, mirrored") << QStringList{"--scale", "0.5", "--mirror"} << "130 x 100";
    QTest::newRow("odd angle") << QStringList{"--rotate", "45"} << "--rotate takes 90, 180 or 270";
    QTest::newRow("no size") << QStringList{"--scale", "0"} << "--scale takes a factor above 0";
    QTest::newRow("two sizes") << QStringList{"--scale", "2", "--fit", "10x10"} << "--scale and --fit both size";
    QTest::newRow("placed as is") << QStringList{"--as-is", "--mirror"} << "--as-is sends the file as it is";
    QTest::newRow("origin not a point") << QStringList{"--origin", "10"} << "--origin takes X,Y in mm";
}

void tst_KTHostJob::plotArea()
{
    QFETCH(QStringList, options);
    QFETCH(QString, expected);

    const QString file = write("square.plt", "IN;SC0,100,0,100;PU0,0;PD100,100;");
    const Run r = host(QStringList{"inspect", file, "--json"} + options);
    const QJsonObject info = QJsonDocument::fromJson(r.out.toUtf8()).object().value("task_file_info").toObject();
    const QString size = QStringLiteral("%1 x %2").arg(info.value("width").toInt()).arg(info.value("heigth").toInt());
    const QString got = r.exitCode == 0 ? size : r.err.trimmed();
    QVERIFY2(got.contains(expected), qPrintable(got));
    QCOMPARE(r.exitCode, expected.startsWith('-') ? 2 : 0);
}

QTEST_GUILESS_MAIN(tst_KTHostJob)
#include "tst_kthostjob.moc"
