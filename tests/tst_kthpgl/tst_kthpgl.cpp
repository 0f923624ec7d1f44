#include "job/kthpgl.h"

#include <QFile>
#include <QtTest>

using namespace KTHpgl;

Q_DECLARE_METATYPE(KTHpgl::Problem)

// 0.01 mm, or 10 ppm of a long path: the independent interpreter rounds to single precision.
static bool near(double got, double want) { return qAbs(got - want) < qMax(0.01, qAbs(want) * 1e-5); }

namespace {
QByteArray sample(const QString &name)
{
    QFile file(QStringLiteral(KT_SOURCE_DIR "/tests/data/hpgl/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int errorCount(const Facts &f)
{
    int n = 0;
    for (const Issue &i : f.issues)
        n += isError(i.problem);
    return n;
}
} // namespace

class tst_KTHpgl : public QObject
{
    Q_OBJECT
private slots:
    void geometry_data();
    void geometry();
    void errors_data();
    void errors();
    void realFiles_data();
    void realFiles();
    void plotArea_data();
    void plotArea();
    void encodedPolyline_data();
    void encodedPolyline();
    void unknownCommandsAreCountedNotFatal();
    void labelsAreDropped();
    void segmentsReachTheSink();
    void taskFileInfoIsWholeMillimetres();
    void issuesAreBounded();
};

// Extent and length worked out on paper for each snippet: 40 units to the mm.
void tst_KTHpgl::geometry_data()
{
    QTest::addColumn<QByteArray>("hpgl");
    QTest::addColumn<double>("width");
    QTest::addColumn<double>("height");
    QTest::addColumn<double>("length");
    QTest::addColumn<int>("strokes");
    QTest::addColumn<int>("labels");

    QTest::newRow("semicolons") << QByteArray("IN;PU0,0;PD400,0,400,400;PU;") << 10.0 << 10.0 << 20.0 << 1 << 0;
    QTest::newRow("lower case") << QByteArray("in;pu0,0;pd400,0,400,400;pu;") << 10.0 << 10.0 << 20.0 << 1 << 0;
    QTest::newRow("newline terminators") << QByteArray("IN\nPU0,0\nPD400,0\nPD400,400\n") << 10.0 << 10.0 << 20.0 << 1
                                         << 0;
    QTest::newRow("next command ends one") << QByteArray("INPU0,0PD400,0,400,400PU") << 10.0 << 10.0 << 20.0 << 1 << 0;
    QTest::newRow("space separators") << QByteArray("IN;PU0 0;PD400 0 400 400;") << 10.0 << 10.0 << 20.0 << 1 << 0;
    QTest::newRow("signs separate") << QByteArray("IN;PU-400-400;PD0-400+0+0;") << 10.0 << 10.0 << 20.0 << 1 << 0;
    QTest::newRow("decimals") << QByteArray("IN;PU0.5,0;PD400.5,0;") << 10.0 << 0.0 << 10.0 << 1 << 0;
    QTest::newRow("PD then PA list") << QByteArray("IN;PU;PA0,0;PD;PA400,0,400,400;PU;") << 10.0 << 10.0 << 20.0 << 1
                                     << 0;
    QTest::newRow("PU PD without points") << QByteArray("IN;PA0,0;PD;PA400,0;PU;PA800,0;PD;PA1200,0;") << 30.0 << 0.0
                                          << 20.0 << 2 << 0;
    QTest::newRow("PR relative") << QByteArray("IN;PU400,400;PD;PR400,0,0,400;") << 10.0 << 10.0 << 20.0 << 1 << 0;
    QTest::newRow("PR then PA") << QByteArray("IN;PR;PU400,400;PA;PD800,400;") << 10.0 << 0.0 << 10.0 << 1 << 0;
    QTest::newRow("pen-up travel not in extent") << QByteArray("IN;PU4000,4000;PD4400,4000;PU0,0;") << 10.0 << 0.0
                                                 << 10.0 << 1 << 0;
    QTest::newRow("two strokes") << QByteArray("IN;PU0,0;PD400,0;PU0,400;PD400,400;") << 10.0 << 10.0 << 20.0 << 2
                                 << 0;
    QTest::newRow("IP SC type 0") << QByteArray("IN;IP0,0,4000,4000;SC0,100,0,100;PU0,0;PD10,0,10,10;") << 10.0
                                  << 10.0 << 20.0 << 1 << 0;
    QTest::newRow("SC anisotropic") << QByteArray("IN;IP0,0,4000,2000;SC0,100,0,100;PU0,0;PD100,100;") << 100.0
                                    << 50.0 << 111.8034 << 1 << 0;
    // One factor of 20 units, 2000 units spare in x split half and half.
    QTest::newRow("SC isotropic type 1") << QByteArray("IN;IP0,0,4000,2000;SC0,100,0,100,1;PU0,0;PD100,100;") << 50.0
                                         << 50.0 << 70.7107 << 1 << 0;
    QTest::newRow("SC point factor type 2") << QByteArray("IN;IP400,400,4000,4000;SC0,2,0,4,2;PU0,0;PD100,100;")
                                            << 5.0 << 10.0 << 11.1803 << 1 << 0;
    QTest::newRow("IP with P1 only moves P2") << QByteArray("IN;IP0,0,400,400;IP400,400;SC0,1,0,1;PU0,0;PD1,1;")
                                              << 10.0 << 10.0 << 14.1421 << 1 << 0;
    QTest::newRow("SC off") << QByteArray("IN;SC0,10,0,10;SC;PU0,0;PD400,0;") << 10.0 << 0.0 << 10.0 << 1 << 0;
    QTest::newRow("IN resets scaling") << QByteArray("IN;SC0,1,0,1;IN;PU0,0;PD400,0;") << 10.0 << 0.0 << 10.0 << 1 << 0;
    QTest::newRow("RO 90 turns the extent") << QByteArray("IN;RO90;PU0,0;PD800,0,800,400;") << 10.0 << 20.0 << 30.0
                                            << 1 << 0;
    QTest::newRow("PM EP closed triangle") << QByteArray("IN;PU0,0;PM0;PD400,0,400,400;PM2;EP;") << 10.0 << 10.0
                                           << 34.1421 << 1 << 0;
    QTest::newRow("PM FP EP outline once") << QByteArray("IN;PU0,0;PM0;PD400,0,400,400;PM2;FP;EP;") << 10.0 << 10.0
                                           << 34.1421 << 1 << 0;
    QTest::newRow("PM open path stays open") << QByteArray("IN;PA0,0;PM0;PD;PA400,0,400,400;PU;PM2;EP;") << 10.0
                                             << 10.0 << 20.0 << 1 << 0;
    QTest::newRow("polygon never edged") << QByteArray("IN;PU0,0;PM0;PD400,0,400,400;PM2;") << 0.0 << 0.0 << 0.0 << 0
                                         << 0;
    QTest::newRow("PM1 two subpolygons") << QByteArray("IN;PU0,0;PM0;PD400,0,400,400;PM1;PU800,0;PD1200,0,1200,400;PM2;"
                                                       "EP;")
                                         << 30.0 << 10.0 << 68.2843 << 2 << 0;
    QTest::newRow("CI") << QByteArray("IN;PU400,400;CI400;") << 20.0 << 20.0 << 62.8319 << 1 << 0;
    QTest::newRow("CI scaled") << QByteArray("IN;IP0,0,800,800;SC0,2,0,2;PU1,1;CI1;") << 20.0 << 20.0 << 62.8319 << 1
                               << 0;
    QTest::newRow("AA quarter") << QByteArray("IN;PU400,0;PD;AA0,0,90;") << 10.0 << 10.0 << 15.7080 << 1 << 0;
    QTest::newRow("AR half") << QByteArray("IN;PU400,0;PD;AR-400,0,180;") << 20.0 << 10.0 << 31.4159 << 1 << 0;
    QTest::newRow("AA pen up moves only") << QByteArray("IN;PU400,0;AA0,0,90;PD0,800;") << 0.0 << 10.0 << 10.0 << 1
                                          << 0;
    QTest::newRow("EA") << QByteArray("IN;PU0,0;EA800,400;") << 20.0 << 10.0 << 60.0 << 1 << 0;
    QTest::newRow("ER") << QByteArray("IN;PU400,400;ER-800,400;") << 20.0 << 10.0 << 60.0 << 1 << 0;
    QTest::newRow("EW quarter wedge") << QByteArray("IN;PU0,0;EW400,0,90;") << 10.0 << 10.0 << 35.7080 << 1 << 0;
    QTest::newRow("BZ straight") << QByteArray("IN;PU0,0;PD;BZ400,0,800,0,1200,0;") << 30.0 << 0.0 << 30.0 << 1 << 0;
    QTest::newRow("BR straight") << QByteArray("IN;PU400,400;PD;BR400,0,800,0,1200,0;") << 30.0 << 0.0 << 30.0 << 1
                                 << 0;
    // Length of this curve by numeric integration (200000 pieces): 20.000 mm; top at 3/4 of 400.
    QTest::newRow("BZ arch") << QByteArray("IN;PU0,0;PD;BZ0,400,400,400,400,0;") << 10.0 << 7.5 << 20.0 << 1 << 0;
    QTest::newRow("LB with DT terminator") << QByteArray("IN;DT*,1;PU0,0;LBHello PD9999;*;PD400,0;") << 10.0 << 0.0
                                           << 10.0 << 1 << 1;
    QTest::newRow("CO comment") << QByteArray("IN;CO\"PD9999,9999\";PU0,0;PD400,0;") << 10.0 << 0.0 << 10.0 << 1 << 0;
    QTest::newRow("PCL wrapped") << QByteArray("\x1b%-12345X@PJL ENTER LANGUAGE=PCL\r\n\x1b" "E\x1b%1BIN;PU0,0;"
                                               "PD400,0;\x1b%0A\x1b*b6WPD9999\x1b" "E\x1b%-12345X")
                                 << 10.0 << 0.0 << 10.0 << 1 << 0;
    QTest::newRow("ESC . device control") << QByteArray("\x1b.(\x1b.I81;;17:IN;PU0,0;PD400,0;") << 10.0 << 0.0 << 10.0
                                          << 1 << 0;
    // Seven-bit PE: "<=" pen up to absolute 0,0 ("__"), then relative 400,0
    // ("?x": 800 = 0 + 25 * 32) and 0,400.
    QTest::newRow("PE encoded") << QByteArray("IN;PE7<=__?x__?x;") << 10.0 << 10.0 << 20.0 << 1 << 0;
    QTest::newRow("truncated pair") << QByteArray("IN;PU0,0;PD400") << 0.0 << 0.0 << 0.0 << 0 << 0;

    // Without IP, P1 and P2 are the corners of a landscape A4 plotter's area; an independent
    // interpreter given that area, 10365 x 7962 units, measures 259.12 x 199.05 mm.
    const QByteArray square("SC0,100,0,100;PU0,0;PD100,0,100,100,0,100,0,0;");
    QTest::newRow("SC without IP") << "IN;" + square << 259.125 << 199.05 << 916.35 << 1 << 0;
    QTest::newRow("IP with P1 only") << "IN;IP1000,1000;" + square << 259.125 << 199.05 << 916.35 << 1 << 0;
    // A half circle of 50 mm radius and a 50 mm line: 100 x 50 mm to that interpreter.
    const QByteArray arc("SC0,100,0,100;PA0,50;PD;AA50,50,180;PA100,0;PU;");
    QTest::newRow("AA y mirrored") << "IN;IP0,4000,4000,0;" + arc << 100.0 << 50.0 << 207.0796 << 1 << 0;
    QTest::newRow("AA x mirrored") << "IN;IP4000,0,0,4000;" + arc << 100.0 << 50.0 << 207.0796 << 1 << 0;
    QTest::newRow("AA both mirrored") << "IN;IP4000,4000,0,0;" + arc << 100.0 << 50.0 << 207.0796 << 1 << 0;
    // A 25 mm quarter wedge and a 50 mm line from its centre, extents as that interpreter
    // measures them: the wedge on the wrong side widens them.
    const QByteArray wedge("SC0,100,0,100;PA50,50;EW25,");
    QTest::newRow("EW x mirrored") << "IN;IP4000,0,0,4000;" + wedge + "0,90;PD50,100;" << 25.0 << 50.0 << 139.2699
                                   << 2 << 0;
    QTest::newRow("EW y mirrored") << "IN;IP0,4000,4000,0;" + wedge + "90,90;PD0,50;" << 50.0 << 25.0 << 139.2699
                                   << 2 << 0;
    QTest::newRow("AT half circle") << QByteArray("IN;PU0,0;PD;AT400,400,800,0;") << 20.0 << 10.0 << 31.4159 << 1 << 0;
    QTest::newRow("AT 270 clockwise") << QByteArray("IN;PU400,0;PD;AT0,-400,0,400;") << 20.0 << 20.0 << 47.1239 << 1
                                      << 0;
    QTest::newRow("RT then PR") << QByteArray("IN;PU400,400;PD;RT400,400,800,0;PR0,400;") << 20.0 << 10.0 << 41.4159
                                << 1 << 0;
    QTest::newRow("AT in a line") << QByteArray("IN;PU0,0;PD;AT400,0,800,0;") << 20.0 << 0.0 << 20.0 << 1 << 0;
    QTest::newRow("AT end on the start") << QByteArray("IN;PU0,0;PD;AT800,0,0,0;") << 20.0 << 20.0 << 62.8319 << 1 << 0;
    QTest::newRow("CO unquoted") << QByteArray("IN;CO Concentric circles;PU0,0;PD4000,0;") << 100.0 << 0.0 << 100.0 << 1
                                 << 0;
    QTest::newRow("SUB and DEL padding") << QByteArray("IN;\x1a\x7fPU0,0;PD4000,0;\x1a") << 100.0 << 0.0 << 100.0 << 1
                                         << 0;
}

void tst_KTHpgl::geometry()
{
    QFETCH(QByteArray, hpgl);
    QFETCH(double, width);
    QFETCH(double, height);
    QFETCH(double, length);
    QFETCH(int, strokes);
    QFETCH(int, labels);

    const Facts f = readHpgl(hpgl);
    QVERIFY2(f.hpgl, qPrintable(f.issues.isEmpty() ? QString() : describe(f.issues.first())));
    QCOMPARE(errorCount(f), 0);
    QVERIFY2(qAbs(f.widthMm() - width) < 0.01, qPrintable(QString::number(f.widthMm())));
    QVERIFY2(qAbs(f.heightMm() - height) < 0.01, qPrintable(QString::number(f.heightMm())));
    QVERIFY2(qAbs(f.lengthMm - length) < 0.01, qPrintable(QString::number(f.lengthMm)));
    QCOMPARE(int(f.strokes), strokes);
    QCOMPARE(int(f.labels), labels);
    QVERIFY(f.unknownCommands().isEmpty());
}

void tst_KTHpgl::errors_data()
{
    QTest::addColumn<QByteArray>("hpgl");
    QTest::addColumn<KTHpgl::Problem>("problem");
    QTest::addColumn<int>("offset");

    QTest::newRow("empty") << QByteArray() << Problem::Empty << 0;
    QTest::newRow("PNG") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) << Problem::NotHpgl << 0;
    QTest::newRow("prose") << QByteArray("Hello world, this is a letter.") << Problem::NotHpgl << 4;
    QTest::newRow("whitespace only") << QByteArray(" \n\n ") << Problem::NotHpgl << 0;
    QTest::newRow("PD1e308") << QByteArray("IN;PD1e308,0;") << Problem::BadNumber << 5;
    QTest::newRow("PDnan") << QByteArray("IN;PDnan,0;") << Problem::BadNumber << 5;
    QTest::newRow("PD-inf") << QByteArray("IN;PD-inf,0;") << Problem::BadNumber << 5;
    QTest::newRow("beyond coordinates") << QByteArray("IN;PD99999999999,0;") << Problem::BadNumber << 5;
    QTest::newRow("scaled beyond coordinates") << QByteArray("IN;IP0,0,4000,4000;SC0,0.000001,0,1;PU0,0;PD1000,0;")
                                               << Problem::BadNumber << 42;
    QTest::newRow("relative walk beyond") << QByteArray("IN;PR;PU1000000000,0,1000000000,0;") << Problem::BadNumber
                                          << 6;
    QTest::newRow("CI beyond") << QByteArray("IN;PU1000000000,0;CI900000000;") << Problem::BadNumber << 18;
    QTest::newRow("label ends with ETX") << QByteArray("IN;PU0,0;LBHello\x03;PD400,0;") << Problem::LabelTerminator
                                         << 16;
    QTest::newRow("DT; back to ETX") << QByteArray("IN;DT#;DT;LBab\x03;") << Problem::LabelTerminator << 14;
    QTest::newRow("STX between commands") << QByteArray("IN;PU0,0;\x02PD400,0;") << Problem::FrameByte << 9;
    QTest::newRow("NUL in parameters") << QByteArray("IN;PU0,0\0;PD400,0;", 18) << Problem::FrameByte << 8;
    QTest::newRow("ETX in other label") << QByteArray("IN;DT*;LBa\x03" "b*;") << Problem::FrameByte << 10;
    QTest::newRow("STX in PCL data") << QByteArray("\x1b" "E\x1b*b2W\x02\x03\x1b%1BIN;PD;") << Problem::FrameByte << 7;
    // Read past, but the plug-in's text of the job would end there.
    QTest::newRow("NUL padding") << QByteArray("IN;\0\0PU0,0;PD4000,0;", 20) << Problem::FrameByte << 3;
    QTest::newRow("NUL before IN") << QByteArray("\0\0\0IN;PU0,0;PD4000,0;", 21) << Problem::FrameByte << 0;
    QTest::newRow("label never ends") << QByteArray("IN;DT*;PU0,0;PD400,0;LBtext to the end") << Problem::UnterminatedLabel
                                      << 21;
}

void tst_KTHpgl::errors()
{
    QFETCH(QByteArray, hpgl);
    QFETCH(KTHpgl::Problem, problem);
    QFETCH(int, offset);

    const Facts f = readHpgl(hpgl);
    const Issue *first = f.firstError();
    QVERIFY(first);
    QCOMPARE(first->problem, problem);
    QCOMPARE(int(first->offset), offset);
    QVERIFY(describe(*first).startsWith(problem == Problem::Empty ? "the file" : QString("offset %1:").arg(offset)));
    QVERIFY(f.lengthMm >= 0 && std::isfinite(f.lengthMm));
    const QJsonObject info = f.taskFileInfo();
    QVERIFY(info.value("path_length").toInt(-1) >= 0);
}

// Samples made with Debian's tools from tests/data/hpgl/shapes.ps and text.ps:
//   pstoedit -f hpgl shapes.ps; pstoedit -f pcl shapes.ps; pstoedit -f plot-hpgl shapes.ps;
//   printf "0 0\n3 4\n6 0\n" | graph -T hpgl --page-size a4; pstoedit -f "hpgl:-hpgl2" text.ps.
// Expected figures were reckoned once apart from this reader: a 40-line Python script that
// splits at ";", maps points through IP/SC and sums pen-down segments, polygon edges and EA
// rectangles. For the pstoedit files the source agrees: a 100 x 50 mm rectangle (300 mm)
// and a 20 mm circle drawn as 40 chords (2 * 40 * 20 * sin 4.5 deg = 125.57 mm).
void tst_KTHpgl::realFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<double>("width");
    QTest::addColumn<double>("height");
    QTest::addColumn<double>("length");
    QTest::addColumn<int>("labels");
    QTest::addColumn<bool>("refused");

    QTest::newRow("pstoedit hpgl") << "shapes-pstoedit.hpgl" << 100.0 << 50.025 << 425.590 << 0 << false;
    QTest::newRow("pstoedit pcl") << "shapes-pstoedit.pcl" << 100.0 << 50.025 << 425.590 << 0 << false;
    QTest::newRow("libplot via pstoedit") << "shapes-libplot.hpgl" << 72.725 << 36.352 << 309.563 << 0 << false;
    QTest::newRow("graph") << "graph-labels.hpgl" << 125.393 << 127.751 << 1065.691 << 0 << false;
    QTest::newRow("pstoedit text label") << "text-pstoedit.hpgl" << 79.975 << 39.975 << 239.900 << 1 << true;
    // Made with gnuplot (set terminal hpgl, then pcl5; set polar; set size square; set samples 60;
    // unset key; plot 1), fig2dev -L ibmgl dome.fig and pic2plot -T hpgl shapes.pic.
    // Extents, and lengths of the files without arcs, are an independent HP-GL
    // interpreter's, given a 10365 x 7962 plotter area; it draws no labels.
    // Lengths with arcs are exact: fig2dev's dome is a half circle of 1066.613 units
    // on a 2 x 0.5 unit box (217.100 mm); pic2plot's 25.4 x 12.7 mm box, a half circle
    // of 508 units and a circle of 254.4 units (156.059 mm).
    QTest::newRow("gnuplot hpgl") << "polar-gnuplot.hpgl" << 189.680 << 194.247 << 2306.500 << 13 << true;
    QTest::newRow("gnuplot pcl5 encoded") << "polar-gnuplot.pcl" << 173.325 << 173.300 << 2086.258 << 13 << true;
    QTest::newRow("fig2dev mirrored arc") << "dome-fig2dev.hpgl" << 53.331 << 39.999 << 217.100 << 0 << false;
    QTest::newRow("pic2plot") << "shapes-pic2plot.hpgl" << 25.400 << 31.760 << 156.059 << 0 << false;
}

void tst_KTHpgl::realFiles()
{
    QFETCH(QString, file);
    QFETCH(double, width);
    QFETCH(double, height);
    QFETCH(double, length);
    QFETCH(int, labels);
    QFETCH(bool, refused);

    const QByteArray bytes = sample(file);
    QVERIFY(!bytes.isEmpty());
    const Facts f = readHpgl(bytes);
    QVERIFY(f.hpgl);
    QVERIFY2(near(f.widthMm(), width), qPrintable(QString::number(f.widthMm(), 'f', 3)));
    QVERIFY2(near(f.heightMm(), height), qPrintable(QString::number(f.heightMm(), 'f', 3)));
    QVERIFY2(near(f.lengthMm, length), qPrintable(QString::number(f.lengthMm, 'f', 3)));
    QCOMPARE(int(f.labels), labels);
    QCOMPARE(f.firstError() != nullptr, refused);
    QVERIFY(f.unknownCommands().isEmpty());
}

void tst_KTHpgl::plotArea_data()
{
    QTest::addColumn<QByteArray>("hpgl");
    QTest::addColumn<QSizeF>("area");
    QTest::addColumn<QSizeF>("extent");

    const QByteArray square("IN;SC0,100,0,100;PU0,0;PD100,100;");
    // The independent interpreter's own default area, A0 portrait: 840 x 1188 mm there too.
    QTest::newRow("A0 portrait") << square << QSizeF(840, 1188) << QSizeF(840, 1188);
    QTest::newRow("P1 moved on A3") << QByteArray("IN;IP400,400;SC0,100,0,100;PU0,0;PD100,100;") << QSizeF(420, 297)
                                    << QSizeF(420, 297);
    QTest::newRow("IP given") << QByteArray("IN;IP0,0,4000,4000;SC0,100,0,100;PU0,0;PD100,100;") << QSizeF(840, 1188)
                              << QSizeF(100, 100);
    QTest::newRow("empty area") << square << QSizeF(0, 100) << QSizeF(259.125, 199.05);
}

void tst_KTHpgl::plotArea()
{
    QFETCH(QByteArray, hpgl);
    QFETCH(QSizeF, area);
    QFETCH(QSizeF, extent);

    Options options;
    options.plotArea = area;
    const Facts f = readHpgl(hpgl, SegmentSink(), options);
    QVERIFY2(near(f.widthMm(), extent.width()) && near(f.heightMm(), extent.height()),
             qPrintable(QString("%1 x %2").arg(f.widthMm()).arg(f.heightMm())));
}

// A 100 x 50 mm rectangle as PE data: pen up to 0,0, then relative 4000,0,
// 0,2000, -4000,0 and 0,-2000 (encoded by hand, base 32 and base 64).
void tst_KTHpgl::encodedPolyline_data()
{
    QTest::addColumn<QByteArray>("hpgl");
    QTest::addColumn<KTHpgl::Problem>("problem");
    QTest::addColumn<int>("offset");   // -1: no PE problem
    QTest::addColumn<double>("width");
    QTest::addColumn<double>("length");

    const Problem none = Problem::EncodedCut;
    QTest::newRow("7-bit, newline between points") << QByteArray("IN;PE7<=__\n?Yf__?\\b@Yf__@\\b;PU;") << none << -1
                                                   << 100.0 << 300.0;
    QTest::newRow("7-bit, fill inside numbers") << QByteArray("IN;PE7<=__\n?Y\r\nf_ _?\\b@Y\tf__@\\\x7f" "b;PU;")
                                                << none << -1 << 100.0 << 300.0;
    QTest::newRow("8-bit, fill inside numbers") << QByteArray("IN;PE<=\xbf\xbf\r\n?|\xc0\xbf\xbf_\xfd@\xa0|\xc0\x85"
                                                              "\xbf\xbf`\xff\xfd;PU;")
                                                << none << -1 << 100.0 << 300.0;
    QTest::newRow("stray byte") << QByteArray("IN;PE7<=__!?Yf_;") << Problem::EncodedByte << 10 << 100.0 << 100.0;
    QTest::newRow("upper byte in 8-bit data") << QByteArray("IN;PE<=\xbf\xbf?|\xb0\xc0\xbf;") << Problem::EncodedByte
                                              << 11 << 100.0 << 100.0;
    QTest::newRow("ends inside a number") << QByteArray("IN;PE7<=__?Yf_?Y;PD0,0;") << Problem::EncodedCut << 14 << 100.0
                                          << 200.0;
    QTest::newRow("x without y") << QByteArray("IN;PE7<=__?Yf_?Yf;") << Problem::EncodedCut << 14 << 100.0 << 100.0;
    QTest::newRow("flag inside a number") << QByteArray("IN;PE7<=__?Y<f_;") << Problem::EncodedCut << 10 << 0.0 << 0.0;
}

void tst_KTHpgl::encodedPolyline()
{
    QFETCH(QByteArray, hpgl);
    QFETCH(KTHpgl::Problem, problem);
    QFETCH(int, offset);
    QFETCH(double, width);
    QFETCH(double, length);

    const Facts f = readHpgl(hpgl);
    int found = 0;
    for (const Issue &i : f.issues) {
        if (i.problem == Problem::EncodedByte || i.problem == Problem::EncodedCut) {
            QCOMPARE(i.problem, problem);
            QCOMPARE(int(i.offset), offset);
            ++found;
        }
    }
    QCOMPARE(found, offset < 0 ? 0 : 1);
    QCOMPARE(f.firstError(), nullptr);
    QVERIFY2(near(f.widthMm(), width), qPrintable(QString::number(f.widthMm(), 'f', 3)));
    QVERIFY2(near(f.lengthMm, length), qPrintable(QString::number(f.lengthMm, 'f', 3)));
}

void tst_KTHpgl::unknownCommandsAreCountedNotFatal()
{
    const Facts f = readHpgl("IN;ZZ1;PU0,0;PD400,0;ZZ;QQ2;");
    QVERIFY(f.hpgl);
    QCOMPARE(f.firstError(), nullptr);
    const auto unknown = f.unknownCommands();
    QCOMPARE(unknown.size(), 2);
    QCOMPARE(unknown.at(0).first, QByteArray("QQ"));
    QCOMPARE(unknown.at(1), qMakePair(QByteArray("ZZ"), quint32(2)));
    QCOMPARE(int(f.issueCount), 2);   // first use of each
    QVERIFY(qAbs(f.lengthMm - 10) < 1e-9);
}

void tst_KTHpgl::labelsAreDropped()
{
    const QByteArray job("IN;PU0,0;PD400,0;LBab\x03;PU;lbcd\x03PU0,0;");
    const Facts f = readHpgl(job);
    QCOMPARE(int(f.labels), 2);
    QVERIFY(f.firstError());
    const QByteArray dropped = dropLabels(job, f);
    QCOMPARE(dropped, QByteArray("IN;PU0,0;PD400,0;PU;PU0,0;"));
    const Facts again = readHpgl(dropped);
    QCOMPARE(again.firstError(), nullptr);
    QCOMPARE(int(again.labels), 0);
    QCOMPARE(again.lengthMm, f.lengthMm);

    const QByteArray real = sample("text-pstoedit.hpgl");
    const QByteArray realDropped = dropLabels(real, readHpgl(real));
    QVERIFY(!realDropped.contains('\x03'));
    QCOMPARE(readHpgl(realDropped).firstError(), nullptr);
}

void tst_KTHpgl::segmentsReachTheSink()
{
    QVector<QLineF> seen;
    const Facts f = readHpgl("IN;PU0,0;PD400,0;PU;PU0,400;PD;PR0,400;",
                             [&seen](const QPointF &a, const QPointF &b) { seen.append(QLineF(a, b)); });
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen.at(0), QLineF(0, 0, 10, 0));
    QCOMPARE(seen.at(1), QLineF(0, 10, 0, 20));
    QCOMPARE(int(f.strokes), 2);
}

