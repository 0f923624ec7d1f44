#ifndef KTHPGL_READER_H
#define KTHPGL_READER_H

// The reader behind readHpgl(), shared by its source files; not for use
// outside job/.
#include "job/kthpgl.h"
#include "job/ktjobpaths.h"

#include <cmath>
#include <vector>

namespace KTHpgl {
namespace Internal {


constexpr char ESC = 0x1b;
constexpr char ETX = 0x03;
constexpr double ChordDegrees = 2.0;   // arcs as chords at most this far apart: length within 0.01 %
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

// Bytes that pad the space between commands: control bytes but ESC, and DEL.
inline bool isPadding(char c)
{
    const uchar u = uchar(c);
    return (u < 0x20 && c != ESC) || u == 0x7f;
}

inline bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isKnownQuiet(int c);

struct Segment
{
    double x0, y0, x1, y1;
};

class Reader
{
public:
    Reader(const QByteArray &bytes, const SegmentSink &sink, const Options &options)
        : m_d(bytes.constData()), m_n(bytes.size()), m_sink(sink), m_paths(options.paths),
          m_untilNotPlain(options.untilNotPlain)
    {
        m_facts.issues.reserve(MaxListedIssues);
        const double w = options.plotArea.width() * UnitsPerMm, h = options.plotArea.height() * UnitsPerMm;
        if (w > 0 && h > 0 && inRange(w) && inRange(h)) {
            m_areaW = w;
            m_areaH = h;
        }
        m_p2x = m_areaW;
        m_p2y = m_areaH;
        // A point takes four bytes of the file at least ("1,1,"); arcs
        // make more, and the model grows past this as it must.
        if (m_paths && !m_untilNotPlain)
            m_paths->reserve(m_n / 4);
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
    void defaults();
    void rotate();
    void points();
    void inputP1P2();
    void scale();
    void polygonMode();
    void commitPolygon();
    void circle();
    void arc(bool relative);
    void arcThrough(bool relative);
    void comment();
    void edgeRectangle(bool relative);
    void edgeWedge();
    void bezier(bool relative);
    void label(bool counted);
    void terminator();
    void tool(char a, char b);
    enum class Encoded { None, Cut, Ok };
    void encodedPolyline();
    void skipEncodedFill(bool sevenBit);
    Encoded encodedNumber(bool sevenBit, double &value);

    // Geometry, plotter units
    void updateTransform();
    bool toPlotter(double x, double y, bool relative, double &tx, double &ty);
    // A circle's radius in plotter units, its extent around the pen in range.
    bool radiusAround(double r, double &radius);
    void moveTo(double tx, double ty, bool down);
    void line(double x0, double y0, double x1, double y1, bool down);
    void draw(double x0, double y0, double x1, double y1);
    void closedShapeBegin() { m_strokeOpen = false; }
    void arcChords(double cx, double cy, double r, double a0, double sweep, bool down);
    // True when the user-to-plotter scaling mirrors exactly one axis: what
    // turns counter-clockwise in user units then turns clockwise on the plotter.
    bool mirrored() const { return (m_bx < 0) != (m_by < 0); }
    void closeSubpolygon(bool drawClosure);
    bool inRange(double v) const { return std::isfinite(v) && std::fabs(v) <= MaxCoordinate; }

    const char *m_d;
    qint64 m_n;
    qint64 m_i = 0;
    const SegmentSink &m_sink;
    KTJob::Paths *m_paths;
    bool m_untilNotPlain;
    Facts m_facts;
    quint32 m_listedErrors = 0;   // kinds of error listed, a bit each

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
    double m_areaW = DefaultAreaWidth, m_areaH = DefaultAreaHeight;
    double m_p1x = 0, m_p1y = 0, m_p2x = DefaultAreaWidth, m_p2y = DefaultAreaHeight;
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

} // namespace Internal
} // namespace KTHpgl

#endif // KTHPGL_READER_H
