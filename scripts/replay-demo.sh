#!/usr/bin/env bash
# The replay demo: a nats-server with JetStream on a free loopback port, and
# tellivar-gateway recording a minute of the stand-in feed (three symbols,
# their quotes and minute bars) into the recording "demo". Then the gateway
# stops, and two hosts replay that minute from its start at 8x through the
# replay feed client and the plug-in: one shows the quotes, one the minute
# stream. At the end, or on Ctrl-C, everything is stopped cleanly.
#
#   scripts/replay-demo.sh [seconds to record, default 60]
#   scripts/replay-demo.sh --serve [seconds]   the same recording, then the
#       browser view on the replay (with its control bar) until Ctrl-C
set -euo pipefail
cd "$(dirname "$0")/.."
serve=0
if [ "${1:-}" = --serve ]; then serve=1; shift; fi
seconds=${1:-60}
scripts/deps.sh fanout
scripts/web-packages.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELLIVAR_BUILD_TESTS=OFF -DTELLIVAR_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target tellivar-host tellivar-gateway TellivarReplayClient
host=build/hostapp/tellivar-host
work=$(mktemp -d)
pids=() server_pid="" gateway_pid=""

stop_all() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
  [ -z "$gateway_pid" ] || { kill -TERM "$gateway_pid" 2>/dev/null || true; wait "$gateway_pid" 2>/dev/null || true; }
  [ -z "$server_pid" ] || { kill -TERM "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; }
  gateway_pid="" server_pid=""
}
trap 'stop_all; echo; echo "Stopped."; rm -rf "$work"; exit 130' INT TERM
trap 'stop_all; rm -rf "$work"' EXIT

source "$(dirname "$0")/start-nats-server.sh"
start_nats_server "$work" js || exit 1
echo "nats-server with JetStream on $url"

# The stand-in trades every day, so that there is a market to record on a weekend too.
printf 'ACME\nGLOBEX\nINITECH\n' >"$work/universe"
SIMFEED_MARKET=24x7 build/bin/tellivar-gateway --nats "$url" --record demo --record-symbols "$work/universe" \
  --record-keyframe 10 >"$work/gateway.log" 2>&1 &
gateway_pid=$!
echo "recording ACME, GLOBEX and INITECH for $seconds s into \"demo\" ..."
for ((left = seconds; left > 0; left -= 10)); do
  sleep $((left < 10 ? left : 10))
  kill -0 "$gateway_pid" 2>/dev/null || { echo "the gateway stopped:"; cat "$work/gateway.log"; exit 1; }
  echo "  $((seconds - left + (left < 10 ? left : 10))) s"
done
kill -TERM "$gateway_pid"
wait "$gateway_pid" || true
gateway_pid=""
echo "recorded; the gateway stopped."

export TELLIVAR_NATS_URL="$url" TELLIVAR_REPLAY_RECORDING=demo
if [ "$serve" -eq 1 ]; then
  echo "Open http://127.0.0.1:8080/ for the browser view on the replay; Ctrl-C stops it."
  "$host" --feed replay --replay-speed 1 serve --port 8080 &
  pids+=($!)
  wait "${pids[0]}" || true
  exit 0
fi

replay_seconds=$(( (seconds + 7) / 8 + 3 ))
echo "replaying it from its start at 8x for $replay_seconds s ..."
"$host" --feed replay --replay-speed 8 quotes ACME GLOBEX --fields Trade,Bid,Ask --seconds "$replay_seconds" --plain \
  >"$work/quotes.log" 2>&1 &
pids+=($!)
"$host" --feed replay --replay-speed 8 stream ACME --interval 1 --seconds "$replay_seconds" >"$work/stream.log" 2>&1 &
pids+=($!)
for pid in "${pids[@]}"; do wait "$pid" || true; done
pids=()
echo "--- quotes (replay) ---"
cat "$work/quotes.log"
echo "--- minute stream (replay) ---"
cat "$work/stream.log"
echo
echo "For the browser view on a replay, with play, pause, speed and a time slider:"
echo "  scripts/replay-demo.sh --serve"
