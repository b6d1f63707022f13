#!/usr/bin/env bash
# The fan-out demo: a nats-server on a free loopback port, tellivar-gateway
# logged on once to the stand-in feed, and three hosts (live quotes, an update
# stream, a daily history) that reach the feed only through NATS, through the
# NATS feed client. On a terminal their output is shown side by side while
# they run (one under another when it is narrower than 180 columns); into a
# pipe or file, each host's whole output follows once they end. At the end,
# or on Ctrl-C, everything is stopped cleanly.
#
#   scripts/fanout-demo.sh [seconds, default 20]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
scripts/deps.sh fanout
scripts/web-packages.sh
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

# A host's output under a heading: its newest N lines, or all of it.
pane() {  # name, [lines]
  echo "--- $1 ---"
  if [ -n "${2:-}" ]; then tail -n "$2" "$work/$1.log"; else cat "$work/$1.log"; fi
}
# On a terminal, redrawn every second: the hosts' newest lines side by side
# when each gets 60 columns, else one under another.
show() {
  local width
  width=$(tput cols 2>/dev/null || echo 80)
  if [ "$width" -ge 180 ]; then
    pane quotes 18 >"$work/q"; pane stream 18 >"$work/s"; pane history 18 >"$work/h"
    pr -m -t -w "$width" "$work/q" "$work/s" "$work/h"
  else
    pane quotes 6; pane stream 6; pane history 6
  fi
  echo "--- gateway ---"
  tail -n 5 "$work/gateway.log"
}
[ -t 1 ] || echo "the three hosts run for $seconds s; their output follows"
while true; do
  running=0
  for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && running=1; done
  [ -t 1 ] && { clear; show; }
  [ "$running" -eq 1 ] || break
  sleep 1
done
# Into a pipe or file: each host's whole output, one after another.
[ -t 1 ] || { pane quotes; pane stream; pane history; }
for pid in "${pids[@]}"; do wait "$pid" || true; done
pids=()
stop_all
echo "--- gateway, to the end ---"
cat "$work/gateway.log"
