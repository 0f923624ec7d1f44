#include "job/ktjobreaders.h"
#include "job/ktpathrecorder.h"
#include "job/ktsvgsource.h"

#include "tests/support/ktsamples.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtTest>

using namespace KTJob;

namespace {

using KTSamples::expectedFigures;
using KTSamples::sample;

ReadResult read(const QByteArray &bytes, Paths *paths)
{
    return bytes.startsWith("%PDF") ? readPdf(bytes, paths) : readSvg(bytes, paths);
}

const QString TextNote = QStringLiteral("text is cut as the outlines of its letters");

// One page (its size and such in page entries), drawn by the content
// stream; the library rebuilds the cross-reference table these leave out.
QByteArray pdf(const char *page, const char *resources, const QByteArray &content)
{
    return QByteArray("%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                      "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
                      "3 0 obj<</Type/Page/Parent 2 0 R")
        + page + "/Resources<<" + resources + ">>/Contents 4 0 R>>endobj\n"
        + "4 0 obj<</Length " + QByteArray::number(content.size()) + ">>stream\n" + content
        + "\nendstream endobj\n5 0 obj<</Type/Font/Subtype/TrueType>>endobj\ntrailer<</Root 1 0 R>>\n%%EOF\n";
}

QByteArray svg(const char *root, const char *body)
{
    return QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" ")
        + root + ">" + body + "</svg>";
}

} // namespace

class tst_KTJobRead : public QObject
{
    Q_OBJECT

private slots:
    void realFiles_data();
    void realFiles();
    void drawings_data();
    void drawings();
    void refused_data();
    void refused();
    void painted_data();
    void painted();
    void lengths_data();
    void lengths();
};

// Files written by the programs named in their names (see
// tests/data/make-samples.sh). Every extent is within 0.05 mm: a unit is
// 0.025 mm, and Inkscape's import is as exact. Text is Inkscape's own
// outlines of the same installed font.
void tst_KTJobRead::realFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("notes");

    const QStringList none, text{TextNote};
    QTest::newRow("Inkscape SVG, mm page, groups, transforms, arcs") << "svg/inkscape-shapes-mm.svg" << none;
    QTest::newRow("Inkscape SVG gzip'd") << "svg/inkscape-shapes-mm.svgz" << none;
    QTest::newRow("Inkscape plain SVG, inch page, matrix") << "svg/inkscape-plain-in.svg" << none;
    QTest::newRow("Inkscape SVG, text as text") << "svg/inkscape-text.svg" << text;
    QTest::newRow("Inkscape SVG, text as paths") << "svg/inkscape-text-paths.svg" << none;
    QTest::newRow("Inkscape SVG, scaled viewBox off origin") << "svg/inkscape-viewbox.svg" << none;
    QTest::newRow("gnuplot svg with tic labels") << "svg/gnuplot.svg" << text;
    QTest::newRow("gnuplot svg, px page") << "svg/gnuplot-notext.svg" << none;
    QTest::newRow("fig2dev svg") << "svg/fig2dev-dome.svg" << none;
    QTest::newRow("pic2plot svg, unit viewBox") << "svg/pic2plot-shapes.svg" << none;
    QTest::newRow("pstoedit plot-svg") << "svg/pstoedit-shapes.svg" << none;
    QTest::newRow("LibreOffice Draw SVG") << "svg/libreoffice-label.svg" << none;
    QTest::newRow("LibreOffice Draw SVG, text as text") << "svg/libreoffice-label-text.svg" << text;

    QTest::newRow("Inkscape PDF, mm page") << "pdf/inkscape-shapes-mm.pdf" << none;
    QTest::newRow("Inkscape PDF, inch page") << "pdf/inkscape-shapes-in.pdf" << none;
    QTest::newRow("Inkscape PDF, embedded font") << "pdf/inkscape-text.pdf" << text;
    QTest::newRow("Inkscape PDF, transparency group and gradient") << "pdf/inkscape-opacity.pdf" << none;
    QTest::newRow("Inkscape PDF, shadings flood their shapes") << "pdf/inkscape-gradients.pdf" << none;
    QTest::newRow("gnuplot pdfcairo") << "pdf/gnuplot-pdfcairo.pdf" << none;
    QTest::newRow("gnuplot pdfcairo with tic labels") << "pdf/gnuplot-pdfcairo-text.pdf" << text;
    QTest::newRow("fig2dev pdf") << "pdf/fig2dev-dome.pdf" << none;
    QTest::newRow("ps2pdf drawing") << "pdf/ps2pdf-shapes.pdf" << none;
    QTest::newRow("ps2pdf Helvetica text") << "pdf/ps2pdf-text.pdf" << text;
    // Draw fills the page white under a rectangular clip: the page's edge is
    // no line to cut, and the figures are those of the same drawing's SVG.
    const QString background = QStringLiteral("the page's background fill is not cut");
    QTest::newRow("LibreOffice Draw PDF") << "pdf/libreoffice-label.pdf" << QStringList{background};
    QTest::newRow("LibreOffice Draw PDF, embedded font") << "pdf/libreoffice-label-text.pdf" << QStringList{background} + text;
}

