#ifndef KTSVGSTYLE_H
#define KTSVGSTYLE_H

#include "job/ktsvgsyntax.h"

#include <QTransform>

#include <cstring>

// How an element of a streamed drawing is painted: what its attributes and
// style declarations say, and what it inherits. Attributes come as the XML
// parser hands them over: five pointers each (local name, prefix, namespace,
// value, the value's end), UTF-8, names NUL-terminated.
namespace KTJob {
namespace SvgStyle {

inline const char *bytes(const unsigned char *s)
{
    return reinterpret_cast<const char *>(s);
}

inline bool named(const unsigned char *s, const char *literal)
{
    // Most names differ in their first letter: no call for those.
    return *s == uchar(*literal) && std::strcmp(bytes(s), literal) == 0;
}

// One of a list that ends with nullptr.
inline bool namedOneOf(const unsigned char *s, const char *const *list)
{
    for (; *list; ++list) {
        if (named(s, *list))
            return true;
    }
    return false;
}

struct State
{
    QTransform ctm;         // user units to machine units
    bool fill = true;
    bool stroke = false;
    bool strokeWidthZero = false;
    bool visible = true;
};

// What an element says about painting, from its attributes and its style
// declarations.
struct Presentation
{
    enum { Fill, Stroke, Width, Display, Visibility, Count };
    SvgSyntax::Text value[Count];
    bool set[Count] = {};
    SvgSyntax::Text transform;
    bool hasTransform = false;
};

// The attributes of an element: presentation ones collected, geometry ones
// (named in geometry, a list ending with nullptr) left to the caller,
// harmless ones passed over; false for anything else.
bool readPresentation(int count, const unsigned char **attributes, const char *const *geometry, Presentation *out);
// What an element's presentation makes of the state it inherits; false for
// a value not understood. *displayed false for display none.
bool applyPresentation(const Presentation &p, State *state, bool *displayed);

} // namespace SvgStyle
} // namespace KTJob

#endif // KTSVGSTYLE_H
