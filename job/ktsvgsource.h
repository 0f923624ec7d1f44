#ifndef KTSVGSOURCE_H
#define KTSVGSOURCE_H

#include <QByteArray>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QTransform>

namespace KTJob {

class Paths;

// The root element's page: its size in millimetres (0 where missing, a
// percentage or a unit with no fixed size), viewBox (null when missing or
// not valid) and preserveAspectRatio (-1, 0 or 1 for min, mid and max on
// each axis).
struct SvgPage
{
    double widthMm = 0;
    double heightMm = 0;
    QRectF viewBox;
    int alignX = 0;
    int alignY = 0;
    bool stretch = false;  // "none"
    bool slice = false;
};

// The page as the root's width, height, viewBox and preserveAspectRatio
// attributes give it.
SvgPage svgPage(QStringView width, QStringView height, QStringView viewBox, QStringView aspect);
// User units to machine units: the viewBox fitted into the page, y flipped
// so the page's lower-left corner is 0,0. *placed false when the page's
// height is not known.
void svgPageTransform(const SvgPage &page, QTransform *toUnits, bool *placed);
// Without a page, the drawing's lowest point becomes the page's lower edge.
void placeSvgDrawing(Paths *paths, bool placed);
// The file's bytes, inflated when gzip'd, within MaxSvgBytes; false and
// the error otherwise.
bool inflateSvg(const QByteArray &bytes, QByteArray *xml, QString *error);

// An SVG file made ready for the renderer: inflated if gzip'd, its root
// element's size read (the renderer reads lengths without their units), and
// rewritten without what it must not act on: the DTD, and <image> elements,
// whose references the renderer would open as files; and with each text line
// a tspan places as a text of its own, which the renderer can place.
struct SvgSource : SvgPage
{
    QString error;
    QByteArray xml;

    int images = 0;
    int foreignObjects = 0;
    int texts = 0;
    int textPaths = 0;     // the renderer draws no text along a path
    int markers = 0;       // shapes with markers (arrowheads), which it does not draw
    // The first family each font-family names, as written; a few at most.
    QStringList fontFamilies;
};

// Limits for outside bytes: the file, its inflated size, how deep elements nest.
constexpr int MaxSvgBytes = 64 << 20;
constexpr int MaxSvgDepth = 256;

SvgSource prepareSvg(const QByteArray &bytes);

// A length as CSS writes it ("10mm", "2.5in", "300", "12pt") in mm, at 96 px
// an inch; 0 for a percentage, a relative unit or no number.
double svgLengthMm(QStringView text);

} // namespace KTJob

#endif // KTSVGSOURCE_H
