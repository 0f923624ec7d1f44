#include "tools/hpgl/kthpgl.h"

#include <QtMath>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <vector>

namespace KTHpgl {

namespace {

constexpr char ESC = 0x1b;
constexpr char ETX = 0x03;
// Default P1/P2 when a file scales without IP: the origin and 250 mm square.
constexpr double DefaultP2 = 10000.0;
constexpr double ChordDegrees = 2.0;   // arcs as chords: length within 0.01 %
constexpr double Pi = 3.14159265358979323846;

constexpr int code(char a, char b)
{
    return (a - 'A') * 26 + (b - 'A');
}

inline bool isLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

inline char upper(char c)
{
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

inline bool isSeparator(char c)
{
    return c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

inline bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Commands read and left without effect on the drawn geometry.
bool isKnownQuiet(int c)
{
    static const std::array<bool, 26 * 26> known = [] {
        std::array<bool, 26 * 26> table{};
        const char *names =
            "SP LT PW VS FS FT PT SI SR DI DR CS CA SS SA ES LO CP PG RP NR BP PS MC PC NP CR WU LA TR "
            "SV UL IW QL RA RR WG OP OH OI OE OS OA OC OW OF OD OO OG OL DV LM AC AD SD TD FI FN SB CT "
            "CF CC CM DL DS IR IV KY EC AP AF AH PB RF UF PP MG BF VA VN GC GM GP IM TL XT YT SL FR MT "
            "CV OT ";
        for (const char *p = names; p[0] && p[1]; p += 3)
            table[size_t(code(p[0], p[1]))] = true;
        return table;
    }();
    return known[size_t(c)];
}

struct Segment
{
    double x0, y0, x1, y1;
    bool down;
};

class Reader
{
public:
    Reader(const QByteArray &bytes, const SegmentSink &sink)
        : m_d(bytes.constData()), m_n(bytes.size()), m_sink(sink)
    {
        m_facts.issues.reserve(MaxIssues);
    }

    Facts run();

private:
    enum class Num { None, Ok, Bad };

    // Lexing
    void noteByte(qint64 at);
    void issue(qint64 at, Problem problem, uchar byte = 0);
    Num number(double &value);
    void skipParams();
    void junk();
    void escape();
    void pcl();
    void pclSequence();
    qint64 pclValue();

    // Commands
    void command();
    void reset();
    void points();
    void inputP1P2();
    void scale();
    void polygonMode();
    void commitPolygon();
    void circle();
    void arc(bool relative);
    void edgeRectangle(bool relative);
    void edgeWedge();
    void bezier(bool relative);
    void label(bool counted);
    void terminator();
    void encodedPolyline();
    bool encodedNumber(bool sevenBit, double &value);

    // Geometry, plotter units
    void updateTransform();
    bool toPlotter(double x, double y, bool relative, double &tx, double &ty);
    void moveTo(double tx, double ty, bool down);
    void line(double x0, double y0, double x1, double y1, bool down);
    void draw(double x0, double y0, double x1, double y1);
    void closedShapeBegin() { m_strokeOpen = false; }
    void arcChords(double cx, double cy, double r, double a0, double sweep, bool down);
    void closeSubpolygon(bool drawClosure);
    bool inRange(double v) const { return std::isfinite(v) && std::fabs(v) <= MaxCoordinate; }

    const char *m_d;
    qint64 m_n;
    qint64 m_i = 0;
    const SegmentSink &m_sink;
    Facts m_facts;

    qint64 m_cmdStart = 0;
    int m_cmd = 0;
    bool m_abandon = false;    // a bad number: the rest of the command is not read
    bool m_pclMode = false;
    bool m_seenCommand = false;
    qint64 m_junkRuns = 0;
    qint64 m_firstJunk = -1;
    qint64 m_firstToken = -1;
    qint64 m_unknownUses = 0;

    double m_px = 0, m_py = 0;
    bool m_penDown = false;
    bool m_relative = false;
    bool m_strokeOpen = false;
    double m_lastX = 0, m_lastY = 0;
    // Drawn extent and length in plotter units, in millimetres at the end.
    double m_minX = 0, m_minY = 0, m_maxX = 0, m_maxY = 0, m_length = 0;
    double m_p1x = 0, m_p1y = 0, m_p2x = DefaultP2, m_p2y = DefaultP2;
    bool m_scaled = false;
    double m_sc[7] = {0, 0, 0, 0, 0, 50, 50};
    double m_ax = 0, m_bx = 1, m_ay = 0, m_by = 1;
    int m_rotation = 0;
    char m_terminator = ETX;

    bool m_polygonMode = false;
    bool m_polygonCommitted = true;
    bool m_subOpen = false;
    bool m_polygonFull = false;
    double m_subX = 0, m_subY = 0;
    std::vector<Segment> m_polygon;
};

void Reader::noteByte(qint64 at)
{
    const uchar c = uchar(m_d[at]);
    if (c < 0x20) {
        if (c == 0x00 || c == 0x02 || c == 0x03)
            issue(at, Problem::FrameByte, c);
        else if (c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != uchar(ESC))
            issue(at, Problem::ControlByte, c);
    } else if (c >= 0x80 && m_facts.firstNonAscii < 0) {
        m_facts.firstNonAscii = at;
    }
}

void Reader::issue(qint64 at, Problem problem, uchar byte)
{
    ++m_facts.issueCount;
    if (m_facts.issues.size() >= MaxIssues)
        return;
    Issue found;
    found.offset = at;
    found.problem = problem;
    found.byte = byte;
    if (problem == Problem::BadNumber || problem == Problem::UnknownCommand || problem == Problem::BadScaling
        || problem == Problem::PolygonOverflow) {
        found.command[0] = char('A' + m_cmd / 26);
        found.command[1] = char('A' + m_cmd % 26);
    }
    m_facts.issues.append(found);
}

// One number of a parameter list, after any separators. Numbers beyond
// plotter coordinates, "nan" and "inf" are reported and never converted.
Reader::Num Reader::number(double &value)
{
    if (m_abandon)
        return Num::None;
    while (m_i < m_n && isSeparator(m_d[m_i]))
        ++m_i;
    if (m_i >= m_n)
        return Num::None;
    const qint64 start = m_i;
    qint64 j = m_i;
    bool negative = false;
    while (j < m_n && (m_d[j] == '+' || m_d[j] == '-')) {
        negative = negative != (m_d[j] == '-');
        ++j;
    }
    if (j + 2 < m_n) {
        const char a = upper(m_d[j]), b = upper(m_d[j + 1]), c = upper(m_d[j + 2]);
        const bool word = (a == 'N' && b == 'A' && c == 'N') || (a == 'I' && b == 'N' && c == 'F');
        if (word && (j + 3 >= m_n || !isLetter(m_d[j + 3]) || upper(m_d[j + 3]) == 'I')) {
            j += 3;
            while (j < m_n && isLetter(m_d[j]) && j - start < 16)
                ++j;
            m_i = j;
            issue(start, Problem::BadNumber);
            m_abandon = true;
            return Num::Bad;
        }
    }
    // Whole digits in an integer: no floating-point chain per digit.
    quint64 whole = 0;
    int digits = 0, significant = 0, fractionDigits = 0, exponent = 0;
    while (j < m_n && isDigit(m_d[j])) {
        const int digit = m_d[j] - '0';
        if (significant > 0 || digit != 0) {
            if (++significant <= 18)
                whole = whole * 10 + quint64(digit);
        }
        ++digits;
        ++j;
    }
    const bool huge = significant > 18;   // beyond 1e18, far beyond plotter coordinates
    double mantissa = double(whole);
    if (j < m_n && m_d[j] == '.') {
        ++j;
        quint64 fraction = 0;
        int kept = 0;
        while (j < m_n && isDigit(m_d[j])) {
            if (kept < 18) {
                fraction = fraction * 10 + quint64(m_d[j] - '0');
                ++kept;
            }
            ++fractionDigits;
            ++j;
        }
        if (kept > 0)
            mantissa += double(fraction) / std::pow(10.0, kept);
    }
    if (digits + fractionDigits == 0) {
        if (j == start)
            return Num::None;
        m_i = j;   // a lone sign or point: no number
        return Num::None;
    }
    if (j + 1 < m_n && (m_d[j] == 'e' || m_d[j] == 'E')) {
        qint64 k = j + 1;
        bool negExp = false;
        if (m_d[k] == '+' || m_d[k] == '-') {
            negExp = m_d[k] == '-';
            ++k;
        }
        if (k < m_n && isDigit(m_d[k])) {
            while (k < m_n && isDigit(m_d[k])) {
                if (exponent < 10000)
                    exponent = exponent * 10 + (m_d[k] - '0');
                ++k;
            }
            if (negExp)
                exponent = -exponent;
            j = k;
        }
    }
    m_i = j;
    double v = huge || exponent > 30 ? HUGE_VAL
               : exponent == 0   ? mantissa
               : exponent < -30  ? 0.0
                                 : mantissa * std::pow(10.0, exponent);
    if (!inRange(v)) {
        issue(start, Problem::BadNumber);
        m_abandon = true;
        return Num::Bad;
    }
    value = negative ? -v : v;
    return Num::Ok;
}

// The rest of a command up to ";" or the next command's letters.
void Reader::skipParams()
{
    while (m_i < m_n) {
        const char c = m_d[m_i];
        if (c == ';') {
            ++m_i;
            return;
        }
        if (isLetter(c) || c == ESC)
            return;
        if (c == '"') {
            ++m_i;
            while (m_i < m_n && m_d[m_i] != '"')
                noteByte(m_i++);
            if (m_i < m_n)
                ++m_i;
            continue;
        }
        if (isSeparator(c) || isDigit(c) || c == '+' || c == '-' || c == '.') {
            ++m_i;
            continue;
        }
        return;   // junk: the main loop reports it
    }
}

void Reader::junk()
{
    if (m_firstJunk < 0)
        m_firstJunk = m_i;
    ++m_junkRuns;
    noteByte(m_i++);
    while (m_i < m_n) {
        const char c = m_d[m_i];
        if (isLetter(c) || isSeparator(c) || c == ';' || c == ESC)
            break;
        noteByte(m_i++);
    }
}

qint64 Reader::pclValue()
{
    qint64 value = 0;
    bool negative = false;
    if (m_i < m_n && (m_d[m_i] == '+' || m_d[m_i] == '-'))
        negative = m_d[m_i++] == '-';
    while (m_i < m_n && isDigit(m_d[m_i])) {
        if (value < INT_MAX)
            value = value * 10 + (m_d[m_i] - '0');
        ++m_i;
    }
    if (m_i < m_n && m_d[m_i] == '.') {
        ++m_i;
        while (m_i < m_n && isDigit(m_d[m_i]))
            ++m_i;
    }
    return negative ? -value : value;
}

// PCL escape sequence after ESC: "%#B" enters HPGL, "%#A" and the universal
// exit leave it; parameterised sequences ending in W carry that many data bytes.
void Reader::pclSequence()
{
    if (m_i >= m_n)
        return;
    const char c = m_d[m_i];
    if (c == '%') {
        ++m_i;
        pclValue();
        if (m_i < m_n) {
            m_pclMode = upper(m_d[m_i]) != 'B';
            ++m_i;
        }
        return;
    }
    m_pclMode = true;
    if (c >= 0x21 && c <= 0x2f) {
        ++m_i;
        if (m_i < m_n && m_d[m_i] >= 0x60 && m_d[m_i] <= 0x7e)
            ++m_i;
        while (m_i < m_n) {
            const qint64 value = pclValue();
            if (m_i >= m_n)
                return;
            const char t = m_d[m_i++];
            if (t == 'W' || t == 'w') {
                const qint64 end = std::min(m_n, m_i + std::max<qint64>(0, value));
                while (m_i < end)
                    noteByte(m_i++);
            }
            if (!(t >= 0x60 && t <= 0x7e))
                return;
        }
        return;
    }
    if (c >= 0x30 && c <= 0x7e)
        ++m_i;
}

void Reader::escape()
{
    ++m_i;   // ESC
    if (m_i >= m_n)
        return;
    if (m_d[m_i] == '.') {
        // Device-control sequence of the plotter's serial interface:
        // ESC . letter, parameters, ":".
        m_i += 2;
        qint64 j = m_i;
        while (j < m_n && j - m_i < 40 && (isDigit(m_d[j]) || m_d[j] == ';'))
            ++j;
        if (j < m_n && m_d[j] == ':')
            m_i = j + 1;
        m_i = std::min(m_i, m_n);
        return;
    }
    pclSequence();
}

void Reader::pcl()
{
    while (m_i < m_n && m_d[m_i] != ESC)
        noteByte(m_i++);
    if (m_i < m_n) {
        ++m_i;
        pclSequence();
    }
}

void Reader::command()
{
    m_cmdStart = m_i;
    m_cmd = code(upper(m_d[m_i]), upper(m_d[m_i + 1]));
    m_i += 2;
    m_abandon = false;
    bool known = true;
    switch (m_cmd) {
    case code('P', 'U'):
        m_penDown = false;
        m_strokeOpen = false;
        points();
        break;
    case code('P', 'D'):
        m_penDown = true;
        points();
        break;
    case code('P', 'A'):
        m_relative = false;
        points();
        break;
    case code('P', 'R'):
        m_relative = true;
        points();
        break;
    case code('I', 'N'):
        reset();
        break;
    case code('D', 'F'):
        m_relative = false;
        m_terminator = ETX;
        m_polygonMode = false;
        m_scaled = false;
        updateTransform();
        break;
    case code('I', 'P'):
        inputP1P2();
        break;
    case code('S', 'C'):
        scale();
        break;
    case code('R', 'O'): {
        double angle = 0;
        if (number(angle) == Num::Ok) {
            const int a = int(std::lround(angle));
            if (a == 0 || a == 90 || a == 180 || a == 270)
                m_rotation = a;
        } else {
            m_rotation = 0;
        }
        break;
    }
    case code('P', 'M'):
        polygonMode();
        break;
    case code('E', 'P'):
    case code('F', 'P'):
        commitPolygon();
        break;
    case code('C', 'I'):
        circle();
        break;
    case code('A', 'A'):
        arc(false);
        break;
    case code('A', 'R'):
        arc(true);
        break;
    case code('E', 'A'):
        edgeRectangle(false);
        break;
    case code('E', 'R'):
        edgeRectangle(true);
        break;
    case code('E', 'W'):
        edgeWedge();
        break;
    case code('B', 'Z'):
        bezier(false);
        break;
    case code('B', 'R'):
        bezier(true);
        break;
    case code('L', 'B'):
        label(true);
        return;
    case code('B', 'L'):
    case code('W', 'D'):
        label(false);
        return;
    case code('D', 'T'):
        terminator();
        break;
    case code('S', 'M'):
        if (m_i < m_n && m_d[m_i] != ';')
            noteByte(m_i++);
        break;
    case code('P', 'E'):
        encodedPolyline();
        return;
    case code('C', 'O'):
        break;   // the quoted text goes with the parameters
    default:
        known = isKnownQuiet(m_cmd);
        break;
    }
    if (known) {
        ++m_facts.commands;
        m_seenCommand = true;
    } else {
        if (m_facts.unknown[size_t(m_cmd)]++ == 0)
            issue(m_cmdStart, Problem::UnknownCommand);
        ++m_unknownUses;
    }
    skipParams();
}

void Reader::reset()
{
    m_penDown = false;
    m_relative = false;
    m_strokeOpen = false;
    m_px = m_py = 0;
    m_p1x = m_p1y = 0;
    m_p2x = m_p2y = DefaultP2;
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
        m_p2x = m_p2y = DefaultP2;
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
        m_polygon.push_back({x0, y0, x1, y1, true});
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
        m_polygon.push_back({last.x1, last.y1, m_subX, m_subY, true});
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
    for (const Segment &s : m_polygon) {
        if (s.down)
            draw(s.x0, s.y0, s.x1, s.y1);
    }
    m_strokeOpen = false;
}

void Reader::arcChords(double cx, double cy, double r, double a0, double sweep, bool down)
{
    const int steps = std::max(1, int(std::ceil(std::fabs(sweep) / ChordDegrees)));
    double x = cx + r * std::cos(a0), y = cy + r * std::sin(a0);
    for (int k = 1; k <= steps; ++k) {
        const double a = a0 + sweep * Pi / 180.0 * k / steps;
        const double nx = cx + r * std::cos(a), ny = cy + r * std::sin(a);
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
    const double radius = std::fabs(r * m_bx);
    if (!inRange(radius) || !inRange(m_px + radius) || !inRange(m_px - radius) || !inRange(m_py + radius)
        || !inRange(m_py - radius)) {
        issue(m_cmdStart, Problem::BadNumber);
        m_abandon = true;
        return;
    }
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
    const double radius = std::fabs(r * m_bx);
    if (!inRange(radius) || !inRange(m_px + radius) || !inRange(m_px - radius) || !inRange(m_py + radius)
        || !inRange(m_py - radius)) {
        issue(m_cmdStart, Problem::BadNumber);
        m_abandon = true;
        return;
    }
    sweep = qBound(-360.0, sweep, 360.0);
    if (radius == 0 || sweep == 0)
        return;
    const double a0 = std::fmod(start, 360.0) * Pi / 180.0;
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
        for (int k = 0; k < 3; ++k) {
            // Relative curves take all three points from the curve's start.
            const double bx = relative ? m_px + m_bx * v[2 * k] : m_ax + m_bx * v[2 * k];
            const double by = relative ? m_py + m_by * v[2 * k + 1] : m_ay + m_by * v[2 * k + 1];
            if (!inRange(bx) || !inRange(by)) {
                issue(m_cmdStart, Problem::BadNumber);
                m_abandon = true;
                return;
            }
            p[2 + 2 * k] = bx;
            p[3 + 2 * k] = by;
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

// LB text runs to the label terminator (ETX unless DT set another); the
// text is not HPGL and may hold any byte but the terminator.
void Reader::label(bool counted)
{
    ++m_facts.commands;
    m_seenCommand = true;
    if (counted)
        ++m_facts.labels;
    const uchar term = uchar(m_terminator);
    while (m_i < m_n && uchar(m_d[m_i]) != term)
        noteByte(m_i++);
    if (m_i >= m_n) {
        issue(m_cmdStart, Problem::UnterminatedLabel);
        m_facts.labelSpans.append({m_cmdStart, m_n - m_cmdStart});
        return;
    }
    if (term == ETX)
        issue(m_i, Problem::LabelTerminator, ETX);
    else
        noteByte(m_i);
    ++m_i;
    if (m_i < m_n && m_d[m_i] == ';')
        ++m_i;
    m_facts.labelSpans.append({m_cmdStart, m_i - m_cmdStart});
}

void Reader::terminator()
{
    if (m_i >= m_n || m_d[m_i] == ';') {
        m_terminator = ETX;
        return;
    }
    noteByte(m_i);
    m_terminator = m_d[m_i++];
}

// Decodes one number of an encoded polyline: base-64 digits (63..126 go on,
// 191..254 end it), or base 32 in seven-bit mode (63..94 go on, 95..126 end).
bool Reader::encodedNumber(bool sevenBit, double &value)
{
    double magnitude = 0, weight = 1;
    for (int digits = 0; m_i < m_n; ++digits) {
        const uchar c = uchar(m_d[m_i]);
        const bool more = sevenBit ? (c >= 63 && c <= 94) : (c >= 63 && c <= 126);
        const bool last = sevenBit ? (c >= 95 && c <= 126) : (c >= 191 && c <= 254);
        if (!more && !last)
            return false;
        noteByte(m_i);
        ++m_i;
        magnitude += (sevenBit ? (last ? c - 95 : c - 63) : (last ? c - 191 : c - 63)) * weight;
        weight *= sevenBit ? 32 : 64;
        if (digits > 12)
            magnitude = HUGE_VAL;
        if (last) {
            const double whole = std::floor(magnitude / 2);
            value = std::fmod(magnitude, 2) != 0 ? -whole : whole;
            return true;
        }
    }
    return false;
}

void Reader::encodedPolyline()
{
    ++m_facts.commands;
    m_seenCommand = true;
    bool sevenBit = false, penUpNext = false, absoluteNext = false;
    int fraction = 0;
    double x = 0, y = 0, tmp = 0;
    while (m_i < m_n) {
        const char c = m_d[m_i];
        if (c == ';') {
            ++m_i;
            return;
        }
        if (c == ':' || c == '>') {
            ++m_i;
            if (!encodedNumber(sevenBit, tmp))
                break;
            if (c == '>')
                fraction = int(qBound(-26.0, tmp, 26.0));
            continue;
        }
        if (c == '<' || c == '=' || c == '7') {
            penUpNext |= c == '<';
            absoluteNext |= c == '=';
            sevenBit |= c == '7';
            ++m_i;
            continue;
        }
        if (!encodedNumber(sevenBit, x) || !encodedNumber(sevenBit, y))
            break;
        const double unit = std::ldexp(1.0, -fraction);
        double tx = 0, ty = 0;
        if (!inRange(x * unit) || !inRange(y * unit) || !toPlotter(x * unit, y * unit, !absoluteNext, tx, ty)) {
            if (!m_abandon)
                issue(m_cmdStart, Problem::BadNumber);
            break;
        }
        m_penDown = !penUpNext;
        moveTo(tx, ty, m_penDown);
        penUpNext = absoluteNext = false;
    }
    // Broken encoding: the rest up to ";" is not drawn.
    while (m_i < m_n && m_d[m_i] != ';' && m_d[m_i] != ESC)
        noteByte(m_i++);
    if (m_i < m_n && m_d[m_i] == ';')
        ++m_i;
}

Facts Reader::run()
{
    Facts &f = m_facts;
    if (m_n == 0) {
        issue(0, Problem::Empty);
        return std::move(f);
    }
    while (m_i < m_n) {
        if (m_pclMode) {
            pcl();
            continue;
        }
        const char c = m_d[m_i];
        if (isSeparator(c) || c == ';') {
            ++m_i;
            continue;
        }
        if (m_firstToken < 0)
            m_firstToken = m_i;
        if (c == ESC) {
            escape();
        } else if (isLetter(c) && m_i + 1 < m_n && isLetter(m_d[m_i + 1])) {
            command();
        } else {
            if (!m_seenCommand && m_unknownUses == 0) {
                // What comes first is neither a command nor an escape: not
                // HPGL, and not worth reading further.
                m_firstJunk = m_i;
                m_junkRuns = 1;
                noteByte(m_i);
                break;
            }
            junk();
        }
    }
    if (m_polygonMode) {
        m_polygonMode = false;
    }
    f.minX = m_minX / UnitsPerMm;
    f.minY = m_minY / UnitsPerMm;
    f.maxX = m_maxX / UnitsPerMm;
    f.maxY = m_maxY / UnitsPerMm;
    f.lengthMm = m_length / UnitsPerMm;
    f.hpgl = f.commands > 0 && m_junkRuns + m_unknownUses <= f.commands;
    if (!f.hpgl) {
        Issue notHpgl;
        notHpgl.problem = Problem::NotHpgl;
        notHpgl.offset = f.commands == 0 ? std::max<qint64>(0, m_firstToken) : std::max<qint64>(0, m_firstJunk);
        notHpgl.byte = m_n > 0 ? uchar(m_d[notHpgl.offset]) : 0;
        f.issues.prepend(notHpgl);
        if (f.issues.size() > MaxIssues)
            f.issues.removeLast();
        ++f.issueCount;
    }
    return std::move(f);
}

} // namespace

bool isError(Problem problem)
{
    switch (problem) {
    case Problem::Empty:
    case Problem::NotHpgl:
    case Problem::FrameByte:
    case Problem::LabelTerminator:
    case Problem::BadNumber:
    case Problem::UnterminatedLabel:
        return true;
    default:
        return false;
    }
}

QString describe(const Issue &issue)
{
    const QString at = QStringLiteral("offset %1: ").arg(issue.offset);
    const QString byte = QStringLiteral("0x%1").arg(uint(issue.byte), 2, 16, QLatin1Char('0'));
    const QString cmd = QString::fromLatin1(issue.command);
    switch (issue.problem) {
    case Problem::Empty:
        return QStringLiteral("the file is empty");
    case Problem::NotHpgl:
        return at + QStringLiteral("not HPGL (byte %1 where a command should be)").arg(byte);
    case Problem::FrameByte: {
        static const char *names[] = {"NUL", "SOH", "STX", "ETX"};
        return at + QStringLiteral("control byte %1 (%2) would break the frame that carries the job")
                        .arg(byte, QLatin1String(names[qMin<int>(issue.byte, 3)]));
    }
    case Problem::LabelTerminator:
        return at + QStringLiteral("a text label ends with ETX (0x03), the default label terminator, which would end "
                                   "the frame that carries the job");
    case Problem::BadNumber:
        return at + QStringLiteral("%1 has a number that is not finite or lies beyond plotter coordinates").arg(cmd);
    case Problem::UnterminatedLabel:
        return at + QStringLiteral("a text label runs to the end of the file");
    case Problem::ControlByte:
        return at + QStringLiteral("stray control byte %1").arg(byte);
    case Problem::UnknownCommand:
        return at + QStringLiteral("unknown command %1").arg(cmd);
    case Problem::BadScaling:
        return at + QStringLiteral("SC with an empty range; scaling left as it was");
    case Problem::PolygonOverflow:
        return at + QStringLiteral("polygon of more than %1 points; the rest is not counted").arg(MaxPolygonSegments);
    }
    return at;
}

const Issue *Facts::firstError() const
{
    const Issue *first = nullptr;
    for (const Issue &i : issues) {
        if (i.problem == Problem::Empty || i.problem == Problem::NotHpgl)
            return &i;
        if (isError(i.problem) && (!first || i.offset < first->offset))
            first = &i;
    }
    return first;
}

QVector<QPair<QByteArray, quint32>> Facts::unknownCommands() const
{
    QVector<QPair<QByteArray, quint32>> list;
    for (size_t k = 0; k < unknown.size(); ++k) {
        if (unknown[k]) {
            const char name[2] = {char('A' + k / 26), char('A' + k % 26)};
            list.append({QByteArray(name, 2), unknown[k]});
        }
    }
    return list;
}

QJsonObject Facts::taskFileInfo() const
{
    auto whole = [](double mm) { return int(std::lround(qBound(0.0, mm, double(INT_MAX)))); };
    return QJsonObject{{"path_length", whole(lengthMm)}, {"heigth", whole(heightMm())}, {"width", whole(widthMm())}};
}

Facts readHpgl(const QByteArray &bytes, const SegmentSink &sink)
{
    return Reader(bytes, sink).run();
}

QByteArray dropLabels(const QByteArray &bytes, const Facts &facts)
{
    QByteArray out;
    qint64 dropped = 0;
    for (const auto &span : facts.labelSpans)
        dropped += span.second;
    out.reserve(int(bytes.size() - dropped));
    qint64 from = 0;
    for (const auto &span : facts.labelSpans) {
        out.append(bytes.constData() + from, int(span.first - from));
        from = span.first + span.second;
    }
    out.append(bytes.constData() + from, int(bytes.size() - from));
    return out;
}

} // namespace KTHpgl
