#include "job/readdxf_p.h"

#include <algorithm>
#include <cmath>

namespace KTJob {
namespace Dxf {

namespace {

constexpr double Pi = 3.14159265358979323846;
// Chords one arc may take; a radius that asks for more is beyond machine
// coordinates anyway.
constexpr double MaxArcChords = 1 << 20;
constexpr int MaxSplineDegree = 10;

// The largest factor by which the map stretches a length: an arc of radius
// r under it lies within r times this of its chords' circle.
double stretch(const QTransform &t)
{
    const double a = t.m11(), b = t.m12(), c = t.m21(), d = t.m22();
    const double s = a * a + b * b + c * c + d * d;
    const double det = a * d - b * c;
    return std::sqrt((s + std::sqrt(std::max(0.0, s * s - 4 * det * det))) / 2);
}

// Chords for an arc of the given sweep whose radius in machine units is
// at most radius: the sagitta of each stays within FlatteningUnits.
int chords(double radius, double sweep)
{
    const double turn = std::fabs(sweep);
    double steps = std::ceil(turn / (Pi / 2));
    if (radius > FlatteningUnits)
        steps = std::max(steps, std::ceil(turn / (2 * std::acos(1 - FlatteningUnits / radius))));
    if (!(steps >= 1))
        return 1;
    return int(std::min(steps, MaxArcChords));
}

QPointF project(const std::array<double, 3> &p)
{
    return QPointF(p[0] / p[2], p[1] / p[2]);
}

double distanceToChord(const QPointF &p, const QPointF &a, const QPointF &b)
{
    const double dx = b.x() - a.x(), dy = b.y() - a.y();
    const double len = std::hypot(dx, dy);
    if (len < 1e-9)
        return std::hypot(p.x() - a.x(), p.y() - a.y());
    return std::fabs((p.x() - a.x()) * dy - (p.y() - a.y()) * dx) / len;
}

} // namespace

void Pen::moveTo(const QPointF &units)
{
    m_last = units;
}

void Pen::to(const QPointF &units)
{
    // A piece of no length (a polyline's repeated vertex) cuts nothing.
    if (units == m_last)
        return;
    if (m_ok && !m_paths->segment(m_last.x(), m_last.y(), units.x(), units.y()))
        m_ok = false;
    m_last = units;
}

void Pen::ellipse(const QTransform &unitCircle, double start, double sweep)
{
    if (!m_ok)
        return;
    const QTransform toUnits = unitCircle * m_toUnits;
    const int n = chords(stretch(toUnits), sweep);
    moveTo(toUnits.map(QPointF(std::cos(start), std::sin(start))));
    for (int k = 1; k <= n && m_ok; ++k) {
        const double a = start + sweep * k / n;
        to(toUnits.map(QPointF(std::cos(a), std::sin(a))));
    }
}

void Pen::arc(const QPointF &center, double radius, double start, double sweep)
{
    ellipse(QTransform(radius, 0, 0, radius, center.x(), center.y()), start, sweep);
}

void Pen::polyline(const std::vector<QPointF> &points, const std::vector<double> &bulges, bool closed)
{
    if (!m_ok || points.empty())
        return;
    const size_t count = points.size();
    const size_t pieces = closed ? count : count - 1;
    moveTo(m_toUnits.map(points[0]));
    for (size_t i = 0; i < pieces && m_ok; ++i) {
        const QPointF p0 = points[i], p1 = points[(i + 1) % count];
        const double b = i < bulges.size() ? bulges[i] : 0.0;
        const QPointF v = p1 - p0;
        const double d = std::hypot(v.x(), v.y());
        if (std::fabs(b) > 1e-9 && d > 0) {
            // A bulge is the tangent of a quarter of the arc's angle; its
            // centre lies off the chord's middle, left for a positive one.
            const double h = d * (1 - b * b) / (4 * b);
            const QPointF c = (p0 + p1) / 2 + QPointF(-v.y(), v.x()) / d * h;
            const QPointF r0 = p0 - c;
            const double radius = std::hypot(r0.x(), r0.y());
            const double start = std::atan2(r0.y(), r0.x()), sweep = 4 * std::atan(b);
            const QTransform toUnits = QTransform(radius, 0, 0, radius, c.x(), c.y()) * m_toUnits;
            const int n = chords(stretch(toUnits), sweep);
            for (int k = 1; k < n && m_ok; ++k) {
                const double a = start + sweep * k / n;
                to(toUnits.map(QPointF(std::cos(a), std::sin(a))));
            }
        }
        to(m_toUnits.map(p1));
    }
}

void Pen::bezier(std::vector<std::array<double, 3>> &points, int depth)
{
    if (!m_ok)
        return;
    const QPointF first = project(points.front()), last = project(points.back());
    double worst = 0;
    for (size_t i = 1; i + 1 < points.size(); ++i)
        worst = std::max(worst, distanceToChord(project(points[i]), first, last));
    // With positive weights the curve lies in the hull of its points: flat
    // points mean a flat curve. The depth bounds the work of a broken one.
    if (worst <= FlatteningUnits || depth >= 20) {
        to(last);
        return;
    }
    const size_t n = points.size();
    std::vector<std::array<double, 3>> left(n), right(n), level = points;
    for (size_t r = 0; r < n; ++r) {
        left[r] = level[0];
        right[n - 1 - r] = level[n - 1 - r];
        for (size_t i = 0; i + 1 + r < n; ++i)
            for (int k = 0; k < 3; ++k)
                level[i][k] = (level[i][k] + level[i + 1][k]) / 2;
    }
    bezier(left, depth + 1);
    bezier(right, depth + 1);
}

bool Pen::spline(int degree, const std::vector<double> &knots, const std::vector<QPointF> &points,
                 const std::vector<double> &weights)
{
    const size_t p = size_t(degree);
    if (degree < 1 || degree > MaxSplineDegree || points.size() < p + 1 || knots.size() != points.size() + p + 1
        || (!weights.empty() && weights.size() != points.size()))
        return false;
    for (size_t i = 0; i < knots.size(); ++i) {
        if (!std::isfinite(knots[i]) || (i > 0 && knots[i] < knots[i - 1]))
            return false;
    }
    const size_t last = points.size() - 1;
    if (!(knots[p] < knots[last + 1]))
        return false;
    // Homogeneous points in machine units: a rational curve keeps its
    // shape under the affine map when its points are mapped.
    std::vector<std::array<double, 3>> cw(points.size());
    for (size_t i = 0; i < points.size(); ++i) {
        const double w = weights.empty() ? 1.0 : weights[i];
        if (!(w > 0) || !std::isfinite(w))
            return false;
        const QPointF u = m_toUnits.map(points[i]);
        cw[i] = {u.x() * w, u.y() * w, w};
    }
    // Each knot span as a Bezier curve: its points are the blossom at the
    // span's ends, found by de Boor's scheme with one parameter per level.
    std::vector<std::array<double, 3>> d(p + 1), piece(p + 1);
    bool started = false;
    for (size_t k = p; k <= last && m_ok; ++k) {
        const double a = knots[k], b = knots[k + 1];
        if (!(a < b))
            continue;
        for (size_t j = 0; j <= p; ++j) {
            for (size_t i = 0; i <= p; ++i)
                d[i] = cw[k - p + i];
            for (size_t r = 1; r <= p; ++r) {
                const double t = r <= p - j ? a : b;
                for (size_t i = p; i >= r; --i) {
                    const size_t g = k - p + i;
                    const double alpha = (t - knots[g]) / (knots[g + p + 1 - r] - knots[g]);
                    for (int c = 0; c < 3; ++c)
                        d[i][c] = (1 - alpha) * d[i - 1][c] + alpha * d[i][c];
                }
            }
            piece[j] = d[p];
        }
        if (!started) {
            moveTo(project(piece[0]));
            started = true;
        }
        bezier(piece, 0);
    }
    return true;
}

void Pen::through(const std::vector<QPointF> &points, bool closed)
{
    const size_t n = points.size();
    if (!m_ok || n < 2)
        return;
    // Catmull-Rom: each piece a cubic whose end tangents point from the
    // neighbour before to the neighbour after.
    auto at = [&](long i) {
        if (closed)
            return m_toUnits.map(points[size_t((i % long(n) + long(n)) % long(n))]);
        return m_toUnits.map(points[size_t(std::clamp(i, 0L, long(n) - 1))]);
    };
    const long pieces = closed ? long(n) : long(n) - 1;
    moveTo(at(0));
    std::vector<std::array<double, 3>> piece(4);
    for (long i = 0; i < pieces && m_ok; ++i) {
        const QPointF p0 = at(i - 1), p1 = at(i), p2 = at(i + 1), p3 = at(i + 2);
        const QPointF c1 = p1 + (p2 - p0) / 6, c2 = p2 - (p3 - p1) / 6;
        piece = {{{p1.x(), p1.y(), 1}}, {{c1.x(), c1.y(), 1}}, {{c2.x(), c2.y(), 1}}, {{p2.x(), p2.y(), 1}}};
        bezier(piece, 0);
    }
}

} // namespace Dxf
} // namespace KTJob
