#!/usr/bin/python3
# Expected figures of each drawing in this folder, computed once by an
# independent reader (ezdxf) and written beside it as NAME.figures:
#   width_mm height_mm  extent of model space's cut geometry
#   length_mm           cut length, curves flattened within 0.0005 mm
#   paths               cut polylines, consecutive ones joined where one
#                       starts on the whole machine unit (1/40 mm) where the
#                       last ended, as the job's path model joins them
# Text, dimensions, points and paper space are not cut; block references
# are expanded. A drawing without $INSUNITS counts as millimetres.
# The extent is taken from the flattened centre lines, not ezdxf.bbox: that
# widens polylines by their width, which a knife does not cut. Splines are
# flattened from ezdxf's own B-spline (de Boor) evaluation: make_path of
# ezdxf 0.18 reads unclamped knot vectors (closed splines) wrongly.
import glob
import math
import os
import sys

import ezdxf
from ezdxf import path

CUT = {"LINE", "ARC", "CIRCLE", "ELLIPSE", "LWPOLYLINE", "POLYLINE", "SPLINE", "HATCH", "SOLID", "TRACE", "3DFACE"}
MM = {0: 1.0, 1: 25.4, 2: 304.8, 4: 1.0, 5: 10.0, 6: 1000.0}


def expand(entities):
    for e in entities:
        kind = e.dxftype()
        if kind == "INSERT":
            inserts = e.multi_insert() if e.mcount > 1 else [e]
            for insert in inserts:
                yield from expand(insert.virtual_entities())
        elif kind in CUT:
            yield e


def figures(name):
    doc = ezdxf.readfile(name)
    mm = MM[doc.header.get("$INSUNITS", 0)]
    entities = list(expand(doc.modelspace()))
    xs, ys = [], []
    length = 0.0
    runs = 0
    last = None
    for e in entities:
        if e.dxftype() == "SPLINE":
            flat = [list(e.construction_tool().flattening(0.0005 / mm))]
        else:
            flat = [list(sub.flattening(0.0005 / mm)) for sub in path.make_path(e).sub_paths()]
        for points in flat:
            if len(points) < 2:
                continue
            xs += [p.x for p in points]
            ys += [p.y for p in points]
            length += sum((b - a).magnitude for a, b in zip(points, points[1:])) * mm
            first = (round(points[0].x * mm * 40), round(points[0].y * mm * 40))
            if first != last:
                runs += 1
            last = (round(points[-1].x * mm * 40), round(points[-1].y * mm * 40))
    return (max(xs) - min(xs)) * mm, (max(ys) - min(ys)) * mm, length, runs


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name in sorted(glob.glob(os.path.join(here, "*.dxf"))):
        w, h, length, runs = figures(name)
        line = f"width_mm={w:.4f} height_mm={h:.4f} length_mm={length:.4f} paths={runs}\n"
        with open(name[:-4] + ".figures", "w") as out:
            out.write(line)
        sys.stdout.write(os.path.basename(name) + ": " + line)


main()
