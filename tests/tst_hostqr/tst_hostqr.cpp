// The QR-code production run end to end, with kt-host and kt-virtual-cutter
// as processes: a stack of sheets whose codes name jobs in a directory, each
// sheet cut with its own job's bytes, and the ways such a run ends early.
// The QR codes kt-host writes are read back with zbarimg.
#include "property/ktframe.h"
#include "tests/support/kttestsupport.h"
#include "tools/virtual-cutter/ktvirtualcutter.h"

#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

struct Run
{
    int exitCode = -1;
    QString out, err;
};

Run finish(QProcess *p, int timeoutMs = 30000)
{
    KTTestSupport::waitUntil([p] { return p->state() == QProcess::NotRunning; }, timeoutMs);
    Run r;
    if (p->state() == QProcess::NotRunning && p->exitStatus() == QProcess::NormalExit)
        r.exitCode = p->exitCode();
    r.out = QString::fromUtf8(p->readAllStandardOutput());
    r.err = QString::fromUtf8(p->readAllStandardError());
    return r;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

} // namespace

class tst_HostQr : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void stackOfSheets_data();
    void stackOfSheets();
    void workRecordCountsTheSheetsCut();
    void cutterTakesDataOnlyForAWaitingSheet();
    void writtenCodeDecodes_data();
    void writtenCodeDecodes();
    void codeNoJobCouldMatchIsRefused_data();
    void codeNoJobCouldMatchIsRefused();

private:
    QProcess *start(const QString &program, const QStringList &args);
    QString startCutter(const QStringList &options);
    void writeJob(const QString &name, const QByteArray &bytes);

    std::unique_ptr<QTemporaryDir> m_dir;
    QList<QProcess *> m_processes;
};

void tst_HostQr::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QDir(m_dir->path()).mkpath("jobs");
    QDir(m_dir->path()).mkpath("dump");
    // One format exists, HPGL: three spellings of it, one with a text label.
    writeJob("jobs/A-1.plt", "IN;SP1;PU0,0;PD400,0,400,400,0,400,0,0;PU;");
    writeJob("jobs/b2.hpgl", "in;sp1;pu100,100;pd900,100,900,700;pu;");
    writeJob("jobs/C3", "IN;DT*;PU100,100;LBLOT 7*;PU0,0;PD300,300;PU;");
    // Its label ends with ETX, which would end the frame carrying it.
    writeJob("jobs/D4.plt", "IN;PU100,100;LBLOT 8\x03;PD200,200;PU;");
    writeJob("outside.plt", "IN;PU0,0;PD50,50;PU;");
    QFile::link(m_dir->filePath("outside.plt"), m_dir->filePath("jobs/L5.plt"));
}

void tst_HostQr::cleanup()
{
    for (QProcess *p : qAsConst(m_processes)) {
        p->kill();
        p->waitForFinished(2000);
        delete p;
    }
    m_processes.clear();
}

void tst_HostQr::writeJob(const QString &name, const QByteArray &bytes)
{
    QFile f(m_dir->filePath(name));
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
}

QProcess *tst_HostQr::start(const QString &program, const QStringList &args)
{
    auto *p = new QProcess;
    m_processes << p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", m_dir->filePath("data"));
    p->setProcessEnvironment(env);
    p->start(program, args);
    return p;
}

// The cutter's address, with the stack of stack.txt; empty when it did not start.
QString tst_HostQr::startCutter(const QStringList &options)
{
    QProcess *cutter = start(KT_CUTTER_PATH, QStringList{"--port", "0", "--sheets-file", m_dir->filePath("stack.txt"),
                                                         "--dump", m_dir->filePath("dump")} + options);
    const QRegularExpression address("TCP (\\S+)\n");
    KTTestSupport::waitUntil([&] { return address.match(QString::fromUtf8(cutter->peek(1 << 16))).hasMatch(); }, 10000);
    return address.match(QString::fromUtf8(cutter->peek(1 << 16))).captured(1);
}

