#include "job/ktjobreaders.h"
#include "job/ktjobtrace.h"
#include "job/ktpathrecorder.h"
#include "job/ktreadnotes.h"
#include "job/ktsvgfast.h"
#include "job/ktsvgsource.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QPainter>
#include <QSvgRenderer>

#include <algorithm>
#include <iterator>

namespace KTJob {

namespace {

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

ReadResult readSvgQt(const QByteArray &xml, Paths *paths)
{
    ReadResult result;
    const SvgSource src = prepareSvg(xml);
    if (!src.error.isEmpty()) {
        result.error = src.error;
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
    svgPageTransform(src, &toUnits, &placed);
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
    if (result.ok)
        placeSvgDrawing(paths, placed);
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

// A drawing of plain shapes is streamed; anything more, or anything the
// streaming reader is unsure of, goes to Qt's renderer.
ReadResult readSvg(const QByteArray &bytes, Paths *paths)
{
    ReadResult result;
    QByteArray xml;
    if (!inflateSvg(bytes, &xml, &result.error))
        return result;
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        // Fonts, and so text, need the GUI application object.
        result.error = QStringLiteral("SVG files can only be read in a program that runs a QGuiApplication");
        return result;
    }
    if (readSvgFast(xml, paths, &result))
        return result;
    return readSvgQt(xml, paths);
}

} // namespace KTJob
