// Reading the bytes: numbers, separators, escapes, labels, encoded
// polylines, and which command is which.
#include "job/kthpgl_reader.h"

#include <QtMath>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>

namespace KTHpgl {
namespace Internal {

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

void Reader::noteByte(qint64 at)
{
    const uchar c = uchar(m_d[at]);
    if (c < 0x20) {
        if (c == 0x00 || c == 0x02 || c == 0x03)
            issue(at, Problem::FrameByte, c);
        else if (c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != uchar(ESC))
            issue(at, Problem::ControlByte, c);
    } else if (c >= 0x80 && m_facts.firstNonAscii < 0) {
        m_facts.plain = false;
        m_facts.firstNonAscii = at;
    }
}

void Reader::issue(qint64 at, Problem problem, uchar byte)
{
    const bool error = isError(problem);
    const quint32 kind = 1u << int(problem);
    ++m_facts.issueCount;
    m_facts.errorCount += error;
    m_facts.plain = false;
    const bool firstOfItsKind = error && !(m_listedErrors & kind);
    if (m_facts.issues.size() >= MaxIssues && !firstOfItsKind)
        return;
    if (error)
        m_listedErrors |= kind;
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

namespace {

// The digits of a number and its fraction, read from j on.
struct Mantissa
{
    double value = 0;
    int digits = 0;      // whole and fraction digits together
    bool huge = false;   // beyond 1e18, far beyond plotter coordinates
};

Mantissa readMantissa(const char *d, qint64 n, qint64 &j)
{
    Mantissa m;
    // Whole digits in an integer: no floating-point chain per digit.
    quint64 whole = 0;
    int significant = 0;
    while (j < n && isDigit(d[j])) {
        const int digit = d[j] - '0';
        if (significant > 0 || digit != 0) {
            if (++significant <= 18)
                whole = whole * 10 + quint64(digit);
        }
        ++m.digits;
        ++j;
    }
    m.huge = significant > 18;
    m.value = double(whole);
    if (j < n && d[j] == '.') {
        ++j;
        quint64 fraction = 0;
        int kept = 0;
        while (j < n && isDigit(d[j])) {
            if (kept < 18) {
                fraction = fraction * 10 + quint64(d[j] - '0');
                ++kept;
            }
            ++m.digits;
            ++j;
        }
        if (kept > 0)
            m.value += double(fraction) / std::pow(10.0, kept);
    }
    return m;
}

// The exponent after the digits ("e", a sign, digits) read from j on; 0,
// with j where it was, when no digits follow the "e". A long run of digits
// stays bounded.
int readExponent(const char *d, qint64 n, qint64 &j)
{
    if (j + 1 >= n || (d[j] != 'e' && d[j] != 'E'))
        return 0;
    qint64 k = j + 1;
    bool negative = false;
    if (d[k] == '+' || d[k] == '-') {
        negative = d[k] == '-';
        ++k;
    }
    if (k >= n || !isDigit(d[k]))
        return 0;
    int exponent = 0;
    while (k < n && isDigit(d[k])) {
        if (exponent < 10000)
            exponent = exponent * 10 + (d[k] - '0');
        ++k;
    }
    j = k;
    return negative ? -exponent : exponent;
}

} // namespace

// One number of a parameter list, after any separators. Numbers beyond
// plotter coordinates, "nan" and "inf" are reported and never converted.
Reader::Num Reader::number(double &value)
{
    if (m_abandon)
        return Num::None;
    const char *const d = m_d;
    qint64 i = m_i;
    while (i < m_n && isSeparator(d[i]))
        ++i;
    m_i = i;
    if (i >= m_n)
        return Num::None;
    // Most numbers are short integers: read at once when nothing follows
    // that would make them more (a fraction, an exponent, more digits).
    {
        const bool negative = d[i] == '-';
        const qint64 first = negative ? i + 1 : i;
        qint64 k = first;
        quint32 whole = 0;
        while (k < m_n && k - first < 9 && isDigit(d[k])) {
            whole = whole * 10 + quint32(d[k] - '0');
            ++k;
        }
        if (k > first && (k >= m_n || (!isDigit(d[k]) && d[k] != '.' && d[k] != 'e' && d[k] != 'E'))
            && whole <= MaxCoordinate) {
            m_i = k;
            value = negative ? -double(whole) : double(whole);
            return Num::Ok;
        }
    }
    const qint64 start = m_i;
    qint64 j = m_i;
    bool negative = false;
    while (j < m_n && (m_d[j] == '+' || m_d[j] == '-')) {
        negative = negative != (m_d[j] == '-');
        ++j;
    }
    if (j + 2 < m_n && isLetter(m_d[j])) {
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
    const Mantissa m = readMantissa(m_d, m_n, j);
    if (m.digits == 0) {
        if (j == start)
            return Num::None;
        m_i = j;   // a lone sign or point: no number
        return Num::None;
    }
    const int exponent = readExponent(m_d, m_n, j);
    m_i = j;
    double v = m.huge || exponent > 30 ? HUGE_VAL
               : exponent == 0     ? m.value
               : exponent < -30    ? 0.0
                                   : m.value * std::pow(10.0, exponent);
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
    m_facts.plain = false;
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
    m_facts.plain = false;
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
    case code('I', 'N'): case code('P', 'U'): case code('P', 'D'): case code('P', 'A'): case code('P', 'R'):
    case code('S', 'P'): case code('V', 'S'): case code('F', 'S'):
        break;
    default:
        m_facts.plain = false;
        break;
    }
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
        defaults();
        break;
    case code('I', 'P'):
        inputP1P2();
        break;
    case code('S', 'C'):
        scale();
        break;
    case code('R', 'O'):
        rotate();
        break;
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
    case code('A', 'T'):
        arcThrough(false);
        break;
    case code('R', 'T'):
        arcThrough(true);
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
        comment();
        break;
    case code('S', 'P'):
        tool('S', 'P');
        break;
    case code('V', 'S'):
        tool('V', 'S');
        break;
    case code('F', 'S'):
        tool('F', 'S');
        break;
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

// DF: absolute plotting, ETX ends labels, no polygon, no user scale.
void Reader::defaults()
{
    m_relative = false;
    m_terminator = ETX;
    m_polygonMode = false;
    m_scaled = false;
    updateTransform();
}

// RO: a quarter turn the plotter knows is kept; RO alone turns back to 0.
void Reader::rotate()
{
    double angle = 0;
    if (number(angle) == Num::Ok) {
        const int a = int(std::lround(angle));
        if (a == 0 || a == 90 || a == 180 || a == 270)
            m_rotation = a;
    } else {
        m_rotation = 0;
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

// A comment is quoted text, which goes with the parameters; some writers
// leave the quotes out, and their text then runs to ";" or the line's end.
void Reader::comment()
{
    while (m_i < m_n && (m_d[m_i] == ' ' || m_d[m_i] == '\t'))
        ++m_i;
    if (m_i >= m_n || m_d[m_i] == '"')
        return;
    while (m_i < m_n && m_d[m_i] != ';' && m_d[m_i] != '\n' && m_d[m_i] != '\r')
        noteByte(m_i++);
}

// Pen, velocity and force go into the job as numbers written anew, never as
// the file's bytes.
void Reader::tool(char a, char b)
{
    QByteArray command;
    command.append(a).append(b);
    double value = 0;
    for (int k = 0; k < 2 && number(value) == Num::Ok; ++k) {
        if (k)
            command.append(',');
        command.append(QByteArray::number(value, 'g', 8));
    }
    if (m_paths)
        m_paths->addTool(command);
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

namespace {

bool isEncodedDigit(uchar c, bool sevenBit)
{
    return (c >= 63 && c <= 126) || (!sevenBit && c >= 191 && c <= 254);
}

bool isEncodedFlag(uchar c)
{
    return c == ':' || c == '<' || c == '=' || c == '>' || c == '7';
}

// What PE data lets pass without a word: control bytes and space, DEL, and
// in eight-bit mode the upper controls, no-break space and 255.
bool isEncodedFill(uchar c, bool sevenBit)
{
    return c <= 32 || c == 127 || (!sevenBit && ((c >= 128 && c <= 160) || c == 255));
}

} // namespace

// Up to the next byte of PE data that means something; any other byte is
// reported where it is and passed over.
void Reader::skipEncodedFill(bool sevenBit)
{
    while (m_i < m_n) {
        const uchar c = uchar(m_d[m_i]);
        if (c == ';' || c == uchar(ESC) || isEncodedDigit(c, sevenBit) || isEncodedFlag(c))
            return;
        noteByte(m_i);
        if (!isEncodedFill(c, sevenBit))
            issue(m_i, Problem::EncodedByte, c);
        ++m_i;
    }
}

// One number of an encoded polyline: base-64 digits (63..126 go on,
// 191..254 end it), or base 32 in seven-bit mode (63..94 go on, 95..126
// end). Cut when ";", ESC, a flag or the end comes first.
Reader::Encoded Reader::encodedNumber(bool sevenBit, double &value)
{
    double magnitude = 0, weight = 1;
    for (int digits = 0;; digits = std::min(digits + 1, 12)) {
        skipEncodedFill(sevenBit);
        if (m_i >= m_n || !isEncodedDigit(uchar(m_d[m_i]), sevenBit))
            return digits == 0 ? Encoded::None : Encoded::Cut;
        const uchar c = uchar(m_d[m_i]);
        noteByte(m_i++);
        const bool last = sevenBit ? c >= 95 : c >= 191;
        const int digit = sevenBit ? (last ? c - 95 : c - 63) : (last ? c - 191 : c - 63);
        // Beyond a dozen digits the number is past plotter coordinates:
        // kept huge, never summed further.
        if (digits < 12) {
            magnitude += digit * weight;
            weight *= sevenBit ? 32 : 64;
        } else {
            magnitude = HUGE_VAL;
        }
        if (last) {
            const double whole = std::floor(magnitude / 2);
            value = std::fmod(magnitude, 2) != 0 ? -whole : whole;
            return Encoded::Ok;
        }
    }
}

void Reader::encodedPolyline()
{
    ++m_facts.commands;
    m_seenCommand = true;
    bool sevenBit = false, penUpNext = false, absoluteNext = false;
    int fraction = 0;
    double x = 0, y = 0, tmp = 0;
    for (;;) {
        skipEncodedFill(sevenBit);
        if (m_i >= m_n || m_d[m_i] == ESC)
            return;
        const char c = m_d[m_i];
        if (c == ';') {
            ++m_i;
            return;
        }
        const qint64 at = m_i;
        if (c == ':' || c == '>') {
            ++m_i;
            if (encodedNumber(sevenBit, tmp) != Encoded::Ok)
                issue(at, Problem::EncodedCut);
            else if (c == '>')
                fraction = int(qBound(-26.0, tmp, 26.0));
            continue;
        }
        if (isEncodedFlag(uchar(c))) {
            penUpNext |= c == '<';
            absoluteNext |= c == '=';
            sevenBit |= c == '7';
            ++m_i;
            continue;
        }
        if (encodedNumber(sevenBit, x) != Encoded::Ok || encodedNumber(sevenBit, y) != Encoded::Ok) {
            issue(at, Problem::EncodedCut);
            continue;
        }
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
    // A number beyond plotter coordinates: the rest up to ";" is not drawn.
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
        if (m_untilNotPlain && !f.plain)
            break;
        if (m_pclMode) {
            pcl();
            continue;
        }
        const char c = m_d[m_i];
        if (isSeparator(c) || c == ';') {
            ++m_i;
            continue;
        }
        if (isPadding(c)) {
            noteByte(m_i++);   // NUL and STX still break the frame, and are reported
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
        ++f.issueCount;
        ++f.errorCount;
    }
    return std::move(f);
}

} // namespace Internal
} // namespace KTHpgl
