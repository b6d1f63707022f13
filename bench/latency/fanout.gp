# Latency of live quotes on 100 symbols against the offered rate: the plug-in
# on the driver feed directly, and through the gateway and one nats-server or a
# 3-node cluster, with 1, 10 and 50 hosts (one measured, the others load only),
# and the bare bus (a libnats publisher and subscriber) through one server.
# Usage: gnuplot -e "csv='fanout.csv'; png='fanout.png'" bench/latency/fanout.gp
set terminal pngcairo size 1200,520 font ",10"
set output png
set datafile separator ","
set logscale xy
set xlabel "updates per second (all symbols)"
set ylabel "latency, feed update to consumer (µs)"
set grid xtics ytics mxtics mytics lc rgb "#dddddd"
set key top left
set format x "10^{%L}"

rows(path, hosts) = sprintf("< awk -F, '$1==\"%s\" && $2==\"quotes\" && $3==100 && $5==%d' '%s' | sort -t, -k4 -g", path, hosts, csv)

set multiplot layout 1,2 title "Live quotes, 100 symbols: direct, one nats-server, 3-node cluster"
do for [col=10:11] {
    set title (col == 10 ? "p50" : "p99")
    plot rows("direct", 1) using 4:(column(col)/1000) with linespoints lw 2 pt 7 lc rgb "#000000" title "direct", \
         rows("nats bus", 1) using 4:(column(col)/1000) with linespoints lw 1 pt 6 lc rgb "#7f7f7f" title "bare bus (one server), 1 host", \
         rows("nats", 1) using 4:(column(col)/1000) with linespoints lw 2 pt 7 lc rgb "#1f77b4" title "nats, 1 host", \
         rows("nats", 10) using 4:(column(col)/1000) with linespoints lw 2 pt 5 lc rgb "#1f77b4" dt 2 title "nats, 10 hosts", \
         rows("nats", 50) using 4:(column(col)/1000) with linespoints lw 2 pt 9 lc rgb "#1f77b4" dt 3 title "nats, 50 hosts", \
         rows("cluster", 1) using 4:(column(col)/1000) with linespoints lw 2 pt 7 lc rgb "#d62728" title "cluster, 1 host", \
         rows("cluster", 10) using 4:(column(col)/1000) with linespoints lw 2 pt 5 lc rgb "#d62728" dt 2 title "cluster, 10 hosts", \
         rows("cluster", 50) using 4:(column(col)/1000) with linespoints lw 2 pt 9 lc rgb "#d62728" dt 3 title "cluster, 50 hosts"
}
unset multiplot
