#ifndef KTREADNOTES_H
#define KTREADNOTES_H

#include "job/ktjobreaders.h"

namespace KTJob {

class PathRecorder;

// The lines the drawing readers share: things counted, text cut as
// outlines, and why the model stopped taking paths.
// Text from a file as part of a message: one line, no control characters,
// at most `limit` characters.
QString oneLine(const QString &text, int limit);

void noteCount(QStringList *notes, int count, const char *one, const char *many);
void noteText(QStringList *notes, const QStringList &missingFonts = QStringList());
// ok set, or the error when the recorder stopped adding paths.
void notePathsFailure(const PathRecorder &recorder, const Paths &paths, ReadResult *result);
// The same for a reader that adds to the model itself: added false once
// the model refused a path.
void notePathsFailure(bool added, const Paths &paths, ReadResult *result);
// Why a model refused a point: it is full, or the point lies beyond machine
// coordinates.
QString pathsFailure(const Paths &paths);

} // namespace KTJob

#endif // KTREADNOTES_H
