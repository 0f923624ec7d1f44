#include "job/ktjobpaths.h"

#include <QPainterPath>

#include <algorithm>
#include <climits>
#include <cstring>
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
    // A polyline's next piece starts where the last ended: that point is
    // already converted.
    const bool continues = m_open && x0 == m_lastX && y0 == m_lastY;
    if (continues)
        a = m_points.back();
    if ((!continues && !point(x0, y0, &a)) || !point(x1, y1, &b))
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
    m_lastX = x1;
    m_lastY = y1;
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
    m_open = false;
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

namespace {

// The job written into a buffer sized for it, counted first only when the
// plain bound is too large. No formatting call per number: the job of a
// large file has tens of millions of them.
int digits(quint32 u)
{
    int n = 1;
    for (quint32 limit = 10; n < 10 && u >= limit; limit *= 10)
        ++n;
    return n;
}

quint32 magnitude(int v)
{
    return v < 0 ? 0u - quint32(v) : quint32(v);
}

struct Counter
{
    qint64 size = 0;
    void put(const char *, int n) { size += n; }
    void put(const QByteArray &b) { size += b.size(); }
    void number(int v) { size += (v < 0) + digits(magnitude(v)); }
};

struct Writer
{
    char *at;
    void put(const char *s, int n)
    {
        std::memcpy(at, s, size_t(n));
        at += n;
    }
    void put(const QByteArray &b) { put(b.constData(), b.size()); }
    void number(int v)
    {
        if (v < 0)
            *at++ = '-';
        quint32 u = magnitude(v);
        char *end = at + digits(u);
        at = end;
        do {
            *--end = char('0' + u % 10);
            u /= 10;
        } while (u);
    }
};

template<typename Out>
void writeJob(const Paths &paths, Out &out)
{
    out.put("IN;", 3);
    auto tool = paths.tools().cbegin();
    const auto tools = paths.tools().cend();
    for (quint32 r = 0; r < paths.runs().size(); ++r) {
        for (; tool != tools && tool->beforeRun <= r; ++tool) {
            out.put(tool->command);
            out.put(";", 1);
        }
        const Paths::Run &run = paths.runs()[r];
        if (run.count < 2)
            continue;
        const QPoint *p = paths.points().data() + run.first;
        out.put("PU", 2);
        out.number(p[0].x());
        out.put(",", 1);
        out.number(p[0].y());
        out.put(";PD", 3);
        for (quint32 k = 1; k < run.count; ++k) {
            if (k > 1)
                out.put(",", 1);
            out.number(p[k].x());
            out.put(",", 1);
            out.number(p[k].y());
        }
        out.put(";\n", 2);
    }
    for (; tool != tools; ++tool) {
        out.put(tool->command);
        out.put(";", 1);
    }
    out.put("PU;", 3);
}

} // namespace

QByteArray writeHpgl(const Paths &paths)
{
    // Room for the longest numbers: pages never written are never touched,
    // so the unused rest costs address space, not memory.
    qint64 bound = 6 + qint64(paths.runs().size()) * 30 + qint64(paths.points().size()) * 24;
    for (const Paths::Tool &tool : paths.tools())
        bound += tool.command.size() + 1;
    if (bound > qint64(INT_MAX) - 64) {
        Counter counter;
        writeJob(paths, counter);
        bound = counter.size;
        if (bound > qint64(INT_MAX) - 64)
            qBadAlloc();
    }
    QByteArray out(int(bound), Qt::Uninitialized);
    Writer writer{out.data()};
    writeJob(paths, writer);
    out.resize(int(writer.at - out.constData()));
    return out;
}

} // namespace KTJob
