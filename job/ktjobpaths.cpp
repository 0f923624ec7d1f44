#include "job/ktjobpaths.h"

#include <QIODevice>
#include <QPainterPath>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cmath>
#include <sys/mman.h>

namespace KTJob {

namespace {

// Chords of a cubic within FlatteningUnits of it, at even steps of its
// parameter: the curve strays from a chord by at most an eighth of its
// second derivative's bound over the steps squared, so the count follows
// from the control points alone (taken by value: the emitter moves the
// point the first one may refer to). Bounded, so a huge or broken curve asks
// for a million chords at most.
template<typename Emit>
void flatten(const QPointF p0, const QPointF p1, const QPointF p2, const QPointF p3, Emit &out)
{
    const QPointF d1 = p0 - 2 * p1 + p2, d2 = p1 - 2 * p2 + p3;
    // Squares that overflow only ask for the most chords.
    const double bend = std::sqrt(std::max(d1.x() * d1.x() + d1.y() * d1.y(), d2.x() * d2.x() + d2.y() * d2.y()));
    const double wanted = std::ceil(std::sqrt(0.75 * bend / FlatteningUnits));
    const int steps = !(wanted >= 1) ? 1 : wanted > double(1 << 20) ? (1 << 20) : int(wanted);
    // The curve as a polynomial in t, evaluated by Horner's rule; the end
    // exactly as given.
    const QPointF a = p3 - p0 + 3 * (p1 - p2), b = 3 * (p0 + p2) - 6 * p1, c = 3 * (p1 - p0);
    for (int k = 1; k < steps; ++k) {
        const double t = double(k) / steps;
        out(QPointF(((a.x() * t + b.x()) * t + c.x()) * t + p0.x(), ((a.y() * t + b.y()) * t + c.y()) * t + p0.y()));
    }
    out(p3);
}

} // namespace

namespace {

// std::lround's result (halves away from zero) without its library call:
// within machine coordinates the fraction is exact.
int roundUnits(double v)
{
    int whole = int(v);
    const double fraction = v - whole;
    if (fraction >= 0.5)
        ++whole;
    else if (fraction <= -0.5)
        --whole;
    return whole;
}

} // namespace

bool Paths::point(double x, double y, QPoint *out)
{
    if (!(std::fabs(x) <= MaxUnits) || !(std::fabs(y) <= MaxUnits))
        return false;
    *out = QPoint(roundUnits(x), roundUnits(y));
    return true;
}

void Paths::reserve(qint64 points)
{
    // Address space only: pages are touched as points arrive.
    m_points.reserve(size_t(qBound<qint64>(0, points, m_maxPoints)));
#ifdef MADV_HUGEPAGE
    // Tens of megabytes written once, front to back: in 2 MiB pages the
    // kernel is asked for them a few times instead of thousands. Only a
    // hint; the whole pages inside the room reserved.
    const quintptr huge = quintptr(2) << 20;
    const quintptr from = (quintptr(m_points.data()) + huge - 1) & ~(huge - 1);
    const quintptr to = quintptr(m_points.data() + m_points.capacity()) & ~(huge - 1);
    if (to > from)
        madvise(reinterpret_cast<void *>(from), size_t(to - from), MADV_HUGEPAGE);
#endif
}

void Paths::start(const QPoint &p)
{
    m_runs.push_back(Run{quint32(m_points.size()), 1});
    m_points.push_back(p);
    m_open = true;
}

bool Paths::segment(double x0, double y0, double x1, double y1)
{
    // A polyline's next piece starts where the last ended (that point is
    // already converted); a piece from elsewhere continues it only when it
    // starts on the same unit.
    if (m_open && !(x0 == m_lastX && y0 == m_lastY)) {
        QPoint a, b;
        if (!point(x0, y0, &a) || !point(x1, y1, &b))
            return false;
        if (m_points.back() != a)
            m_open = false;
    }
    if (!lineUnits(QPointF(x0, y0), QPointF(x1, y1)))
        return false;
    m_lastX = x1;
    m_lastY = y1;
    return true;
}

// A segment from where the last one ended, continuing its run while one is
// open: one point converted each.
bool Paths::lineUnits(const QPointF &from, const QPointF &to)
{
    QPoint b;
    if (!point(to.x(), to.y(), &b))
        return false;
    QPoint a;
    if (!m_open && !point(from.x(), from.y(), &a))
        return false;
    if (m_points.size() + 2 > m_maxPoints) {
        m_full = true;
        return false;
    }
    if (!m_open)
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
    PathBuilder builder(this, toUnits);
    const int count = path.elementCount();
    for (int i = 0; i < count && builder.ok(); ++i) {
        const QPainterPath::Element &e = path.elementAt(i);
        switch (e.type) {
        case QPainterPath::MoveToElement:
            builder.move(e);
            break;
        case QPainterPath::LineToElement:
            builder.line(e);
            break;
        case QPainterPath::CurveToElement:
            if (i + 2 < count) {
                builder.curve(e, path.elementAt(i + 1), path.elementAt(i + 2));
                i += 2;
            }
            break;
        case QPainterPath::CurveToDataElement:
            break;
        }
    }
    return builder.ok();
}

PathBuilder::PathBuilder(Paths *paths, const QTransform &toUnits)
    : m_paths(paths)
    , m_toUnits(toUnits)
    // An affine map (all a drawing uses but perspective) applied in
    // place: a large drawing has millions of points.
    , m_affine(toUnits.type() <= QTransform::TxShear)
    , m_m11(toUnits.m11())
    , m_m12(toUnits.m12())
    , m_m21(toUnits.m21())
    , m_m22(toUnits.m22())
    , m_dx(toUnits.dx())
    , m_dy(toUnits.dy())
{
    m_paths->m_open = false;
}

PathBuilder::~PathBuilder()
{
    m_paths->m_open = false;
}

QPointF PathBuilder::map(double x, double y) const
{
    return m_affine ? QPointF(m_m11 * x + m_m21 * y + m_dx, m_m12 * x + m_m22 * y + m_dy) : m_toUnits.map(QPointF(x, y));
}

void PathBuilder::move(const QPointF &p)
{
    m_paths->m_open = false;
    m_unitsLast = map(p.x(), p.y());
}

void PathBuilder::line(const QPointF &p)
{
    if (!m_ok)
        return;
    const QPointF to = map(p.x(), p.y());
    m_ok = m_paths->lineUnits(m_unitsLast, to);
    m_unitsLast = to;
}

void PathBuilder::curve(const QPointF &c1, const QPointF &c2, const QPointF &end)
{
    if (!m_ok)
        return;
    auto to = [this](const QPointF &p) {
        if (m_ok)
            m_ok = m_paths->lineUnits(m_unitsLast, p);
        m_unitsLast = p;
    };
    flatten(m_unitsLast, map(c1.x(), c1.y()), map(c2.x(), c2.y()), map(end.x(), end.y()), to);
}

// QPainterPath's own rules, call by call (its first element is a move to
// 0,0; points compare as QPointF does, within a relative 1e-12).
void PathBuilder::ensure()
{
    if (m_elements == 0) {
        m_elements = 1;
        m_last = m_start = QPointF();
        m_lastIsMove = true;
        move(m_last);
    }
}

void PathBuilder::maybeMove()
{
    if (m_requireMove) {
        m_requireMove = false;
        m_lastIsMove = true;
        m_elements = 2;
        move(m_last);
    }
}

namespace {

bool finite(const QPointF &p)
{
    return std::isfinite(p.x()) && std::isfinite(p.y());
}

} // namespace

void PathBuilder::moveTo(const QPointF &p)
{
    if (!finite(p))
        return;
    ensure();
    m_requireMove = false;
    if (!m_lastIsMove)
        m_elements = 2;
    m_lastIsMove = true;
    m_last = m_start = p;
    move(p);
}

void PathBuilder::lineTo(const QPointF &p)
{
    if (!finite(p))
        return;
    ensure();
    maybeMove();
    if (p == m_last)
        return;
    m_elements = 2;
    m_lastIsMove = false;
    m_last = p;
    line(p);
}

void PathBuilder::cubicTo(const QPointF &c1, const QPointF &c2, const QPointF &end)
{
    if (!finite(c1) || !finite(c2) || !finite(end))
        return;
    ensure();
    if (m_last == c1 && c1 == c2 && c2 == end)
        return;
    maybeMove();
    m_elements = 2;
    m_lastIsMove = false;
    m_last = end;
    curve(c1, c2, end);
}

void PathBuilder::quadTo(const QPointF &c, const QPointF &end)
{
    if (!finite(c) || !finite(end))
        return;
    ensure();
    const QPointF prev = m_last;
    if (prev == c && c == end)
        return;
    cubicTo(QPointF((prev.x() + 2 * c.x()) / 3, (prev.y() + 2 * c.y()) / 3),
            QPointF((end.x() + 2 * c.x()) / 3, (end.y() + 2 * c.y()) / 3), end);
}

void PathBuilder::closeSubpath()
{
    // A path of nothing but a move has nothing to close.
    if (m_elements == 0 || (m_elements == 1 && m_lastIsMove))
        return;
    m_requireMove = true;
    if (m_start.x() == m_last.x() && m_start.y() == m_last.y())
        return;
    // A last point within rounding of the start is taken as the start
    // (already cut there, to far below a unit); any other gets its line.
    if (qFuzzyCompare(m_start.x(), m_last.x()) && qFuzzyCompare(m_start.y(), m_last.y())) {
        m_last = m_start;
        return;
    }
    m_elements = 2;
    m_lastIsMove = false;
    m_last = m_start;
    line(m_start);
}

bool sameOutline(const QPainterPath &a, const QPainterPath &b)
{
    if (a.elementCount() != b.elementCount())
        return false;
    for (int i = 0; i < a.elementCount(); ++i) {
        const QPainterPath::Element p = a.elementAt(i), q = b.elementAt(i);
        if (p.type != q.type || p.x != q.x || p.y != q.y)
            return false;
    }
    return true;
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
            if (k > 0) {
                // Whole units below 2^31: no overflow for hypot to guard against.
                const double dx = double(p[k].x()) - p[k - 1].x(), dy = double(p[k].y()) - p[k - 1].y();
                f.lengthUnits += std::sqrt(dx * dx + dy * dy);
            }
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
    return u < 10 ? 1 : u < 100 ? 2 : u < 1000 ? 3 : u < 10000 ? 4 : u < 100000 ? 5
         : u < 1000000 ? 6 : u < 10000000 ? 7 : u < 100000000 ? 8 : u < 1000000000 ? 9 : 10;
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
    void point(const QPoint &p, bool comma)
    {
        size += comma + 1;
        number(p.x());
        number(p.y());
    }
};

// "00" to "99": two digits a step.
constexpr char Pairs[] =
    "0001020304050607080910111213141516171819202122232425262728293031323334353637383940414243444546474849"
    "5051525354555657585960616263646566676869707172737475767778798081828384858687888990919293949596979899";

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
        while (u >= 100) {
            const quint32 pair = (u % 100) * 2;
            u /= 100;
            *--end = Pairs[pair + 1];
            *--end = Pairs[pair];
        }
        if (u >= 10) {
            *--end = Pairs[u * 2 + 1];
            *--end = Pairs[u * 2];
        } else {
            *--end = char('0' + u);
        }
    }
    // ",x,y" or "x,y"
    void point(const QPoint &p, bool comma)
    {
        *at = ',';
        at += comma;
        number(p.x());
        *at++ = ',';
        number(p.y());
    }
};

