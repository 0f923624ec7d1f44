#include "job/ktjobpaths.h"
#include "job/ktjobreaders.h"
#include "job/ktsvgfast.h"
#include "job/ktsvgsource.h"
#include "job/ktsvgsyntax.h"

#include "tests/support/ktsamples.h"

#include <QFile>
#include <QPainterPath>
#include <QtTest>

using namespace KTJob;

namespace {

using KTSamples::expectedFigures;
using KTSamples::sample;

QByteArray svg(const char *root, const char *body)
{
    return QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" ")
        + root + ">" + body + "</svg>";
}

QByteArray page(const char *body)
{
    return svg("width='100mm' height='100mm' viewBox='0 0 100 100'", body);
}

QByteArray inflated(const QByteArray &bytes)
{
    QByteArray xml;
    QString error;
    if (!inflateSvg(bytes, &xml, &error))
        qFatal("cannot inflate: %s", qPrintable(error));
    return xml;
}

// Where the cut lies and how long it is: the two routes agree when every
// corner is within 0.05 mm, the length within 0.5 % and the strokes equal.
QString differs(const Figures &a, const Figures &b)
{
    const auto describe = [](const Figures &f) {
        return QStringLiteral("%1,%2 %3x%4 mm, %5 mm in %6")
            .arg(f.bounds.left() / UnitsPerMm).arg(f.bounds.top() / UnitsPerMm)
            .arg(f.widthMm()).arg(f.heightMm()).arg(f.lengthMm()).arg(f.strokes);
    };
    const double tolerance = 0.05 * UnitsPerMm;
    const bool same = a.drawn == b.drawn && a.strokes == b.strokes
        && (!a.drawn
            || (qAbs(a.bounds.left() - b.bounds.left()) <= tolerance && qAbs(a.bounds.top() - b.bounds.top()) <= tolerance
                && qAbs(a.bounds.right() - b.bounds.right()) <= tolerance
                && qAbs(a.bounds.bottom() - b.bounds.bottom()) <= tolerance
                && qAbs(a.lengthUnits - b.lengthUnits) <= qMax(1.0, b.lengthUnits * 0.005)));
    return same ? QString() : describe(a) + QStringLiteral(" against ") + describe(b);
}

} // namespace

class tst_KTSvgFast : public QObject
{
    Q_OBJECT

private slots:
    void realFiles_data();
    void realFiles();
    void sameAsRenderer_data();
    void sameAsRenderer();
    void leftToRenderer_data();
    void leftToRenderer();
    void numbers_data();
    void numbers();
    void modelRefuses_data();
    void modelRefuses();
    void builderHoldsWhatAPainterPathHolds_data();
    void builderHoldsWhatAPainterPathHolds();
};

// Which of the programs' files the streaming reader takes; those it takes
// it cuts as measured, and as the renderer does.
void tst_KTSvgFast::realFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("streamed");

    QTest::newRow("Inkscape, mm page, rounded rect, arcs") << "svg/inkscape-shapes-mm.svg" << true;
    QTest::newRow("Inkscape gzip'd") << "svg/inkscape-shapes-mm.svgz" << true;
    QTest::newRow("Inkscape plain, inch page, matrix") << "svg/inkscape-plain-in.svg" << true;
    QTest::newRow("Inkscape text as text") << "svg/inkscape-text.svg" << false;
    QTest::newRow("Inkscape text as paths, style") << "svg/inkscape-text-paths.svg" << true;
    QTest::newRow("Inkscape viewBox off origin") << "svg/inkscape-viewbox.svg" << true;
    QTest::newRow("gnuplot with tic labels") << "svg/gnuplot.svg" << false;
    QTest::newRow("gnuplot, defs, rgb() strokes") << "svg/gnuplot-notext.svg" << true;
    QTest::newRow("fig2dev") << "svg/fig2dev-dome.svg" << true;
    QTest::newRow("pic2plot, DOCTYPE, unit viewBox") << "svg/pic2plot-shapes.svg" << true;
    QTest::newRow("pstoedit") << "svg/pstoedit-shapes.svg" << true;
}

