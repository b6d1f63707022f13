#!/usr/bin/env bash
# The supplier storm (tests/integration/storm_test.cpp) on the NATS feed
# client: a nats-server and a gateway of its own on the stand-in's market at
# its highest rate (and no limit on history requests: the storm makes them
# as fast as it can), then the storm with the NATS feed client's folder first on
# the library path, so that the plug-in binds to it.
#
#   storm_over_nats.sh GATEWAY STORM_TEST NATS_CLIENT_DIR [SECONDS]
#
# Exits 77 (skipped) when nats-server is not installed.
set -euo pipefail
gateway=$1 storm=$2 client_dir=$3 seconds=${4:-5}
server=$(command -v nats-server || true)  # the test skips without it
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
source "$(dirname "$0")/../../scripts/start-nats-server.sh"
start_nats_server "$work" || exit 1
SIMFEED_RATE=2000 SIMFEED_START=2024-03-05T14:00:00 SIMFEED_SPEED=600 \
  "$gateway" --nats "$url" --quiet --history-in-flight 100000 --history-per-second 1000000 &
gateway_pid=$!
TELLIVAR_NATS_URL="$url" LD_LIBRARY_PATH="$client_dir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  "$storm" --seconds "$seconds"
# The gateway stops cleanly on SIGTERM.
kill -TERM "$gateway_pid"
wait "$gateway_pid"
gateway_pid=""