void tst_HostQr::stackOfSheets_data()
{
    QTest::addColumn<QString>("stack");             // the cutter's --sheets-file, one code a line
    QTest::addColumn<QStringList>("cutterOptions");
    QTest::addColumn<QStringList>("hostOptions");
    QTest::addColumn<bool>("interrupt");            // Ctrl-C once the first sheet is sent
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("line");              // the run's last word: stdout on 0, the one error line else
    QTest::addColumn<QStringList>("cut");           // every dump the cutter wrote, DUMP=JOB

    const QStringList none;
    const QStringList three{"sheet1-A-1.plt=jobs/A-1.plt", "sheet2-b2.plt=jobs/b2.hpgl", "sheet3-C3.plt=jobs/C3",
                            "sheet4-A-1.plt=jobs/A-1.plt"};
    QTest::newRow("three jobs, one twice") << "A-1\nb2\nC3\nA-1\n" << none << none << false << 0
                                           << "QR job complete: 4 sheets" << three;
    QTest::newRow("replies split and garbled") << "A-1\nb2\nC3\nA-1\n" << QStringList{"--split", "--garbage"} << none
                                               << false << 0 << "QR job complete: 4 sheets" << three;
    QTest::newRow("link dropped during a sheet") << "A-1\nb2\n" << QStringList{"--drop-at", "50"} << none << false
                                                 << 3 << "link lost at sheet 1" << QStringList(three.mid(0, 1));
    QTest::newRow("--sheets stops early") << "A-1\nb2\nC3\nA-1\n" << none << QStringList{"--sheets", "2"} << false
                                          << 0 << "QR job complete: 2 sheets" << QStringList(three.mid(0, 2));
    QTest::newRow("stack ends before --sheets") << "b2\n" << none << QStringList{"--sheets", "3"} << false << 3
                                                << "the machine ended the task after 1 of 3 sheets"
                                                << QStringList{"sheet1-b2.plt=jobs/b2.hpgl"};
    QTest::newRow("unknown code, stop") << "A-1\nzz\nb2\n" << none << none << false << 3
                                        << "sheet 2: code \"zz\": no job of that name in"
                                        << QStringList(three.mid(0, 1));
    QTest::newRow("unknown code, skip") << "A-1\nzz\nb2\n" << none << QStringList{"--on-unknown", "skip"} << false
                                        << 0 << "QR job complete: 3 sheets"
                                        << QStringList{three.at(0), "sheet3-b2.plt=jobs/b2.hpgl"};
    QTest::newRow("unreadable sheet") << "A-1\n\nb2\n" << none << none << false << 3
                                      << "sheet 2: code (unreadable): no code could be read"
                                      << QStringList(three.mid(0, 1));
    QTest::newRow("unreadable sheet, skip") << "\nb2\n" << none << QStringList{"--on-unknown", "skip"} << false << 0
                                            << "QR job complete: 2 sheets"
                                            << QStringList{"sheet2-b2.plt=jobs/b2.hpgl"};
    QTest::newRow("job refused on the way") << "A-1\nD4\n" << none << none << false << 3
                                            << "D4.plt: offset 20: a text label ends with ETX" << QStringList(three.mid(0, 1));
    QTest::newRow("code naming a path") << "a/../../outside\n" << none << none << false << 3
                                        << "cannot name a job: it holds a character other than" << QStringList();
    QTest::newRow("job linked from outside") << "L5\n" << none << none << false << 3
                                             << "sheet 1: code \"L5\": L5.plt leads outside" << QStringList();
    QTest::newRow("machine silent between sheets") << "A-1\nb2\n" << QStringList{"--stall-at", "100"}
                                                   << QStringList{"--timeout", "1"} << false << 3
                                                   << "no code or report from the machine for 1 s at sheet 1"
                                                   << QStringList(three.mid(0, 1));
    QTest::newRow("peer not a cutter") << "A-1\n" << QStringList{"--silent"} << QStringList{"--timeout", "0.5"}
                                       << false << 3 << "the peer does not answer as a cutter" << QStringList();
    QTest::newRow("Ctrl-C in the middle") << "A-1\nb2\n" << QStringList{"--speed", "10"} << none << true << 130
                                          << "interrupted at sheet 1: stop sent to the machine, which confirmed it"
                                          << QStringList(three.mid(0, 1));
}