void tst_KTJobRead::realFiles()
{
    QFETCH(QString, file);
    QFETCH(QStringList, notes);

    Paths paths;
    const ReadResult result = read(sample(file), &paths);
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.notes, notes);
    const QMap<QString, double> expected = expectedFigures(file);
    const Figures f = paths.figures();
    QVERIFY2(qAbs(f.widthMm() - expected["width_mm"]) <= 0.05, qPrintable(QString::number(f.widthMm())));
    QVERIFY2(qAbs(f.heightMm() - expected["height_mm"]) <= 0.05, qPrintable(QString::number(f.heightMm())));
    QVERIFY2(qAbs(f.lengthMm() - expected["length_mm"]) <= expected["length_mm"] * 0.005,
             qPrintable(QString::number(f.lengthMm())));
    QCOMPARE(f.strokes, qint64(expected["paths"]));
}

// Small drawings whose figures are known by hand: page mapping, units,
// transforms, what is cut and what is noted. The lower-left corner of the
// cut extent is given from the page's lower-left corner, y up.
void tst_KTJobRead::drawings_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QRectF>("extentMm");
    QTest::addColumn<double>("lengthMm");
    QTest::addColumn<int>("paths");
    QTest::addColumn<QStringList>("notes");

    const char *square = "<rect x='5' y='5' width='10' height='10' fill='none' stroke='black'/>";
    QTest::newRow("10 mm square on a mm page, y up")
        << svg("width='50mm' height='50mm' viewBox='0 0 50 50'", square) << QRectF(5, 35, 10, 10) << 40.0 << 1 << QStringList();
    QTest::newRow("viewBox scaled ten times")
        << svg("width='100mm' height='100mm' viewBox='0 0 10 10'", "<rect x='1' y='1' width='1' height='1'/>")
        << QRectF(10, 80, 10, 10) << 40.0 << 1 << QStringList();
    QTest::newRow("inch page without viewBox: 96 px an inch")
        << svg("width='2in' height='1in'", "<rect x='0' y='0' width='96' height='48'/>")
        << QRectF(0, 12.7, 25.4, 12.7) << 76.2 << 1 << QStringList();
    QTest::newRow("cm and pt") << svg("width='5cm' height='72pt' viewBox='0 0 50 25.4'", square)
        << QRectF(5, 10.4, 10, 10) << 40.0 << 1 << QStringList();
    QTest::newRow("percent size takes the viewBox in px")
        << svg("width='100%' height='100%' viewBox='0 0 96 96'", "<rect x='0' y='0' width='48' height='96'/>")
        << QRectF(0, 0, 12.7, 25.4) << 76.2 << 1 << QStringList();
    QTest::newRow("no size at all: px, lowest point at 0")
        << svg("", "<rect x='96' y='96' width='96' height='96'/>") << QRectF(25.4, 0, 25.4, 25.4) << 101.6 << 1
        << QStringList();
    QTest::newRow("viewBox centred in a wider page")
        << svg("width='100mm' height='50mm' viewBox='0 0 10 10'", "<rect x='0' y='0' width='10' height='10'/>")
        << QRectF(25, 0, 50, 50) << 200.0 << 1 << QStringList();
    QTest::newRow("viewBox stretched: none")
        << svg("width='100mm' height='50mm' viewBox='0 0 10 10' preserveAspectRatio='none'",
               "<rect x='0' y='0' width='10' height='10'/>")
        << QRectF(0, 0, 100, 50) << 300.0 << 1 << QStringList();
    QTest::newRow("nested transforms")
        << svg("width='100mm' height='100mm' viewBox='0 0 100 100'",
               "<g transform='translate(50 10)'><g transform='scale(2)'>"
               "<rect transform='rotate(90)' width='10' height='5' fill='none' stroke='black'/></g></g>")
        << QRectF(40, 70, 10, 20) << 60.0 << 1 << QStringList();
    QTest::newRow("filled and stroked rect cut once")
        << svg("width='50mm' height='50mm' viewBox='0 0 50 50'", "<rect x='5' y='5' width='10' height='10' fill='red' stroke='black'/>")
        << QRectF(5, 35, 10, 10) << 40.0 << 1 << QStringList();
    QTest::newRow("neither stroked nor filled: not cut")
        << svg("width='50mm' height='50mm' viewBox='0 0 50 50'",
               "<rect x='5' y='5' width='10' height='10' fill='none'/><rect x='20' y='5' width='10' height='10' fill='none' stroke='black'/>")
        << QRectF(20, 35, 10, 10) << 40.0 << 1 << QStringList();
    QTest::newRow("images noted, not opened")
        << svg("width='50mm' height='50mm' viewBox='0 0 50 50'",
               "<image x='0' y='0' width='5' height='5' xlink:href='/dev/zero'/>"
               "<image width='1' height='1' xlink:href='data:image/png;base64,AAAA'/>"
               "<rect x='5' y='5' width='10' height='10' fill='none' stroke='black'/>")
        << QRectF(5, 35, 10, 10) << 40.0 << 1 << QStringList{"2 images are not cut"};
    QTest::newRow("missing font noted")
        << svg("width='50mm' height='50mm' viewBox='0 0 50 50'", "<text x='5' y='20' font-family='No Such Face' font-size='10'>l</text>")
        << QRectF(-1, -1, 0, 0) << -1.0 << 1
        << QStringList{TextNote, "the font \"No Such Face\" is not installed, so its text is cut in another font; convert the text to paths where it was drawn"};
    QTest::newRow("text along a path noted")
        << svg("width='50mm' height='50mm' viewBox='0 0 50 50'",
               "<path id='p' d='M5 45 H45' stroke='black'/><text font-family='DejaVu Sans'><textPath xlink:href='#p'>x</textPath></text>")
        << QRectF(5, 5, 40, 0) << 40.0 << 1
        << QStringList{"1 text along a path (textPath) is not cut; convert it to paths"};
    QTest::newRow("markers noted")
        << svg("width='50mm' height='50mm' viewBox='0 0 50 50'",
               "<defs><marker id='m' markerWidth='4' markerHeight='4'><path d='M0 0 L4 2 L0 4 Z'/></marker></defs>"
               "<path d='M5 45 H45' stroke='black' fill='none' marker-end='url(#m)'/>"
               "<path d='M5 40 H45' style='stroke:black;marker-start:url(#m)'/>")
        << QRectF(5, 5, 40, 5) << 80.0 << 2
        << QStringList{"2 shapes' markers (arrowheads and such) are not cut; convert them to paths"};
    // DejaVu Sans' "l" is a box, 0.9 x 7.6 mm at 10 mm.
    QTest::newRow("lines of a text placed by their tspans")
        << svg("width='50mm' height='50mm' viewBox='0 0 50 50'",
               "<text font-family='DejaVu Sans' font-size='10'><tspan x='10' y='20'>l</tspan>"
               "<tspan x='10' y='40'>l</tspan></text>")
        << QRectF(10.94, 10, 0.9, 27.6) << 33.98 << 2 << QStringList{TextNote};
    QTest::newRow("tspan with only y keeps the line's x, text's own attributes kept")
        << svg("width='50mm' height='50mm' viewBox='0 0 50 50'",
               "<text id='t' x='10' y='20' font-size='10' transform='translate(5 0)'>"
               "<tspan font-family='DejaVu Sans'>l<tspan y='40'>l</tspan></tspan></text>")
        << QRectF(15.94, 10, 0.9, 27.6) << 33.98 << 2 << QStringList{TextNote};
    QTest::newRow("an SVG font's face is no font asked for")
        << svg("width='50mm' height='50mm' viewBox='0 0 50 50'",
               "<defs><font id='f' horiz-adv-x='1000'><font-face font-family='Own Face' units-per-em='1000'/>"
               "<glyph unicode='l' horiz-adv-x='500' d='M0 0 H100 V700 H0 Z'/></font></defs>"
               "<text x='10' y='40' font-family='DejaVu Sans' font-size='10'>l</text>")
        << QRectF(10.94, 10, 0.9, 7.6) << 16.99 << 1 << QStringList{TextNote};
    QTest::newRow("empty drawing") << svg("width='50mm' height='50mm'", "") << QRectF() << 0.0 << 0 << QStringList();
    QTest::newRow("DTD entities dropped, the drawing kept")
        << QByteArray("<?xml version='1.0'?><!DOCTYPE svg [<!ENTITY a 'aaaaaaaaaa'>]>")
            + svg("width='50mm' height='50mm' viewBox='0 0 50 50'", "<desc>&a;&a;</desc><rect x='5' y='5' width='10' height='10'/>")
        << QRectF(5, 35, 10, 10) << 40.0 << 1 << QStringList();
    QTest::newRow("PDF: points, y up, filled and stroked once")
        << pdf("/MediaBox[0 0 144 72]", "", "72 36 28.3465 28.3465 re 0 0 1 rg B") << QRectF(25.4, 12.7, 10, 10)
        << 40.0 << 1 << QStringList();
    QTest::newRow("PDF: page turned a quarter clockwise")
        << pdf("/MediaBox[0 0 144 72]/Rotate 90", "", "72 36 28.3465 28.3465 re S") << QRectF(12.7, 15.4, 10, 10) << 40.0
        << 1 << QStringList();
    QTest::newRow("PDF: a page's background fill is not cut, the shapes on it are")
        << pdf("/MediaBox[0 0 144 72]", "", "0 0 144 72 re W n 1 g 0 0 144 72 re f 0 g 72 36 28.3465 28.3465 re f")
        << QRectF(25.4, 12.7, 10, 10) << 40.0 << 1 << QStringList{"the page's background fill is not cut"};
    QTest::newRow("PDF: a page-sized rectangle stroked is cut")
        << pdf("/MediaBox[0 0 144 72]", "", "1 g 0 0 144 72 re b")
        << QRectF(0, 0, 50.8, 25.4) << 152.4 << 1 << QStringList();
    QTest::newRow("PDF: Type 3 glyphs, two 10 mm squares")
        << sample("pdf/cases/type3-font.pdf") << QRectF(20, 20, 20, 10) << 80.0 << 2 << QStringList{TextNote};
    QTest::newRow("PDF: second page noted")
        << sample("pdf/cases/two-pages.pdf") << QRectF(10, 10, 30, 20) << 86.056 << 1
        << QStringList{"only the first page is cut: 1 more page is not; cut each page as its own file"};
    QTest::newRow("PDF: image noted")
        << sample("pdf/cases/image.pdf") << QRectF(10, 10, 30, 20) << 100.0 << 1 << QStringList{"1 image is not cut"};
}

