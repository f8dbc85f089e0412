# Time and peak memory of one upload request against the upload's size, for
# every program; data from run.py (results.dat).
set terminal pngcairo size 1100,460 font "sans,10"
set output outfile
set multiplot layout 1,2
set logscale xy
set xlabel "upload size (MiB)"
set grid
set key top left
set ylabel "wall time (ms)"
set title "Time per request"
plot for [i=0:5] datafile using 1:(column(2+2*i)) with linespoints title columnhead(2+2*i)
set ylabel "peak resident memory (KiB)"
set title "Peak memory per request"
plot for [i=0:5] datafile using 1:(column(3+2*i)) with linespoints title columnhead(3+2*i)
unset multiplot
