# Latency percentiles against the offered rate, plug-in and raw sink: live
# quotes on 100 symbols, 10 fields changed per update, without and with a host
# thread creating and deleting suppliers.
# Usage: gnuplot -e "csv='latency.csv'; png='latency.png'" bench/latency/latency.gp
set terminal pngcairo size 1200,520 font ",10"
set output png
set datafile separator ","
set logscale xy
set xlabel "updates per second (all symbols)"
set ylabel "latency, feed update to consumer (µs)"
set grid xtics ytics mxtics mytics lc rgb "#dddddd"
set key top left
set format x "10^{%L}"

rows(sink, churn) = sprintf("< awk -F, '$1==\"quotes\" && $2==100 && $3==10 && $4==%d && $6>0 && $7==\"%s\"' '%s' | sort -t, -k6 -g", churn, sink, csv)

set multiplot layout 1,2 title "Live quotes, 100 symbols, 10 fields changed per update"
do for [churn=0:1] {
    set title (churn ? "host creating and deleting 100 suppliers/s" : "no supplier churn")
    plot rows("plug-in", churn) using 6:($10/1000) with linespoints lw 2 pt 7 lc rgb "#1f77b4" title "plug-in p50", \
         rows("plug-in", churn) using 6:($11/1000) with linespoints lw 2 pt 7 lc rgb "#d62728" title "plug-in p99", \
         rows("plug-in", churn) using 6:($12/1000) with linespoints lw 2 pt 7 lc rgb "#2ca02c" title "plug-in p99.9", \
         rows("raw", churn) using 6:($10/1000) with linespoints lw 1 dt 2 pt 6 lc rgb "#1f77b4" title "raw p50", \
         rows("raw", churn) using 6:($11/1000) with linespoints lw 1 dt 2 pt 6 lc rgb "#d62728" title "raw p99", \
         rows("raw", churn) using 6:($12/1000) with linespoints lw 1 dt 2 pt 6 lc rgb "#2ca02c" title "raw p99.9"
}
unset multiplot