void tst_KTSvgFast::realFiles()
{
    QFETCH(QString, file);
    QFETCH(bool, streamed);

    const QByteArray xml = inflated(sample(file));
    Paths fast, qt;
    ReadResult result;
    QCOMPARE(readSvgFast(xml, &fast, &result), streamed);
    if (!streamed) {
        QVERIFY(fast.isEmpty());
        return;
    }
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.notes, QStringList());
    const QMap<QString, double> expected = expectedFigures(file);
    const Figures f = fast.figures();
    QVERIFY2(qAbs(f.widthMm() - expected["width_mm"]) <= 0.05, qPrintable(QString::number(f.widthMm())));
    QVERIFY2(qAbs(f.heightMm() - expected["height_mm"]) <= 0.05, qPrintable(QString::number(f.heightMm())));
    QVERIFY2(qAbs(f.lengthMm() - expected["length_mm"]) <= expected["length_mm"] * 0.005,
             qPrintable(QString::number(f.lengthMm())));
    QCOMPARE(f.strokes, qint64(expected["paths"]));
    QVERIFY(readSvgQt(xml, &qt).ok);
    const QString difference = differs(f, qt.figures());
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

// Drawings the streaming reader takes: the same cut as the renderer's.
void tst_KTSvgFast::sameAsRenderer_data()
{
    QTest::addColumn<QByteArray>("bytes");

    const char *stroked = "fill='none' stroke='black'";
    auto shape = [&](const char *element) { return page(QByteArray(element).replace("%s", stroked).constData()); };

    // Page: units, viewBox, aspect.
    QTest::newRow("mm page") << shape("<rect x='5' y='5' width='10' height='10' %s/>");
    QTest::newRow("inch page, no viewBox") << svg("width='2in' height='1in'", "<rect width='96' height='48'/>");
    QTest::newRow("pt and cm page") << svg("width='5cm' height='72pt' viewBox='0 0 50 25.4'", "<rect x='5' y='5' width='10' height='10'/>");
    QTest::newRow("px page, no units") << svg("width='400' height='250' viewBox='0 0 400 250'", "<rect x='10' y='20' width='30' height='40'/>");
    QTest::newRow("no size at all: lowest point at 0") << svg("", "<rect x='96' y='96' width='96' height='96'/>");
    QTest::newRow("viewBox only") << svg("viewBox='10 20 100 50'", "<rect x='20' y='30' width='10' height='10'/>");
    QTest::newRow("percent size and viewBox") << svg("width='100%' height='100%' viewBox='0 0 96 96'", "<rect width='48' height='96'/>");
    QTest::newRow("viewBox centred") << svg("width='100mm' height='50mm' viewBox='0 0 10 10'", "<rect width='10' height='10'/>");
    QTest::newRow("xMinYMax meet")
        << svg("width='100mm' height='50mm' viewBox='0 0 10 10' preserveAspectRatio='xMinYMax meet'", "<rect width='10' height='10'/>");
    QTest::newRow("xMaxYMin slice")
        << svg("width='100mm' height='50mm' viewBox='0 0 10 10' preserveAspectRatio='xMaxYMin slice'", "<rect width='10' height='10'/>");
    QTest::newRow("stretched")
        << svg("width='100mm' height='50mm' viewBox='0 0 10 10' preserveAspectRatio='none'", "<rect width='10' height='10'/>");
    QTest::newRow("root presentation inherited")
        << svg("width='100mm' height='100mm' viewBox='0 0 100 100' fill='none' stroke='red'", "<rect width='10' height='10'/><path d='M50 50h10'/>");
    QTest::newRow("root hides strokes") << svg("width='100mm' height='100mm' stroke-width='0' stroke='red' fill='none'", "<rect width='10' height='10'/>");

    // Shapes.
    QTest::newRow("rect") << shape("<rect x='1.5' y='2' width='30' height='20' %s/>");
    QTest::newRow("rect px units") << shape("<rect x='1px' y='2px' width='30px' height='20px' %s/>");
    QTest::newRow("rounded rect rx only") << shape("<rect x='10' y='10' width='40' height='25' rx='4' %s/>");
    QTest::newRow("rounded rect rx and ry") << shape("<rect x='10' y='10' width='40' height='25' rx='3' ry='7' %s/>");
    QTest::newRow("rounded rect, odd percentages") << shape("<rect x='10' y='10' width='33' height='17' rx='3.3' %s/>");
    QTest::newRow("rounded rect ry only") << shape("<rect width='30' height='60' ry='5'/>");
    QTest::newRow("circle") << shape("<circle cx='50' cy='40' r='12' %s/>");
    QTest::newRow("ellipse") << shape("<ellipse cx='50' cy='40' rx='30' ry='5' %s/>");
    QTest::newRow("line stroked") << shape("<line x1='10' y1='10' x2='80' y2='30' stroke='black'/>");
    QTest::newRow("line filled only: not cut") << shape("<line x1='10' y1='10' x2='80' y2='30'/><rect width='1' height='1'/>");
    QTest::newRow("polyline stroked") << shape("<polyline points='0,60 10,50 20,62 30,48' %s/>");
    QTest::newRow("polyline filled: closed") << shape("<polyline points='0,60 10,50 20,62 30,48'/>");
    QTest::newRow("polyline filled and stroked: twice") << shape("<polyline points='0,60 10,50 20,62' stroke='red'/>");
    QTest::newRow("polyline closed on itself: once") << shape("<polyline points='0,60 10,50 20,62 0,60' stroke='red'/>");
    QTest::newRow("polygon") << shape("<polygon points='40,20 60,15 80,20 70,60 50,60' %s/>");
    QTest::newRow("polygon, spaces only") << shape("<polygon points=' 40 20 60 15 80 20 '/>");

    // Path data.
    QTest::newRow("all absolute commands")
        << shape("<path d='M10 10 L20 10 H30 V20 C35 25 40 25 45 20 S55 15 60 20 Q65 30 70 20 T80 20 A5 5 0 0 1 90 20 Z' %s/>");
    QTest::newRow("all relative commands")
        << shape("<path d='m10 10 l10 0 h10 v10 c5 5 10 5 15 0 s10-5 15 0 q5 10 10 0 t10 0 a5 5 0 0 1 10 0 z' %s/>");
    QTest::newRow("implicit repeats") << shape("<path d='M10 10 20 10 20 20 m5 5 10 0 10 10 L40 40 50 45 h5 5 v5 5' %s/>");
    QTest::newRow("packed numbers") << shape("<path d='M.5.5L10-2-3 4l1e1 2E-1 1.5e+1.5' %s/>");
    QTest::newRow("arc flags packed") << shape("<path d='M10 50a20 20 0 0110 0a5 5 0 1020 0' %s/>");
    QTest::newRow("arc flags with commas") << shape("<path d='M10,50 A20,20,0,1,1,30,50' %s/>");
    QTest::newRow("arc rotated, large, radii grown")
        << shape("<path d='M10 50 A3 2 30 1 0 40 60 A1 1 0 0 1 60 40' %s/>");
    QTest::newRow("arc of three quarters") << shape("<path d='M50 20 A30 30 0 1 1 20 50' %s/>");
    QTest::newRow("S and T after other commands") << shape("<path d='M10 10 S20 30 30 10 T50 10 L60 10 T70 20' %s/>");
    QTest::newRow("subpaths, move after close") << shape("<path d='M10 10h10v10z m20 0h10v10zM60 60 l5 5' %s/>");
    QTest::newRow("newlines and tabs") << shape("<path d='M10,10\n\tL20,20\n\tL30,10  ' %s/>");
    QTest::newRow("empty d: nothing") << shape("<path d='' %s/><path %s/><rect width='1' height='1'/>");

    // Transforms.
    QTest::newRow("translate, scale, rotate")
        << shape("<g transform='translate(50 10)'><g transform='scale(2)'><rect transform='rotate(90)' width='10' height='5' %s/></g></g>");
    QTest::newRow("rotate about a point") << shape("<rect transform='rotate(30 20 20)' x='10' y='10' width='20' height='10' %s/>");
    QTest::newRow("matrix") << shape("<path transform='matrix(0.8 0.2 -0.2 0.8 20 10)' d='M0 0 C40 -30 80 30 120 0' %s/>");
    QTest::newRow("skews") << shape("<rect transform='skewX(20) skewY(-10)' x='10' y='10' width='20' height='10' %s/>");
    QTest::newRow("list with commas, no spaces") << shape("<rect transform='translate(5,5),scale(1.5)rotate(-15)' width='20' height='10' %s/>");
    QTest::newRow("scale one argument, mirrored") << shape("<g transform='translate(0 100) scale(1,-1)'><rect transform='scale(2)' width='20' height='10' %s/></g>");

    // What is painted, and so cut.
    QTest::newRow("fill and stroke: once") << shape("<rect width='10' height='10' fill='red' stroke='black'/>");
    QTest::newRow("neither: not cut") << shape("<rect width='10' height='10' fill='none'/><circle cx='50' cy='50' r='5'/>");
    QTest::newRow("fill inherited none, stroke inherit")
        << shape("<g fill='none' stroke='blue'><rect width='10' height='10' stroke='inherit'/><rect x='20' width='10' height='10' stroke='none'/></g>");
    QTest::newRow("fill inherit and currentColor")
        << shape("<g fill='none'><rect width='10' height='10' fill='inherit'/><rect x='20' width='5' height='5' fill='currentColor'/></g>");
    QTest::newRow("currentColor with color none") << shape("<g fill='none' color='none'><rect width='10' height='10' fill='currentColor'/></g>");
    QTest::newRow("transparent and named colours")
        << shape("<g fill='none'><rect width='10' height='10' fill='transparent'/><rect x='20' width='10' height='10' fill='RED'/></g>");
    QTest::newRow("rgb() with spaces") << shape("<g fill='none'><path stroke='rgb(148,   0, 211)' d='M0 0 L50 50'/></g>");
    QTest::newRow("opacity zero is still cut") << shape("<rect width='10' height='10' fill-opacity='0' opacity='0'/>");
    QTest::newRow("stroke width 0: stroke not cut")
        << shape("<rect width='10' height='10' %s stroke-width='0'/><rect x='20' width='10' height='10' stroke='red' stroke-width='0px'/>");
    QTest::newRow("stroke width inherited 0") << shape("<g stroke-width='0'><rect width='10' height='10' %s/><rect x='30' width='5' height='5' %s stroke-width='1mm'/></g>");
    QTest::newRow("negative stroke width is cut") << shape("<rect width='10' height='10' %s stroke-width='-1'/>");
    QTest::newRow("filled then stroked alike: once")
        << shape("<path d='M10 10h20v20z' stroke='none'/><path d='M10 10h20v20z' fill='none' stroke='black'/>");
    QTest::newRow("filled then stroked elsewhere: twice")
        << shape("<path d='M10 10h20v20z' stroke='none'/><path transform='translate(1)' d='M10 10h20v20z' fill='none' stroke='black'/>");

    // Display and visibility.
    QTest::newRow("display none hides the subtree")
        << shape("<g display='none'><rect width='10' height='10'/><rect display='inline' width='5' height='5'/></g><circle cx='50' cy='50' r='5'/>");
    QTest::newRow("display none in style") << shape("<g style='display:none'><rect width='10' height='10'/></g><rect x='50' width='5' height='5'/>");
    QTest::newRow("visibility hidden inherited")
        << shape("<g visibility='hidden'><rect width='10' height='10'/><g><rect x='40' width='5' height='5' visibility='collapse'/></g></g>"
                 "<rect x='60' width='5' height='5' visibility='visible'/><g visibility='inherit'><rect x='80' width='5' height='5'/></g>");
    QTest::newRow("hidden, then shown siblings")
        << shape("<g visibility='visible'><rect x='40' width='5' height='5' visibility='hidden'/><rect x='60' width='6' height='5'/></g>");
    QTest::newRow("collapse") << shape("<rect width='10' height='10' visibility='collapse'/><rect x='20' width='1' height='1'/>");

    // Style attribute.
    QTest::newRow("style declarations")
        << shape("<rect width='10' height='10' style='fill:none;stroke:#000000;stroke-width:0.26px;stroke-linecap:butt'/>");
    QTest::newRow("style, Inkscape's own properties")
        << shape("<g style='font-size:12px;font-family:\"DejaVu Sans\";-inkscape-font-specification:Sans;display:inline'>"
                 "<path d='M0 0 h10' style='fill:none;stroke:#000;'/></g>");
    QTest::newRow("markers, filters, clips and masks of none")
        << shape("<rect width='10' height='10' style='marker:none;marker-end:none;filter:none' clip-path='none' mask='none'/>");
    QTest::newRow("style names with spaces") << shape("<rect width='10' height='10' style=' fill :none; stroke :red'/>");

    // What is not drawn, skipped.
    QTest::newRow("title, desc, metadata, editor elements")
        << page("<title>t</title><desc>d</desc><metadata><rdf:RDF xmlns:rdf='urn:rdf'><cc:Work xmlns:cc='urn:cc'>"
                "<dc:title xmlns:dc='urn:dc'>x</dc:title></cc:Work></rdf:RDF></metadata>"
                "<sodipodi:namedview xmlns:sodipodi='urn:s' pagecolor='#fff'><inkscape:grid xmlns:inkscape='urn:i'/></sodipodi:namedview>"
                "<rect inkscape:label='x' xmlns:inkscape='urn:i' width='10' height='10'/>");
    QTest::newRow("defs with shapes, unused") << page("<defs><path id='p' d='M0 0h50'/><linearGradient id='g'><stop offset='0'/></linearGradient>"
                                                      "<use xlink:href='#p'/></defs><rect width='10' height='10'/>");
    QTest::newRow("comments, CDATA, undeclared prefixes")
        << QByteArray("<?xml version='1.0'?><!-- c -->") + page("<!-- a --><g><![CDATA[ x ]]><rect u:x='1' width='10' height='10'/><u:y/></g>");
    QTest::newRow("DOCTYPE without internal subset")
        << QByteArray("<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" \"http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd\">")
            + page("<rect width='10' height='10'/>");
    QTest::newRow("UTF-8 declared in lower case") << QByteArray("<?xml version='1.0' encoding='utf-8'?>") + page("<rect width='10' height='10'/>");
    QTest::newRow("Latin-1 encoding")
        << QByteArray("<?xml version='1.0' encoding='ISO-8859-1'?>") + page("<desc>\xe9</desc><rect width='10' height='10'/>");
    QTest::newRow("character references in attributes") << page("<rect width='1&#48;' height='&#x31;0'/>");
    QTest::newRow("empty drawing") << page("");
}

