#include "job/ktjobreaders.h"
#include "job/ktreadnotes.h"
#include "job/readdxf_p.h"

#include <dl_creationadapter.h>
#include <dl_dxf.h>

#include <cmath>
#include <cstring>
#include <exception>
#include <iostream>
#include <map>
#include <streambuf>

namespace KTJob {

namespace {

using namespace Dxf;

constexpr double Pi = 3.14159265358979323846;

// One entity that cuts, in its own frame: the frame maps it into the
// drawing's x and y.
struct Shape
{
    enum Kind { Poly, Ellipse, Spline, Fit } kind = Poly;
    QTransform frame;
    std::vector<QPointF> points;
    std::vector<double> bulges;   // Poly: per vertex; Spline: knots
    std::vector<double> weights;
    bool closed = false;
    double start = 0, sweep = 0;  // Ellipse: the unit circle's angles
    int degree = 0;
};

struct Insert
{
    std::string block;
    QTransform frame;
    QPointF at, scale;
    double angle = 0;
    int cols = 1, rows = 1;
    QPointF spacing;
};

// An entity of model space or of a block: a shape, a block reference, or
// what is not cut, by the note it gets.
struct Item
{
    enum Kind { Draw, Place, Skip } kind = Draw;
    Shape shape;
    Insert insert;
    QString what;

    Item(Shape s) : shape(std::move(s)) {}
    Item(Insert i) : kind(Place), insert(std::move(i)) {}
    static Item skip(const QString &what)
    {
        Item i{Shape()};
        i.kind = Skip;
        i.what = what;
        return i;
    }
};

struct Block
{
    QPointF base;
    std::vector<Item> items;
};

const QString TextNote = QStringLiteral("text");
const QString BrokenSplineNote = QStringLiteral("broken SPLINE");
const QString MissingBlockNote = QStringLiteral("INSERT of an undefined block");

// The entity's own coordinate frame from its extrusion direction, projected
// on the drawing's x and y: (0, 0, -1), as CAD programs write mirrored
// arcs, turns x around.
QTransform objectFrame(const DL_Extrusion &e)
{
    const double *n = e.getDirection();
    const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (!(len > 1e-12) || !std::isfinite(len))
        return QTransform();
    const double nx = n[0] / len, ny = n[1] / len, nz = n[2] / len;
    double ax, ay, az;
    if (std::fabs(nx) < 1.0 / 64 && std::fabs(ny) < 1.0 / 64) {
        ax = nz; ay = 0; az = -nx;   // world y cross n
    } else {
        ax = -ny; ay = nx; az = 0;   // world z cross n
    }
    const double alen = std::sqrt(ax * ax + ay * ay + az * az);
    ax /= alen; ay /= alen; az /= alen;
    const double bx = ny * az - nz * ay, by = nz * ax - nx * az;
    const double elevation = e.getElevation();
    return QTransform(ax, ay, bx, by, elevation * nx, elevation * ny);
}

double turn(double radians)
{
    return std::fmod(std::fmod(radians, 2 * Pi) + 2 * Pi, 2 * Pi);
}

class Collector : public DL_CreationAdapter
{
public:
    std::vector<Item> model;
    std::map<std::string, Block> blocks;
    qint64 paperSpace = 0;
    int insUnits = 0;
    bool unitsGiven = false;

    void setVariableInt(const std::string &key, int value, int) override
    {
        if (key == "$INSUNITS") {
            insUnits = value;
            unitsGiven = true;
        }
    }

    void addBlock(const DL_BlockData &data) override
    {
        const QByteArray name = QByteArray::fromStdString(data.name).toUpper();
        m_paperBlock = name.startsWith("*PAPER_SPACE");
        Block &b = blocks[data.name];
        b.base = QPointF(data.bpx, data.bpy);
        b.items.clear();
        m_into = &b.items;
    }
    void endBlock() override
    {
        m_into = &model;
        m_paperBlock = false;
    }

