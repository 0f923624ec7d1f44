// Cut data as any program (or none) writes it, through the HPGL job reader.
#include "job/kthpgl.h"

#include <cmath>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    const KTHpgl::Facts facts = KTHpgl::readHpgl(bytes, [](const QPointF &from, const QPointF &to) {
        if (!std::isfinite(from.x()) || !std::isfinite(from.y()) || !std::isfinite(to.x()) || !std::isfinite(to.y()))
            __builtin_trap();
    });
    if (facts.issues.size() > KTHpgl::MaxIssues || facts.issueCount < facts.issues.size()
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
    return 0;
}
