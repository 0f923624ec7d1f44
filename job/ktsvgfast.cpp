#include "job/ktsvgfast.h"
#include "job/ktreadnotes.h"
#include "job/ktsvgsource.h"
#include "job/ktsvgstyle.h"
#include "job/ktsvgsyntax.h"

#include <QPainterPath>
#include <QPolygonF>
#include <QTransform>

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

namespace KTJob {

namespace {

using namespace SvgSyntax;
using namespace SvgStyle;

// Elements the general route draws or acts on (by local name, whatever
// their prefix, as it reads them) that this reader does not: where one
// stands, the drawing goes that way.
const char *const Unsupported[] = {
    "a", "animate", "animateColor", "animateMotion", "animateTransform", "animation", "audio", "circle",
    "clipPath", "defs", "discard", "ellipse", "filter", "font", "font-face", "foreignObject", "g", "glyph",
    "handler", "hkern", "image", "line", "linearGradient", "marker", "mask", "missing-glyph", "path",
    "pattern", "polygon", "polyline", "prefetch", "radialGradient", "rect", "set", "solidColor", "stop",
    "style", "svg", "switch", "symbol", "tbreak", "text", "textArea", "textPath", "tspan", "use", "video",
    nullptr};

bool oneOfCaseless(const char *s, std::initializer_list<const char *> list)
{
    for (const char *e : list) {
        if (qstricmp(s, e) == 0)
            return true;
    }
    return false;
}

class FastReader
{
public:
    explicit FastReader(Paths *paths)
        : m_paths(paths)
    {
    }

    bool read(const QByteArray &xml, ReadResult *result);

private:
    static void startElement(void *ctx, const xmlChar *localname, const xmlChar *, const xmlChar *, int,
                             const xmlChar **, int count, int, const xmlChar **attributes)
    {
        static_cast<FastReader *>(ctx)->start(localname, count, attributes);
    }
    static void endElement(void *ctx, const xmlChar *, const xmlChar *, const xmlChar *)
    {
        static_cast<FastReader *>(ctx)->end();
    }
    // Declarations and references the general route handles its own way.
    static void entityDecl(void *ctx, const xmlChar *, int, const xmlChar *, const xmlChar *, xmlChar *)
    {
        static_cast<FastReader *>(ctx)->giveUp();
    }
    static void reference(void *ctx, const xmlChar *) { static_cast<FastReader *>(ctx)->giveUp(); }
    // Nothing a drawing of plain shapes needs; and their targets are read
    // differently by the two XML readers.
    static void processingInstruction(void *ctx, const xmlChar *, const xmlChar *)
    {
        static_cast<FastReader *>(ctx)->giveUp();
    }
    // A document type by its public and system names only, in the
    // characters the renderer's XML reader takes there.
    static void internalSubset(void *ctx, const xmlChar *, const xmlChar *publicId, const xmlChar *systemId)
    {
        for (const xmlChar *id : {publicId, systemId}) {
            for (const xmlChar *c = id; c && *c; ++c) {
                if (!std::isalnum(*c) && !std::strchr(" -/:._#()+,'=?;@", *c))
                    return static_cast<FastReader *>(ctx)->giveUp();
            }
        }
    }
    static void elementDecl(void *ctx, const xmlChar *, int, xmlElementContentPtr)
    {
        static_cast<FastReader *>(ctx)->giveUp();
    }
    static void attributeDecl(void *ctx, const xmlChar *, const xmlChar *, int, int, const xmlChar *, xmlEnumerationPtr tree)
    {
        xmlFreeEnumeration(tree);
        static_cast<FastReader *>(ctx)->giveUp();
    }
    static void notationDecl(void *ctx, const xmlChar *, const xmlChar *, const xmlChar *)
    {
        static_cast<FastReader *>(ctx)->giveUp();
    }
    static void unparsedEntityDecl(void *ctx, const xmlChar *, const xmlChar *, const xmlChar *, const xmlChar *)
    {
        static_cast<FastReader *>(ctx)->giveUp();
    }
    // Any error the parser reports, but a namespace prefix nobody declared
    // (the general route reads names without namespaces).
    static void error(void *ctx, xmlErrorPtr e)
    {
        if (e && e->code != XML_NS_ERR_UNDEFINED_NAMESPACE && e->level >= XML_ERR_ERROR)
            static_cast<FastReader *>(ctx)->giveUp();
    }

    void giveUp()
    {
        m_gaveUp = true;
        if (m_ctxt)
            xmlStopParser(m_ctxt);
    }

    void start(const xmlChar *local, int count, const xmlChar **attributes);
    void end();
    void root(int count, const xmlChar **attributes);
    bool shape(const xmlChar *local, int count, const xmlChar **attributes);
    void draw(const QPainterPath &path, const QTransform &t, bool filled, bool stroked);
    void skip(bool definitions)
    {
        m_skip = 1;
        m_skipDefinitions = definitions;
    }

