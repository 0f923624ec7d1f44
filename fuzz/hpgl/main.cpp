// Cut data as any program (or none) writes it, through the HPGL job reader,
// and the job made from its paths read back.
#include "fuzz/fuzzjob.h"
#include "job/kthpgl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    KTJob::Paths paths;
    ktFuzzLimit(&paths);
    KTHpgl::Options options;
    options.paths = &paths;
    const KTHpgl::Facts facts = KTHpgl::readHpgl(bytes, [](const QPointF &from, const QPointF &to) {
        if (!std::isfinite(from.x()) || !std::isfinite(from.y()) || !std::isfinite(to.x()) || !std::isfinite(to.y()))
            __builtin_trap();
    }, options);
    if (facts.issues.size() > KTHpgl::MaxListedIssues || facts.issueCount < facts.issues.size()
        || facts.errorCount > facts.issueCount
        || !std::isfinite(facts.lengthMm) || !std::isfinite(facts.widthMm()) || !std::isfinite(facts.heightMm()))
        __builtin_trap();
    for (const KTHpgl::Issue &issue : facts.issues) {
        if (issue.offset < 0 || issue.offset > bytes.size())
            __builtin_trap();
        KTHpgl::describe(issue);
    }
    facts.taskFileInfo();
    facts.unknownCommands();
    if (KTHpgl::dropLabels(bytes, facts).size() > bytes.size())
        __builtin_trap();

    // The job written from the paths is plain HPGL that gives the same paths.
    const QByteArray job = KTJob::writeHpgl(paths);
    KTJob::Paths again;
    KTHpgl::Options plain;
    plain.paths = &again;
    const KTHpgl::Facts reread = KTHpgl::readHpgl(job, KTHpgl::SegmentSink(), plain);
    if (!reread.plain || reread.firstError())
        __builtin_trap();
    const KTJob::Figures a = paths.figures(), b = again.figures();
    if (a.drawn != b.drawn || a.bounds != b.bounds || a.strokes != b.strokes
        || std::fabs(a.lengthUnits - b.lengthUnits) > 1e-6 * (1 + a.lengthUnits))
        __builtin_trap();
    return 0;
}
