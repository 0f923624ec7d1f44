#include "job/ktjobreaders.h"

namespace KTJob {

ReadResult readPdf(const QByteArray &, Paths *)
{
    ReadResult r;
    r.error = QStringLiteral("PDF files cannot be read yet");
    return r;
}

} // namespace KTJob