    void addLine(const DL_LineData &d) override
    {
        Shape s;
        s.points = {QPointF(d.x1, d.y1), QPointF(d.x2, d.y2)};
        add(std::move(s));
    }
    void addArc(const DL_ArcData &d) override
    {
        const double a0 = d.angle1 * Pi / 180, a1 = d.angle2 * Pi / 180;
        double sweep = turn(a1 - a0);
        if (sweep == 0 && d.angle1 != d.angle2)
            sweep = 2 * Pi;
        addCircular(d.cx, d.cy, d.radius, a0, sweep);
    }
    void addCircle(const DL_CircleData &d) override { addCircular(d.cx, d.cy, d.radius, 0, 2 * Pi); }
    void addEllipse(const DL_EllipseData &d) override
    {
        // Centre and major axis are in drawing coordinates; the minor axis
        // turns from the major one about the extrusion direction.
        const double *n = getExtrusion()->getDirection();
        const double mx = d.mx, my = d.my, mz = d.mz;
        const double minorX = (n[1] * mz - n[2] * my) * d.ratio, minorY = (n[2] * mx - n[0] * mz) * d.ratio;
        Shape s;
        s.kind = Shape::Ellipse;
        s.frame = QTransform(mx, my, minorX, minorY, d.cx, d.cy);
        s.start = d.angle1;
        s.sweep = turn(d.angle2 - d.angle1);
        if (s.sweep == 0)
            s.sweep = 2 * Pi;
        add(std::move(s));
    }

    void addPolyline(const DL_PolylineData &d) override
    {
        m_pending = Shape();
        m_pendingKind = PendingPoly;
        m_pending.closed = d.flags & 1;
        if (d.flags & (16 | 64))
            m_pendingKind = PendingMesh;
        else if (!(d.flags & 8))
            m_pending.frame = objectFrame(*getExtrusion());
        m_pendingPaper = getAttributes().isInPaperSpace();
    }
    void addVertex(const DL_VertexData &d) override
    {
        if (m_pendingKind != PendingPoly)
            return;
        m_pending.points.emplace_back(d.x, d.y);
        m_pending.bulges.push_back(d.bulge);
    }

    void addSpline(const DL_SplineData &d) override
    {
        m_pending = Shape();
        m_pendingKind = PendingSpline;
        m_pending.kind = Shape::Spline;
        m_pending.degree = int(std::min(d.degree, 64u));
        m_pending.closed = d.flags & 1;
        m_fit.clear();
        m_pendingPaper = getAttributes().isInPaperSpace();
    }
    void addControlPoint(const DL_ControlPointData &d) override
    {
        m_pending.points.emplace_back(d.x, d.y);
        m_pending.weights.push_back(d.w);
    }
    void addFitPoint(const DL_FitPointData &d) override { m_fit.emplace_back(d.x, d.y); }
    void addKnot(const DL_KnotData &d) override { m_pending.bulges.push_back(d.k); }

    explicit Collector(const std::vector<bool> &hatchLoops) : m_hatchLoops(hatchLoops) {}

    void addHatch(const DL_HatchData &) override
    {
        const size_t index = m_hatchIndex++;
        m_pendingKind = index < m_hatchLoops.size() && m_hatchLoops[index] ? PendingHatch : PendingNone;
        m_hatchFrame = objectFrame(*getExtrusion());
        m_hatch.clear();
        m_pendingPaper = getAttributes().isInPaperSpace();
    }
    void addHatchEdge(const DL_HatchEdgeData &e) override
    {
        if (m_pendingKind != PendingHatch)
            return;
        Shape s;
        s.frame = m_hatchFrame;
        switch (e.type) {
        case 0:   // a polyline boundary, always closed
            s.closed = true;
            for (const std::vector<double> &v : e.vertices) {
                if (v.size() >= 2) {
                    s.points.emplace_back(v[0], v[1]);
                    s.bulges.push_back(v.size() >= 3 ? v[2] : 0.0);
                }
            }
            break;
        case 1:
            s.points = {QPointF(e.x1, e.y1), QPointF(e.x2, e.y2)};
            break;
        case 2:
        case 3: {
            // Clockwise edges keep their angles as measured the other way.
            // The library leaves the direction unset on an edge that never
            // gives it: its byte is read as a byte, not trusted as a bool.
            s.kind = Shape::Ellipse;
            unsigned char direction = 0;
            std::memcpy(&direction, &e.ccw, 1);
            const bool ccw = direction != 0;
            const double a0 = ccw ? e.angle1 : -e.angle1, a1 = ccw ? e.angle2 : -e.angle2;
            double sweep = ccw ? turn(a1 - a0) : -turn(a0 - a1);
            sweep = sweep == 0 ? (ccw ? 2 * Pi : -2 * Pi) : sweep;
            // A clockwise edge is followed from its far end, so that a loop
            // runs on as one cut.
            s.start = ccw ? a0 : a0 + sweep;
            s.sweep = ccw ? sweep : -sweep;
            if (e.type == 2) {
                s.frame = QTransform(e.radius, 0, 0, e.radius, e.cx, e.cy) * m_hatchFrame;
            } else {
                s.frame = QTransform(e.mx, e.my, -e.my * e.ratio, e.mx * e.ratio, e.cx, e.cy) * m_hatchFrame;
            }
            break;
        }
        case 4:
            s.kind = Shape::Spline;
            s.degree = int(std::min(e.degree, 64u));
            s.bulges = e.knots;
            for (const std::vector<double> &v : e.controlPoints) {
                if (v.size() >= 2)
                    s.points.emplace_back(v[0], v[1]);
            }
            if (e.weights.size() == s.points.size())
                s.weights = e.weights;
            break;
        default:
            return;
        }
        m_hatch.push_back(std::move(s));
    }

