#!/bin/sh
# Re-makes the sample drawings in svg/ and pdf/ with the programs that write
# them (Debian's inkscape, gnuplot, fig2dev, plotutils, pstoedit,
# ghostscript, libreoffice-draw-nogui), from the sources in drawings/ and
# hpgl/. Then run
# make-figures.py for their expected figures.
set -eu
cd "$(dirname "$0")"
d=drawings h=hpgl
ink() { inkscape "$@" 2>/dev/null; }
ink $d/shapes-mm.svg --export-type=svg --export-filename=svg/inkscape-shapes-mm.svg
ink $d/shapes-mm.svg --export-type=svgz --export-filename=svg/inkscape-shapes-mm.svgz
ink $d/shapes-in.svg --export-plain-svg --export-type=svg --export-filename=svg/inkscape-plain-in.svg
ink $d/text.svg --export-type=svg --export-filename=svg/inkscape-text.svg
ink $d/text.svg --export-text-to-path --export-plain-svg --export-type=svg --export-filename=svg/inkscape-text-paths.svg
ink $d/viewbox.svg --export-plain-svg --export-type=svg --export-filename=svg/inkscape-viewbox.svg
for f in shapes-mm shapes-in text opacity gradients; do
    ink $d/$f.svg --export-type=pdf --export-filename=pdf/inkscape-$f.pdf
done
gnuplot -e 'set terminal svg size 400,250 font "DejaVu Sans,9"; set output "svg/gnuplot.svg"' $d/plot.gp
gnuplot -e 'set terminal svg size 400,250; set output "svg/gnuplot-notext.svg"' $d/plot2.gp
gnuplot -e 'set terminal pdfcairo size 10cm,6cm; set output "pdf/gnuplot-pdfcairo.pdf"' $d/plot2.gp
gnuplot -e 'set terminal pdfcairo size 10cm,6cm font "DejaVu Sans,9"; set output "pdf/gnuplot-pdfcairo-text.pdf"' $d/plot.gp
fig2dev -L svg $h/dome.fig svg/fig2dev-dome.svg
fig2dev -L pdf $h/dome.fig pdf/fig2dev-dome.pdf
pic2plot -T svg $h/shapes.pic > svg/pic2plot-shapes.svg
pstoedit -q -f plot-svg $h/shapes.ps svg/pstoedit-shapes.svg
ps2pdf $h/shapes.ps pdf/ps2pdf-shapes.pdf
ps2pdf $h/text.ps pdf/ps2pdf-text.pdf
# LibreOffice Draw, from flat drawings; its own profile in a scratch home.
lo=$(mktemp -d)
trap 'rm -rf "$lo"' EXIT
for f in label label-text; do
    for t in svg pdf; do
        HOME=$lo soffice --headless --convert-to $t --outdir "$lo" $d/$f.fodg >/dev/null 2>&1
        mv "$lo/$f.$t" $t/libreoffice-$f.$t
    done
done
# Edge cases: no figures, the tests say what they expect.
ps2pdf $d/two.ps pdf/cases/two-pages.pdf
ps2pdf $d/image.ps pdf/cases/image.pdf
gs -q -dNOPAUSE -dBATCH -sDEVICE=pdfwrite -sOwnerPassword=owner -sUserPassword=user \
    -sOutputFile=pdf/cases/encrypted.pdf $d/two.ps
# Inkscape's import draws Type 3 glyphs in another font: two 10 mm squares here.
ps2pdf $d/type3.ps pdf/cases/type3-font.pdf
