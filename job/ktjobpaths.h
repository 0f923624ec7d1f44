#ifndef KTJOBPATHS_H
#define KTJOBPATHS_H

#include <QByteArray>
#include <QPoint>
#include <QPointF>
#include <QRect>
#include <QString>
#include <QTransform>

#include <vector>

class QIODevice;
class QPainterPath;

// The one model every job file becomes: pen-up moves and cut polylines in
// machine units, with the tool commands (pen, speed, force) where the file
// gave them. Figures, preview and the job sent are all made from it.
namespace KTJob {

constexpr double UnitsPerMm = 40.0;
// Curves become chords no farther than this from the curve: one machine
// unit, 0.025 mm. Rounding the chords' ends to whole units adds at most half
// a unit on each axis, so a job stays within 0.05 mm of its drawing.
constexpr double FlatteningUnits = 1.0;
// Machine coordinates are 32-bit; a point beyond this is a broken file.
constexpr double MaxUnits = 1073741823.0;
// Points held before further geometry is refused (512 MiB of points).
constexpr quint32 MaxPoints = 1u << 26;

struct Figures
{
    bool drawn = false;
    QRect bounds;          // cut extent in machine units, y up (inclusive corners)
    double lengthUnits = 0;
    qint64 strokes = 0;    // cut polylines

    double widthMm() const { return drawn ? (qint64(bounds.right()) - bounds.left()) / UnitsPerMm : 0; }
    double heightMm() const { return drawn ? (qint64(bounds.bottom()) - bounds.top()) / UnitsPerMm : 0; }
    double lengthMm() const { return lengthUnits / UnitsPerMm; }
};

class Paths
{
public:
    // A pen-up move to points[first], then cuts through the next count - 1.
    struct Run
    {
        quint32 first = 0;
        quint32 count = 0;
    };
    // A tool command (e.g. "SP2", "VS10", "FS3"), sent before run `beforeRun`.
    struct Tool
    {
        quint32 beforeRun = 0;
        QByteArray command;
    };

    // Units as doubles, y up. A segment that starts where the last one ended
    // continues its polyline; any other starts a new one. False (and nothing
    // added) when a point lies beyond machine coordinates or the model is full.
    bool segment(double x0, double y0, double x1, double y1);
    // Every subpath of the path as a polyline, curves flattened, mapped by
    // toUnits into machine units. Closed subpaths end where they began.
    bool addPath(const QPainterPath &path, const QTransform &toUnits);
    // Only digits, letters, '.', ',' and '-' pass: nothing a file holds can
    // reach the job's syntax through a tool command.
    bool addTool(const QByteArray &command);

    // Room for about this many points, so a large file's points are not
    // copied as they grow.
    void reserve(qint64 points);
    // Points this model holds before it is full: MaxPoints unless lowered
    // (a fuzz target reaches the full model without filling 512 MiB).
    void setMaxPoints(quint32 points) { m_maxPoints = qBound<quint32>(2, points, MaxPoints); }
    quint32 maxPoints() const { return m_maxPoints; }

    // Placement: every point mapped and rounded to whole units.
    bool map(const QTransform &transform);
    void clear();

    const std::vector<QPoint> &points() const { return m_points; }
    const std::vector<Run> &runs() const { return m_runs; }
    const std::vector<Tool> &tools() const { return m_tools; }
    bool full() const { return m_full; }
    bool isEmpty() const { return m_runs.empty(); }
    Figures figures() const;

private:
    friend class PathBuilder;
    bool point(double x, double y, QPoint *out);
    bool lineUnits(const QPointF &from, const QPointF &to);
    void start(const QPoint &p);

    std::vector<QPoint> m_points;
    std::vector<Run> m_runs;
    std::vector<Tool> m_tools;
    bool m_open = false;   // the last run may be continued
    double m_lastX = 0, m_lastY = 0;   // where the last segment ended, as given
    bool m_full = false;
    quint32 m_maxPoints = MaxPoints;
};

// A path built straight into the model, one call at a time, with exactly
// the elements a QPainterPath given the same calls would hold (repeated
// points dropped, a subpath closed back to its start, a line after a close
// starting afresh), so a reader that needs no QPainterPath cuts the same.
// Points are in the path's own units, mapped by toUnits.
class PathBuilder
{
public:
    PathBuilder(Paths *paths, const QTransform &toUnits);
    ~PathBuilder();

    void moveTo(const QPointF &p);
    void lineTo(const QPointF &p);
    void cubicTo(const QPointF &c1, const QPointF &c2, const QPointF &end);
    void quadTo(const QPointF &c, const QPointF &end);
    void closeSubpath();
    // False once the model refused a point (beyond coordinates, or full).
    bool ok() const { return m_ok; }

private:
    friend class Paths;
    // The elements themselves, as a QPainterPath holds them.
    void move(const QPointF &p);
    void line(const QPointF &p);
    void curve(const QPointF &c1, const QPointF &c2, const QPointF &end);
    QPointF map(double x, double y) const;
    void ensure();
    void maybeMove();

    Paths *m_paths;
    QTransform m_toUnits;
    bool m_affine;
    double m_m11, m_m12, m_m21, m_m22, m_dx, m_dy;
    QPointF m_unitsLast;    // where the last element ended, machine units
    bool m_ok = true;

    // What QPainterPath would hold: its last element, where its subpath
    // began, whether a close asks the next element for a move first.
    int m_elements = 0;     // 0, 1 or more
    QPointF m_last;
    bool m_lastIsMove = false;
    QPointF m_start;
    bool m_requireMove = false;
};

// Renderers fill a shape, then stroke the same shape: the same elements
// (the fill rule aside, which a stroke does not use) are cut once.
bool sameOutline(const QPainterPath &a, const QPainterPath &b);

// The model as the job the machine takes: IN; then absolute PU/PD in
// machine units, tool commands in place.
QByteArray writeHpgl(const Paths &paths);
// The same job written into a device as it is made, so a job larger than
// its file is never held whole: the bytes written, or -1 when the device
// took less than it was given.
qint64 writeHpgl(const Paths &paths, QIODevice *device);
// All of the bytes into the device: a file short of room takes part of a
// write without a word, and says why only when asked for the rest.
bool writeAll(QIODevice *device, const char *data, qint64 size);
// How many bytes writeHpgl() gives, without writing them.
qint64 hpglSize(const Paths &paths);

} // namespace KTJob

#endif // KTJOBPATHS_H