void tst_KTJobRead::drawings()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QRectF, extentMm);
    QFETCH(double, lengthMm);
    QFETCH(int, paths);
    QFETCH(QStringList, notes);

    Paths model;
    const ReadResult result = read(bytes, &model);
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.notes, notes);
    const Figures f = model.figures();
    QCOMPARE(f.strokes, qint64(paths));
    if (lengthMm < 0)
        return; // glyphs of whatever font stands in: only counted
    const QRectF cut = f.drawn ? QRectF(f.bounds.left() / UnitsPerMm, f.bounds.top() / UnitsPerMm, f.widthMm(), f.heightMm()) : QRectF();
    QVERIFY2(qAbs(cut.left() - extentMm.left()) <= 0.03 && qAbs(cut.top() - extentMm.top()) <= 0.03
                 && qAbs(cut.width() - extentMm.width()) <= 0.03 && qAbs(cut.height() - extentMm.height()) <= 0.03,
             qPrintable(QStringLiteral("%1,%2 %3x%4").arg(cut.left()).arg(cut.top()).arg(cut.width()).arg(cut.height())));
    QVERIFY2(qAbs(f.lengthMm() - lengthMm) <= 0.1, qPrintable(QString::number(f.lengthMm())));
}

void tst_KTJobRead::refused_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("error");

    QTest::newRow("broken XML") << QByteArray("<svg xmlns='http://www.w3.org/2000/svg'><g></svg>")
                                << "the SVG file is not well-formed XML (line 1: Opening and ending tag mismatch.); save it again as plain SVG";
    QTest::newRow("file's text in the error kept on one line")
        << QByteArray("<?xml version='1.0' encoding='x\n\ny'?><svg/>")
        << "the SVG file is not well-formed XML (line 3: x y is an invalid encoding name.); save it again as plain SVG";
    QTest::newRow("XML but not SVG") << QByteArray("<html><body/></html>")
                                     << "the file is XML but not an SVG drawing (its first element is <html>); export the drawing as SVG";
    QTest::newRow("truncated gzip") << QByteArray("\x1f\x8b\x08\x00\x00\x00\x00\x00", 8)
                                    << "the compressed SVG file is damaged (cut short); save it again as plain SVG";
    QTest::newRow("groups nested too deep") << svg("", QByteArray("<g>").repeated(300).constData())
                                            << "the SVG drawing nests groups more than 256 deep; flatten its groups and save it again";
    QTest::newRow("beyond machine coordinates")
        << svg("width='100000000mm' height='10mm' viewBox='0 0 1 1' preserveAspectRatio='none'", "<rect width='1' height='1'/>")
        << "the drawing reaches beyond the machine's coordinates (over 26 km); check its size and units";
    QTest::newRow("encrypted PDF") << sample("pdf/cases/encrypted.pdf") << "the PDF is encrypted; save it without a password";
    QTest::newRow("PDF font neither embedded nor found")
        << pdf("/MediaBox[0 0 200 100]", "/Font<</F1 5 0 R>>", "BT /F1 12 Tf 10 10 Td (Hi) Tj ET")
        << "the PDF uses a font, which is neither embedded in it nor installed here; export it again with its fonts embedded or its text as outlines";
    QTest::newRow("damaged PDF") << QByteArray("%PDF-1.4\n1 0 obj\n<<>>\nendobj\n%%EOF\n")
                                 << "the file is not a PDF that can be read (it may be damaged); export the drawing as PDF again";
}

