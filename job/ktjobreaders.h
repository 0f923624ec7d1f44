#ifndef KTJOBREADERS_H
#define KTJOBREADERS_H

#include "job/ktjobpaths.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// Readers of the design formats. Each fills the path model in machine units,
// y up, at the document's real size: SVG from its width, height and viewBox,
// PDF from points (the first page's lower-left corner at 0,0), DXF from
// $INSUNITS (model space coordinates as drawn). Every stroke and every fill
// outline becomes a cut path.
//
// notes gets one line for each thing the user should know that is not cut
// (an image, text the library gives no outlines for, an entity skipped),
// counted rather than repeated. A false return leaves error with one line
// saying why the file cannot be read; paths may then hold part of it.
namespace KTJob {

struct ReadResult
{
    bool ok = false;
    QString error;
    QStringList notes;
};

ReadResult readSvg(const QByteArray &bytes, Paths *paths);
ReadResult readPdf(const QByteArray &bytes, Paths *paths);
ReadResult readDxf(const QByteArray &bytes, Paths *paths);

} // namespace KTJob

#endif // KTJOBREADERS_H
