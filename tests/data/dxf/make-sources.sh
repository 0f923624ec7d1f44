#!/bin/sh
# How the files of other programs in this folder were made (run once; the
# results are committed): gnuplot and groff/pic PostScript through pstoedit,
# and an SVG through Inkscape's two DXF outputs.
set -e
here="$(cd "$(dirname "$0")" && pwd)"
tmp="$(mktemp -d)"
cd "$tmp"
gnuplot -e 'set terminal postscript eps size 3,2; set output "plot.eps"; unset key; set samples 60; plot [0:6.3] sin(x) with lines, cos(x)*0.5 with lines'
pstoedit -f "dxf:-mm" plot.eps "$here/pstoedit-gnuplot.dxf"
groff -p -Tps "$here/shapes.pic" > shapes.ps
gs -q -dNOPAUSE -dBATCH -sDEVICE=eps2write -sOutputFile=shapes.eps shapes.ps
pstoedit -f "dxf:-mm" shapes.eps "$here/pstoedit-pic.dxf"
pstoedit -f dxf_s shapes.eps "$here/pstoedit-pic-splines.dxf"
inkscape --export-extension=org.ekips.output.dxf_outlines --export-filename="$here/inkscape-r14.dxf" "$here/shapes.svg"
inkscape --export-type=dxf --export-filename="$here/inkscape-r12.dxf" "$here/shapes.svg"
rm -rf "$tmp"
