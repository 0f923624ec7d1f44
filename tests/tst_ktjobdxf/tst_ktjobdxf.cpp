// The DXF reader against drawings real programs wrote, measured beforehand
// by another reader (tests/data/dxf/make-figures.py), and against small
// hand-made drawings that each exercise one rule.
#include "job/ktjobreaders.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

#include <cmath>

using namespace KTJob;

namespace {

const QString DataDir = QStringLiteral(KT_SOURCE_DIR "/tests/data/dxf/");

// A drawing from comma-separated groups: the header's $INSUNITS (none when
// empty), block definitions and model space entities.
QByteArray drawing(const QByteArray &units, const QByteArray &entities, const QByteArray &blocks = QByteArray())
{
    QByteArray groups = "0,SECTION,2,HEADER,";
    if (!units.isEmpty())
        groups += "9,$INSUNITS,70," + units + ",";
    groups += "0,ENDSEC,0,SECTION,2,BLOCKS," + blocks + (blocks.isEmpty() ? "" : ",")
        + "0,ENDSEC,0,SECTION,2,ENTITIES," + entities + ",0,ENDSEC,0,EOF";
    return groups.replace(',', '\n') + '\n';
}

QMap<QString, double> figures(const QString &name)
{
    QFile file(DataDir + name + QStringLiteral(".figures"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QMap<QString, double> values;
    for (const QString &pair : QString::fromLatin1(file.readAll()).split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts))
        values.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1).toDouble());
    return values;
}

} // namespace

class tst_KTJobDxf : public QObject
{
    Q_OBJECT

private slots:
    void programs_data();
    void programs();
    void rules_data();
    void rules();
    void writtenJob();
    void repeatedBlocksFillTheModel();
};

void tst_KTJobDxf::programs_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("note");   // one note the drawing must give

    QTest::newRow("ezdxf R12: lines, arcs, bulged polyline, solid, nested blocks, text")
        << "ezdxf-r12" << "1 text is not cut";
    QTest::newRow("ezdxf R2000 in inches: ellipses, spline, mirrored arcs, hatch, dimension")
        << "ezdxf-r2000-inch" << "1 DIMENSION entity is not cut";
    QTest::newRow("ezdxf R2010: rational and closed splines, mirrored ellipse arc, array insert, hatch edges, paper space")
        << "ezdxf-r2010" << "1 paper space entity is not cut; only model space is";
    QTest::newRow("pstoedit R12 of a gnuplot plot") << "pstoedit-gnuplot" << "texts are not cut";
    QTest::newRow("pstoedit R12 of pic shapes") << "pstoedit-pic" << "does not say its units";
    QTest::newRow("pstoedit splines of pic shapes, inches") << "pstoedit-pic-splines" << QString();
    QTest::newRow("Inkscape R14 outlines") << "inkscape-r14" << QString();
    QTest::newRow("Inkscape R12") << "inkscape-r12" << "does not say its units";
}

void tst_KTJobDxf::programs()
{
    QFETCH(QString, name);
    QFETCH(QString, note);
    QFile file(DataDir + name + QStringLiteral(".dxf"));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    const QMap<QString, double> expected = figures(name);
    QCOMPARE(expected.size(), 4);

    Paths paths;
    const ReadResult r = readDxf(file.readAll(), &paths);
    QVERIFY2(r.ok, qPrintable(r.error));
    const Figures f = paths.figures();
    const QString got = QStringLiteral("%1 x %2 mm, %3 mm, %4 paths; notes: %5")
                            .arg(f.widthMm()).arg(f.heightMm()).arg(f.lengthMm()).arg(f.strokes)
                            .arg(r.notes.join(QLatin1String(" | ")));
    // Extent to two machine units (points are whole units); length to 0.5 %:
    // chords within half a unit of the curve, each point rounded to a unit.
    QVERIFY2(std::fabs(f.widthMm() - expected.value("width_mm")) <= 0.05, qPrintable(got));
    QVERIFY2(std::fabs(f.heightMm() - expected.value("height_mm")) <= 0.05, qPrintable(got));
    QVERIFY2(std::fabs(f.lengthMm() - expected.value("length_mm")) <= 0.005 * expected.value("length_mm"), qPrintable(got));
    QVERIFY2(f.strokes == qint64(expected.value("paths")), qPrintable(got));
    if (!note.isEmpty())
        QVERIFY2(r.notes.join(QLatin1Char('\n')).contains(note), qPrintable(got));
}

