#include "job/ktjobreaders.h"

namespace KTJob {

ReadResult readDxf(const QByteArray &, Paths *)
{
    ReadResult r;
    r.error = QStringLiteral("DXF files cannot be read yet");
    return r;
}

} // namespace KTJob
