#include "tools/host/hostjob.h"

#include <cmath>

HostJobSettings HostJob::settings;

namespace {

// Two numbers in mm joined by sep, each within a 100 m roll's reach.
bool parsePair(const QString &text, QChar sep, double *a, double *b)
{
    const QStringList parts = text.split(sep);
    bool okA = false, okB = false;
    if (parts.size() != 2)
        return false;
    *a = parts.at(0).toDouble(&okA);
    *b = parts.at(1).toDouble(&okB);
    return okA && okB && std::fabs(*a) <= 100000 && std::fabs(*b) <= 100000;
}

} // namespace

bool parseSizeMm(const QString &text, QSizeF *area)
{
    double w = 0, h = 0;
    if (!parsePair(text, QLatin1Char('x'), &w, &h) || !(w > 0 && h > 0))
        return false;
    *area = QSizeF(w, h);
    return true;
}

bool parsePointMm(const QString &text, QPointF *point)
{
    double x = 0, y = 0;
    if (!parsePair(text, QLatin1Char(','), &x, &y))
        return false;
    *point = QPointF(x, y);
    return true;
}

bool HostJob::load(const QString &file, QString *error)
{
    job = std::make_unique<KTCutJob>();
    const HostJobSettings &s = settings;
    if (s.plotArea.isValid())
        job->setPlotArea(s.plotArea);
    job->setScale(s.scale);
    job->setRotation(s.rotation);
    job->setMirrored(s.mirrored);
    if (s.hasOrigin)
        job->setOrigin(s.origin);
    if (s.fit.isValid())
        job->setFit(s.fit);
    job->setAsIs(s.asIs);
    job->setDropLabels(s.dropLabels);
    if (!job->load(file)) {
        *error = job->errorString();
        return false;
    }
    return true;
}

bool HostJob::readsJobs(const QString &command, const QCommandLineParser &parser)
{
    return QStringList{"inspect", "preview", "convert", "cut"}.contains(command)
           || (command == QLatin1String("qr") && parser.isSet("jobs"));
}

QString HostJob::configure(const QCommandLineParser &parser, const QString &command)
{
    static const QStringList options{"plot-area", "scale", "rotate", "mirror", "origin", "fit", "as-is", "drop-labels"};
    for (const QString &o : options) {
        if (parser.isSet(o) && !readsJobs(command, parser))
            return QStringLiteral("--%1 belongs to the job commands: inspect, preview, convert, cut and qr --jobs").arg(o);
    }
    HostJobSettings &s = settings;
    if (parser.isSet("plot-area") && !parseSizeMm(parser.value("plot-area"), &s.plotArea))
        return QStringLiteral("--plot-area takes WIDTHxHEIGHT in mm (420x297 for A3), not \"%1\"")
            .arg(parser.value("plot-area"));
    if (parser.isSet("fit") && !parseSizeMm(parser.value("fit"), &s.fit))
        return QStringLiteral("--fit takes WIDTHxHEIGHT in mm (100x50), not \"%1\"").arg(parser.value("fit"));
    if (parser.isSet("scale")) {
        bool ok = false;
        s.scale = parser.value("scale").toDouble(&ok);
        if (!ok || !(s.scale > 0 && s.scale <= 1000))
            return QStringLiteral("--scale takes a factor above 0 and at most 1000 (0.5 halves the drawing), not "
                                  "\"%1\"").arg(parser.value("scale"));
        if (parser.isSet("fit"))
            return QStringLiteral("--scale and --fit both size the drawing: give one");
    }
    if (parser.isSet("rotate")) {
        const QString r = parser.value("rotate");
        if (!QStringList{"0", "90", "180", "270"}.contains(r))
            return QStringLiteral("--rotate takes 90, 180 or 270 (degrees, counter-clockwise), not \"%1\"").arg(r);
        s.rotation = r.toInt();
    }
    s.mirrored = parser.isSet("mirror");
    if (parser.isSet("origin")) {
        s.hasOrigin = parsePointMm(parser.value("origin"), &s.origin);
        if (!s.hasOrigin)
            return QStringLiteral("--origin takes X,Y in mm (10,5), not \"%1\"").arg(parser.value("origin"));
    }
    s.asIs = parser.isSet("as-is");
    s.dropLabels = parser.isSet("drop-labels");
    if (s.asIs && (parser.isSet("scale") || parser.isSet("rotate") || s.mirrored || s.hasOrigin || parser.isSet("fit")))
        return QStringLiteral("--as-is sends the file as it is, which cannot be placed: leave out --as-is or "
                              "--scale, --rotate, --mirror, --origin and --fit");
    return QString();
}
