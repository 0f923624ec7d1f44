#ifndef KTSVGFAST_H
#define KTSVGFAST_H

#include "job/ktjobreaders.h"

#include <QByteArray>

// The two ways an SVG drawing (inflated already) becomes cut paths; readSvg()
// takes the first that will have it. Internal to the job library and its
// tests.
namespace KTJob {

// Streams a drawing of plain shapes (groups, paths, rectangles, circles,
// ellipses, lines, polylines, polygons; transforms; fill, stroke, display
// and visibility) straight into the model, the same paths the general route
// cuts. True when it took the drawing: result is then final (ok, or why the
// model refused it). False when the drawing uses anything more, is not
// well-formed or is anything the reader is unsure of: nothing is added then.
// Only an empty model is streamed into.
bool readSvgFast(const QByteArray &xml, Paths *paths, ReadResult *result);

// Qt's renderer painting the whole drawing on the path recorder.
ReadResult readSvgQt(const QByteArray &xml, Paths *paths);

} // namespace KTJob

#endif // KTSVGFAST_H
