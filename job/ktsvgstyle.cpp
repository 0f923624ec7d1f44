#include "job/ktsvgstyle.h"

namespace KTJob {
namespace SvgStyle {

using namespace SvgSyntax;

namespace {

// Attributes and style properties with no bearing on which outlines are
// cut or where.
const char *const Ignored[] = {
    "id", "class", "opacity", "fill-opacity", "stroke-opacity", "fill-rule", "clip-rule", "stroke-linecap",
    "stroke-linejoin", "stroke-miterlimit", "stroke-dasharray", "stroke-dashoffset", "color",
    "color-interpolation", "color-interpolation-filters", "color-rendering", "shape-rendering",
    "image-rendering", "vector-effect", "paint-order", "letter-spacing", "word-spacing", "line-height",
    "writing-mode", "direction", "dominant-baseline", "alignment-baseline", "baseline-shift", "white-space",
    "stop-color", "stop-opacity", "flood-color", "flood-opacity", "lighting-color", "solid-color",
    "solid-opacity", "mix-blend-mode", "isolation", "overflow", "enable-background", "pathLength",
    "aria-label", "role", "version", "baseProfile", "inline-size", "shape-padding", "shape-margin",
    "zoomAndPan", "contentScriptType", "contentStyleType", "lang", "tabindex", "focusable", nullptr};

// References to what the renderer does not draw or does not have; "none"
// leaves nothing to draw either way.
const char *const NoneOnly[] = {"marker", "marker-start", "marker-mid", "marker-end", "filter", "clip-path", "mask",
                                nullptr};

bool ignored(const char *begin, size_t n, Text value)
{
    auto prefix = [&](const char *p) {
        const size_t k = std::strlen(p);
        return n > k && std::memcmp(begin, p, k) == 0;
    };
    if (prefix("font-") || prefix("text-") || prefix("-inkscape-") || prefix("data-")
        || (n == 4 && std::memcmp(begin, "font", 4) == 0))
        return true;
    for (const char *const *p = Ignored; *p; ++p) {
        if (std::strlen(*p) == n && std::memcmp(*p, begin, n) == 0)
            return true;
    }
    for (const char *const *p = NoneOnly; *p; ++p) {
        if (std::strlen(*p) == n && std::memcmp(*p, begin, n) == 0)
            return value == "none";
    }
    return false;
}

int property(const char *begin, size_t n)
{
    static const char *const names[] = {"fill", "stroke", "stroke-width", "display", "visibility"};
    for (int i = 0; i < Presentation::Count; ++i) {
        if (std::strlen(names[i]) == n && std::memcmp(names[i], begin, n) == 0)
            return i;
    }
    return -1;
}

} // namespace

bool readPresentation(int count, const unsigned char **attributes, const char *const *geometry, Presentation *out)
{
    Text style;
    bool hasStyle = false;
    for (int i = 0; i < count; ++i) {
        const unsigned char **a = attributes + 5 * i;
        // Prefixed attributes (an editor's own, xml:space, xlink:href) are
        // not the renderer's.
        if (a[1])
            continue;
        const Text value{bytes(a[3]), bytes(a[4])};
        const int k = property(bytes(a[0]), std::strlen(bytes(a[0])));
        if (k >= 0) {
            out->value[k] = value;
            out->set[k] = true;
        } else if (named(a[0], "transform")) {
            out->transform = value;
            out->hasTransform = true;
        } else if (named(a[0], "style")) {
            style = value;
            hasStyle = true;
        } else if (!(geometry && namedOneOf(a[0], geometry)) && !ignored(bytes(a[0]), std::strlen(bytes(a[0])), value)) {
            return false;
        }
    }
    if (!hasStyle)
        return true;
    const char *p = style.begin;
    Text prop, value;
    bool bad = false;
    while (nextDeclaration(p, style.end, &prop, &value, &bad)) {
        const int k = property(prop.begin, size_t(prop.size()));
        if (k >= 0) {
            // Which of the two wins is the renderer's business; and values
            // are taken only as written, without spaces around them.
            if (out->set[k] || value.isEmpty() || value.begin[0] == ' ' || value.end[-1] == ' '
                || std::memchr(value.begin, '!', size_t(value.size())))
                return false;
            out->value[k] = value;
            out->set[k] = true;
        } else if (!ignored(prop.begin, size_t(prop.size()), value)) {
            return false;
        }
    }
    return !bad;
}

bool applyPresentation(const Presentation &p, State *state, bool *displayed)
{
    if (p.hasTransform) {
        QTransform t;
        if (!transformList(p.transform, &t))
            return false;
        state->ctm = t * state->ctm;
    }
    for (int k : {int(Presentation::Fill), int(Presentation::Stroke)}) {
        if (!p.set[k])
            continue;
        const Paint paint = SvgSyntax::paint(p.value[k]);
        if (paint == Paint::Unknown)
            return false;
        if (paint != Paint::Inherit)
            (k == Presentation::Fill ? state->fill : state->stroke) = paint == Paint::Painted;
    }
    if (p.set[Presentation::Width] && !(p.value[Presentation::Width] == "inherit")) {
        const int width = strokeWidth(p.value[Presentation::Width]);
        if (width < 0)
            return false;
        state->strokeWidthZero = width == 0;
    }
    if (p.set[Presentation::Display]) {
        const Text &v = p.value[Presentation::Display];
        if (v == "none")
            *displayed = false;
        else if (!(v == "inline"))
            return false;
    }
    if (p.set[Presentation::Visibility]) {
        const Text &v = p.value[Presentation::Visibility];
        // Shown again inside a hidden element, the renderer goes on
        // showing what follows it there too: left to the renderer.
        if (v == "hidden" || v == "collapse")
            state->visible = false;
        else if (!state->visible || !(v == "visible" || v == "inherit"))
            return false;
    }
    return true;
}

} // namespace SvgStyle
} // namespace KTJob
