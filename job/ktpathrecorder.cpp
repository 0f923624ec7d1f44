#include "job/ktpathrecorder.h"

#include <QPaintEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <climits>
#include <vector>

using KTJob::Paths;
using KTJob::sameOutline;

class KTPathRecorderEngine : public QPaintEngine
{
public:
    explicit KTPathRecorderEngine(Paths *paths)
        : QPaintEngine(AllFeatures) // nothing emulated: a stroke stays its own path
        , m_paths(paths)
    {
    }

    bool begin(QPaintDevice *) override { return true; }
    bool end() override
    {
        flushClipped();
        return true;
    }
    Type type() const override { return User; }

    void updateState(const QPaintEngineState &state) override
    {
        if (state.state() & DirtyTransform)
            m_transform = state.transform() * m_device;
        // An SVG "stroke: none" is a pen without a brush.
        if (state.state() & DirtyPen)
            m_pen = state.pen().style() != Qt::NoPen && state.pen().brush().style() != Qt::NoBrush;
        if (state.state() & DirtyBrush) {
            const Qt::BrushStyle style = state.brush().style();
            m_brush = style != Qt::NoBrush;
            m_gradient = style == Qt::LinearGradientPattern || style == Qt::RadialGradientPattern
                || style == Qt::ConicalGradientPattern;
        }
        if (state.state() & (DirtyClipPath | DirtyClipRegion | DirtyClipEnabled)) {
            flushClipped();
            if (state.state() & DirtyClipEnabled)
                m_clipEnabled = state.isClipEnabled();
            if (state.state() & DirtyClipPath)
                setClip(state.clipOperation(), m_transform.map(state.clipPath()));
            if (state.state() & DirtyClipRegion) {
                QPainterPath region;
                region.addRegion(state.clipRegion());
                setClip(state.clipOperation(), m_transform.map(region));
            }
        }
    }

    void drawPath(const QPainterPath &path) override { draw(path, m_brush, m_pen); }

    void drawPolygon(const QPointF *points, int count, PolygonDrawMode mode) override
    {
        QPainterPath path;
        path.addPolygon(QPolygonF(QVector<QPointF>(points, points + count)));
        if (mode != PolylineMode)
            path.closeSubpath();
        draw(path, m_brush && mode != PolylineMode, m_pen);
    }

    void drawPolygon(const QPoint *points, int count, PolygonDrawMode mode) override
    {
        QVector<QPointF> f(count);
        for (int i = 0; i < count; ++i)
            f[i] = points[i];
        drawPolygon(f.constData(), count, mode);
    }

    void drawLines(const QLineF *lines, int count) override
    {
        QPainterPath path;
        for (int i = 0; i < count; ++i) {
            path.moveTo(lines[i].p1());
            path.lineTo(lines[i].p2());
        }
        draw(path, false, m_pen);
    }

    void drawLines(const QLine *lines, int count) override
    {
        QVector<QLineF> f(count);
        for (int i = 0; i < count; ++i)
            f[i] = lines[i];
        drawLines(f.constData(), count);
    }

    void drawRects(const QRectF *rects, int count) override
    {
        QPainterPath path;
        for (int i = 0; i < count; ++i)
            path.addRect(rects[i]);
        drawPath(path);
    }

    void drawRects(const QRect *rects, int count) override
    {
        QPainterPath path;
        for (int i = 0; i < count; ++i)
            path.addRect(QRectF(rects[i]));
        drawPath(path);
    }

    void drawEllipse(const QRectF &r) override
    {
        QPainterPath path;
        path.addEllipse(r);
        drawPath(path);
    }

    void drawEllipse(const QRect &r) override { drawEllipse(QRectF(r)); }

    // A point has no outline to cut.
    void drawPoints(const QPointF *, int) override {}
    void drawPoints(const QPoint *, int) override {}

    void drawPixmap(const QRectF &, const QPixmap &, const QRectF &) override { image(); }
    void drawTiledPixmap(const QRectF &, const QPixmap &, const QPointF &) override { image(); }
    void drawImage(const QRectF &, const QImage &, const QRectF &, Qt::ImageConversionFlags) override { image(); }

    bool m_failed = false;
    int m_images = 0;
    int m_backgrounds = 0;
    QRectF m_page;
    QPainterPath m_background;   // the page's fill just left out, machine units
    QTransform m_device;

private:
    void image()
    {
        if (m_images < INT_MAX)
            ++m_images;
    }

    // The clip in machine units, intersected as the painter's is.
    void setClip(Qt::ClipOperation operation, const QPainterPath &clip)
    {
        if (operation == Qt::NoClip) {
            m_clipped = false;
            m_clip = QPainterPath();
        } else if (operation == Qt::ReplaceClip || !m_clipped) {
            m_clipped = true;
            m_clip = clip;
        } else {
            const QRectF was = m_clip.boundingRect(), now = clip.boundingRect();
            if (was.contains(now))
                m_clip = clip;
            else if (!now.contains(was))
                m_clip = m_clip.intersected(clip);
        }
    }

    // A PDF paints a shading (a gradient) by flooding the clip, its
    // shape, with one gradient fill as large as the clip's box or with
    // many small plain ones. The fills under one clip wait until it
    // changes: when one of them floods the clip, the clip's outline is cut
    // in their place; otherwise each fill is cut as its own outline. A
    // plain fill flooding a rectangular clip is a page's or a plot's
    // background, not a shading: the shapes on it stay.
    void flushClipped()
    {
        if (m_flooded) {
            if (!m_failed && !m_paths->addPath(m_clip, QTransform()))
                m_failed = true;
            m_floodCut = m_clip;
        } else {
            for (const Pending &fill : m_pending) {
                if (!m_failed && !m_paths->addPath(fill.path, fill.transform))
                    m_failed = true;
            }
        }
        m_pending.clear();
        m_flooded = false;
    }