    Paths *m_paths;
    xmlParserCtxtPtr m_ctxt = nullptr;
    std::vector<State> m_states;
    int m_depth = 0;
    int m_skip = 0;             // depth within an element whose content is not drawn
    bool m_skipDefinitions = false;
    bool m_root = false;
    bool m_gaveUp = false;
    bool m_added = true;        // false once the model refused a path
    bool m_placed = true;
    // The last shape filled and not stroked: a stroke of the same outline
    // right after it is not cut again.
    QPainterPath m_fill;
    QTransform m_fillTransform;
    bool m_hasFill = false;
};

void FastReader::start(const xmlChar *local, int count, const xmlChar **attributes)
{
    if (m_gaveUp)
        return;
    if (++m_depth > MaxSvgDepth)
        return giveUp();
    if (m_skip > 0) {
        ++m_skip;
        // Definitions are not drawn, whatever they hold; but a style sheet
        // applies everywhere, and other content is drawn by the general route.
        if (m_skipDefinitions ? named(local, "style") : namedOneOf(local, Unsupported))
            giveUp();
        return;
    }
    if (!m_root) {
        m_root = true;
        if (!named(local, "svg"))
            return giveUp();
        return root(count, attributes);
    }
    if (named(local, "g")) {
        Presentation p;
        if (!readPresentation(count, attributes, nullptr, &p))
            return giveUp();
        State state = m_states.back();
        bool displayed = true;
        if (!applyPresentation(p, &state, &displayed))
            return giveUp();
        if (!displayed)
            return skip(true);
        m_states.push_back(state);
        return;
    }
    if (named(local, "defs"))
        return skip(true);
    if (named(local, "title") || named(local, "desc") || named(local, "metadata"))
        return skip(false);
    if (named(local, "path") || named(local, "rect") || named(local, "circle") || named(local, "ellipse") || named(local, "line")
        || named(local, "polyline") || named(local, "polygon")) {
        if (!shape(local, count, attributes))
            return giveUp();
        // A shape's content is not drawn.
        return skip(false);
    }
    if (namedOneOf(local, Unsupported))
        return giveUp();
    // Anything else (an editor's own elements, metadata) is not drawn.
    skip(false);
}

void FastReader::end()
{
    if (m_gaveUp)
        return;
    --m_depth;
    if (m_skip > 0)
        --m_skip;
    else if (!m_states.empty())
        m_states.pop_back();
}

void FastReader::root(int count, const xmlChar **attributes)
{
    static const char *const page[] = {"width", "height", "viewBox", "preserveAspectRatio", "x", "y", nullptr};
    Presentation p;
    if (!readPresentation(count, attributes, page, &p) || p.hasTransform)
        return giveUp();
    QString width, height, viewBox, aspect;
    bool hasViewBox = false;
    for (int i = 0; i < count; ++i) {
        const xmlChar **a = attributes + 5 * i;
        if (a[1])
            continue;
        const QString value = QString::fromUtf8(bytes(a[3]), int(a[4] - a[3]));
        if (named(a[0], "width"))
            width = value;
        else if (named(a[0], "height"))
            height = value;
        else if (named(a[0], "viewBox")) {
            viewBox = value;
            hasViewBox = true;
        } else if (named(a[0], "preserveAspectRatio"))
            aspect = value;
    }
    const SvgPage svg = svgPage(width, height, viewBox, aspect);
    // A viewBox the page rules cannot read, or a size without a fixed
    // length and no viewBox: the renderer's own reading decides those.
    if ((hasViewBox && svg.viewBox.isNull())
        || (!hasViewBox && ((!width.isEmpty() && !(svg.widthMm > 0)) || (!height.isEmpty() && !(svg.heightMm > 0)))))
        return giveUp();
    // The renderer keeps the page's size in whole px: one it cannot hold is
    // its to refuse.
    constexpr double PxMm = 25.4 / 96, MaxPx = 2147483647.0;
    const double widthPx = svg.widthMm > 0 ? svg.widthMm / PxMm : svg.viewBox.width();
    const double heightPx = svg.heightMm > 0 ? svg.heightMm / PxMm : svg.viewBox.height();
    if (!(widthPx < MaxPx) || !(heightPx < MaxPx))
        return giveUp();
    State state;
    svgPageTransform(svg, &state.ctm, &m_placed);
    bool displayed = true;
    if (!applyPresentation(p, &state, &displayed) || !displayed)
        return giveUp();
    m_states.push_back(state);
}


// The painter calls the renderer makes for each shape, as the recorder
// takes them.
bool FastReader::shape(const xmlChar *local, int count, const xmlChar **attributes)
{
    static const char *const pathAttributes[] = {"d", nullptr};
    static const char *const rectAttributes[] = {"x", "y", "width", "height", "rx", "ry", nullptr};
    static const char *const circleAttributes[] = {"cx", "cy", "r", nullptr};
    static const char *const ellipseAttributes[] = {"cx", "cy", "rx", "ry", nullptr};
    static const char *const lineAttributes[] = {"x1", "y1", "x2", "y2", nullptr};
    static const char *const pointsAttributes[] = {"points", nullptr};
    const char *const *geometry = named(local, "path") ? pathAttributes
        : named(local, "rect")                         ? rectAttributes
        : named(local, "circle")                       ? circleAttributes
        : named(local, "ellipse")                      ? ellipseAttributes
        : named(local, "line")                         ? lineAttributes
                                                    : pointsAttributes;
    Presentation p;
    if (!readPresentation(count, attributes, geometry, &p))
        return false;
    State state = m_states.back();
    bool displayed = true;
    if (!applyPresentation(p, &state, &displayed))
        return false;

    // Geometry attributes by their place in the list above; missing ones 0.
    double v[6] = {};
    bool has[6] = {};
    Text text;
    for (int i = 0; i < count; ++i) {
        const xmlChar **a = attributes + 5 * i;
        if (a[1])
            continue;
        for (int g = 0; geometry[g]; ++g) {
            if (!named(a[0], geometry[g]))
                continue;
            text = Text{bytes(a[3]), bytes(a[4])};
            if (geometry != pathAttributes && geometry != pointsAttributes && !length(text, &v[g]))
                return false;
            has[g] = true;
        }
    }
    const bool filled = state.fill, stroked = state.stroke && !state.strokeWidthZero;
    const bool drawn = displayed && state.visible && (filled || stroked);

    QPainterPath path;
    if (geometry == pathAttributes) {
        if (!has[0])
            return true;
        // Cut as it is read, unless it must be compared with a fill (its
        // own stroke may follow, or it may be the stroke of the last one)
        // or measured for a page.
        const bool compared = (filled && !stroked) || (!filled && m_hasFill);
        if (drawn && m_added && m_placed && !compared) {
            PathBuilder builder(m_paths, state.ctm);
            if (!pathData(text, &builder))
                return false;
            m_added = builder.ok();
            m_hasFill = false;
            return true;
        }
        if (!pathData(text, &path))
            return false;
        if (drawn)
            draw(path, state.ctm, filled, stroked);
    } else if (geometry == rectAttributes) {
        const QRectF r(v[0], v[1], v[2], v[3]);
        if (!(r.width() > 0) || !(r.height() > 0))
            return false;
        double rx = has[4] ? v[4] : v[5], ry = has[5] ? v[5] : v[4];
        if (rx < 0 || ry < 0 || (rx == 0) != (ry == 0) || rx > r.width() / 2 || ry > r.height() / 2)
            return false;
        // The renderer keeps the corner radii as whole percentages of the
        // half sides.
        const auto percent = [](double radius, double side) {
            const double p = radius * (100 / (side / 2));
            return radius > 0 && p > 0 ? int(std::min(p, 100.0)) : 0;
        };
        const int xr = percent(rx, r.width()), yr = percent(ry, r.height());
        if (xr > 0 && yr > 0)
            path.addRoundedRect(r, xr, yr, Qt::RelativeSize);
        else
            path.addRect(r);
        if (drawn)
            draw(path, state.ctm, filled, stroked);
    } else if (geometry == circleAttributes || geometry == ellipseAttributes) {
        const double rx = v[2], ry = geometry == circleAttributes ? v[2] : v[3];
        if (!(rx > 0) || !(ry > 0))
            return false;
        path.addEllipse(QRectF(v[0] - rx, v[1] - ry, rx * 2, ry * 2));
        if (drawn)
            draw(path, state.ctm, filled, stroked);
    } else if (geometry == lineAttributes) {
        path.moveTo(v[0], v[1]);
        path.lineTo(v[2], v[3]);
        if (drawn)
            draw(path, state.ctm, false, stroked);
    } else {
        QPolygonF polygon;
        if (!has[0] || !points(text, &polygon))
            return false;
        path.addPolygon(polygon);
        if (named(local, "polygon")) {
            path.closeSubpath();
            if (drawn)
                draw(path, state.ctm, filled, stroked);
        } else if (drawn) {
            // Filled as a polygon without its pen, then stroked open.
            if (filled) {
                QPainterPath closed = path;
                closed.closeSubpath();
                draw(closed, state.ctm, true, false);
            }
            draw(path, state.ctm, false, stroked);
        }
    }
    // Without a page, the renderer sizes one from the drawing's extent in
    // whole px, and refuses the file when that overflows.
    if (!m_placed) {
        const QRectF box = state.ctm.mapRect(path.boundingRect());
        const double px = UnitsPerMm * 25.4 / 96, limit = 1e9 * px;
        for (double edge : {box.left(), box.right(), box.top(), box.bottom()}) {
            if (!(std::fabs(edge) < limit))
                return false;
        }
    }
    return true;
}

void FastReader::draw(const QPainterPath &path, const QTransform &t, bool filled, bool stroked)
{
    if (!filled && !stroked)
        return;
    const bool strokeOfFill = stroked && !filled && m_hasFill && m_fillTransform == t && sameOutline(path, m_fill);
    m_hasFill = filled && !stroked;
    if (m_hasFill) {
        m_fill = path;
        m_fillTransform = t;
    }
    // Once the model refused a path, nothing more is added; the rest is
    // still read, since something further on may send the drawing the
    // general way.
    if (!strokeOfFill && m_added && !m_paths->addPath(path, t))
        m_added = false;
}

// libxml2's handlers for this thread set to say nothing while it lives.
struct Silenced
{
    Silenced()
    {
        xmlSetGenericErrorFunc(nullptr, quiet);
        xmlSetStructuredErrorFunc(nullptr, quietStructured);
    }
    ~Silenced()
    {
        xmlSetGenericErrorFunc(genericContext, generic);
        xmlSetStructuredErrorFunc(structuredContext, structured);
    }
    static void quiet(void *, const char *, ...) {}
    static void quietStructured(void *, xmlErrorPtr) {}