// Into a device a chunk at a time: the whole job is never held. Room for
// each piece is made before it is written.
struct DeviceWriter
{
    static constexpr int Chunk = 1 << 18;
    QIODevice *device;
    QByteArray buffer = QByteArray(Chunk, Qt::Uninitialized);
    Writer writer{buffer.data()};
    qint64 written = 0;
    bool failed = false;

    void flush()
    {
        const qint64 n = writer.at - buffer.constData();
        if (!failed && !writeAll(device, buffer.constData(), n))
            failed = true;
        written += n;
        writer.at = buffer.data();
    }
    void room(int n)
    {
        if (writer.at + n > buffer.constData() + Chunk)
            flush();
    }
    // Pieces are short: a tool command is at most 32 bytes.
    void put(const char *s, int n)
    {
        room(n);
        writer.put(s, n);
    }
    void put(const QByteArray &b) { put(b.constData(), b.size()); }
    void number(int v)
    {
        room(12);
        writer.number(v);
    }
    void point(const QPoint &p, bool comma)
    {
        room(24);
        writer.point(p, comma);
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
        for (quint32 k = 1; k < run.count; ++k)
            out.point(p[k], k > 1);
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

bool writeAll(QIODevice *device, const char *data, qint64 size)
{
    while (size > 0) {
        const qint64 n = device->write(data, size);
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

qint64 hpglSize(const Paths &paths)
{
    Counter counter;
    writeJob(paths, counter);
    return counter.size;
}

qint64 writeHpgl(const Paths &paths, QIODevice *device)
{
    DeviceWriter out{device};
    writeJob(paths, out);
    out.flush();
    return out.failed ? -1 : out.written;
}

} // namespace KTJob
