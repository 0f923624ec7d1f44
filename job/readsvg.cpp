#include "job/ktjobreaders.h"

namespace KTJob {

ReadResult readSvg(const QByteArray &, Paths *)
{
    ReadResult r;
    r.error = QStringLiteral("SVG files cannot be read yet");
    return r;
}

} // namespace KTJob
