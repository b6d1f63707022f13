#!/usr/bin/env bash
# The fan-out demo: a nats-server on a free loopback port, tellivar-gateway
# logged on once to the stand-in feed, and three hosts (live quotes, an update
# stream, a daily history) that reach the feed only through NATS, through the
# NATS feed client. Their output is shown side by side while they run; at the
# end, or on Ctrl-C, everything is stopped cleanly.
#
#   scripts/fanout-demo.sh [seconds, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
scripts/deps.sh fanout
npm ci --prefix hostapp/web --omit=dev --no-audit --no-fund --loglevel=error
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELLIVAR_BUILD_TESTS=OFF -DTELLIVAR_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target tellivar-host tellivar-gateway TellivarNatsClient
host=build/hostapp/tellivar-host
work=$(mktemp -d)
pids=() server_pid="" gateway_pid=""

stop_all() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
  # The gateway deletes its feed sets, logs off and drains NATS on SIGTERM.
  [ -z "$gateway_pid" ] || { kill -TERM "$gateway_pid" 2>/dev/null || true; wait "$gateway_pid" 2>/dev/null || true; }
  [ -z "$server_pid" ] || { kill -TERM "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; }
  gateway_pid="" server_pid=""
}
trap 'stop_all; echo; echo "Stopped."; rm -rf "$work"; exit 130' INT TERM
trap 'stop_all; rm -rf "$work"' EXIT

source "$(dirname "$0")/start-nats-server.sh"
start_nats_server "$work" || exit 1
echo "nats-server on $url"
build/bin/tellivar-gateway --nats "$url" >"$work/gateway.log" 2>&1 &
gateway_pid=$!

# The hosts load the NATS feed client in place of the stand-in.
run_host() {  # log file, host arguments...
  local log=$1
  shift
  TELLIVAR_NATS_URL="$url" "$host" --feed nats "$@" >"$work/$log" 2>&1 &
  pids+=($!)
}
run_host quotes.log quotes ACME GLOBEX --fields Trade,Bid,Ask --seconds "$seconds" --plain
run_host stream.log stream ACME --interval 1 --seconds "$seconds"
run_host history.log history ACME --interval D1 --count 12

show() {
  local width=$(( $(tput cols 2>/dev/null || echo 150) ))
  printf '%s\n' "--- quotes ---" >"$work/q"; tail -n 18 "$work/quotes.log" >>"$work/q"
  printf '%s\n' "--- stream ---" >"$work/s"; tail -n 18 "$work/stream.log" >>"$work/s"
  printf '%s\n' "--- history ---" >"$work/h"; tail -n 18 "$work/history.log" >>"$work/h"
  pr -m -t -w "$width" "$work/q" "$work/s" "$work/h"
  echo "--- gateway ---"
  tail -n 5 "$work/gateway.log"
}
while true; do
  running=0
  for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && running=1; done
  [ -t 1 ] && clear
  show
  [ "$running" -eq 1 ] || break
  sleep 1
done
for pid in "${pids[@]}"; do wait "$pid" || true; done
pids=()
stop_all
echo "--- gateway, to the end ---"
cat "$work/gateway.log"
