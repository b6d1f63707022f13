#!/usr/bin/env bash
# The example entitlements (gateway/entitlements.conf) let the gateway's NATS
# user run a gateway with --standby-bucket: on a nats-server with JetStream
# and those users, on a free loopback port, the gateway opens its lease
# bucket and becomes active ("active: holds the lease ..."). The JetStream
# calls answer on the gateway's own _INBOX. subjects, which its user must be
# allowed to subscribe to. Exits 77 (skipped) without nats-server.
# Usage: entitlements_standby_test.sh SOURCE_DIR GATEWAY FEED_LIBRARY
set -euo pipefail
src=$(realpath "$1"); gateway=$2; feed=$3
command -v nats-server >/dev/null || { echo "SKIP: nats-server is not installed"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
nats-server -c "$src/gateway/entitlements.conf" -a 127.0.0.1 -p "$port" -js -sd "$work/js" -l "$work/server.log" &
pids+=($!)
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  kill -0 "${pids[0]}" 2>/dev/null || fail "nats-server ended: $(cat "$work/server.log")"
  sleep 0.1
done
TELLIVAR_GATEWAY_NATS_PASSWORD=gateway-secret "$gateway" --feed-library "$feed" --nats "nats://127.0.0.1:$port" \
    --nats-user gateway --standby-bucket tellivar-gateway >"$work/gateway.log" 2>&1 &
pids+=($!)
# Wait (up to 60 s) for the gateway to hold the lease, or to end.
for _ in $(seq 120); do
  grep -q "active: holds the lease in the bucket tellivar-gateway" "$work/gateway.log" && break
  kill -0 "${pids[1]}" 2>/dev/null || break
  sleep 0.5
done
grep -q "active: holds the lease in the bucket tellivar-gateway" "$work/gateway.log" ||
    fail "the gateway did not become active under entitlements.conf: $(cat "$work/gateway.log")
server: $(grep -i violation "$work/server.log" | head -n 3)"
echo "under entitlements.conf the gateway user holds the lease in its JetStream bucket"
