#include "job/ktsvgsource.h"
#include "job/ktjobpaths.h"
#include "job/ktreadnotes.h"

#include <QRegularExpression>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <numeric>
#include <vector>
#include <zlib.h>

namespace KTJob {

namespace {

bool isGzip(const QByteArray &bytes)
{
    return bytes.size() >= 2 && uchar(bytes[0]) == 0x1f && uchar(bytes[1]) == 0x8b;
}

// A gzip'd file (.svgz) inflated, no larger than MaxSvgBytes.
bool gunzip(const QByteArray &in, QByteArray *out, QString *error)
{
    z_stream s = {};
    if (inflateInit2(&s, 16 + MAX_WBITS) != Z_OK) {
        *error = QStringLiteral("the compressed SVG file cannot be inflated (out of memory)");
        return false;
    }
    s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(in.constData()));
    s.avail_in = uInt(in.size());
    char buf[65536];
    int rc = Z_OK;
    while (rc == Z_OK) {
        s.next_out = reinterpret_cast<Bytef *>(buf);
        s.avail_out = sizeof buf;
        rc = inflate(&s, Z_NO_FLUSH);
        const int produced = int(sizeof buf - s.avail_out);
        if (out->size() > MaxSvgBytes - produced) {
            rc = Z_MEM_ERROR;
            break;
        }
        out->append(buf, produced);
        if (rc == Z_BUF_ERROR && s.avail_in == 0)
            break;
    }
    inflateEnd(&s);
    if (rc == Z_MEM_ERROR) {
        *error = QStringLiteral("the compressed SVG file inflates to more than 64 MiB; save it as plain SVG and simplify it");
        return false;
    }
    if (rc != Z_STREAM_END) {
        *error = QStringLiteral("the compressed SVG file is damaged (%1); save it again as plain SVG")
                     .arg(QString::fromLatin1(s.msg ? s.msg : "cut short"));
        return false;
    }
    return true;
}

QStringView localName(QStringView qualified)
{
    const int colon = qualified.lastIndexOf(QLatin1Char(':'));
    return colon < 0 ? qualified : qualified.mid(colon + 1);
}

QRectF parseViewBox(QStringView text)
{
    double v[4];
    int n = 0;
    const QString s = text.toString();
    for (const QStringRef &part : s.splitRef(QRegularExpression(QStringLiteral("[\\s]+")), Qt::SkipEmptyParts)) {
        bool ok = false;
        const double d = part.toDouble(&ok);
        if (!ok || !std::isfinite(d) || n == 4)
            return QRectF();
        v[n++] = d;
    }
    if (n != 4 || !(v[2] > 0) || !(v[3] > 0))
        return QRectF();
    return QRectF(v[0], v[1], v[2], v[3]);
}

void parseAspect(QStringView text, SvgPage *src)
{
    const QString s = text.trimmed().toString();
    if (s.startsWith(QLatin1String("none"))) {
        src->stretch = true;
        return;
    }
    auto axis = [&](const char *min, const char *max) {
        return s.contains(QLatin1String(min)) ? -1 : s.contains(QLatin1String(max)) ? 1 : 0;
    };
    src->alignX = axis("xMin", "xMax");
    src->alignY = axis("YMin", "YMax");
    src->slice = s.contains(QLatin1String("slice"));
}

// The family a font-family property asks for first, unquoted.
void noteFontFamily(QStringView value, SvgSource *src)
{
    const int comma = value.indexOf(QLatin1Char(','));
    QString family = (comma < 0 ? value : value.left(comma)).trimmed().toString();
    family.remove(QLatin1Char('\'')).remove(QLatin1Char('"'));
    family = oneLine(family, 64);
    if (!family.isEmpty() && src->fontFamilies.size() < 16 && !src->fontFamilies.contains(family))
        src->fontFamilies.append(family);
}

void readFonts(const QXmlStreamAttributes &attributes, SvgSource *src)
{
    const QStringView attribute = attributes.value(QLatin1String("font-family"));
    if (!attribute.isEmpty())
        noteFontFamily(attribute, src);
    const QStringView style = attributes.value(QLatin1String("style"));
    const int at = style.indexOf(QLatin1String("font-family"));
    if (at >= 0) {
        QStringView value = style.mid(at + 11).trimmed();
        if (value.startsWith(QLatin1Char(':'))) {
            value = value.mid(1);
            const int end = value.indexOf(QLatin1Char(';'));
            noteFontFamily(end < 0 ? value : value.left(end), src);
        }
    }
}

// marker-start, -mid and -end, as attributes or in a style: a shape that
// names one in url(...).
bool hasMarkers(const QXmlStreamAttributes &attributes)
{
    for (const QXmlStreamAttribute &a : attributes) {
        const QStringView name = a.qualifiedName(), value = a.value();
        const bool marker = name.startsWith(QLatin1String("marker")) && value.contains(QLatin1String("url("));
        const bool styled = name == QLatin1String("style") && value.contains(QLatin1String("marker"))
            && value.contains(QLatin1String("url("));
        if (marker || styled)
            return true;
    }
    return false;
}

void readRoot(const QXmlStreamAttributes &attributes, SvgSource *src)
{
    *static_cast<SvgPage *>(src) = svgPage(attributes.value(QLatin1String("width")), attributes.value(QLatin1String("height")),
                                           attributes.value(QLatin1String("viewBox")),
                                           attributes.value(QLatin1String("preserveAspectRatio")));
}

} // namespace