void tst_KTJobRead::refused()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, error);

    Paths paths;
    const ReadResult result = read(bytes, &paths);
    QVERIFY(!result.ok);
    QCOMPARE(result.error, error);
}

// What each painter call leaves in the model, on a painter in machine
// units: the calls the PDF library's painter output makes, beyond paths.
void tst_KTJobRead::painted_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<int>("paths");
    QTest::addColumn<double>("lengthUnits");
    QTest::addColumn<int>("images");

    QTest::newRow("open polyline") << "polyline" << 1 << 200.0 << 0;
    QTest::newRow("polygon closed") << "polygon" << 1 << 341.42 << 0;
    QTest::newRow("two lines, two paths") << "lines" << 2 << 200.0 << 0;
    QTest::newRow("points not cut") << "points" << 0 << 0.0 << 0;
    QTest::newRow("no pen, no brush: not cut") << "invisible" << 0 << 0.0 << 0;
    QTest::newRow("pen without a brush: not cut") << "pen without brush" << 0 << 0.0 << 0;
    QTest::newRow("filled, then stroked: once") << "fill then stroke" << 1 << 400.0 << 0;
    QTest::newRow("filled, then stroked elsewhere: twice") << "fill then stroke moved" << 2 << 800.0 << 0;
    QTest::newRow("ellipse, chords within half a unit") << "ellipse" << 1 << 6283.19 << 0;
    QTest::newRow("image counted, not cut") << "image" << 0 << 0.0 << 1;
    QTest::newRow("text as outlines") << "text" << 1 << -1.0 << 0;
}

