#include "job/ktjobpaths.h"

#include <QPainterPath>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cmath>

namespace KTJob {

namespace {

// Largest distance of the control points from the chord: the curve lies
// within it.
double flatness(const QPointF &p0, const QPointF &p1, const QPointF &p2, const QPointF &p3)
{
    const double dx = p3.x() - p0.x(), dy = p3.y() - p0.y();
    const double len = std::hypot(dx, dy);
    auto off = [&](const QPointF &p) {
        if (len < 1e-9)
            return std::hypot(p.x() - p0.x(), p.y() - p0.y());
        return std::fabs((p.x() - p0.x()) * dy - (p.y() - p0.y()) * dx) / len;
    };
    return std::max(off(p1), off(p2));
}

// Chords of a cubic within FlatteningUnits of it; the depth bounds the work
// a huge or broken curve can ask for (2^24 chords at most).
template<typename Emit>
void flatten(const QPointF &p0, const QPointF &p1, const QPointF &p2, const QPointF &p3, int depth, Emit &out)
{
    if (depth >= 24 || flatness(p0, p1, p2, p3) <= FlatteningUnits) {
        out(p3);
        return;
    }
    const QPointF a = (p0 + p1) / 2, b = (p1 + p2) / 2, c = (p2 + p3) / 2;
    const QPointF ab = (a + b) / 2, bc = (b + c) / 2, mid = (ab + bc) / 2;
    flatten(p0, a, ab, mid, depth + 1, out);
    flatten(mid, bc, c, p3, depth + 1, out);
}

} // namespace

bool Paths::point(double x, double y, QPoint *out)
{
    if (!(std::fabs(x) <= MaxUnits) || !(std::fabs(y) <= MaxUnits))
        return false;
    *out = QPoint(int(std::lround(x)), int(std::lround(y)));
    return true;
}

void Paths::start(const QPoint &p)
{
    m_runs.push_back(Run{quint32(m_points.size()), 1});
    m_points.push_back(p);
    m_open = true;
}

bool Paths::segment(double x0, double y0, double x1, double y1)
{
    QPoint a, b;
    if (!point(x0, y0, &a) || !point(x1, y1, &b))
        return false;
    if (m_points.size() + 2 > MaxPoints) {
        m_full = true;
        return false;
    }
    if (!m_open || m_points.back() != a)
        start(a);
    // A chord shorter than a unit adds nothing but a repeated point; a
    // lone plunge keeps its second point so the run still cuts.
    if (b != m_points.back() || m_runs.back().count == 1) {
        m_points.push_back(b);
        ++m_runs.back().count;
    }
    return true;
}

bool Paths::addPath(const QPainterPath &path, const QTransform &toUnits)
{
    QPointF last, subStart;
    bool ok = true;
    auto to = [&](const QPointF &p) {
        ok = segment(last.x(), last.y(), p.x(), p.y()) && ok;
        last = p;
    };
    for (int i = 0; i < path.elementCount() && ok; ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        const QPointF p = toUnits.map(QPointF(e.x, e.y));
        switch (e.type) {
        case QPainterPath::MoveToElement:
            m_open = false;
            last = subStart = p;
            break;
        case QPainterPath::LineToElement:
            to(p);
            break;
        case QPainterPath::CurveToElement:
            if (i + 2 < path.elementCount()) {
                const QPainterPath::Element c2 = path.elementAt(i + 1), end = path.elementAt(i + 2);
                flatten(last, p, toUnits.map(QPointF(c2.x, c2.y)), toUnits.map(QPointF(end.x, end.y)), 0, to);
                i += 2;
            }
            break;
        case QPainterPath::CurveToDataElement:
            break;
        }
    }
    m_open = false;
    return ok;
}

bool Paths::addTool(const QByteArray &command)
{
    if (command.size() < 2 || command.size() > 32)
        return false;
    for (char c : command) {
        const bool safe = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || c == '.' || c == ',' || c == '-';
        if (!safe)
            return false;
    }
    m_tools.push_back(Tool{quint32(m_runs.size()), command});
    m_open = false;
    return true;
}

bool Paths::map(const QTransform &transform)
{
    for (QPoint &p : m_points) {
        const QPointF q = transform.map(QPointF(p));
        if (!point(q.x(), q.y(), &p))
            return false;
    }
    return true;
}

void Paths::clear()
{
    m_points.clear();
    m_runs.clear();
    m_tools.clear();
    m_open = false;
    m_full = false;
}

Figures Paths::figures() const
{
    Figures f;
    qint64 minX = 0, minY = 0, maxX = 0, maxY = 0;
    for (const Run &r : m_runs) {
        if (r.count < 2)
            continue;
        ++f.strokes;
        const QPoint *p = m_points.data() + r.first;
        for (quint32 k = 0; k < r.count; ++k) {
            if (!f.drawn) {
                minX = maxX = p[k].x();
                minY = maxY = p[k].y();
                f.drawn = true;
            }
            minX = std::min<qint64>(minX, p[k].x());
            maxX = std::max<qint64>(maxX, p[k].x());
            minY = std::min<qint64>(minY, p[k].y());
            maxY = std::max<qint64>(maxY, p[k].y());
            if (k > 0)
                f.lengthUnits += std::hypot(double(p[k].x()) - p[k - 1].x(), double(p[k].y()) - p[k - 1].y());
        }
    }
    if (f.drawn)
        f.bounds = QRect(QPoint(int(minX), int(minY)), QPoint(int(maxX), int(maxY)));
    return f;
}

QByteArray writeHpgl(const Paths &paths)
{
    QByteArray out;
    // About twelve bytes a point; one allocation for the usual file.
    out.reserve(int(std::min<size_t>(size_t(INT_MAX / 2), 16 + paths.points().size() * 12)));
    out.append("IN;");
    auto tool = paths.tools().cbegin();
    const auto tools = paths.tools().cend();
    char buf[32];
    for (quint32 r = 0; r < paths.runs().size(); ++r) {
        for (; tool != tools && tool->beforeRun <= r; ++tool)
            out.append(tool->command).append(';');
        const Paths::Run &run = paths.runs()[r];
        if (run.count < 2)
            continue;
        const QPoint *p = paths.points().data() + run.first;
        out.append(buf, std::snprintf(buf, sizeof buf, "PU%d,%d;PD", p[0].x(), p[0].y()));
        for (quint32 k = 1; k < run.count; ++k)
            out.append(buf, std::snprintf(buf, sizeof buf, k > 1 ? ",%d,%d" : "%d,%d", p[k].x(), p[k].y()));
        out.append(";\n");
    }
    for (; tool != tools; ++tool)
        out.append(tool->command).append(';');
    out.append("PU;");
    return out;
}

} // namespace KTJob
