#!/usr/bin/env bash
# CPU of `tellivar-host serve` with about 1,000 feed updates a second (4
# symbols at 250 trades a second each; the simulated clock runs 30 times as
# fast, so that nearly every trade has shares to trade), with 0, 1 and 10 pages attached (event streams
# read by curl, the way a browser's EventSource does). Prints the process's
# CPU time over each window as a share of one core. The stand-in feed runs in
# the same process; with no page nothing is subscribed, so the 0-page line is
# the idle server and the feed's work shows from one page on.
#   scripts/serve_cpu.sh [build-dir] [seconds]
set -euo pipefail
build=${1:-build}
seconds=${2:-10}
host="$build/hostapp/tellivar-host"
ticks=$(getconf CLK_TCK)
out=$(mktemp)
SIMFEED_SPEED=30 SIMFEED_RATE=250 "$host" serve --port 0 --symbols ACME,GLOBEX,INITECH,UMBRELLA >"$out" 2>/dev/null &
server=$!
trap 'kill -INT $server 2>/dev/null; wait $server 2>/dev/null; rm -f "$out"' EXIT
for _ in $(seq 50); do grep -q serving "$out" && break; sleep 0.1; done
url=$(grep -o 'http://127\.0\.0\.1:[0-9]*/' "$out")
cpu() { awk '{print $14 + $15}' "/proc/$server/stat"; }
for pages in 0 1 10; do
  readers=()
  for _ in $(seq "$pages"); do
    curl -sN --max-time $((seconds + 3)) "${url}events?symbol=ACME&interval=1" >/dev/null &
    readers+=($!)
  done
  sleep 2  # streams open, quote suppliers made
  before=$(cpu)
  sleep "$seconds"
  after=$(cpu)
  echo "pages=$pages cpu=$(awk -v t=$((after - before)) -v hz="$ticks" -v s="$seconds" 'BEGIN{printf "%.1f%%", 100*t/hz/s}') of one core"
  for reader in "${readers[@]}"; do wait "$reader" 2>/dev/null || true; done
done