SvgPage svgPage(QStringView width, QStringView height, QStringView viewBox, QStringView aspect)
{
    SvgPage page;
    page.widthMm = svgLengthMm(width);
    page.heightMm = svgLengthMm(height);
    page.viewBox = parseViewBox(viewBox);
    parseAspect(aspect, &page);
    return page;
}

// Without a viewBox, width and height, a user unit is a px and the page's
// height is not known: y is flipped about 0.
void svgPageTransform(const SvgPage &page, QTransform *toUnits, bool *placed)
{
    constexpr double PxMm = 25.4 / 96;
    QRectF box = page.viewBox;
    double widthMm = page.widthMm, heightMm = page.heightMm;
    *placed = true;
    if (box.isNull()) {
        // No viewBox: a user unit is a px.
        box = QRectF(0, 0, widthMm / PxMm, heightMm / PxMm);
        if (!(widthMm > 0) || !(heightMm > 0)) {
            *placed = false;
            *toUnits = QTransform(UnitsPerMm * PxMm, 0, 0, -UnitsPerMm * PxMm, 0, 0);
            return;
        }
    }
    if (!(widthMm > 0))
        widthMm = box.width() * PxMm;
    if (!(heightMm > 0))
        heightMm = box.height() * PxMm;
    double sx = widthMm / box.width(), sy = heightMm / box.height();
    double ox = 0, oy = 0;
    if (!page.stretch) {
        sx = sy = page.slice ? std::max(sx, sy) : std::min(sx, sy);
        ox = (widthMm - box.width() * sx) * (page.alignX + 1) / 2;
        oy = (heightMm - box.height() * sy) * (page.alignY + 1) / 2;
    }
    *toUnits = QTransform(UnitsPerMm * sx, 0, 0, -UnitsPerMm * sy,
                          UnitsPerMm * (ox - box.x() * sx), UnitsPerMm * (heightMm - oy + box.y() * sy));
}

// Whole units, so the points stay exactly as recorded.
void placeSvgDrawing(Paths *paths, bool placed)
{
    if (placed)
        return;
    const Figures figures = paths->figures();
    if (figures.drawn)
        paths->map(QTransform::fromTranslate(0, -figures.bounds.top()));
}

bool inflateSvg(const QByteArray &bytes, QByteArray *xml, QString *error)
{
    if (bytes.size() > MaxSvgBytes) {
        *error = QStringLiteral("the SVG file is larger than 64 MiB; simplify the drawing or cut it in parts");
        return false;
    }
    if (!isGzip(bytes)) {
        *xml = bytes;
        return true;
    }
    return gunzip(bytes, xml, error);
}