void tst_KTSvgFast::sameAsRenderer()
{
    QFETCH(QByteArray, bytes);

    Paths fast, qt;
    ReadResult fastResult;
    QVERIFY(readSvgFast(bytes, &fast, &fastResult));
    const ReadResult qtResult = readSvgQt(bytes, &qt);
    QVERIFY2(qtResult.ok, qPrintable(qtResult.error));
    QVERIFY2(fastResult.ok, qPrintable(fastResult.error));
    QCOMPARE(fastResult.notes, qtResult.notes);
    const QString difference = differs(fast.figures(), qt.figures());
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

// Drawings the streaming reader leaves to the renderer: readSvg() then
// answers just as the renderer's route alone.
void tst_KTSvgFast::leftToRenderer_data()
{
    QTest::addColumn<QByteArray>("bytes");

    const char *rect = "<rect width='10' height='10'/>";
    QTest::newRow("text") << page("<text x='5' y='20' font-family='DejaVu Sans' font-size='10'>l</text>");
    QTest::newRow("use") << page("<defs><rect id='r' width='10' height='10'/></defs><use xlink:href='#r' x='20'/>");
    QTest::newRow("style element") << page("<style>rect { fill: none }</style><rect width='10' height='10'/>");
    QTest::newRow("style element in defs") << page("<defs><style>rect { fill: none }</style></defs><rect width='10' height='10'/>");
    QTest::newRow("clipPath") << page("<clipPath id='c'><rect width='5' height='5'/></clipPath><rect clip-path='url(#c)' width='10' height='10'/>");
    QTest::newRow("clip-path attribute") << page("<defs><clipPath id='c'><rect width='5' height='5'/></clipPath></defs><rect clip-path='url(#c)' width='10' height='10'/>");
    QTest::newRow("image") << page("<image width='5' height='5' xlink:href='data:image/png;base64,AAAA'/><rect width='10' height='10'/>");
    QTest::newRow("a page beyond whole px, from the viewBox") << svg("viewBox='0 0 100 3e9'", "<rect width='10' height='10'/>");
    QTest::newRow("a page beyond whole px, from its size") << svg("width='3e9' height='10' viewBox='0 0 10 10'", "<rect width='10' height='10'/>");
    QTest::newRow("url() fill") << page("<defs><linearGradient id='g'/></defs><rect fill='url(#g)' width='10' height='10'/>");
    QTest::newRow("nested svg") << page("<svg x='10' width='20' height='20'><rect width='10' height='10'/></svg>");
    QTest::newRow("a link") << page("<a xlink:href='x'><rect width='10' height='10'/></a>");
    QTest::newRow("drawing inside an unknown element") << page("<foo><rect width='10' height='10'/></foo>");
    QTest::newRow("malformed path data") << page("<path d='M10 10 L20' stroke='black'/>");
    QTest::newRow("path not starting with a move") << page("<path d='L10 10 20 20' stroke='black'/>");
    QTest::newRow("path, trailing comma") << page("<path d='M10 10 L20 20,' stroke='black'/>");
    QTest::newRow("path, bad arc flag") << page("<path d='M10 10 A5 5 0 2 1 20 20' stroke='black'/>");
    QTest::newRow("arc of zero radius") << page("<path d='M10 10 A0 5 0 0 1 20 20' stroke='black'/>");
    QTest::newRow("arc to a point far off") << page("<path d='M10 10 A3 2 30 1 0 2510 2e50' stroke='black'/>");
    QTest::newRow("arc of a vanishing radius") << page("<path d='M10 10 A1e-200 1e-200 0 0 1 20 20' stroke='black'/>");
    QTest::newRow("arc to its own start") << page("<path d='M10 10 A5 5 0 1 1 10 10' stroke='black'/>");
    QTest::newRow("odd point count") << page("<polyline points='0 0 10 0 10' stroke='red'/>");
    QTest::newRow("bad transform") << page("<rect transform='translate(5) bogus' width='10' height='10'/>");
    QTest::newRow("transform argument count") << page("<rect transform='rotate(45,5)' width='10' height='10'/>");
    QTest::newRow("unknown colour") << page("<g fill='none'><rect fill='bogus' width='10' height='10'/></g>");
    QTest::newRow("short hex colour") << page("<g fill='none'><rect fill='#ab' width='10' height='10'/></g>");
    QTest::newRow("spaced style value") << page("<rect style='stroke:black; fill: none' width='10' height='10'/>");
    QTest::newRow("fill in attribute and style") << page("<rect fill='red' style='fill:none' width='10' height='10'/>");
    QTest::newRow("marker in style") << page("<path d='M0 0h10' stroke='red' style='marker-end:url(#m)'/>");
    QTest::newRow("unknown attribute") << page("<rect mask='url(#m)' width='10' height='10'/>");
    QTest::newRow("unit on a shape") << page("<rect width='10mm' height='10'/>");
    QTest::newRow("percentage on a shape") << page("<rect width='10%' height='10'/>");
    QTest::newRow("empty rect") << page("<rect width='0' height='10' stroke='black'/>");
    QTest::newRow("circle of zero radius") << page("<circle r='0' stroke='black'/>");
    QTest::newRow("corner radius clamped") << page("<rect width='10' height='10' rx='8'/>");
    QTest::newRow("visibility not understood") << page("<g visibility='hidden'><rect visibility='bogus' width='10' height='10'/></g>");
    QTest::newRow("shown inside hidden")
        << page("<g visibility='hidden'><rect x='20' width='10' height='10' visibility='visible'/><rect x='40' width='5' height='5'/></g>");
    QTest::newRow("inherit inside hidden")
        << page("<g visibility='hidden'><g visibility='inherit'><rect width='10' height='10'/></g></g>");
    QTest::newRow("spaced style value at the end") << page("<rect style='fill:none ' stroke='red' width='10' height='10'/>");
    QTest::newRow("no page, extent past what the renderer sizes")
        << svg("", "<path d='M0,0 1 -3000000000' fill='none'/><rect width='10' height='10'/>");
    QTest::newRow("transform on the root") << svg("width='10mm' height='10mm' transform='scale(2)'", rect);
    QTest::newRow("size in em, no viewBox") << svg("width='10em' height='10em'", rect);
    QTest::newRow("root not svg") << QByteArray("<html><body/></html>");
    QTest::newRow("not well-formed") << QByteArray("<svg xmlns='http://www.w3.org/2000/svg'><g><rect width='1' height='1'/></svg>");
    QTest::newRow("cut short") << page(rect).left(80);
    QTest::newRow("DTD entities")
        << QByteArray("<?xml version='1.0'?><!DOCTYPE svg [<!ENTITY a 'aaaaaaaaaa'>]>") + page("<desc>&a;&a;</desc><rect width='10' height='10'/>");
    QTest::newRow("external entity")
        << QByteArray("<?xml version='1.0'?><!DOCTYPE svg [<!ENTITY e SYSTEM '/etc/passwd'>]>") + page("<desc>&e;</desc>");
    QTest::newRow("ampersand in the DTD's system name")
        << QByteArray("<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" \"http://www.w3.org/&SVG/svg11.dtd\">") + page(rect);
    QTest::newRow("processing instruction") << page("<?pi x?><rect width='10' height='10'/>");
    QTest::newRow("name with two colons") << page("<a:b:c/><rect width='10' height='10'/>");
    QTest::newRow("undeclared entity") << page("<desc>&nothing;</desc><rect width='10' height='10'/>");
    QTest::newRow("unknown encoding") << QByteArray("<?xml version='1.0' encoding='x y'?>") + page(rect);
    QTest::newRow("XML 1.1") << QByteArray("<?xml version='1.1'?>") + page(rect);
    QTest::newRow("uncommon encoding") << QByteArray("<?xml version='1.0' encoding='EBCDIC-US'?>") + page(rect);
    QTest::newRow("nested too deep") << svg("", QByteArray("<g>").repeated(300).append(QByteArray("</g>").repeated(300)).constData());
}

void tst_KTSvgFast::leftToRenderer()
{
    QFETCH(QByteArray, bytes);

    Paths fast;
    ReadResult fastResult;
    QVERIFY(!readSvgFast(bytes, &fast, &fastResult));
    QVERIFY(fast.isEmpty());
    Paths both, qt;
    const ReadResult result = readSvg(bytes, &both);
    const ReadResult qtResult = readSvgQt(bytes, &qt);
    QCOMPARE(result.ok, qtResult.ok);
    QCOMPARE(result.error, qtResult.error);
    QCOMPARE(result.notes, qtResult.notes);
    QCOMPARE(both.points(), qt.points());
}

// Numbers as the path grammar writes them: how much of the text each takes.
void tst_KTSvgFast::numbers_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("taken");
    QTest::addColumn<double>("value");

    QTest::newRow("integer") << QByteArray("12") << 2 << 12.0;
    QTest::newRow("plus sign") << QByteArray("+2.5") << 4 << 2.5;
    QTest::newRow("minus ends a number") << QByteArray("-1-2") << 2 << -1.0;
    QTest::newRow("second point ends a number") << QByteArray(".5.5") << 2 << 0.5;
    QTest::newRow("trailing point") << QByteArray("1.L") << 2 << 1.0;
    QTest::newRow("exponent") << QByteArray("1e-3,") << 4 << 0.001;
    QTest::newRow("e without digits is not an exponent") << QByteArray("2em") << 1 << 2.0;
    QTest::newRow("e and sign without digits") << QByteArray("2e+") << 1 << 2.0;
    QTest::newRow("lone sign") << QByteArray("-") << 0 << 0.0;
    QTest::newRow("lone point") << QByteArray(".e1") << 0 << 0.0;
    QTest::newRow("overflow") << QByteArray("1e999") << 0 << 0.0;
    QTest::newRow("letter") << QByteArray("x1") << 0 << 0.0;
    QTest::newRow("64 characters") << QByteArray("1.").append(QByteArray(60, '0')).append("e1") << 64 << 10.0;
    // The renderer reads these as 0: left to it.
    QTest::newRow("beyond a float") << QByteArray("1e39") << 0 << 0.0;
    QTest::newRow("44 digits, beyond a float") << QByteArray("0").append(QByteArray(43, '9')) << 0 << 0.0;
    QTest::newRow("below a float's smallest") << QByteArray("1e-39") << 0 << 0.0;
    QTest::newRow("as large as a float holds") << QByteArray("3.4e38") << 6 << 3.4e38;
    QTest::newRow("zero with an exponent") << QByteArray("0e-50") << 5 << 0.0;
    QTest::newRow("more than 64 characters") << QByteArray("1").append(QByteArray(64, '0')) << 0 << 0.0;
}

