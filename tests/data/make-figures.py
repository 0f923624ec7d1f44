#!/usr/bin/python3
"""Expected figures of the sample drawings in svg/ and pdf/, measured once by
an interpreter independent of the readers under test: Inkscape's own Python
library (inkex). Writes NAME.figures beside each file:

    width_mm=... height_mm=... length_mm=... paths=...

the cut extent (the curves' exact bounding box), the length of every drawn
outline and the number of subpaths; an outline drawn twice in a row (filled,
then stroked as its own path) counts once. In a PDF, a rectangle only filled
that covers the whole page is the page's background (PDF writers paint white
pages so), not a line to cut, and is left out. Text is measured from Inkscape's own
text-to-path conversion, and a PDF from Inkscape's import of its first page
(pdftocairo's SVG scales some strokes' paths, so it is not used).

Needs inkscape and python3-lxml (Debian's python3, for inkex).
Run from anywhere:  tests/data/make-figures.py [FILE...]
"""
import glob
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, '/usr/share/inkscape/extensions')
import inkex  # noqa: E402
from inkex import bezier  # noqa: E402
from inkex.transforms import Transform  # noqa: E402

NOT_DRAWN = {'defs', 'clipPath', 'mask', 'symbol', 'marker', 'pattern', 'metadata',
             'title', 'desc', 'style', 'image', 'namedview', 'foreignObject'}
CONTAINERS = {'svg', 'g', 'a', 'switch'}
SHAPES = {'path', 'rect', 'circle', 'ellipse', 'line', 'polyline', 'polygon'}


def local(tag):
    return tag.split('}')[-1] if isinstance(tag, str) else ''


def visible(node):
    style = node.specified_style()
    if style.get('display') == 'none':
        return False
    fill = style.get('fill', 'black')
    stroke = style.get('stroke', 'none')
    return not (str(fill) in ('none', '') and str(stroke) in ('none', ''))


def draw(node, t, out):
    tag = local(node.tag)
    if tag in NOT_DRAWN or node.get('display') == 'none':
        return
    t = t @ Transform(node.get('transform'))
    if tag == 'use':
        ref = node.href
        if ref is not None:
            t = t @ Transform(translate=(float(node.get('x') or 0), float(node.get('y') or 0)))
            if local(ref.tag) == 'symbol':
                for child in ref:
                    draw(child, t, out)
            else:
                draw(ref, t, out)
    elif tag in CONTAINERS:
        for child in node:
            draw(child, t, out)
    elif tag in SHAPES and visible(node):
        stroke = str(node.specified_style().get('stroke', 'none'))
        out.append((node.path.to_absolute().transform(t), stroke in ('none', '')))


def to_mm(root):
    """User units to mm: the viewBox fitted into width x height."""
    width = inkex.units.convert_unit(root.get('width'), 'mm')
    height = inkex.units.convert_unit(root.get('height'), 'mm')
    box = root.get_viewbox()
    if not box or not box[2] or not box[3]:
        px = inkex.units.convert_unit('1px', 'mm')
        return Transform(scale=(px, px))
    sx, sy = width / box[2], height / box[3]
    if not (root.get('preserveAspectRatio') or '').startswith('none'):
        sx = sy = min(sx, sy)
    return Transform(scale=(sx, sy)) @ Transform(translate=(-box[0], -box[1]))


def page_background(path, page):
    """A rectangle whose box reaches the page's edges (within 0.05 mm) or beyond."""
    points = [p for sub in path.to_superpath() for p in sub]
    b = path.bounding_box()
    if b is None or len(points) > 6:
        return False
    on_edges = all((abs(p[1][0] - b.left) < 0.01 or abs(p[1][0] - b.right) < 0.01)
                   and (abs(p[1][1] - b.top) < 0.01 or abs(p[1][1] - b.bottom) < 0.01) for p in points)
    return on_edges and b.left <= 0.05 and b.top <= 0.05 and b.right >= page[0] - 0.05 and b.bottom >= page[1] - 0.05


def measure(svg_path, pdf=False):
    root = inkex.load_svg(svg_path).getroot()
    paths = []
    draw(root, to_mm(root), paths)
    page = (inkex.units.convert_unit(root.get('width'), 'mm'), inkex.units.convert_unit(root.get('height'), 'mm'))
    paths = [p for p, fill_only in paths if not (pdf and fill_only and page_background(p, page))]
    mm = 1.0
    length, count, box = 0.0, 0, None
    last = None
    for path in paths:
        # An outline drawn again right away (filled, then stroked as a path
        # of its own) is cut once.
        key = [tuple(round(v, 3) for p in sub for v in p[1]) for sub in path.to_superpath()]
        if key == last:
            continue
        last = key
        for sub in path.to_superpath():
            if len(sub) < 2:
                continue
            count += 1
            length += bezier.csplength([sub])[1]
        b = path.bounding_box()
        if b is not None:
            box = b if box is None else box + b
    width = box.width / mm if box else 0
    height = box.height / mm if box else 0
    return width, height, length / mm, count


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def figures(path):
    with tempfile.TemporaryDirectory() as tmp:
        source = path
        if path.endswith('.pdf'):
            # Inkscape's own PDF import, its text drawn as outlines.
            source = os.path.join(tmp, 'page.svg')
            subprocess.run(['inkscape', '--pdf-page=1', '--export-text-to-path',
                            '--export-plain-svg', '--export-type=svg', '--export-filename=' + source, path],
                           check=True, stderr=subprocess.DEVNULL)
        elif b'<text' in read(path):
            source = os.path.join(tmp, 'outlines.svg')
            subprocess.run(['inkscape', '--export-text-to-path', '--export-plain-svg', '--export-type=svg',
                            '--export-filename=' + source, path], check=True, stderr=subprocess.DEVNULL)
        return measure(source, pdf=path.endswith('.pdf'))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    files = sys.argv[1:] or sorted(glob.glob(os.path.join(here, 'svg', '*.svg'))
                                   + glob.glob(os.path.join(here, 'svg', '*.svgz'))
                                   + glob.glob(os.path.join(here, 'pdf', '*.pdf')))
    for f in files:
        w, h, length, count = figures(f)
        line = 'width_mm=%.3f height_mm=%.3f length_mm=%.3f paths=%d\n' % (w, h, length, count)
        with open(os.path.splitext(f)[0] + '.figures', 'w') as out:
            out.write(line)
        print(os.path.basename(f), line, end='')


if __name__ == '__main__':
    main()