void tst_HostQr::stackOfSheets()
{
    QFETCH(QString, stack);
    QFETCH(QStringList, cutterOptions);
    QFETCH(QStringList, hostOptions);
    QFETCH(bool, interrupt);
    QFETCH(QStringList, cut);

    writeJob("stack.txt", stack.toUtf8());
    const QString tcp = startCutter(cutterOptions);
    QVERIFY(!tcp.isEmpty());

    // The files as they are: the dumps are compared with them byte for byte.
    QProcess *host = start(KT_HOST_PATH, QStringList{"--tcp", tcp, "qr", "--as-is", "--jobs", m_dir->filePath("jobs")}
                                             + hostOptions);
    if (interrupt) {
        QTRY_VERIFY_WITH_TIMEOUT(host->peek(1 << 16).contains("sheet 1: code"), 10000);
        ::kill(pid_t(host->processId()), SIGINT);
    }
    const Run r = finish(host);
    QTEST(r.exitCode, "exitCode");
    QFETCH(QString, line);
    if (r.exitCode == 0) {
        QVERIFY2(r.out.contains(line), qPrintable(r.out));
        QVERIFY2(r.err.isEmpty(), qPrintable(r.err));
    } else {
        QVERIFY2(r.err.contains(line), qPrintable(r.err));
        QCOMPARE(r.err.count("kt-host: "), 1);
    }
    // Each sheet arrives cut with its own job's bytes, and no other sheet is cut.
    QStringList dumped = QDir(m_dir->filePath("dump")).entryList(QDir::Files, QDir::Name);
    QStringList expected;
    for (const QString &pair : qAsConst(cut)) {
        expected << pair.section('=', 0, 0);
        QCOMPARE(readAll(m_dir->filePath("dump/" + pair.section('=', 0, 0))),
                 readAll(m_dir->filePath(pair.section('=', 1))));
    }
    QCOMPARE(dumped, expected);
    // The sheets cut in the summary, where no sheet was cut off midway.
    if (r.exitCode == 0 || line.startsWith("sheet "))
        QVERIFY2(r.out.contains(QStringLiteral("sheets cut: %1").arg(cut.size())), qPrintable(r.out));
}

// One record for the run: the sheets the machine took, those cut, and the
// path of every sheet cut (40 mm and 35 mm), not the sheets asked for.
void tst_HostQr::workRecordCountsTheSheetsCut()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 rest = probe.serverPort();
    probe.close();
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 ws = probe.serverPort();
    probe.close();
    QVERIFY(start(KT_CLOUD_SERVICE_PATH, {"--rest-port", QString::number(rest), "--ws-port", QString::number(ws),
                                          "--state", m_dir->filePath("state.json")})
                ->waitForReadyRead(10000));
    writeJob("stack.txt", "A-1\nzz\nb2\n");
    const QString tcp = startCutter({});
    QVERIFY(!tcp.isEmpty());
    const Run r = finish(start(KT_HOST_PATH, {"--tcp", tcp, "--cloud",
                                              QStringLiteral("http://127.0.0.1:%1/,ws://127.0.0.1:%2/").arg(rest).arg(ws),
                                              "--code", "KT0A1ZQR", "qr", "--jobs", m_dir->filePath("jobs"),
                                              "--on-unknown", "skip"}));
    QCOMPARE(r.exitCode, 0);
    QFile state(m_dir->filePath("state.json"));
    QVERIFY(state.open(QIODevice::ReadOnly));
    const QJsonArray records = QJsonDocument::fromJson(state.readAll()).object().value("device_work_records").toArray();
    QCOMPARE(records.size(), 1);
    const QJsonObject record = records.first().toObject();
    QCOMPARE(record.value("task_copies").toInt(), 3);
    QCOMPARE(record.value("finish_copies").toInt(), 2);
    QCOMPARE(record.value("path_length").toInt(), 75);
    QCOMPARE(record.value("task_model").toInt(), 1);
}

// Cut data is for the sheet whose code was just sent; with none waiting the
// machine refuses it, and a sheet left without data ends the task in error.
void tst_HostQr::cutterTakesDataOnlyForAWaitingSheet()
{
    KTVirtualCutter cutter;
    cutter.sheets = QStringList{"S1", "S2"};
    cutter.sheetWaitMs = 300;
    QVERIFY(cutter.listenTcp());
    QTcpSocket link;
    link.connectToHost(QHostAddress::LocalHost, cutter.tcpPort());
    QVERIFY(link.waitForConnected(5000));
    QByteArray received;
    connect(&link, &QTcpSocket::readyRead, [&] { received += link.readAll(); });
    QSignalSpy refused(&cutter, &KTVirtualCutter::sheetDataRefused);
    QSignalSpy timedOut(&cutter, &KTVirtualCutter::sheetTimedOut);
    QSignalSpy cut(&cutter, &KTVirtualCutter::sheetCut);

    link.write(KTFrame::pack("IN;PD1,1;", "QR_PLT"));
    QTRY_COMPARE(refused.count(), 1);
    QTRY_VERIFY(received.contains("66,5,"));
    QVERIFY(cutter.lastCutData().isEmpty());

    received.clear();
    link.write(KTFrame::pack("54,2;", "CCMD"));
    QTRY_VERIFY(received.contains("55,0,S1;"));
    link.write(KTFrame::pack("IN;PD1,1;", "QR_PLT"));
    QTRY_COMPARE(cut.count(), 1);
    QTRY_VERIFY(received.contains("55,0,S2;"));
    QCOMPARE(timedOut.count(), 0);
    received.clear();
    QTRY_COMPARE(timedOut.count(), 1);   // S2 never gets its data
    QCOMPARE(timedOut.first().at(1).toString(), QStringLiteral("S2"));
    QTRY_VERIFY(received.contains("66,5,sheet2-S2.plt,2,1,"));
    link.write(KTFrame::pack("IN;PD1,1;", "QR_PLT"));   // too late: the task is over
    QTRY_COMPARE(refused.count(), 2);
}

