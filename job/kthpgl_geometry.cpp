// What the commands draw: scaling, rotation, pen moves, polygons, arcs and
// curves, in plotter units.
#include "job/kthpgl_reader.h"

#include <QtMath>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>

namespace KTHpgl {
namespace Internal {

void Reader::reset()
{
    m_penDown = false;
    m_relative = false;
    m_strokeOpen = false;
    m_px = m_py = 0;
    m_p1x = m_p1y = 0;
    m_p2x = m_areaW;
    m_p2y = m_areaH;
    m_scaled = false;
    m_rotation = 0;
    m_terminator = ETX;
    m_polygonMode = false;
    m_polygonCommitted = true;
    m_polygon.clear();
    updateTransform();
}

void Reader::points()
{
    double x = 0, y = 0;
    while (number(x) == Num::Ok) {
        if (number(y) != Num::Ok)
            return;
        double tx = 0, ty = 0;
        if (!toPlotter(x, y, m_relative, tx, ty))
            return;
        moveTo(tx, ty, m_penDown);
    }
}

void Reader::inputP1P2()
{
    double v[4];
    int count = 0;
    while (count < 4 && number(v[count]) == Num::Ok)
        ++count;
    if (m_abandon)
        return;
    if (count < 2) {
        m_p1x = m_p1y = 0;
        m_p2x = m_areaW;
        m_p2y = m_areaH;
    } else if (count < 4) {
        // P2 follows P1 at the same distance.
        m_p2x += v[0] - m_p1x;
        m_p2y += v[1] - m_p1y;
        m_p1x = v[0];
        m_p1y = v[1];
    } else {
        m_p1x = v[0];
        m_p1y = v[1];
        m_p2x = v[2];
        m_p2y = v[3];
    }
    updateTransform();
}

void Reader::scale()
{
    double v[7] = {0, 0, 0, 0, 0, 50, 50};
    int count = 0;
    while (count < 7 && number(v[count]) == Num::Ok)
        ++count;
    if (m_abandon)
        return;
    if (count == 0) {
        m_scaled = false;
        updateTransform();
        return;
    }
    const int type = count >= 5 ? int(std::lround(v[4])) : 0;
    if (count < 4 || type < 0 || type > 2 || (type != 2 && (v[0] == v[1] || v[2] == v[3]))
        || (type == 2 && (v[1] == 0 || v[3] == 0))) {
        issue(m_cmdStart, Problem::BadScaling);
        return;
    }
    std::copy(v, v + 7, m_sc);
    m_sc[4] = type;
    m_scaled = true;
    updateTransform();
}

void Reader::updateTransform()
{
    if (!m_scaled) {
        m_ax = m_ay = 0;
        m_bx = m_by = 1;
        return;
    }
    const double w = m_p2x - m_p1x, h = m_p2y - m_p1y;
    const int type = int(m_sc[4]);
    if (type == 2) {
        m_bx = m_sc[1];
        m_by = m_sc[3];
        m_ax = m_p1x - m_sc[0] * m_bx;
        m_ay = m_p1y - m_sc[2] * m_by;
        return;
    }
    const double uw = m_sc[1] - m_sc[0], uh = m_sc[3] - m_sc[2];
    m_bx = w / uw;
    m_by = h / uh;
    double offX = 0, offY = 0;
    if (type == 1) {
        // Isotropic: one factor, the user area placed by the left and
        // bottom percentages in what is left over.
        const double s = std::min(std::fabs(m_bx), std::fabs(m_by));
        m_bx = std::copysign(s, m_bx);
        m_by = std::copysign(s, m_by);
        offX = std::copysign((std::fabs(w) - s * std::fabs(uw)) * m_sc[5] / 100.0, w);
        offY = std::copysign((std::fabs(h) - s * std::fabs(uh)) * m_sc[6] / 100.0, h);
    }
    m_ax = m_p1x + offX - m_sc[0] * m_bx;
    m_ay = m_p1y + offY - m_sc[2] * m_by;
}

bool Reader::toPlotter(double x, double y, bool relative, double &tx, double &ty)
{
    tx = relative ? m_px + m_bx * x : m_ax + m_bx * x;
    ty = relative ? m_py + m_by * y : m_ay + m_by * y;
    if (inRange(tx) && inRange(ty))
        return true;
    issue(m_cmdStart, Problem::BadNumber);
    m_abandon = true;
    return false;
}

bool Reader::radiusAround(double r, double &radius)
{
    radius = std::fabs(r * m_bx);
    if (inRange(radius) && inRange(m_px + radius) && inRange(m_px - radius) && inRange(m_py + radius)
        && inRange(m_py - radius))
        return true;
    issue(m_cmdStart, Problem::BadNumber);
    m_abandon = true;
    return false;
}

void Reader::moveTo(double tx, double ty, bool down)
{
    line(m_px, m_py, tx, ty, down);
    m_px = tx;
    m_py = ty;
}

void Reader::line(double x0, double y0, double x1, double y1, bool down)
{
    if (m_polygonMode) {
        if (!down) {
            closeSubpolygon(false);
            m_subX = x1;
            m_subY = y1;
            return;
        }
        if (m_polygon.size() >= size_t(MaxPolygonSegments)) {
            if (!m_polygonFull)
                issue(m_cmdStart, Problem::PolygonOverflow);
            m_polygonFull = true;
            return;
        }
        if (!m_subOpen) {
            m_subX = x0;
            m_subY = y0;
            m_subOpen = true;
        }
        m_polygon.push_back({x0, y0, x1, y1});
        return;
    }
    if (down)
        draw(x0, y0, x1, y1);
    else
        m_strokeOpen = false;
}

void Reader::draw(double x0, double y0, double x1, double y1)
{
    if (!m_strokeOpen || x0 != m_lastX || y0 != m_lastY)
        ++m_facts.strokes;
    m_strokeOpen = true;
    m_lastX = x1;
    m_lastY = y1;
    const double dx = x1 - x0, dy = y1 - y0;
    m_length += std::sqrt(dx * dx + dy * dy);

    if (m_rotation) {
        auto rotate = [this](double &x, double &y) {
            const double ox = x, oy = y;
            switch (m_rotation) {
            case 90: x = -oy; y = ox; break;
            case 180: x = -ox; y = -oy; break;
            default: x = oy; y = -ox; break;
            }
        };
        rotate(x0, y0);
        rotate(x1, y1);
    }
    if (!m_facts.drawn) {
        m_minX = m_maxX = x0;
        m_minY = m_maxY = y0;
        m_facts.drawn = true;
    }
    if (x0 < m_minX) m_minX = x0;
    if (x0 > m_maxX) m_maxX = x0;
    if (y0 < m_minY) m_minY = y0;
    if (y0 > m_maxY) m_maxY = y0;
    if (x1 < m_minX) m_minX = x1;
    if (x1 > m_maxX) m_maxX = x1;
    if (y1 < m_minY) m_minY = y1;
    if (y1 > m_maxY) m_maxY = y1;
    if (m_paths)
        m_paths->segment(x0, y0, x1, y1);
    if (m_sink)
        m_sink(QPointF(x0 / UnitsPerMm, y0 / UnitsPerMm), QPointF(x1 / UnitsPerMm, y1 / UnitsPerMm));
}

// A subpolygon closed with the pen down gets its closing edge; one left with
// the pen up stays open, as writers of open paths mean it.
void Reader::closeSubpolygon(bool drawClosure)
{
    if (!m_subOpen)
        return;
    m_subOpen = false;
    if (!drawClosure || m_polygon.empty() || m_polygon.size() >= size_t(MaxPolygonSegments))
        return;
    const Segment &last = m_polygon.back();
    if (last.x1 != m_subX || last.y1 != m_subY)
        m_polygon.push_back({last.x1, last.y1, m_subX, m_subY});
}

void Reader::polygonMode()
{
    double mode = 0;
    const Num got = number(mode);
    if (got == Num::Bad)
        return;
    const int m = got == Num::Ok ? int(std::lround(mode)) : 0;
    if (m == 0) {
        m_polygon.clear();
        m_polygonFull = false;
        m_polygonMode = true;
        m_polygonCommitted = false;
        m_subOpen = false;
        m_subX = m_px;
        m_subY = m_py;
    } else if (m_polygonMode) {
        closeSubpolygon(m_penDown);
        m_subX = m_px;
        m_subY = m_py;
        if (m == 2)
            m_polygonMode = false;
    }
}

// The cutter cuts a polygon's outline once, whether the file edges it,
// fills it or both.
void Reader::commitPolygon()
{
    if (m_polygonCommitted || m_polygonMode)
        return;
    m_polygonCommitted = true;
    m_strokeOpen = false;
    for (const Segment &s : m_polygon)
        draw(s.x0, s.y0, s.x1, s.y1);
    m_strokeOpen = false;
}

void Reader::arcChords(double cx, double cy, double r, double a0, double sweep, bool down)
{
    // Every ChordDegrees at least; on a large radius more, so no chord
    // strays from the arc by more than FlatteningUnits: up to ten a degree,
    // enough for a radius of 65 m, so a short file of huge circles cannot
    // ask for millions of points each.
    double wanted = std::ceil(std::fabs(sweep) / ChordDegrees);
    if (r > KTJob::FlatteningUnits)
        wanted = std::max(wanted, std::ceil(std::fabs(sweep) * Pi / 180.0 / (2 * std::acos(1 - KTJob::FlatteningUnits / r))));
    const int steps = wanted >= 1 ? int(std::min(wanted, std::ceil(std::fabs(sweep) * 10))) : 1;
    // Each chord's end turned from the last one's (a few hundred steps at
    // most: the drift stays far below a unit); the arc's own end as before.
    const double step = sweep * Pi / 180.0 / steps;
    const double c = std::cos(step), s = std::sin(step);
    double ux = std::cos(a0), uy = std::sin(a0);
    double x = cx + r * ux, y = cy + r * uy;
    for (int k = 1; k <= steps; ++k) {
        double nx, ny;
        if (k < steps) {
            const double turned = ux * c - uy * s;
            uy = ux * s + uy * c;
            ux = turned;
            nx = cx + r * ux;
            ny = cy + r * uy;
        } else {
            const double a = a0 + sweep * Pi / 180.0 * k / steps;
            nx = cx + r * std::cos(a);
            ny = cy + r * std::sin(a);
        }
        line(x, y, nx, ny, down);
        x = nx;
        y = ny;
    }
}

void Reader::circle()
{
    double r = 0;
    if (number(r) != Num::Ok)
        return;
    double radius = 0;
    if (!radiusAround(r, radius))
        return;
    if (radius == 0)
        return;
    if (m_polygonMode)
        closeSubpolygon(m_penDown);
    else
        closedShapeBegin();
    arcChords(m_px, m_py, radius, 0, 360, true);
    if (m_polygonMode)
        closeSubpolygon(false);
    m_strokeOpen = false;
}

void Reader::arc(bool relative)
{
    double x = 0, y = 0, sweep = 0;
    if (number(x) != Num::Ok || number(y) != Num::Ok || number(sweep) != Num::Ok)
        return;
    double cx = 0, cy = 0;
    if (!toPlotter(x, y, relative, cx, cy))
        return;
    sweep = qBound(-360.0, sweep, 360.0);
    if (mirrored())
        sweep = -sweep;
    const double r = std::hypot(m_px - cx, m_py - cy);
    if (r == 0 || sweep == 0)
        return;
    const double a0 = std::atan2(m_py - cy, m_px - cx);
    const double a1 = a0 + sweep * Pi / 180.0;
    const double ex = cx + r * std::cos(a1), ey = cy + r * std::sin(a1);
    if (!inRange(cx + r) || !inRange(cx - r) || !inRange(cy + r) || !inRange(cy - r)) {
        issue(m_cmdStart, Problem::BadNumber);
        m_abandon = true;
        return;
    }
    arcChords(cx, cy, r, a0, sweep, m_penDown);
    m_px = ex;
    m_py = ey;
}

// An arc from the pen through one point to another. Three points in a line
// make a line; an end on the start makes the circle whose diameter runs to
// the middle point.
void Reader::arcThrough(bool relative)
{
    double v[4];
    for (double &value : v) {
        if (number(value) != Num::Ok)
            return;
    }
    double ix = 0, iy = 0, ex = 0, ey = 0;
    if (!toPlotter(v[0], v[1], relative, ix, iy) || !toPlotter(v[2], v[3], relative, ex, ey))
        return;
    const double sx = m_px, sy = m_py;
    const double bx = ix - sx, by = iy - sy, dx = ex - sx, dy = ey - sy;
    double cx = 0, cy = 0;
    double sweep = 0;
    if (dx == 0 && dy == 0) {
        cx = sx + bx / 2;
        cy = sy + by / 2;
        sweep = 360;
    } else {
        const double cross = bx * dy - by * dx;
        const double b2 = bx * bx + by * by, d2 = dx * dx + dy * dy;
        // In a line within rounding: the circle would leave plotter
        // coordinates long before it differs from the line.
        if (std::fabs(cross) <= 1e-9 * std::sqrt(b2 * d2)) {
            moveTo(ex, ey, m_penDown);
            return;
        }
        cx = sx + (dy * b2 - by * d2) / (2 * cross);
        cy = sy + (bx * d2 - dx * b2) / (2 * cross);
        const double a0 = std::atan2(sy - cy, sx - cx), a1 = std::atan2(ey - cy, ex - cx);
        // Counter-clockwise when the middle point lies left of start to end.
        double turn = std::fmod(a1 - a0 + 4 * Pi, 2 * Pi);
        if (cross < 0)
            turn -= 2 * Pi;
        sweep = turn * 180.0 / Pi;
    }
    const double r = std::hypot(sx - cx, sy - cy);
    if (r == 0)
        return;
    if (!inRange(cx + r) || !inRange(cx - r) || !inRange(cy + r) || !inRange(cy - r)) {
        moveTo(ex, ey, m_penDown);
        return;
    }
    arcChords(cx, cy, r, std::atan2(sy - cy, sx - cx), sweep, m_penDown);
    m_px = ex;
    m_py = ey;
}

void Reader::edgeRectangle(bool relative)
{
    double x = 0, y = 0;
    if (number(x) != Num::Ok || number(y) != Num::Ok)
        return;
    double tx = 0, ty = 0;
    if (!toPlotter(x, y, relative, tx, ty))
        return;
    closedShapeBegin();
    draw(m_px, m_py, tx, m_py);
    draw(tx, m_py, tx, ty);
    draw(tx, ty, m_px, ty);
    draw(m_px, ty, m_px, m_py);
    m_strokeOpen = false;
}

void Reader::edgeWedge()
{
    double r = 0, start = 0, sweep = 0;
    if (number(r) != Num::Ok || number(start) != Num::Ok || number(sweep) != Num::Ok)
        return;
    double radius = 0;
    if (!radiusAround(r, radius))
        return;
    sweep = qBound(-360.0, sweep, 360.0);
    if (radius == 0 || sweep == 0)
        return;
    // The start angle is the user's: it turns with a mirrored axis, and so
    // does the sweep when exactly one is.
    double a0 = std::fmod(start, 360.0) * Pi / 180.0;
    a0 = std::atan2(m_by < 0 ? -std::sin(a0) : std::sin(a0), m_bx < 0 ? -std::cos(a0) : std::cos(a0));
    if (mirrored())
        sweep = -sweep;
    const double a1 = a0 + sweep * Pi / 180.0;
    closedShapeBegin();
    const bool full = std::fabs(sweep) >= 360.0;
    if (!full)
        draw(m_px, m_py, m_px + radius * std::cos(a0), m_py + radius * std::sin(a0));
    const bool saved = m_polygonMode;
    m_polygonMode = false;
    arcChords(m_px, m_py, radius, a0, sweep, true);
    m_polygonMode = saved;
    if (!full)
        draw(m_px + radius * std::cos(a1), m_py + radius * std::sin(a1), m_px, m_py);
    m_strokeOpen = false;
}

void Reader::bezier(bool relative)
{
    double v[6];
    for (;;) {
        for (int k = 0; k < 6; ++k) {
            if (number(v[k]) != Num::Ok)
                return;
        }
        double p[8] = {m_px, m_py, 0, 0, 0, 0, 0, 0};
        // Relative curves take all three points from the curve's start.
        for (int k = 0; k < 3; ++k) {
            if (!toPlotter(v[2 * k], v[2 * k + 1], relative, p[2 + 2 * k], p[3 + 2 * k]))
                return;
        }
        const double hull = std::hypot(p[2] - p[0], p[3] - p[1]) + std::hypot(p[4] - p[2], p[5] - p[3])
                            + std::hypot(p[6] - p[4], p[7] - p[5]);
        // Pieces of about half a millimetre, within bounds.
        const int steps = int(qBound(16.0, hull / 20.0, 1024.0));
        double x = p[0], y = p[1];
        for (int k = 1; k <= steps; ++k) {
            const double t = double(k) / steps, u = 1 - t;
            const double b0 = u * u * u, b1 = 3 * u * u * t, b2 = 3 * u * t * t, b3 = t * t * t;
            const double nx = b0 * p[0] + b1 * p[2] + b2 * p[4] + b3 * p[6];
            const double ny = b0 * p[1] + b1 * p[3] + b2 * p[5] + b3 * p[7];
            line(x, y, nx, ny, m_penDown);
            x = nx;
            y = ny;
        }
        m_px = p[6];
        m_py = p[7];
    }
}

} // namespace Internal
} // namespace KTHpgl
