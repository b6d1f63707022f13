#!/usr/bin/env bash
# The supplier storm (tests/integration/storm_test.cpp) on the NATS feed
# client: a nats-server and a gateway of its own on the stand-in's market at
# its highest rate, then the storm with the NATS feed client's folder first on
# the library path, so that the plug-in binds to it.
#
#   storm_over_nats.sh GATEWAY STORM_TEST NATS_CLIENT_DIR [SECONDS]
#
# Exits 77 (skipped) when nats-server is not installed.
set -euo pipefail
gateway=$1 storm=$2 client_dir=$3 seconds=${4:-5}
server=$(command -v nats-server || true)
if [ -z "$server" ]; then
  echo "nats-server is not installed (Debian: apt-get install nats-server): skipped"
  exit 77
fi
# Inside the build tree: other tools may clear /tmp.
work=$(mktemp -d "$PWD/storm-over-nats.XXXXXX")
server_pid="" gateway_pid=""
cleanup() {
  [ -z "$gateway_pid" ] || { kill -TERM "$gateway_pid" 2>/dev/null || true; wait "$gateway_pid" || true; }
  [ -z "$server_pid" ] || { kill -TERM "$server_pid" 2>/dev/null || true; wait "$server_pid" || true; }
  rm -rf "$work"
}
trap cleanup EXIT
# -p -1: a free port of the server's choosing, read back from its log.
"$server" -a 127.0.0.1 -p -1 >"$work/server.log" 2>&1 &
server_pid=$!
port=""
for _ in $(seq 200); do
  port=$(sed -n 's/.*Listening for client connections on 127.0.0.1:\([0-9]*\).*/\1/p' "$work/server.log")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { echo "nats-server did not start"; cat "$work/server.log"; exit 1; }
url="nats://127.0.0.1:$port"
SIMFEED_RATE=2000 SIMFEED_START=2024-03-05T14:00:00 SIMFEED_SPEED=600 \
  "$gateway" --nats "$url" --quiet &
gateway_pid=$!
TELLIVAR_NATS_URL="$url" LD_LIBRARY_PATH="$client_dir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  "$storm" --seconds "$seconds"
# The gateway stops cleanly on SIGTERM.
kill -TERM "$gateway_pid"
wait "$gateway_pid"
gateway_pid=""
