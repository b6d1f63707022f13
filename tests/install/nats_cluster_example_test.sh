#!/usr/bin/env bash
# Checks the example cluster configuration the gateway package ships
# (gateway/nats-cluster/ with gateway/entitlements.conf): with certificates
# made here, `nats-server -t` accepts each server's file, and three servers
# started from them, with only their ports, route names and folders moved to
# this machine's loopback, form one cluster: two routes each over TLS, and
# JetStream with one meta leader that all three know, in a cluster of 3.
# Exits 77 (skipped) without nats-server or openssl.
# Usage: nats_cluster_example_test.sh SOURCE_DIR
set -euo pipefail
src=$(realpath "$1")
for tool in nats-server openssl curl; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A CA and one certificate for localhost and 127.0.0.1, for clients and routes
# alike (a route is a client of the server it dials).
tls=$work/tls
mkdir -p "$tls"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tls/ca-key.pem" -out "$tls/ca.pem" -days 1 \
    -subj /CN=cluster-example-ca 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout "$tls/server-key.pem" -out "$tls/server.csr" -subj /CN=localhost \
    2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nextendedKeyUsage=serverAuth,clientAuth\n' >"$tls/ext"
openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca-key.pem" -CAcreateserial \
    -out "$tls/server.pem" -days 1 -extfile "$tls/ext" 2>/dev/null

# Nine free loopback ports: client, monitoring and route port of each server.
read -r -a ports <<<"$(python3 -c '
import socket
socks = [socket.socket() for _ in range(9)]
for s in socks:
    s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in socks])')"
route_port() { echo "${ports[$((3 * ($1 - 1) + 2))]}"; }

# Replaces the one line matching PATTERN in FILE (sed expression s|PATTERN|TEXT|),
# failing when the example no longer has exactly one such line: a rewrite
# that silently matched nothing would test the example's own ports.
rewrite() {  # FILE PATTERN TEXT
  local count
  count=$(grep -c -- "$2" "$1" || true)
  [ "$count" = 1 ] || fail "$(basename "$1"): $count lines match '$2', expected 1"
  sed -i "s|$2|$3|" "$1"
}

for n in 1 2 3; do
  dir=$work/node-$n
  mkdir -p "$dir/state"
  cp "$src/gateway/nats-cluster/common.conf" "$src/gateway/nats-cluster/nats-$n.conf" \
     "$src/gateway/entitlements.conf" "$dir/"
  sed -i "s|/etc/nats/tls/|$tls/|; s|/var/lib/nats/|$dir/state/|" "$dir/common.conf"
  ! grep -v '^ *#' "$dir/common.conf" | grep -q "/etc/nats\|/var/lib/nats" ||
      fail "common.conf names a path the test did not move"
  # The file as shipped, with the certificates and the state folder in place.
  out=$(nats-server -t -c "$dir/nats-$n.conf" 2>&1) || fail "nats-$n.conf: $out"
  grep -q "is valid" <<<"$out" || fail "nats-$n.conf: $out"
  rewrite "$dir/common.conf" '^port: 4222$' "listen: \"127.0.0.1:${ports[$((3 * (n - 1)))]}\""
  rewrite "$dir/common.conf" '^http: "127.0.0.1:8222"$' "http: \"127.0.0.1:${ports[$((3 * (n - 1) + 1))]}\""
  rewrite "$dir/common.conf" '^  port: 6222$' "  listen: \"127.0.0.1:$(route_port "$n")\""
  for peer in 1 2 3; do
    rewrite "$dir/common.conf" "nats-$peer.example.net:6222" "127.0.0.1:$(route_port "$peer")"
  done
  nats-server -c "$dir/nats-$n.conf" -l "$dir/server.log" &
  pids+=($!)
done

monitor() {  # SERVER PATH: the monitoring endpoint's JSON, or nothing
  curl -s --max-time 2 "http://127.0.0.1:${ports[$((3 * ($1 - 1) + 1))]}$2" || true
}
# What each server says about its routes and JetStream, one line:
# "ROUTES ROUTE_TLS LEADER CLUSTER_SIZE", ROUTE_TLS "verified" when its routes
# must use TLS with the peer's certificate checked.
state() {  # SERVER
  python3 -c '
import json, sys
try:
    routez, varz, jsz = (json.loads(text) for text in sys.argv[1:4])
except ValueError:
    print("- - - -"); sys.exit()
cluster = varz.get("cluster") or {}
meta = jsz.get("meta_cluster") or {}
print(len(routez.get("routes") or []),
      "verified" if cluster.get("tls_required") and cluster.get("tls_verify") else "plain",
      meta.get("leader") or "-", meta.get("cluster_size") or "-")' \
      "$(monitor "$1" /routez)" "$(monitor "$1" /varz)" "$(monitor "$1" /jsz)"
}

# Wait (up to 60 s) until every server has its two routes and knows the leader
# of a JetStream cluster of three.
declare -A seen
for _ in $(seq 120); do
  ready=1
  for n in 1 2 3; do
    seen[$n]=$(state "$n")
    read -r routes _ leader size <<<"${seen[$n]}"
    [ "$routes" = 2 ] && [ "$leader" != - ] && [ "$size" = 3 ] || ready=0
  done
  [ $ready = 1 ] && break
  for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null || fail "a server stopped: $(cat "$work"/node-*/server.log)"; done
  sleep 0.5
done

leaders=()
for n in 1 2 3; do
  read -r routes route_tls leader size <<<"${seen[$n]}"
  [ "$routes" = 2 ] || fail "nats-$n has $routes routes, expected 2: $(tail -n 20 "$work/node-$n/server.log")"
  [ "$route_tls" = verified ] || fail "nats-$n: routes are $route_tls, expected TLS with verified certificates"
  [ "$size" = 3 ] || fail "nats-$n: JetStream cluster of $size, expected 3"
  leaders+=("$leader")
done
[ "${leaders[0]}" = "${leaders[1]}" ] && [ "${leaders[1]}" = "${leaders[2]}" ] ||
    fail "the servers name different JetStream leaders: ${leaders[*]}"
grep -qx "nats-[123]" <<<"${leaders[0]}" || fail "leader '${leaders[0]}' is not one of nats-1..3"
echo "the example cluster formed: 2 routes over TLS on each server, JetStream leader ${leaders[0]} of 3"
