set samples 60
unset key
unset tics
set border 15
set xrange [0:6.3]
set yrange [-1.2:1.2]
plot sin(x) lw 1, cos(x)*0.5 lw 1
