#!/usr/bin/env bash
# End-to-end latency and throughput of the plug-in against a raw sink: builds
# tellivar-latency, runs the whole matrix (about three minutes on two cores;
# best while the machine is otherwise quiet) and writes into the output folder
# (default build/latency): latency.md (the tables, with the load average before
# and after), latency.csv (every measurement) and latency.png (the plot).
# Further arguments go to the tool, e.g. --fifo.
# Then the same through NATS (tellivar-fanout-latency: directly, through one
# nats-server, through a 3-node cluster; about ten minutes): fanout.md,
# fanout.csv, fanout.png. FANOUT=0 leaves it out.
# Usage: scripts/latency.sh [OUT] [--fifo]
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-build/latency}"
shift || true
build="${BUILD_DIR:-build}"
scripts/deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(tellivar-latency)
if [ "${FANOUT:-1}" != 0 ]; then targets+=(tellivar-fanout-latency); fi
nice cmake --build "$build" -j2 --target "${targets[@]}"
mkdir -p "$out"
echo "uptime: $(uptime)"
"$build/bench/latency/tellivar-latency" "$@" --csv "$out/latency.csv" | tee "$out/latency.md"
gnuplot -e "csv='$out/latency.csv'; png='$out/latency.png'" bench/latency/latency.gp
echo "Tables: $out/latency.md  plot: $out/latency.png"
if [ "${FANOUT:-1}" != 0 ]; then
  echo "uptime: $(uptime)" | tee "$out/fanout.md"
  "$build/bench/latency/tellivar-fanout-latency" --csv "$out/fanout.csv" | tee -a "$out/fanout.md"
  gnuplot -e "csv='$out/fanout.csv'; png='$out/fanout.png'" bench/latency/fanout.gp
  echo "Tables: $out/fanout.md  plot: $out/fanout.png"
fi
