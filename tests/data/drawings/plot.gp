set samples 60
unset key
set border 3
set xtics nomirror font "DejaVu Sans,9"
set ytics nomirror font "DejaVu Sans,9"
set xrange [0:6.3]
set yrange [-1.2:1.2]
plot sin(x) lw 1, cos(x)*0.5 lw 1