void tst_HostQr::writtenCodeDecodes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("file");
    QTest::addColumn<double>("mm");

    QTest::newRow("PNG") << "A-1" << "code.png" << 30.0;
    QTest::newRow("PNG, small, long name") << "label_sheet.2026-12.part-0042" << "code.png" << 12.0;
    QTest::newRow("SVG") << "b2.hpgl" << "code.svg" << 25.0;
}

// The code reads back as the text with an independent decoder, at the size asked.
void tst_HostQr::writtenCodeDecodes()
{
    QFETCH(QString, text);
    QFETCH(QString, file);
    QFETCH(double, mm);
    const QString path = m_dir->filePath(file);
    QProcess *host = start(KT_HOST_PATH, {"qrcode", text, "-o", path, "--size", QString::number(mm)});
    const Run r = finish(host);
    QCOMPARE(r.exitCode, 0);

    QString png = path;
    if (file.endsWith(".svg")) {
        // Drawn again from its modules: the decoder reads no SVG.
        const QString svg = QString::fromUtf8(readAll(path));
        const QRegularExpression size("width=\"([0-9.]+)mm\" height=\"([0-9.]+)mm\" viewBox=\"0 0 (\\d+) (\\d+)\"");
        const auto m = size.match(svg);
        QVERIFY2(m.hasMatch(), qPrintable(svg.left(300)));
        QCOMPARE(m.captured(1).toDouble(), mm);
        const int modules = m.captured(3).toInt();
        QImage image(modules * 8, modules * 8, QImage::Format_Grayscale8);
        image.fill(255);
        auto it = QRegularExpression("M(\\d+) (\\d+)h1v1h-1z").globalMatch(svg);
        while (it.hasNext()) {
            const auto d = it.next();
            const int x = d.captured(1).toInt(), y = d.captured(2).toInt();
            QVERIFY(x < modules && y < modules);
            for (int py = 0; py < 8; ++py)
                std::fill_n(image.scanLine(y * 8 + py) + x * 8, 8, uchar(0));
        }
        png = m_dir->filePath("drawn.png");
        QVERIFY(image.save(png));
    } else {
        const QImage image(path);
        QVERIFY(!image.isNull());
        QVERIFY(qAbs(image.width() * 1000.0 / image.dotsPerMeterX() - mm) < 0.5);
    }
    QProcess zbar;
    zbar.start(KT_ZBARIMG_PATH, {"--quiet", "--raw", png});
    QVERIFY2(zbar.waitForFinished(20000), "zbarimg did not finish");
    QCOMPARE(QString::fromUtf8(zbar.readAllStandardOutput()).trimmed(), text);
}

void tst_HostQr::codeNoJobCouldMatchIsRefused_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("line");

    QTest::newRow("a path") << "jobs/../A-1" << "holds a character other than";
    QTest::newRow("hidden file") << ".profile" << "starts with \".\"";
    QTest::newRow("empty") << "" << "is empty";
    QTest::newRow("too long") << QString(101, 'a') << "is longer than 100 characters";
}

void tst_HostQr::codeNoJobCouldMatchIsRefused()
{
    QFETCH(QString, text);
    const QString path = m_dir->filePath("code.png");
    const Run r = finish(start(KT_HOST_PATH, {"qrcode", text, "-o", path}));
    QCOMPARE(r.exitCode, 2);
    QFETCH(QString, line);
    QVERIFY2(r.err.contains("no job name could match this code: it " + line), qPrintable(r.err));
    QVERIFY(!QFile::exists(path));
}

QTEST_GUILESS_MAIN(tst_HostQr)
#include "tst_hostqr.moc"
