#include "job/ktjobreaders.h"
#include "job/ktjobtrace.h"
#include "job/ktpathrecorder.h"
#include "job/ktreadnotes.h"
#include "job/ktsvgsource.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QPainter>
#include <QSvgRenderer>

#include <algorithm>
#include <iterator>

namespace KTJob {

namespace {

// User units to machine units: the viewBox fitted into the page as
// preserveAspectRatio asks, in mm, y flipped so the page's lower-left
// corner is 0,0. Without a viewBox, width and height, a user unit is a px
// and the page's height is not known: y is flipped about 0 (*placed false).
void pageTransform(const SvgSource &src, QTransform *toUnits, bool *placed)
{
    constexpr double PxMm = 25.4 / 96;
    QRectF box = src.viewBox;
    double widthMm = src.widthMm, heightMm = src.heightMm;
    *placed = true;
    if (box.isNull()) {
        // No viewBox: a user unit is a px.
        box = QRectF(0, 0, widthMm / PxMm, heightMm / PxMm);
        if (!(widthMm > 0) || !(heightMm > 0)) {
            *placed = false;
            *toUnits = QTransform(UnitsPerMm * PxMm, 0, 0, -UnitsPerMm * PxMm, 0, 0);
            return;
        }
    }
    if (!(widthMm > 0))
        widthMm = box.width() * PxMm;
    if (!(heightMm > 0))
        heightMm = box.height() * PxMm;
    double sx = widthMm / box.width(), sy = heightMm / box.height();
    double ox = 0, oy = 0;
    if (!src.stretch) {
        sx = sy = src.slice ? std::max(sx, sy) : std::min(sx, sy);
        ox = (widthMm - box.width() * sx) * (src.alignX + 1) / 2;
        oy = (heightMm - box.height() * sy) * (src.alignY + 1) / 2;
    }
    *toUnits = QTransform(UnitsPerMm * sx, 0, 0, -UnitsPerMm * sy,
                          UnitsPerMm * (ox - box.x() * sx), UnitsPerMm * (heightMm - oy + box.y() * sy));
}

// Families the drawing asks for that this computer lacks: Qt draws their
// text in another font.
QStringList missingFonts(const QStringList &families)
{
    static const char *const generic[] = {"serif", "sans-serif", "sans", "monospace", "cursive", "fantasy", "system-ui"};
    QStringList missing;
    const QStringList installed = QFontDatabase().families();
    for (const QString &family : families) {
        const bool known = std::any_of(std::begin(generic), std::end(generic), [&](const char *g) {
            return family.compare(QLatin1String(g), Qt::CaseInsensitive) == 0;
        });
        if (!known && !installed.contains(family, Qt::CaseInsensitive))
            missing.append(family);
    }
    return missing;
}

} // namespace

ReadResult readSvg(const QByteArray &bytes, Paths *paths)
{
    ReadResult result;
    const SvgSource src = prepareSvg(bytes);
    if (!src.error.isEmpty()) {
        result.error = src.error;
        return result;
    }
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        // Fonts, and so text, need the GUI application object.
        result.error = QStringLiteral("SVG files can only be read in a program that runs a QGuiApplication");
        return result;
    }
    LibraryMessages quiet;
    QSvgRenderer renderer;
    if (!renderer.load(src.xml)) {
        result.error = QStringLiteral("the file is not an SVG drawing that can be read; save it again as plain SVG");
        return result;
    }
    const QRectF rendererBox = renderer.viewBoxF();
    QTransform toUnits;
    bool placed = true;
    pageTransform(src, &toUnits, &placed);
    PathRecorder recorder(paths);
    QPainter painter(&recorder);
    painter.setTransform(toUnits);
    // The renderer's own box onto itself: user units stay user units.
    if (rendererBox.isValid())
        renderer.render(&painter, rendererBox);
    else
        renderer.render(&painter);
    painter.end();

    notePathsFailure(recorder, *paths, &result);
    // No page: the drawing's lowest point is the page's lower edge. Whole
    // units, so the points stay exactly as recorded.
    const Figures figures = paths->figures();
    if (result.ok && !placed && figures.drawn)
        paths->map(QTransform::fromTranslate(0, -figures.bounds.top()));
    noteCount(&result.notes, src.images, "image is not cut", "images are not cut");
    noteCount(&result.notes, src.foreignObjects, "embedded HTML block (foreignObject) is not cut",
              "embedded HTML blocks (foreignObject) are not cut");
    noteCount(&result.notes, src.textPaths, "text along a path (textPath) is not cut; convert it to paths",
              "texts along a path (textPath) are not cut; convert them to paths");
    noteCount(&result.notes, src.markers, "shape's markers (arrowheads and such) are not cut; convert them to paths",
              "shapes' markers (arrowheads and such) are not cut; convert them to paths");
    if (src.texts > src.textPaths)
        noteText(&result.notes, missingFonts(src.fontFamilies));
    return result;
}

} // namespace KTJob