void tst_KTJobRead::painted()
{
    QFETCH(QString, call);
    QFETCH(int, paths);
    QFETCH(double, lengthUnits);
    QFETCH(int, images);

    Paths model;
    PathRecorder recorder(&model);
    QPainter p(&recorder);
    const QPolygonF corner(QVector<QPointF>{QPointF(0, 0), QPointF(100, 0), QPointF(100, 100)});
    if (call == "polyline")
        p.drawPolyline(corner);
    else if (call == "polygon")
        p.drawPolygon(corner);
    else if (call == "lines")
        p.drawLines(QVector<QLineF>{QLineF(0, 0, 100, 0), QLineF(0, 50, 100, 50)});
    else if (call == "points")
        p.drawPoints(corner);
    else if (call == "invisible" || call == "pen without brush") {
        p.setPen(call == "invisible" ? QPen(Qt::NoPen) : QPen(QBrush(), 1));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(0, 0, 100, 100));
    } else if (call.startsWith("fill then stroke")) {
        QPainterPath square;
        square.addRect(0, 0, 100, 100);
        p.fillPath(square, Qt::red);
        if (call.endsWith("moved"))
            p.translate(10, 0);
        p.strokePath(square, QPen(Qt::black));
    } else if (call == "ellipse")
        p.drawEllipse(QRectF(0, 0, 2000, 2000));
    else if (call == "image")
        p.drawImage(QPointF(0, 0), QImage(4, 4, QImage::Format_RGB32));
    else if (call == "text") {
        p.setFont(QFont(QStringLiteral("DejaVu Sans"), 40));
        p.drawText(QPointF(0, 100), QStringLiteral("l"));
    }
    p.end();
    const Figures f = model.figures();
    QCOMPARE(f.strokes, qint64(paths));
    if (lengthUnits >= 0)
        QVERIFY2(qAbs(f.lengthUnits - lengthUnits) <= qMax(1.0, lengthUnits * 0.001), qPrintable(QString::number(f.lengthUnits)));
    else
        QVERIFY(f.lengthUnits > 40);
    QCOMPARE(recorder.images(), images);
    QVERIFY(recorder.ok());
}

