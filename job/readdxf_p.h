#ifndef READDXF_P_H
#define READDXF_P_H

#include "job/ktjobpaths.h"

#include <QByteArray>
#include <QMap>
#include <QPointF>
#include <QString>
#include <QTransform>

#include <array>
#include <vector>

// Internals of the DXF reader: the check the bytes pass before the DXF
// library sees them, and the curves of a drawing flattened into the path
// model in machine units.
namespace KTJob {
namespace Dxf {

// Larger files are refused before anything is read.
constexpr qint64 MaxBytes = qint64(256) << 20;
// A longer line would stall the library's line reader.
constexpr int MaxLineLength = 1000;
// Vertices, control points or knots one entity may declare.
constexpr int MaxEntityPoints = 1 << 22;
// Block references inside block references, and entities drawn in all
// through blocks: a file that inserts its blocks into each other cannot
// make the reader do unbounded work.
constexpr int MaxBlockDepth = 16;
constexpr qint64 MaxExpandedEntities = qint64(1) << 22;

struct Scan
{
    QString error;                    // empty when the library may read the bytes
    QMap<QByteArray, qint64> unknown; // drawing entities of types not read, by type
    // For each hatch the library will hand on, in order: whether it has
    // boundary loops of its own. The library hands a hatch without any the
    // loops of the hatch before.
    std::vector<bool> hatchLoops;
};

// Refuses what is not text DXF and what the library would mishandle:
// overlong lines, numbers that are not numbers, counts that do not match
// what follows them.
Scan scan(const QByteArray &bytes);

// Every piece goes through the pen: drawing coordinates through the
// transform into machine units, flattened within FlatteningUnits.
class Pen
{
public:
    Pen(Paths *paths, const QTransform &toUnits) : m_paths(paths), m_toUnits(toUnits) {}

    // The pen lifts after each shape; a next shape that starts where this
    // one ended continues its cut.
    void polyline(const std::vector<QPointF> &points, const std::vector<double> &bulges, bool closed);
    // Circular arc: angles in radians, sweep signed (positive counterclockwise).
    void arc(const QPointF &center, double radius, double start, double sweep);
    // Unit circle arc placed by an affine map: ellipses and arcs of
    // ellipses, in the entity's own frame.
    void ellipse(const QTransform &unitCircle, double start, double sweep);
    // Degree, knots, control points and weights as the file gives them;
    // false when they do not make a spline.
    bool spline(int degree, const std::vector<double> &knots, const std::vector<QPointF> &points,
                const std::vector<double> &weights);
    // A curve through the points (used when a spline has fit points only).
    void through(const std::vector<QPointF> &points, bool closed);

    QTransform transform() const { return m_toUnits; }
    void setTransform(const QTransform &toUnits) { m_toUnits = toUnits; }
    bool ok() const { return m_ok; }
    const Paths &paths() const { return *m_paths; }

private:
    void bezier(std::vector<std::array<double, 3>> &points, int depth);
    void to(const QPointF &units);
    void moveTo(const QPointF &units);

    Paths *m_paths;
    QTransform m_toUnits;
    QPointF m_last;
    bool m_ok = true;
};

} // namespace Dxf
} // namespace KTJob

#endif // READDXF_P_H