void tst_KTJobDxf::rules_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("error");   // empty: the drawing reads
    QTest::addColumn<double>("width");
    QTest::addColumn<double>("height");
    QTest::addColumn<double>("length");
    QTest::addColumn<QString>("note");

    const QByteArray line = "0,LINE,8,0,10,0,20,0,11,100,21,0";
    QTest::newRow("a line in mm") << drawing("4", line) << QString() << 100.0 << 0.0 << 100.0 << QString();
    QTest::newRow("a line in inches") << drawing("1", "0,LINE,10,0,20,0,11,1,21,0") << QString() << 25.4 << 0.0 << 25.4 << QString();
    QTest::newRow("no units: millimetres, said")
        << drawing("", line) << QString() << 100.0 << 0.0 << 100.0 << "does not say its units; read as millimetres";
    QTest::newRow("bulge 1: a semicircle")
        << drawing("4", "0,LWPOLYLINE,90,2,70,0,10,0,20,0,42,1,10,20,20,0")
        << QString() << 20.0 << 10.0 << M_PI * 10 << QString();
    QTest::newRow("arc mirrored by its extrusion")
        << drawing("4", "0,LINE,10,-10,20,0,11,-10,21,-1,0,ARC,10,10,20,0,40,5,50,0,51,90,210,0,220,0,230,-1")
        << QString() << 5.0 << 6.0 << M_PI * 5 / 2 + 1 << QString();
    QTest::newRow("insert scaled 2 and turned 90 degrees")
        << drawing("4", "0,INSERT,2,B,10,5,20,5,41,2,42,2,50,90", "0,BLOCK,2,B,70,0,10,0,20,0,0,LINE,10,0,20,0,11,10,21,0,0,ENDBLK")
        << QString() << 0.0 << 20.0 << 20.0 << QString();
    QTest::newRow("a hatch without loops does not repeat the last one's")
        << drawing("4", "0,HATCH,10,0,20,0,30,0,2,SOLID,70,1,71,0,91,1,92,2,72,0,73,1,93,4,10,0,20,0,10,10,20,0,"
                        "10,10,20,10,10,0,20,10,97,0,75,0,76,1,98,0,0,HATCH,10,0,20,0,30,0,2,SOLID,70,1,71,0,91,0,75,0,98,0")
        << QString() << 10.0 << 10.0 << 40.0 << QString();
    QTest::newRow("text noted, not cut")
        << drawing("4", line + ",0,TEXT,10,0,20,0,40,5,1,hello") << QString() << 100.0 << 0.0 << 100.0
        << "1 text is not cut; convert text to outlines (explode) in the CAD program";
    QTest::newRow("paper space noted, not cut")
        << drawing("4", line + ",0,LINE,67,1,10,0,20,0,11,0,21,500") << QString() << 100.0 << 0.0 << 100.0
        << "1 paper space entity is not cut";
    QTest::newRow("an entity type the reader has not")
        << drawing("4", line + ",0,MLINE,10,0,20,0") << QString() << 100.0 << 0.0 << 100.0 << "1 MLINE entity is not cut";
    QTest::newRow("a comment naming the library") << ("999\ndxflib 3.26.4.0\n" + drawing("4", line)) << QString() << 100.0 << 0.0 << 100.0 << QString();

    QTest::newRow("a block that inserts itself")
        << drawing("4", "0,INSERT,2,A,10,0,20,0", "0,BLOCK,2,A,10,0,20,0,0,LINE,10,0,20,0,11,1,21,0,0,INSERT,2,A,10,1,20,0,0,ENDBLK")
        << "nested more than 16 deep" << 0.0 << 0.0 << 0.0 << QString();
    QTest::newRow("binary DXF")
        << QByteArray("AutoCAD Binary DXF\r\n\x1a\0\0\0SECTION", 30) << "binary DXF; save it as ASCII DXF" << 0.0 << 0.0 << 0.0 << QString();
    QTest::newRow("a library comment it cannot take")
        << ("999\ndxflib\n" + drawing("4", line)) << "broken DXF file: it could not be read" << 0.0 << 0.0 << 0.0 << QString();
    QTest::newRow("garbage") << QByteArray("%PDF-1.4\nnot a drawing\n") << "not a DXF drawing" << 0.0 << 0.0 << 0.0 << QString();
    QTest::newRow("empty") << QByteArray() << "not a DXF drawing" << 0.0 << 0.0 << 0.0 << QString();
    QTest::newRow("a bulge before the first vertex")
        << drawing("4", "0,LWPOLYLINE,90,2,42,1,10,0,20,0,10,1,20,0") << "broken DXF file at line" << 0.0 << 0.0 << 0.0 << QString();
    QTest::newRow("a vertex count far beyond the vertices")
        << drawing("4", "0,LWPOLYLINE,90,1000000,10,0,20,0,10,1,20,0") << "does not hold the vertices it counts" << 0.0 << 0.0 << 0.0 << QString();
    QTest::newRow("spline knots beyond their count")
        << drawing("4", "0,SPLINE,71,1,72,1,73,2,74,0,40,0,40,0,10,0,20,0,10,1,20,1") << "broken DXF file at line" << 0.0 << 0.0 << 0.0 << QString();
    QTest::newRow("a coordinate that is not a number")
        << drawing("4", "0,LINE,10,zero,20,0,11,1,21,0") << "a number was expected" << 0.0 << 0.0 << 0.0 << QString();
    QTest::newRow("an overlong line")
        << drawing("4", "0,LINE,1," + QByteArray(5000, 'x') + ",10,0,20,0,11,1,21,0") << "longer than 1000 characters" << 0.0 << 0.0 << 0.0 << QString();
    QTest::newRow("beyond machine coordinates")
        << drawing("6", "0,LINE,10,0,20,0,11,1e9,21,0") << "beyond the machine's coordinates" << 0.0 << 0.0 << 0.0 << QString();
}

