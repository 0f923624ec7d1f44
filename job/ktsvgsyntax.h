#ifndef KTSVGSYNTAX_H
#define KTSVGSYNTAX_H

#include <QByteArray>

class QPainterPath;
class QPolygonF;
class QTransform;

// The pieces of SVG attribute syntax the streaming reader understands, on
// UTF-8 bytes as the XML parser hands them over: no I/O, no allocation but
// the path being built. Each reads the whole text or fails; a failure means
// the drawing goes the general way, so none of them guesses.
namespace KTJob {

class PathBuilder;

namespace SvgSyntax {

struct Text
{
    const char *begin = nullptr;
    const char *end = nullptr;

    bool isEmpty() const { return begin == end; }
    int size() const { return int(end - begin); }
    bool operator==(const char *literal) const;
};

// One number as SVG writes it ("-1.5e-3", ".5", "+2."), p moved past it.
bool number(const char *&p, const char *end, double *out);

// A coordinate or length on a shape: a number, "px" allowed, nothing else.
bool length(Text text, double *out);

// "x,y x,y ...", an even count of at least two numbers.
bool points(Text text, QPolygonF *out);

// The whole path grammar; arcs become cubics. False on any error.
bool pathData(Text text, QPainterPath *out);
bool pathData(Text text, PathBuilder *out);

// A transform list, applied first to last as SVG nests them.
bool transformList(Text text, QTransform *out);

// What a fill or stroke value paints.
enum class Paint { None, Painted, Inherit, Unknown };
Paint paint(Text text);

// A stroke width: 1 painted, 0 none, -1 not understood.
int strokeWidth(Text text);

// One "name:value" of a style attribute at a time, names trimmed, values
// as written; false at the end, or with *bad set on a declaration that is
// not name:value.
bool nextDeclaration(const char *&p, const char *end, Text *name, Text *value, bool *bad);

} // namespace SvgSyntax
} // namespace KTJob

#endif // KTSVGSYNTAX_H
