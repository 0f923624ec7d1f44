#ifndef KTSVGSOURCE_H
#define KTSVGSOURCE_H

#include <QByteArray>
#include <QRectF>
#include <QString>
#include <QStringList>

namespace KTJob {

// An SVG file made ready for the renderer: inflated if gzip'd, its root
// element's size read (the renderer reads lengths without their units), and
// rewritten without what it must not act on: the DTD, and <image> elements,
// whose references the renderer would open as files; and with each text line
// a tspan places as a text of its own, which the renderer can place.
struct SvgSource
{
    QString error;
    QByteArray xml;

    // The root element's width and height in millimetres; 0 where missing,
    // a percentage or a unit that has no fixed size.
    double widthMm = 0;
    double heightMm = 0;
    QRectF viewBox;        // null when missing or not valid
    // preserveAspectRatio: -1, 0 or 1 for min, mid and max on each axis.
    int alignX = 0;
    int alignY = 0;
    bool stretch = false;  // "none"
    bool slice = false;

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