void tst_KTJobDxf::rules()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, error);
    QFETCH(double, width);
    QFETCH(double, height);
    QFETCH(double, length);
    QFETCH(QString, note);

    Paths paths;
    const ReadResult r = readDxf(bytes, &paths);
    if (!error.isEmpty()) {
        QVERIFY(!r.ok);
        QVERIFY2(r.error.contains(error), qPrintable(r.error));
        QVERIFY(!r.error.contains(QLatin1Char('\n')));
        return;
    }
    QVERIFY2(r.ok, qPrintable(r.error));
    const Figures f = paths.figures();
    QVERIFY2(std::fabs(f.widthMm() - width) <= 0.05, qPrintable(QString::number(f.widthMm())));
    QVERIFY2(std::fabs(f.heightMm() - height) <= 0.05, qPrintable(QString::number(f.heightMm())));
    QVERIFY2(std::fabs(f.lengthMm() - length) <= 0.005 * length, qPrintable(QString::number(f.lengthMm())));
    if (note.isEmpty())
        QVERIFY2(r.notes.isEmpty(), qPrintable(r.notes.join(QLatin1String(" | "))));
    else
        QVERIFY2(r.notes.join(QLatin1Char('\n')).contains(note), qPrintable(r.notes.join(QLatin1String(" | "))));
}

void tst_KTJobDxf::writtenJob()
{
    Paths paths;
    QVERIFY(readDxf(drawing("4", "0,LINE,10,-1,20,-2.5,11,100,21,0,0,LINE,10,100,20,0,11,100,21,50.5"), &paths).ok);
    QCOMPARE(writeHpgl(paths), QByteArray("IN;PU-40,-100;PD4000,0,4000,2020;\nPU;"));
}

// A few hundred bytes that array a block a million times: the reader stops
// where the model is full and says so, rather than drawing on.
void tst_KTJobDxf::repeatedBlocksFillTheModel()
{
    const QByteArray bytes = drawing("4", "0,INSERT,2,C,10,0,20,0,70,1000,71,1000,44,10,45,10",
                                     "0,BLOCK,2,C,10,0,20,0,0,CIRCLE,10,0,20,0,40,3,0,ENDBLK");
    Paths paths;
    paths.setMaxPoints(100000);
    const ReadResult r = readDxf(bytes, &paths);
    QVERIFY(!r.ok);
    QCOMPARE(r.error, QStringLiteral("the drawing has more than 100000 points; simplify it or cut it in parts"));
    QVERIFY(paths.full());
    QVERIFY(paths.points().size() <= 100000);
}

QTEST_GUILESS_MAIN(tst_KTJobDxf)
#include "tst_ktjobdxf.moc"