double svgLengthMm(QStringView text)
{
    const QString s = text.trimmed().toString();
    int end = 0;
    while (end < s.size() && (s[end].isDigit() || QStringLiteral("+-.eE").contains(s[end]))) {
        // An "e" that starts a unit ("em", "ex") is no exponent.
        if ((s[end] == QLatin1Char('e') || s[end] == QLatin1Char('E'))
            && (end + 1 >= s.size() || !(s[end + 1].isDigit() || s[end + 1] == QLatin1Char('-') || s[end + 1] == QLatin1Char('+'))))
            break;
        ++end;
    }
    bool ok = false;
    const double value = s.leftRef(end).toDouble(&ok);
    if (!ok || !std::isfinite(value) || value <= 0)
        return 0;
    const QStringRef unit = s.midRef(end).trimmed();
    static const struct { const char *unit; double mm; } units[] = {
        {"", 25.4 / 96}, {"px", 25.4 / 96}, {"mm", 1}, {"cm", 10}, {"in", 25.4},
        {"pt", 25.4 / 72}, {"pc", 25.4 / 6}, {"q", 0.25},
    };
    for (const auto &u : units) {
        if (unit.compare(QLatin1String(u.unit), Qt::CaseInsensitive) == 0) {
            const double mm = value * u.mm;
            return std::isfinite(mm) ? mm : 0;
        }
    }
    return 0;
}

namespace {

// The renderer places a text only by its <text> element's x and y, and
// draws a <tspan> on from where the text before it ended, wherever the
// tspan says it starts. Office programs write each line of a paragraph
// as such a tspan, in a text without a position of its own. So a tspan
// that sets x or y starts a text of its own there, with the attributes of
// the text and of the elements open in it.
class TextLines
{
public:
    bool positioned(QStringView name, const QXmlStreamAttributes &attributes) const
    {
        return !m_open.empty() && name == QLatin1String("tspan")
            && (attributes.hasAttribute(QLatin1String("x")) || attributes.hasAttribute(QLatin1String("y")));
    }

    // A text, or an element in one, written with the writer if any.
    void start(QStringView name, const QXmlStreamReader &reader, QXmlStreamWriter *writer)
    {
        const QXmlStreamAttributes attributes = reader.attributes();
        if (m_open.empty())
            m_x = m_y = QString();
        // Each line written again costs what is open: bounded in all.
        const qint64 cost = std::accumulate(m_open.begin(), m_open.end(), qint64(0),
                                            [](qint64 sum, const Open &o) { return sum + o.bytes; });
        const bool split = positioned(name, attributes) && m_spent + cost <= MaxSvgBytes;
        // A list of x or y as it is: the renderer takes its first.
        const QString x = attributes.value(QLatin1String("x")).toString(), y = attributes.value(QLatin1String("y")).toString();
        m_x = x.isEmpty() ? m_x : x;
        m_y = y.isEmpty() ? m_y : y;
        if (split) {
            m_spent += cost;
            if (writer) {
                for (size_t i = 0; i < m_open.size(); ++i)
                    writer->writeEndElement();
                for (size_t i = 0; i < m_open.size(); ++i)
                    reopen(writer, m_open[i], i == 0);
                writer->writeStartElement(reader.qualifiedName().toString());
                for (const QXmlStreamAttribute &a : attributes) {
                    if (a.qualifiedName() != QLatin1String("x") && a.qualifiedName() != QLatin1String("y"))
                        writer->writeAttribute(a);
                }
            }
        } else if (writer) {
            writer->writeCurrentToken(reader);
        }
        qint64 bytes = 2 * reader.qualifiedName().size() + 8;
        for (const QXmlStreamAttribute &a : attributes)
            bytes += a.qualifiedName().size() + a.value().size() + 4;
        m_open.push_back(Open{reader.qualifiedName().toString(), attributes, bytes});
    }

    void end()
    {
        if (!m_open.empty())
            m_open.pop_back();
    }

    bool inText() const { return !m_open.empty(); }

private:
    struct Open
    {
        QString name;
        QXmlStreamAttributes attributes;
        qint64 bytes; // written again, about
    };