    void endEntity() override
    {
        const Pending kind = m_pendingKind;
        m_pendingKind = PendingNone;
        const bool paper = m_pendingPaper;
        switch (kind) {
        case PendingPoly:
            if (!m_pending.points.empty())
                add(std::move(m_pending), paper);
            break;
        case PendingMesh:
            add(Item::skip(QStringLiteral("POLYLINE mesh")), paper);
            break;
        case PendingSpline:
            if (m_pending.points.empty() && m_fit.size() >= 2) {
                m_pending.kind = Shape::Fit;
                m_pending.points = m_fit;
            }
            if (m_pending.points.empty())
                add(Item::skip(BrokenSplineNote), paper);
            else
                add(std::move(m_pending), paper);
            break;
        case PendingHatch:
            for (Shape &s : m_hatch)
                add(std::move(s), paper);
            m_hatch.clear();
            break;
        case PendingNone:
            break;
        }
    }

    void addInsert(const DL_InsertData &d) override
    {
        Insert i;
        i.block = d.name;
        i.frame = objectFrame(*getExtrusion());
        i.at = QPointF(d.ipx, d.ipy);
        i.scale = QPointF(d.sx, d.sy);
        i.angle = d.angle;
        i.cols = std::max(1, d.cols);
        i.rows = std::max(1, d.rows);
        i.spacing = QPointF(d.colSp, d.rowSp);
        add(std::move(i));
    }

    void addTrace(const DL_TraceData &d) override { addQuad(d, true); }
    void addSolid(const DL_SolidData &d) override { addQuad(d, true); }
    void add3dFace(const DL_3dFaceData &d) override { addQuad(d, false); }

    void addText(const DL_TextData &) override { add(Item::skip(TextNote)); }
    void addMText(const DL_MTextData &) override { add(Item::skip(TextNote)); }
    void addAttribute(const DL_AttributeData &) override { add(Item::skip(TextNote)); }
    void addArcAlignedText(const DL_ArcAlignedTextData &) override { add(Item::skip(TextNote)); }
    void addDimAlign(const DL_DimensionData &, const DL_DimAlignedData &) override { addDimension(); }
    void addDimLinear(const DL_DimensionData &, const DL_DimLinearData &) override { addDimension(); }
    void addDimRadial(const DL_DimensionData &, const DL_DimRadialData &) override { addDimension(); }
    void addDimDiametric(const DL_DimensionData &, const DL_DimDiametricData &) override { addDimension(); }
    void addDimAngular(const DL_DimensionData &, const DL_DimAngular2LData &) override { addDimension(); }
    void addDimAngular3P(const DL_DimensionData &, const DL_DimAngular3PData &) override { addDimension(); }
    void addDimOrdinate(const DL_DimensionData &, const DL_DimOrdinateData &) override { addDimension(); }
    void addLeader(const DL_LeaderData &) override { add(Item::skip(QStringLiteral("LEADER"))); }
    void addImage(const DL_ImageData &) override { add(Item::skip(QStringLiteral("IMAGE"))); }
    void addXLine(const DL_XLineData &) override { add(Item::skip(QStringLiteral("XLINE"))); }
    void addRay(const DL_RayData &) override { add(Item::skip(QStringLiteral("RAY"))); }

private:
    enum Pending { PendingNone, PendingPoly, PendingMesh, PendingSpline, PendingHatch };

