#ifndef FUZZJOB_H
#define FUZZJOB_H

#include "job/ktjobreaders.h"

#include <QGuiApplication>
#include <QLoggingCategory>

#include <cmath>

// Leaks of the libraries' own one-time set-up, not of the reader: the
// font configuration's caches and the offscreen platform's screen. (The
// sanitizer asks for these; each target includes this header once.)
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\nleak:libqoffscreen.so\n";
}

// The drawing readers need fonts, so a GUI application on the offscreen
// platform, made once for the whole run, traces off.
inline void ktFuzzGuiApp()
{
    static int argc = 1;
    static char name[] = "fuzz";
    static char *argv[] = {name, nullptr};
    static QGuiApplication *app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QLoggingCategory::setFilterRules(QStringLiteral("kt.*.debug=false\ndefault.debug=false\nqt.*=false"));
        return new QGuiApplication(argc, argv);
    }();
    (void)app;
}

// A model full at a million points: the readers' refusal of a full model
// is reached in milliseconds, not after filling 512 MiB, which a small file
// that repeats its shapes (DXF blocks, arcs of many turns) may ask for.
constexpr quint32 FuzzMaxPoints = 1u << 20;

inline void ktFuzzLimit(KTJob::Paths *paths)
{
    paths->setMaxPoints(FuzzMaxPoints);
}

// What every read leaves, whatever the bytes: one line of error exactly
// when it failed, runs inside the points, points within machine
// coordinates and no more of them than the model holds, finite figures.
inline void ktCheckRead(const KTJob::ReadResult &result, const KTJob::Paths &paths)
{
    if (result.ok != result.error.isEmpty() || result.error.contains(QLatin1Char('\n')))
        __builtin_trap();
    for (const QString &note : result.notes) {
        if (note.isEmpty() || note.contains(QLatin1Char('\n')))
            __builtin_trap();
    }
    const auto &points = paths.points();
    if (points.size() > paths.maxPoints())
        __builtin_trap();
    for (const QPoint &p : points) {
        if (std::abs(double(p.x())) > KTJob::MaxUnits || std::abs(double(p.y())) > KTJob::MaxUnits)
            __builtin_trap();
    }
    for (const KTJob::Paths::Run &run : paths.runs()) {
        if (run.count == 0 || run.first > points.size() || run.count > points.size() - run.first)
            __builtin_trap();
    }
    const KTJob::Figures f = paths.figures();
    if (!std::isfinite(f.lengthUnits) || !std::isfinite(f.widthMm()) || !std::isfinite(f.heightMm()))
        __builtin_trap();
}

#endif // FUZZJOB_H