    // Without its id (once is enough) and position; the text at the
    // position the new tspan sets.
    void reopen(QXmlStreamWriter *writer, const Open &element, bool text) const
    {
        writer->writeStartElement(element.name);
        static const char *const dropped[] = {"id", "x", "y", "dx", "dy"};
        for (const QXmlStreamAttribute &a : element.attributes) {
            const bool drop = std::any_of(std::begin(dropped), std::end(dropped),
                                          [&](const char *n) { return a.qualifiedName() == QLatin1String(n); });
            if (!drop)
                writer->writeAttribute(a);
        }
        if (text && !m_x.isEmpty())
            writer->writeAttribute(QStringLiteral("x"), m_x);
        if (text && !m_y.isEmpty())
            writer->writeAttribute(QStringLiteral("y"), m_y);
    }

    std::vector<Open> m_open; // the text, then what is open in it; bounded by the nesting bound
    QString m_x, m_y;         // where the text's last line starts
    qint64 m_spent = 0;       // written again for lines so far
};

// One pass over the document: the root's size, what the notes count and
// the nesting bound. With a writer, the document is written again without
// its DTD, entity references, images and foreign objects, and its text
// lines placed (see TextLines); without one, the pass only says whether any
// is there (the usual drawing has none, and is handed on as it is).
bool scanSvg(const QByteArray &xml, SvgSource *src, QXmlStreamWriter *writer)
{
    QXmlStreamReader reader(xml);
    // As the renderer reads it: "xlink:href" is a name, declared or not.
    reader.setNamespaceProcessing(false);
    int depth = 0;
    bool root = false, dropped = false;
    TextLines lines;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            const QStringView name = localName(reader.qualifiedName());
            if (!root) {
                if (name != QLatin1String("svg")) {
                    src->error = QStringLiteral("the file is XML but not an SVG drawing (its first element is <%1>); export the drawing as SVG")
                                     .arg(oneLine(reader.qualifiedName().toString(), 40));
                    return dropped;
                }
                root = true;
                readRoot(reader.attributes(), src);
            }
            if (name == QLatin1String("text"))
                ++src->texts;
            else if (name == QLatin1String("textPath"))
                ++src->textPaths;
            // An SVG font's face names the family it brings, not one it asks for.
            if (name != QLatin1String("font-face"))
                readFonts(reader.attributes(), src);
            if (name != QLatin1String("marker") && hasMarkers(reader.attributes()))
                ++src->markers;
            if (name == QLatin1String("image") || name == QLatin1String("foreignObject")) {
                ++(name == QLatin1String("image") ? src->images : src->foreignObjects);
                dropped = true;
                reader.skipCurrentElement();
                continue;
            }
            if (++depth > MaxSvgDepth) {
                src->error = QStringLiteral("the SVG drawing nests groups more than %1 deep; flatten its groups and save it again")
                                 .arg(MaxSvgDepth);
                return dropped;
            }
            if (lines.positioned(name, reader.attributes()))
                dropped = true;
            if (lines.inText() || name == QLatin1String("text"))
                lines.start(name, reader, writer);
            else if (writer)
                writer->writeCurrentToken(reader);
            break;
        }
        case QXmlStreamReader::EndElement:
            --depth;
            lines.end();
            if (writer)
                writer->writeCurrentToken(reader);
            break;
        case QXmlStreamReader::DTD:
        case QXmlStreamReader::EntityReference:
            dropped = true;
            break;
        case QXmlStreamReader::Invalid:
            break;
        default:
            if (writer)
                writer->writeCurrentToken(reader);
            break;
        }
    }
    if (reader.hasError()) {
        src->error = QStringLiteral("the SVG file is not well-formed XML (line %1: %2); save it again as plain SVG")
                         .arg(reader.lineNumber())
                         .arg(oneLine(reader.errorString(), 120));
        return dropped;
    }
    if (!root)
        src->error = QStringLiteral("the file holds no SVG drawing; export the drawing as SVG");
    return dropped;
}

} // namespace

SvgSource prepareSvg(const QByteArray &bytes)
{
    SvgSource src;
    QByteArray xml;
    if (!inflateSvg(bytes, &xml, &src.error))
        return src;
    if (!scanSvg(xml, &src, nullptr)) {
        src.xml = xml;
        return src;
    }
    if (!src.error.isEmpty())
        return src;
    // Written again without what the renderer must never open or expand;
    // counted already, so counted afresh.
    SvgSource again;
    QXmlStreamWriter writer(&again.xml);
    scanSvg(xml, &again, &writer);
    return again;
}

} // namespace KTJob