void tst_KTHpgl::taskFileInfoIsWholeMillimetres()
{
    // The bundled sheet: 132 x 200 mm of drawing; pen-up travel beyond it does not count.
    const Facts f = readHpgl("IN;PU4000,4000;PD9280,4000,9280,12000;PU0,0;PU12000,12000;");
    const QJsonObject info = f.taskFileInfo();
    QCOMPARE(info.value("width").toInt(), 132);
    QCOMPARE(info.value("heigth").toInt(), 200);
    QCOMPARE(info.value("path_length").toInt(), 332);
    QCOMPARE(info.keys(), QStringList({"heigth", "path_length", "width"}));
}

void tst_KTHpgl::issuesAreBounded()
{
    QByteArray job("IN;");
    for (int i = 0; i < 1000; ++i)
        job += "PU0,0;\x02";
    job += "PD1e308,0;";
    const Facts f = readHpgl(job);
    // Past the bound, the first error of a kind not yet listed still is.
    QCOMPARE(f.issues.size(), MaxIssues + 1);
    QCOMPARE(f.issues.last().problem, Problem::BadNumber);
    QCOMPARE(int(f.issueCount), 1001);
    QCOMPARE(int(f.errorCount), 1001);
}

QTEST_GUILESS_MAIN(tst_KTHpgl)
#include "tst_kthpgl.moc"
