#include "job/ktsvgsyntax.h"
#include "job/ktjobpaths.h"

#include <QColor>
#include <QPainterPath>
#include <QPolygonF>
#include <QTransform>

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>

namespace KTJob {
namespace SvgSyntax {

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

void skipSpace(const char *&p, const char *end)
{
    while (p < end && isSpace(*p))
        ++p;
}

// Spaces, at most one comma, spaces.
void skipCommaSpace(const char *&p, const char *end)
{
    skipSpace(p, end);
    if (p < end && *p == ',') {
        ++p;
        skipSpace(p, end);
    }
}

bool startsNumber(const char *p, const char *end)
{
    return p < end && (isDigit(*p) || *p == '-' || *p == '+' || *p == '.');
}

} // namespace

bool Text::operator==(const char *literal) const
{
    const size_t n = std::strlen(literal);
    return size_t(end - begin) == n && std::memcmp(begin, literal, n) == 0;
}

bool number(const char *&p, const char *end, double *out)
{
    const char *q = p;
    // from_chars reads no '+'; the sign is put back on its own.
    bool negative = false;
    if (q < end && (*q == '-' || *q == '+'))
        negative = *q++ == '-';
    const char *digits = q;
    quint64 m = 0;   // exact while there are at most 15 digits
    int count = 0, fraction = 0;
    for (; q < end && isDigit(*q); ++q, ++count)
        m = m * 10 + quint64(*q - '0');
    if (q < end && *q == '.') {
        const char *f = ++q;
        for (; q < end && isDigit(*q); ++q)
            m = m * 10 + quint64(*q - '0');
        fraction = int(q - f);
        count += fraction;
    }
    if (count == 0)
        return false;
    const char *mantissaEnd = q;
    // An exponent only when digits follow: "1e" ends at the e.
    if (q < end && (*q == 'e' || *q == 'E')) {
        const char *e = q + 1;
        if (e < end && (*e == '-' || *e == '+'))
            ++e;
        if (e < end && isDigit(*e)) {
            while (e < end && isDigit(*e))
                ++e;
            q = e;
        }
    }
    // The renderer reads numbers of up to some hundred characters its own
    // way; nobody writes one of more than 64.
    if (q - p > 64)
        return false;
    double value = 0;
    if (count <= 15 && q == mantissaEnd) {
        // The usual coordinate ("123.45"): an exact integer divided by an
        // exact power of ten is correctly rounded, as from_chars rounds.
        static const double tens[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
        value = double(m) / tens[fraction];
    } else {
        const std::from_chars_result r = std::from_chars(digits, q, value, std::chars_format::general);
        if (r.ec != std::errc() || r.ptr != q || !std::isfinite(value))
            return false;
    }
    // The renderer reads a number beyond what a float holds normally as 0:
    // such a drawing goes its way.
    const double size = std::fabs(value);
    if (size != 0 && (size > double(FLT_MAX) || size < double(FLT_MIN)))
        return false;
    *out = negative ? -value : value;
    p = q;
    return true;
}

bool length(Text text, double *out)
{
    const char *p = text.begin;
    if (!number(p, text.end, out))
        return false;
    return p == text.end || (text.end - p == 2 && p[0] == 'p' && p[1] == 'x');
}

bool points(Text text, QPolygonF *out)
{
    const char *p = text.begin, *end = text.end;
    skipSpace(p, end);
    while (p < end) {
        double x, y;
        if (!number(p, end, &x))
            return false;
        skipCommaSpace(p, end);
        if (!number(p, end, &y))
            return false;
        out->append(QPointF(x, y));
        const char *before = p;
        skipCommaSpace(p, end);
        // A comma must be followed by another pair.
        if (p == end && before < end && std::memchr(before, ',', size_t(end - before)))
            return false;
    }
    return !out->isEmpty();
}

namespace {

// An endpoint arc as cubics of at most a quarter turn each, through the
// centre of the ellipse the radii (grown when too small) give.
template<typename Out>
bool arc(Out *path, QPointF from, double rx, double ry, double rotation, bool large, bool sweep, QPointF to)
{
    rx = std::fabs(rx);
    ry = std::fabs(ry);
    // Left to the general route, which draws them its own way: arcs to
    // their own start, of no radius, or so large or so small that its
    // arithmetic and this one part.
    const double Large = 1e7, Small = 1e-100;
    if (from == to || !(rx >= Small && rx <= Large) || !(ry >= Small && ry <= Large))
        return false;
    for (double v : {from.x(), from.y(), to.x(), to.y()}) {
        if (!(std::fabs(v) <= Large))
            return false;
    }
    const double phi = rotation * M_PI / 180, c = std::cos(phi), s = std::sin(phi);
    const double dx2 = (from.x() - to.x()) / 2, dy2 = (from.y() - to.y()) / 2;
    const double x1 = c * dx2 + s * dy2, y1 = -s * dx2 + c * dy2;
    const double lambda = x1 * x1 / (rx * rx) + y1 * y1 / (ry * ry);
    if (lambda > 1) {
        rx *= std::sqrt(lambda);
        ry *= std::sqrt(lambda);
    }
    const double rx2 = rx * rx, ry2 = ry * ry;
    const double den = rx2 * y1 * y1 + ry2 * x1 * x1;
    double coef = den > 0 ? std::sqrt(std::max(0.0, (rx2 * ry2 - den) / den)) : 0;
    if (large == sweep)
        coef = -coef;
    const double cxp = coef * rx * y1 / ry, cyp = -coef * ry * x1 / rx;
    const double cx = c * cxp - s * cyp + (from.x() + to.x()) / 2;
    const double cy = s * cxp + c * cyp + (from.y() + to.y()) / 2;
    const double theta = std::atan2((y1 - cyp) / ry, (x1 - cxp) / rx);
    double delta = std::atan2((-y1 - cyp) / ry, (-x1 - cxp) / rx) - theta;
    if (sweep && delta < 0)
        delta += 2 * M_PI;
    else if (!sweep && delta > 0)
        delta -= 2 * M_PI;
    if (!std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(delta))
        return false;
    const int pieces = std::max(1, int(std::ceil(std::fabs(delta) / (M_PI / 2 + 0.001))));
    const double step = delta / pieces, alpha = 4.0 / 3.0 * std::tan(step / 4);
    auto point = [&](double t) {
        const double ex = rx * std::cos(t), ey = ry * std::sin(t);
        return QPointF(cx + c * ex - s * ey, cy + s * ex + c * ey);
    };
    auto tangent = [&](double t) {
        const double ex = -rx * std::sin(t), ey = ry * std::cos(t);
        return QPointF(c * ex - s * ey, s * ex + c * ey);
    };
    QPointF start = from;
    for (int i = 0; i < pieces; ++i) {
        const double t0 = theta + i * step, t1 = t0 + step;
        const QPointF end = i + 1 == pieces ? to : point(t1);
        path->cubicTo(start + alpha * tangent(t0), end - alpha * tangent(t1), end);
        start = end;
    }
    return true;
}

bool flag(const char *&p, const char *end, bool *out)
{
    if (p >= end || (*p != '0' && *p != '1'))
        return false;
    *out = *p++ == '1';
    skipCommaSpace(p, end);
    return true;
}

// Into a QPainterPath or straight into the model, the same calls.
template<typename Out>
bool pathInto(Text text, Out *out)
{
    const char *p = text.begin, *end = text.end;
    QPointF cur, start, lastControl;
    char last = 0;   // the command before, upper case, for S and T
    skipSpace(p, end);
    if (p == end)
        return true;
    if (*p != 'M' && *p != 'm')
        return false;
    char command = 0;
    while (true) {
        skipSpace(p, end);
        if (p == end)
            return true;
        if (!startsNumber(p, end)) {
            command = *p++;
            skipSpace(p, end);
            if (command == 'Z' || command == 'z') {
                out->closeSubpath();
                cur = start;
                last = 'Z';
                continue;
            }
        } else if (command == 0 || command == 'Z' || command == 'z') {
            return false;
        }
        // The arguments of one command; the command letter stays for the
        // next numbers (a moveto's become linetos).
        const bool rel = command >= 'a' && command <= 'z';
        const QPointF base = rel ? cur : QPointF();
        double v[7];
        auto read = [&](int n) {
            for (int i = 0; i < n; ++i) {
                if (!number(p, end, &v[i]))
                    return false;
                skipCommaSpace(p, end);
            }
            return true;
        };
        const char upper = rel ? char(command - 'a' + 'A') : command;
        switch (upper) {
        case 'M':
            if (!read(2))
                return false;
            cur = start = base + QPointF(v[0], v[1]);
            out->moveTo(cur);
            command = rel ? 'l' : 'L';
            break;
        case 'L':
            if (!read(2))
                return false;
            cur = base + QPointF(v[0], v[1]);
            out->lineTo(cur);
            break;
        case 'H':
            if (!read(1))
                return false;
            cur.setX(base.x() + v[0]);
            out->lineTo(cur);
            break;
        case 'V':
            if (!read(1))
                return false;
            cur.setY(base.y() + v[0]);
            out->lineTo(cur);
            break;
        case 'C': {
            if (!read(6))
                return false;
            const QPointF c1 = base + QPointF(v[0], v[1]);
            lastControl = base + QPointF(v[2], v[3]);
            cur = base + QPointF(v[4], v[5]);
            out->cubicTo(c1, lastControl, cur);
            break;
        }
        case 'S': {
            if (!read(4))
                return false;
            const QPointF c1 = (last == 'C' || last == 'S') ? 2 * cur - lastControl : cur;
            lastControl = base + QPointF(v[0], v[1]);
            cur = base + QPointF(v[2], v[3]);
            out->cubicTo(c1, lastControl, cur);
            break;
        }
        case 'Q':
            if (!read(4))
                return false;
            lastControl = base + QPointF(v[0], v[1]);
            cur = base + QPointF(v[2], v[3]);
            out->quadTo(lastControl, cur);
            break;
        case 'T':
            if (!read(2))
                return false;
            lastControl = (last == 'Q' || last == 'T') ? 2 * cur - lastControl : cur;
            cur = base + QPointF(v[0], v[1]);
            out->quadTo(lastControl, cur);
            break;
        case 'A': {
            bool large, sweep;
            if (!read(3) || !flag(p, end, &large) || !flag(p, end, &sweep) || !number(p, end, &v[3]))
                return false;
            skipCommaSpace(p, end);
            if (!number(p, end, &v[4]))
                return false;
            skipCommaSpace(p, end);
            const QPointF to = base + QPointF(v[3], v[4]);
            if (!arc(out, cur, v[0], v[1], v[2], large, sweep, to))
                return false;
            cur = to;
            break;
        }
        default:
            return false;
        }
        last = upper;
        // A comma may only stand between numbers.
        if (p > text.begin && p[-1] == ',' && !startsNumber(p, end))
            return false;
        if (p > text.begin && isSpace(p[-1])) {
            const char *q = p - 1;
            while (q > text.begin && isSpace(*q))
                --q;
            if (*q == ',' && !startsNumber(p, end))
                return false;
        }
    }
}

} // namespace

bool pathData(Text text, QPainterPath *out)
{
    return pathInto(text, out);
}

bool pathData(Text text, PathBuilder *out)
{
    return pathInto(text, out);
}

bool transformList(Text text, QTransform *out)
{
    const char *p = text.begin, *end = text.end;
    QTransform m;
    skipSpace(p, end);
    while (p < end) {
        const char *name = p;
        while (p < end && ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z')))
            ++p;
        const Text kind{name, p};
        skipSpace(p, end);
        if (p == end || *p != '(')
            return false;
        ++p;
        skipSpace(p, end);
        double v[6];
        int n = 0;
        while (p < end && *p != ')') {
            if (n == 6 || !number(p, end, &v[n++]))
                return false;
            const char *before = p;
            skipCommaSpace(p, end);
            if (p < end && *p == ')' && before < p && std::memchr(before, ',', size_t(p - before)))
                return false;
        }
        if (p == end)
            return false;
        ++p;
        QTransform t;
        if (kind == "matrix" && n == 6)
            t = QTransform(v[0], v[1], v[2], v[3], v[4], v[5]);
        else if (kind == "translate" && (n == 1 || n == 2))
            t = QTransform::fromTranslate(v[0], n == 2 ? v[1] : 0);
        else if (kind == "scale" && (n == 1 || n == 2))
            t = QTransform::fromScale(v[0], n == 2 ? v[1] : v[0]);
        else if (kind == "rotate" && (n == 1 || n == 3)) {
            if (n == 3)
                t.translate(v[1], v[2]);
            t.rotate(v[0]);
            if (n == 3)
                t.translate(-v[1], -v[2]);
        } else if (kind == "skewX" && n == 1)
            t.shear(std::tan(v[0] * M_PI / 180), 0);
        else if (kind == "skewY" && n == 1)
            t.shear(0, std::tan(v[0] * M_PI / 180));
        else
            return false;
        // The later transform applies to the shape first.
        m = t * m;
        skipCommaSpace(p, end);
    }
    *out = m;
    return true;
}

Paint paint(Text text)
{
    if (text == "none")
        return Paint::None;
    if (text == "inherit")
        return Paint::Inherit;
    if (text == "currentColor")
        return Paint::Painted;
    const char *p = text.begin, *end = text.end;
    if (p < end && *p == '#') {
        if (text.size() != 4 && text.size() != 7)
            return Paint::Unknown;
        for (++p; p < end; ++p) {
            if (!isDigit(*p) && !((*p | 0x20) >= 'a' && (*p | 0x20) <= 'f'))
                return Paint::Unknown;
        }
        return Paint::Painted;
    }
    if (text.size() > 4 && std::memcmp(p, "rgb(", 4) == 0 && end[-1] == ')') {
        p += 4;
        for (int i = 0; i < 3; ++i) {
            skipSpace(p, end);
            int value = 0, digits = 0;
            for (; p < end && isDigit(*p) && digits < 4; ++p, ++digits)
                value = value * 10 + (*p - '0');
            if (digits == 0 || value > 255)
                return Paint::Unknown;
            skipSpace(p, end);
            if (i < 2 && (p == end || *p++ != ','))
                return Paint::Unknown;
        }
        return p == end - 1 ? Paint::Painted : Paint::Unknown;
    }
    if (text.isEmpty() || text.size() > 32)
        return Paint::Unknown;
    for (; p < end; ++p) {
        if (!((*p | 0x20) >= 'a' && (*p | 0x20) <= 'z'))
            return Paint::Unknown;
    }
    return QColor::isValidColor(QLatin1String(text.begin, text.size())) ? Paint::Painted : Paint::Unknown;
}

int strokeWidth(Text text)
{
    const char *p = text.begin;
    double w;
    if (!number(p, text.end, &w))
        return -1;
    const Text unit{p, text.end};
    static const char *const units[] = {"", "px", "pt", "pc", "mm", "cm", "in"};
    for (const char *u : units) {
        if (unit == u)
            return w == 0 ? 0 : std::fabs(w) < 1e-6 ? -1 : 1;
    }
    return -1;
}

bool nextDeclaration(const char *&p, const char *end, Text *name, Text *value, bool *bad)
{
    *bad = false;
    while (p < end) {
        const char *semi = static_cast<const char *>(std::memchr(p, ';', size_t(end - p)));
        const char *stop = semi ? semi : end;
        const char *b = p;
        p = semi ? semi + 1 : end;
        skipSpace(b, stop);
        if (b == stop)
            continue;
        const char *colon = static_cast<const char *>(std::memchr(b, ':', size_t(stop - b)));
        if (!colon) {
            *bad = true;
            return false;
        }
        const char *e = colon;
        while (e > b && isSpace(e[-1]))
            --e;
        *name = Text{b, e};
        *value = Text{colon + 1, stop};
        return true;
    }
    return false;
}

} // namespace SvgSyntax
} // namespace KTJob