void tst_KTJobRead::lengths_data()
{
    QTest::addColumn<QString>("length");
    QTest::addColumn<double>("mm");

    QTest::newRow("mm") << "10mm" << 10.0;
    QTest::newRow("cm, spaces") << " 2.5 cm " << 25.0;
    QTest::newRow("in") << "1in" << 25.4;
    QTest::newRow("pt") << "72pt" << 25.4;
    QTest::newRow("pc") << "6pc" << 25.4;
    QTest::newRow("px at 96 an inch") << "96px" << 25.4;
    QTest::newRow("no unit is px") << "96" << 25.4;
    QTest::newRow("exponent") << "1e1mm" << 10.0;
    QTest::newRow("upper-case unit") << "1IN" << 25.4;
    QTest::newRow("em has no fixed size") << "2em" << 0.0;
    QTest::newRow("percent") << "100%" << 0.0;
    QTest::newRow("negative") << "-5mm" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("no number") << "mm" << 0.0;
    QTest::newRow("overflow") << "1e308in" << 0.0;
}

void tst_KTJobRead::lengths()
{
    QFETCH(QString, length);
    QFETCH(double, mm);

    QVERIFY2(qAbs(svgLengthMm(length) - mm) < 1e-9, qPrintable(QString::number(svgLengthMm(length))));
}

QTEST_MAIN(tst_KTJobRead)
#include "tst_ktjobread.moc"