    void add(Item item) { add(std::move(item), getAttributes().isInPaperSpace()); }
    void add(Item item, bool paper)
    {
        if (paper || m_paperBlock) {
            ++paperSpace;
            return;
        }
        m_into->push_back(std::move(item));
    }
    void addDimension() { add(Item::skip(QStringLiteral("DIMENSION"))); }
    void addCircular(double cx, double cy, double radius, double start, double sweep)
    {
        if (!(radius > 0) || sweep == 0)
            return;
        Shape s;
        s.kind = Shape::Ellipse;
        s.frame = QTransform(radius, 0, 0, radius, cx, cy) * objectFrame(*getExtrusion());
        s.start = start;
        s.sweep = sweep;
        add(std::move(s));
    }
    void addQuad(const DL_TraceData &d, bool crossed)
    {
        Shape s;
        s.closed = true;
        // Solids and traces give their third and fourth corners crossed.
        const int order[4] = {0, 1, crossed ? 3 : 2, crossed ? 2 : 3};
        for (int k : order)
            s.points.emplace_back(d.x[k], d.y[k]);
        if (crossed)
            s.frame = objectFrame(*getExtrusion());
        add(std::move(s));
    }

    const std::vector<bool> &m_hatchLoops;
    size_t m_hatchIndex = 0;
    std::vector<Item> *m_into = &model;
    bool m_paperBlock = false;
    Pending m_pendingKind = PendingNone;
    bool m_pendingPaper = false;
    Shape m_pending;
    std::vector<QPointF> m_fit;
    QTransform m_hatchFrame;
    std::vector<Shape> m_hatch;
};

// Model space drawn through the pen, block references expanded in place.
class Drawer
{
public:
    Drawer(const std::map<std::string, Block> &blocks, Paths *paths) : m_blocks(blocks), m_pen(paths, QTransform()) {}

    QString error;
    QMap<QString, qint64> skipped;

    void draw(const std::vector<Item> &items, const QTransform &toUnits, int depth)
    {
        for (const Item &item : items) {
            if (!error.isEmpty())
                return;
            if (++m_expanded > MaxExpandedEntities) {
                error = QStringLiteral("the drawing's blocks expand to more than %1 entities; simplify the drawing")
                            .arg(MaxExpandedEntities);
                return;
            }
            if (item.kind == Item::Draw)
                shape(item.shape, toUnits);
            else if (item.kind == Item::Place)
                insert(item.insert, toUnits, depth);
            else
                ++skipped[item.what];
            if (!m_pen.ok()) {
                error = pathsFailure(m_pen.paths());
            }
        }
    }

private:
    void shape(const Shape &s, const QTransform &toUnits)
    {
        m_pen.setTransform(s.frame * toUnits);
        switch (s.kind) {
        case Shape::Poly:
            m_pen.polyline(s.points, s.bulges, s.closed);
            break;
        case Shape::Ellipse:
            m_pen.ellipse(QTransform(), s.start, s.sweep);
            break;
        case Shape::Spline:
            if (!m_pen.spline(s.degree, s.bulges, s.points, s.weights))
                ++skipped[BrokenSplineNote];
            break;
        case Shape::Fit:
            m_pen.through(s.points, s.closed);
            break;
        }
    }

    void insert(const Insert &i, const QTransform &toUnits, int depth)
    {
        const auto block = m_blocks.find(i.block);
        if (block == m_blocks.end()) {
            ++skipped[MissingBlockNote];
            return;
        }
        if (depth >= MaxBlockDepth) {
            error = QStringLiteral("blocks are nested more than %1 deep or insert themselves; the drawing cannot be read")
                        .arg(MaxBlockDepth);
            return;
        }
        for (int r = 0; r < i.rows && error.isEmpty(); ++r) {
            for (int c = 0; c < i.cols && error.isEmpty(); ++c) {
                QTransform place;
                place.translate(i.at.x(), i.at.y());
                place.rotate(i.angle);
                place.translate(c * i.spacing.x(), r * i.spacing.y());
                place.scale(i.scale.x(), i.scale.y());
                place.translate(-block->second.base.x(), -block->second.base.y());
                draw(block->second.items, place * i.frame * toUnits, depth + 1);
                if (++m_expanded > MaxExpandedEntities)
                    return;
            }
        }
    }