void tst_KTSvgFast::numbers()
{
    QFETCH(QByteArray, text);
    QFETCH(int, taken);
    QFETCH(double, value);

    const char *p = text.constData();
    double out = 0;
    const bool ok = SvgSyntax::number(p, text.constData() + text.size(), &out);
    QCOMPARE(ok, taken > 0);
    QCOMPARE(int(p - text.constData()), taken);
    if (ok)
        QCOMPARE(out, value);
}

// A model that refuses the drawing: the same one line as the renderer's route.
void tst_KTSvgFast::modelRefuses_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("beyond machine coordinates")
        << svg("width='100000000mm' height='10mm' viewBox='0 0 1 1' preserveAspectRatio='none'", "<rect width='1' height='1'/>");
    QTest::newRow("beyond, then left to the renderer")
        << svg("width='100000000mm' height='10mm' viewBox='0 0 1 1' preserveAspectRatio='none'",
               "<rect width='1' height='1'/><text>x</text>");
}

void tst_KTSvgFast::modelRefuses()
{
    QFETCH(QByteArray, bytes);

    Paths both, qt;
    const ReadResult result = readSvg(bytes, &both);
    const ReadResult qtResult = readSvgQt(bytes, &qt);
    QVERIFY(!result.ok);
    QCOMPARE(result.error, qtResult.error);
    QCOMPARE(result.notes, qtResult.notes);
}

