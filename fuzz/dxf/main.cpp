// DXF drawings as any program (or none) writes them, through the DXF reader
// and the DXF library behind it.
#include "job/ktjobreaders.h"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    KTJob::Paths paths;
    const KTJob::ReadResult r = KTJob::readDxf(bytes, &paths);
    if (!r.ok && (r.error.isEmpty() || r.error.contains(QLatin1Char('\n'))))
        __builtin_trap();
    if (paths.points().size() > KTJob::MaxPoints)
        __builtin_trap();
    for (const QPoint &p : paths.points()) {
        if (std::fabs(double(p.x())) > KTJob::MaxUnits || std::fabs(double(p.y())) > KTJob::MaxUnits)
            __builtin_trap();
    }
    const KTJob::Figures f = paths.figures();
    if (!std::isfinite(f.lengthUnits) || !std::isfinite(f.widthMm()) || !std::isfinite(f.heightMm()))
        __builtin_trap();
    KTJob::writeHpgl(paths);
    return 0;
}
