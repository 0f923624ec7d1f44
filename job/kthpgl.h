#ifndef KTHPGL_H
#define KTHPGL_H

#include <QByteArray>
#include <QJsonObject>
#include <QPair>
#include <QPointF>
#include <QSizeF>
#include <QString>
#include <QVector>

#include <array>
#include <functional>

namespace KTJob {
class Paths;
}

// Job facts read from HPGL cut data as real programs write it: the drawn
// (pen-down) extent and length, strokes, text labels, and every place where
// the bytes would not reach the machine as a drawing. One pass over the bytes;
// nothing is allocated per command.
namespace KTHpgl {

constexpr double UnitsPerMm = 40.0;
// Plotter coordinates are 32-bit on the machine; a number beyond this is a
// broken file, not a drawing, and is never converted.
constexpr double MaxCoordinate = 1073741823.0;
// Where P1 and P2 lie until IP moves them: the corners of the plotter's
// hard-clip area. Programs that scale without IP (plotting programs,
// instruments) draw for a landscape A4-class plotter; 10365 x 7962 units,
// 259.1 x 199.1 mm, is the hard-clip area such plotters report for A4 paper.
constexpr double DefaultAreaWidth = 10365.0;
constexpr double DefaultAreaHeight = 7962.0;
// Problems kept with their offset; the count goes on beyond this. Past it
// the first problem of each kind that makes a job unfit is kept still, so
// none goes unseen: a list holds at most MaxListedIssues.
constexpr int MaxIssues = 64;
constexpr int MaxListedIssues = MaxIssues + 16;
// Points a polygon buffer holds before further points are dropped.
constexpr int MaxPolygonSegments = 1 << 20;

enum class Problem {
    Empty,             // no bytes at all
    NotHpgl,           // the bytes are not HPGL commands
    FrameByte,         // NUL, STX or ETX: the frame that carries the job would end or break there
    LabelTerminator,   // a text label ends with ETX, the default label terminator
    BadNumber,         // a number that is not finite or beyond plotter coordinates
    UnterminatedLabel, // a text label runs to the end of the file
    ControlByte,       // another control byte outside a text label
    UnknownCommand,    // first use of a command the reader does not know
    BadScaling,        // SC with an empty range; scaling left as it was
    PolygonOverflow,   // polygon buffer full; further points dropped
    EncodedByte,       // a byte in PE data that is neither a digit, a flag nor one PE lets pass
    EncodedCut,        // PE data that ends inside a number or between x and y
};

struct Issue
{
    qint64 offset = 0;
    Problem problem = Problem::NotHpgl;
    uchar byte = 0;           // the byte concerned, where one is
    char command[3] = {0, 0, 0};
};

// Problems that make a job unfit to send: the machine would misread it.
bool isError(Problem problem);
// One line: offset and cause.
QString describe(const Issue &issue);

struct Facts
{
    bool hpgl = false;          // at least one HPGL command and no sign of another format
    // Nothing but IN, PU, PD, PA, PR and the tool commands SP, VS and FS,
    // all in ASCII with no problem: the machine reads the file as it is.
    bool plain = true;
    bool drawn = false;         // some pen-down geometry
    double minX = 0, minY = 0, maxX = 0, maxY = 0;   // drawn extent, mm
    double lengthMm = 0;        // drawn (pen-down) length
    qint64 strokes = 0;         // pen-down runs, closed shapes each one
    qint64 labels = 0;          // LB text labels
    qint64 commands = 0;        // known commands read
    qint64 firstNonAscii = -1;  // offset of the first byte above 0x7F
    QVector<Issue> issues;      // in file order; see MaxIssues
    qint64 issueCount = 0;
    qint64 errorCount = 0;      // of them, problems that make a job unfit
    QVector<QPair<qint64, qint64>> labelSpans;   // offset and size of each LB/BL command with its text
    std::array<quint32, 26 * 26> unknown{};      // uses of unknown commands, by mnemonic

    double widthMm() const { return drawn ? maxX - minX : 0; }
    double heightMm() const { return drawn ? maxY - minY : 0; }
    const Issue *firstError() const;
    const Issue *first(Problem problem) const;   // null: none
    QVector<QPair<QByteArray, quint32>> unknownCommands() const;
    // The object the cut hands the plug-in as TASK_FILE_INFO (whole mm).
    QJsonObject taskFileInfo() const;
};

// Called for every drawn straight piece, in mm, y up; arcs and curves arrive
// as short chords.
using SegmentSink = std::function<void(const QPointF &from, const QPointF &to)>;

struct Options
{
    // The plotter's hard-clip area in mm; one that is empty or beyond
    // plotter coordinates counts as the default.
    QSizeF plotArea = QSizeF(DefaultAreaWidth / UnitsPerMm, DefaultAreaHeight / UnitsPerMm);
    // When set, gets every drawn piece in plotter units (the machine's) and
    // the tool commands SP, VS and FS in their place.
    KTJob::Paths *paths = nullptr;
    // Stop at the first sign that the file is not plain: a probe for
    // whether it can go as it is. The facts then cover only what was read.
    bool untilNotPlain = false;
};

Facts readHpgl(const QByteArray &bytes, const SegmentSink &sink = SegmentSink(), const Options &options = Options());

// The bytes without their text-label commands (LB and BL with their text).
QByteArray dropLabels(const QByteArray &bytes, const Facts &facts);

} // namespace KTHpgl

#endif // KTHPGL_H