void tst_KTSvgFast::builderHoldsWhatAPainterPathHolds_data()
{
    // Calls as "M x y", "L x y", "Q cx cy x y", "C x1 y1 x2 y2 x y", "Z", each
    // given to a QPainterPath and to the builder.
    QTest::addColumn<QString>("calls");

    QTest::newRow("a line without a move starts at 0,0") << "L 10 10;L 20 0";
    QTest::newRow("a repeated point is no segment") << "M 1 1;L 1 1;L 5 1;L 5 1;L 5 9";
    QTest::newRow("a lone zero line is nothing") << "M 3 3;L 3 3";
    QTest::newRow("a move after a move replaces it") << "M 1 1;M 4 4;L 9 4";
    QTest::newRow("closed back to its start") << "M 0 0;L 10 0;L 10 10;Z";
    QTest::newRow("closed where it began: no extra line") << "M 0 0;L 10 0;L 0 0;Z";
    QTest::newRow("closed within rounding of its start") << "M 0.1 0.2;L 10 0;L 0.1000000000000001 0.2;Z";
    QTest::newRow("after a close, the next line starts afresh") << "M 0 0;L 10 0;L 10 10;Z;L 5 20;L 0 20";
    QTest::newRow("a close on a move alone is nothing") << "M 5 5;Z;L 8 8";
    QTest::newRow("a close after a second move") << "M 0 0;L 4 0;M 9 9;Z;L 12 9";
    QTest::newRow("twice closed") << "M 0 0;L 4 0;L 4 4;Z;Z;L 1 1";
    QTest::newRow("a curve of one point is nothing") << "M 2 2;C 2 2 2 2 2 2;L 6 2";
    QTest::newRow("a quadratic of one point is nothing") << "M 2 2;Q 2 2 2 2;L 6 2";
    QTest::newRow("curves, quadratics and lines") << "M 0 0;C 20 -10 40 30 60 5;L 60 50;Q 30 80 0 50;Z";
    QTest::newRow("a quadratic after a close") << "M 0 0;L 9 0;Z;Q 5 9 9 9";
    QTest::newRow("not finite: ignored") << "M 0 0;L inf 4;L 4 nan;C 1 1 2 2 inf 3;L 4 4";
}

