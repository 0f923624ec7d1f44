#!/usr/bin/python3
# Writes the ezdxf drawings of the DXF reader's test table (run once; the
# files are committed). Each file holds every entity kind its DXF version has.
import math
import ezdxf
from ezdxf.math import Vec3


def blocks(doc):
    leaf = doc.blocks.new("LEAF", base_point=(5, 5))
    leaf.add_line((0, 0), (10, 0))
    leaf.add_circle((5, 5), 3)
    leaf.add_arc((5, 5), 5, 0, 90)
    tile = doc.blocks.new("TILE")
    tile.add_lwpolyline([(0, 0), (8, 0), (8, 8)], format="xy") if doc.dxfversion > "AC1009" else \
        tile.add_polyline2d([(0, 0), (8, 0), (8, 8)])
    tile.add_blockref("LEAF", (20, 0), dxfattribs={"xscale": 0.5, "yscale": 2, "rotation": 30})


def r12(name):
    doc = ezdxf.new("R12")
    msp = doc.modelspace()
    blocks(doc)
    msp.add_line((0, 0), (50, 0))
    msp.add_circle((20, 20), 10)
    msp.add_arc((60, 10), 8, 30, 250)
    msp.add_polyline2d([(0, 40), (20, 40, 0, 0, 1), (40, 40), (40, 60, 0, 0, -0.5), (0, 60)], format="xyseb",
                       close=True)
    msp.add_solid([(70, 0), (90, 0), (70, 15), (90, 20)])
    msp.add_blockref("TILE", (100, 10), dxfattribs={"xscale": 1.5, "yscale": 1.5, "rotation": 45})
    msp.add_blockref("LEAF", (120, 60), dxfattribs={"rotation": -90})
    msp.add_text("not cut", dxfattribs={"height": 5}).set_pos((0, 80))
    msp.add_arc((150, 30), 10, 0, 90, dxfattribs={"extrusion": (0, 0, -1)})
    doc.saveas(name)


def r2000(name):
    doc = ezdxf.new("R2000")
    doc.units = ezdxf.units.IN
    msp = doc.modelspace()
    blocks(doc)
    msp.add_lwpolyline([(0, 0, 0, 0, 0.4), (2, 0, 0, 0, 0), (2, 1, 0, 0, -1), (0, 1)], format="xyseb", close=True)
    msp.add_ellipse((4, 1), major_axis=(1.5, 0.5), ratio=0.4)
    msp.add_ellipse((7, 1), major_axis=(0, 1), ratio=0.5, start_param=0.3, end_param=4.0)
    msp.add_spline(dxfattribs={"degree": 3}).apply_construction_tool(
        ezdxf.math.BSpline([(0, 3), (1, 5), (2, 2), (3, 4), (4, 3)], order=4))
    msp.add_arc((6, 4), 1, 20, 160, dxfattribs={"extrusion": (0, 0, -1)})
    msp.add_circle((8, 4), 0.5, dxfattribs={"extrusion": (0, 0, -1)})
    msp.add_lwpolyline([(9, 0, 0, 0, 1), (10, 0)], format="xyseb", dxfattribs={"extrusion": (0, 0, -1)})
    msp.add_blockref("TILE", (1, 6), dxfattribs={"xscale": 0.05, "yscale": 0.05})
    msp.add_mtext("not cut either").set_location((0, 8))
    hatch = msp.add_hatch()
    hatch.paths.add_polyline_path([(12, 0, 0.5), (14, 0, 0), (14, 2, 0), (12, 2, 0)], is_closed=True)
    dim = msp.add_linear_dim(base=(0, -1), p1=(0, 0), p2=(2, 0))
    dim.render()
    doc.saveas(name)


def r2010(name):
    doc = ezdxf.new("R2010")
    doc.units = ezdxf.units.MM
    msp = doc.modelspace()
    blocks(doc)
    rational = ezdxf.math.BSpline([(0, 0), (20, 40), (60, 40), (80, 0)], order=3, weights=[1, 3, 0.5, 1])
    msp.add_spline(dxfattribs={"degree": 2}).apply_construction_tool(rational)
    closed = ezdxf.math.closed_uniform_bspline([(100, 0), (140, 10), (150, 50), (110, 60), (90, 30)], order=4)
    msp.add_spline(dxfattribs={"degree": 3}).apply_construction_tool(closed)
    msp.add_ellipse((40, 100), major_axis=(30, 10), ratio=0.3, start_param=1, end_param=5,
                    dxfattribs={"extrusion": (0, 0, -1)})
    msp.add_lwpolyline([(0, 150, 0, 0, 0.2), (50, 150, 0, 0, -0.3), (50, 180), (0, 180, 0, 0, 2)],
                       format="xyseb", close=True)
    ref = msp.add_blockref("LEAF", (150, 100), dxfattribs={"xscale": 2, "yscale": 2, "rotation": 15})
    ref.grid(size=(2, 3), spacing=(25, 30))
    msp.add_blockref("TILE", (200, 200), dxfattribs={"xscale": -1, "yscale": 1, "rotation": 10})
    edges = msp.add_hatch().paths.add_edge_path()
    edges.add_line((0, 250), (10, 250))
    edges.add_arc((10, 255), 5, 270, 90, ccw=True)
    edges.add_line((10, 260), (0, 260))
    edges.add_arc((0, 255), 5, 90, 270, ccw=False)
    edges = msp.add_hatch().paths.add_edge_path()
    edges.add_ellipse((30, 255), major_axis=(5, 0), ratio=0.5, start_angle=0, end_angle=180, ccw=False)
    edges.add_line((25, 255), (35, 255))
    layout = doc.layouts.get("Layout1")
    layout.add_line((0, 0), (100, 100))
    doc.saveas(name)


r12("ezdxf-r12.dxf")
r2000("ezdxf-r2000-inch.dxf")
r2010("ezdxf-r2010.dxf")
