# The chart of bench/speed.sh's table, drawn from its speed.csv (gnuplot -e
# "data='speed.csv'; title='...'; set output 'speed.png'" bench/speed.gp):
# one bar a command, its median seconds on a log scale, coloured by kind and
# labelled with its ratio to the tool; the rows not in the table (kind
# "study", written last) are left out.
set terminal pngcairo size 960,560 font "sans,11" noenhanced
set datafile separator comma
set title title
set logscale x
set format x "%g s"
set xlabel "median wall time over the run's timings (log scale); label: seconds, and ratio to the tool"
set grid xtics
set ytics nomirror scale 0
set key top right box opaque
set style fill solid 0.85 border -1
stats data using (strcol(2) eq "study" ? NaN : $5) nooutput
rows = STATS_records
lo = 10 ** floor(log10(STATS_min / 2))
set xrange [lo:10 ** ceil(log10(STATS_max * 4))]
set yrange [rows - 0.5:-0.5]
in(k) = strcol(2) eq k ? column(5) : NaN
label = "strcol(2) eq 'tool' ? strcol(1) : strcol(1) . ': ' . strcol(3)"
plot data using (in("tool")):0:(lo):(in("tool")):($0 - 0.35):($0 + 0.35) \
       with boxxyerror lc rgb "#d62728" title "tool", \
     '' using (in("floor")):0:(lo):(in("floor")):($0 - 0.35):($0 + 0.35) \
       with boxxyerror lc rgb "#7f7f7f" title "floor: the same system calls", \
     '' using (in("peer")):0:(lo):(in("peer")):($0 - 0.35):($0 + 0.35) \
       with boxxyerror lc rgb "#1f77b4" title "peer", \
     '' using (strcol(2) eq "study" ? NaN : $5):0:(sprintf(" %.3g s, ", $5) . sprintf($12 < 10 ? "%.2fx" : "%.0fx", $12)):ytic(@label) \
       with labels left notitle