void tst_KTSvgFast::builderHoldsWhatAPainterPathHolds()
{
    QFETCH(QString, calls);
    QPainterPath painted;
    Paths viaPath, built;
    // Off the unit grid and turned, so rounding and mapping both count.
    const QTransform toUnits = QTransform(3.7, 1.1, -0.9, 3.3, 12.25, -7.5);
    {
        PathBuilder builder(&built, toUnits);
        for (const QString &call : calls.split(';')) {
            const QStringList f = call.split(' ');
            QVector<QPointF> p;
            for (int i = 1; i + 1 < f.size(); i += 2)
                p << QPointF(f[i].toDouble(), f[i + 1].toDouble());
            switch (f[0].at(0).toLatin1()) {
            case 'M': painted.moveTo(p[0]); builder.moveTo(p[0]); break;
            case 'L': painted.lineTo(p[0]); builder.lineTo(p[0]); break;
            case 'Q': painted.quadTo(p[0], p[1]); builder.quadTo(p[0], p[1]); break;
            case 'C': painted.cubicTo(p[0], p[1], p[2]); builder.cubicTo(p[0], p[1], p[2]); break;
            default: painted.closeSubpath(); builder.closeSubpath(); break;
            }
        }
        QVERIFY(builder.ok());
    }
    QVERIFY(viaPath.addPath(painted, toUnits));
    QCOMPARE(built.points(), viaPath.points());
    QCOMPARE(built.runs().size(), viaPath.runs().size());
    for (size_t i = 0; i < built.runs().size(); ++i) {
        QCOMPARE(built.runs()[i].first, viaPath.runs()[i].first);
        QCOMPARE(built.runs()[i].count, viaPath.runs()[i].count);
    }
}

QTEST_MAIN(tst_KTSvgFast)
#include "tst_ktsvgfast.moc"