    const std::map<std::string, Block> &m_blocks;
    Pen m_pen;
    qint64 m_expanded = 0;
};

// Millimetres in one drawing unit, by the header's unit code; 0 when the
// code names no length.
double millimetres(int code)
{
    static const double perUnit[] = {
        0, 25.4, 304.8, 1609344, 1, 10, 1000, 1e6, 25.4e-6, 0.0254, 914.4, 1e-7, 1e-6, 1e-3, 100, 1e4, 1e5,
        1e12, 1.495978707e14, 9.4607304725808e18, 3.0856775814913673e19, 1200.0 / 3937 * 1000,
    };
    if (code < 0 || code >= int(sizeof perUnit / sizeof perUnit[0]))
        return 0;
    return perUnit[code];
}

// The library's reading ends at the end of the bytes, read where they lie.
class ByteStream : public std::streambuf
{
public:
    explicit ByteStream(const QByteArray &bytes)
    {
        char *begin = const_cast<char *>(bytes.constData());
        setg(begin, begin, begin + bytes.size());
    }
};

// The library writes to the standard streams on some malformed input;
// nothing it says reaches the user.
class Silence
{
public:
    Silence() : m_out(std::cout.rdbuf(&m_null)), m_err(std::cerr.rdbuf(&m_null)) {}
    ~Silence()
    {
        std::cout.rdbuf(m_out);
        std::cerr.rdbuf(m_err);
    }

private:
    struct Null : std::streambuf
    {
        int overflow(int c) override { return c == EOF ? 0 : c; }
    } m_null;
    std::streambuf *m_out, *m_err;
};

} // namespace

ReadResult readDxf(const QByteArray &bytes, Paths *paths)
{
    ReadResult r;
    const Scan scan = Dxf::scan(bytes);
    if (!scan.error.isEmpty()) {
        r.error = scan.error;
        return r;
    }

    Collector collector(scan.hatchLoops);
    try {
        ByteStream buffer(bytes);
        std::istream stream(&buffer);
        DL_Dxf dxf;
        Silence silence;
        dxf.in(stream, &collector);
    } catch (const std::exception &) {
        r.error = QStringLiteral("broken DXF file: it could not be read; save the drawing again from the CAD program");
        return r;
    }

    double mm = millimetres(collector.insUnits);
    if (!collector.unitsGiven || collector.insUnits == 0) {
        r.notes << QStringLiteral("the drawing does not say its units; read as millimetres");
        mm = 1;
    } else if (mm == 0) {
        r.notes << QStringLiteral("the drawing's units (code %1) are not lengths; read as millimetres").arg(collector.insUnits);
        mm = 1;
    }

    Drawer drawer(collector.blocks, paths);
    drawer.draw(collector.model, QTransform::fromScale(mm * UnitsPerMm, mm * UnitsPerMm), 0);
    if (!drawer.error.isEmpty()) {
        r.error = drawer.error;
        return r;
    }

    QMap<QString, qint64> skipped = drawer.skipped;
    for (auto it = scan.unknown.cbegin(); it != scan.unknown.cend(); ++it)
        skipped[QString::fromLatin1(it.key())] += it.value();
    auto counted = [](qint64 n, const QString &one, const QString &many) {
        return n == 1 ? QStringLiteral("1 %1 is").arg(one) : QStringLiteral("%1 %2 are").arg(n).arg(many);
    };
    if (const qint64 texts = skipped.take(TextNote))
        r.notes << counted(texts, QStringLiteral("text"), QStringLiteral("texts"))
                       + QStringLiteral(" not cut; convert text to outlines (explode) in the CAD program");
    for (auto it = skipped.cbegin(); it != skipped.cend(); ++it)
        r.notes << counted(it.value(), it.key() + QStringLiteral(" entity"), it.key() + QStringLiteral(" entities"))
                       + QStringLiteral(" not cut");
    if (collector.paperSpace > 0)
        r.notes << counted(collector.paperSpace, QStringLiteral("paper space entity"),
                           QStringLiteral("paper space entities"))
                       + QStringLiteral(" not cut; only model space is");
    if (paths->isEmpty())
        r.notes << QStringLiteral("model space has nothing to cut");
    r.ok = true;
    return r;
}

} // namespace KTJob