    void *genericContext = xmlGenericErrorContext;
    xmlGenericErrorFunc generic = xmlGenericError;
    void *structuredContext = xmlStructuredErrorContext;
    xmlStructuredErrorFunc structured = xmlStructuredError;
};

bool FastReader::read(const QByteArray &xml, ReadResult *result)
{
    static std::once_flag init;
    std::call_once(init, [] { xmlInitParser(); });

    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof sax);
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = startElement;
    sax.endElementNs = endElement;
    sax.internalSubset = internalSubset;
    sax.entityDecl = entityDecl;
    sax.reference = reference;
    sax.elementDecl = elementDecl;
    sax.attributeDecl = attributeDecl;
    sax.notationDecl = notationDecl;
    sax.unparsedEntityDecl = unparsedEntityDecl;
    sax.processingInstruction = processingInstruction;
    sax.serror = error;

    // Fed in pieces, the parser holds no copy of a large file: only what
    // it has not read yet of the piece at hand.
    constexpr int Piece = 1 << 20;
    const char *data = xml.constData();
    const int size = xml.size();
    const int first = std::min(size, 4);   // enough to tell the encoding
    // Errors outside the parser's own channel (an encoding's converter
    // reports with no parser at hand) would go to this thread's handlers,
    // which print them: silent from the parser's making to its end.
    const Silenced silenced;
    m_ctxt = xmlCreatePushParserCtxt(&sax, this, data, first, nullptr);
    if (!m_ctxt)
        return false;
    // No network, no DTD loaded, no entity expanded; long attributes (a
    // path's data) within the file's own bound.
    xmlCtxtUseOptions(m_ctxt, XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_NOWARNING);
    for (int at = first; !m_gaveUp && at < size; at += Piece)
        xmlParseChunk(m_ctxt, data + at, std::min(Piece, size - at), 0);
    if (!m_gaveUp)
        xmlParseChunk(m_ctxt, nullptr, 0, 1);
    // XML 1.1, and encodings beyond the common ones, the renderer's own
    // XML reader may not take.
    const char *version = bytes(m_ctxt->version);
    const char *encoding = bytes(m_ctxt->encoding);
    const bool wellFormed = m_ctxt->wellFormed != 0 && version && std::strcmp(version, "1.0") == 0
        && (!encoding || oneOfCaseless(encoding, {"UTF-8", "UTF-16", "ISO-8859-1", "US-ASCII"}));
    // The parser keeps declared entities in a document of its own even
    // for a SAX reader.
    if (m_ctxt->myDoc) {
        xmlFreeDoc(m_ctxt->myDoc);
        m_ctxt->myDoc = nullptr;
    }
    xmlFreeParserCtxt(m_ctxt);
    m_ctxt = nullptr;

    if (m_gaveUp || !wellFormed || !m_root || m_depth != 0) {
        m_paths->clear();
        return false;
    }
    notePathsFailure(m_added, *m_paths, result);
    if (result->ok)
        placeSvgDrawing(m_paths, m_placed);
    return true;
}

} // namespace

bool readSvgFast(const QByteArray &xml, Paths *paths, ReadResult *result)
{
    if (!paths->isEmpty() || !paths->tools().empty())
        return false;
    // A point takes four bytes of path data at least ("1 1 "); curves
    // make more, and the model grows past this as it must.
    paths->reserve(xml.size() / 4);
    FastReader reader(paths);
    return reader.read(xml, result);
}

} // namespace KTJob
