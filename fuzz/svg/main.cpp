// Drawings as any program (or none) writes them, through the SVG reader;
// and whenever the streaming reader takes one, the renderer's route must
// cut the same.
#include "fuzz/fuzzjob.h"
#include "job/ktsvgfast.h"
#include "job/ktsvgsource.h"

namespace {

// Corners within 0.05 mm, length within 0.5 %, the same strokes.
bool sameCut(const KTJob::Figures &a, const KTJob::Figures &b)
{
    const double tolerance = 0.05 * KTJob::UnitsPerMm;
    if (a.drawn != b.drawn || a.strokes != b.strokes)
        return false;
    return !a.drawn
        || (std::abs(double(a.bounds.left()) - b.bounds.left()) <= tolerance
            && std::abs(double(a.bounds.top()) - b.bounds.top()) <= tolerance
            && std::abs(double(a.bounds.right()) - b.bounds.right()) <= tolerance
            && std::abs(double(a.bounds.bottom()) - b.bounds.bottom()) <= tolerance
            && std::abs(a.lengthUnits - b.lengthUnits) <= std::max(1.0, b.lengthUnits * 0.005));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ktFuzzGuiApp();
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    KTJob::Paths paths;
    ktFuzzLimit(&paths);
    ktCheckRead(KTJob::readSvg(bytes, &paths), paths);

    QByteArray xml;
    QString error;
    KTJob::Paths fast, qt;
    ktFuzzLimit(&fast);
    ktFuzzLimit(&qt);
    KTJob::ReadResult fastResult;
    if (!KTJob::inflateSvg(bytes, &xml, &error) || !KTJob::readSvgFast(xml, &fast, &fastResult))
        return 0;
    const KTJob::ReadResult qtResult = KTJob::readSvgQt(xml, &qt);
    // The routes flatten alike but not point for point: near the limit one
    // model may fill where the other does not.
    if (fast.full() || qt.full())
        return 0;
    if (fastResult.ok != qtResult.ok || fastResult.error != qtResult.error
        || (fastResult.ok && !sameCut(fast.figures(), qt.figures())))
        __builtin_trap();
    return 0;
}