    bool clippedFill(const QPainterPath &path)
    {
        if (!m_clipped || !m_clipEnabled)
            return false;
        const QRectF box = m_transform.mapRect(path.boundingRect());
        if (!m_flooded && box.adjusted(-1, -1, 1, 1).contains(m_clip.boundingRect())
            && (m_gradient || !isRectangle(m_clip))) {
            m_flooded = true;
            m_pending.clear();
        }
        if (m_flooded)
            return true;
        if (m_pending.size() >= MaxPending)
            return false;
        m_pending.push_back(Pending{path, m_transform});
        return true;
    }

    static bool isRectangle(const QPainterPath &path)
    {
        if (path.elementCount() > 6)
            return false;
        const QRectF box = path.boundingRect();
        for (int i = 0; i < path.elementCount(); ++i) {
            const QPainterPath::Element e = path.elementAt(i);
            const bool onX = qAbs(e.x - box.left()) < 0.5 || qAbs(e.x - box.right()) < 0.5;
            const bool onY = qAbs(e.y - box.top()) < 0.5 || qAbs(e.y - box.bottom()) < 0.5;
            if (e.isCurveTo() || !onX || !onY)
                return false;
        }
        return true;
    }

    // A rectangle reaching the page's edges (within 0.05 mm) or beyond.
    bool coversPage(const QPainterPath &path) const
    {
        if (m_page.isNull())
            return false;
        const QPainterPath mapped = m_transform.map(path);
        return isRectangle(mapped) && mapped.boundingRect().adjusted(-2, -2, 2, 2).contains(m_page);
    }

    // SVG and PDF renderers fill a shape, then stroke the same shape: the
    // stroke that follows its own fill is not cut twice.
    void draw(const QPainterPath &path, bool filled, bool stroked)
    {
        if (m_failed || (!filled && !stroked))
            return;
        if (filled && !stroked && coversPage(path)) {
            if (m_backgrounds < INT_MAX)
                ++m_backgrounds;
            m_hasFill = false;   // a border stroked next is cut
            m_floodCut = QPainterPath();
            m_background = m_transform.map(path);
            return;
        }
        // Filled, then stroked: the page's edge is cut after all.
        if (!m_background.isEmpty() && stroked && sameOutline(m_transform.map(path), m_background))
            --m_backgrounds;
        m_background = QPainterPath();
        // The shape a shading flooded is stroked next as a path of its own.
        const bool strokeOfFill = stroked && !filled
            && ((m_hasFill && m_fillTransform == m_transform && sameOutline(path, m_fill))
                || (!m_floodCut.isEmpty() && sameOutline(m_transform.map(path), m_floodCut)));
        m_floodCut = QPainterPath();
        m_hasFill = filled && !stroked;
        if (m_hasFill) {
            m_fill = path;
            m_fillTransform = m_transform;
            if (clippedFill(path))
                return;
        }
        if (!strokeOfFill && !m_paths->addPath(path, m_transform))
            m_failed = true;
    }

    Paths *m_paths;
    QTransform m_transform;
    bool m_pen = true;
    bool m_brush = false;
    bool m_gradient = false;
    QPainterPath m_fill;   // the last shape filled and not stroked
    QTransform m_fillTransform;
    bool m_hasFill = false;

    struct Pending
    {
        QPainterPath path;
        QTransform transform;
    };
    static constexpr size_t MaxPending = 4096;
    QPainterPath m_clip;   // machine units
    bool m_clipped = false;
    bool m_clipEnabled = true;
    bool m_flooded = false;
    QPainterPath m_floodCut; // the clip just cut for a flood
    std::vector<Pending> m_pending;
};

namespace KTJob {

PathRecorder::PathRecorder(Paths *paths)
    : m_engine(new KTPathRecorderEngine(paths))
{
}

PathRecorder::~PathRecorder() = default;

QPaintEngine *PathRecorder::paintEngine() const
{
    return m_engine.data();
}

bool PathRecorder::ok() const
{
    return !m_engine->m_failed;
}

void PathRecorder::setDeviceTransform(const QTransform &toUnits)
{
    m_engine->m_device = toUnits;
}

void PathRecorder::setDpi(int dpiX, int dpiY)
{
    m_dpiX = dpiX > 0 ? dpiX : 72;
    m_dpiY = dpiY > 0 ? dpiY : 72;
}

void PathRecorder::setPage(const QRectF &units)
{
    m_engine->m_page = units;
}

int PathRecorder::backgrounds() const
{
    return m_engine->m_backgrounds;
}

int PathRecorder::images() const
{
    return m_engine->m_images;
}

int PathRecorder::metric(PaintDeviceMetric metric) const
{
    // 72 a logical inch unless set, so a font's point size is its size in
    // the painter's units, as SVG means it. The page is as large as
    // coordinates go: nothing is clipped to it.
    switch (metric) {
    case PdmWidth:
    case PdmHeight:
        return INT_MAX / 4;
    case PdmWidthMM:
    case PdmHeightMM:
        return int(INT_MAX / 4 / double(metric == PdmWidthMM ? m_dpiX : m_dpiY) * 25.4);
    case PdmNumColors:
        return INT_MAX;
    case PdmDepth:
        return 32;
    case PdmDpiX:
    case PdmPhysicalDpiX:
        return m_dpiX;
    case PdmDpiY:
    case PdmPhysicalDpiY:
        return m_dpiY;
    case PdmDevicePixelRatio:
        return 1;
    case PdmDevicePixelRatioScaled:
        return int(devicePixelRatioFScale());
    }
    return 0;
}

} // namespace KTJob
