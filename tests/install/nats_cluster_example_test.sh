#!/usr/bin/env bash
# Checks the example cluster configuration the gateway package ships
# (gateway/nats-cluster/ with gateway/entitlements.conf): with certificates
# made here, `nats-server -t` accepts each server's file, and three servers
# started from them, with only their ports, route names and folders moved to
# this machine's loopback, form one cluster: two routes each over TLS, and
# JetStream with one meta leader that all three know, in a cluster of 3.
# Then a gateway set up as docs/operations.md says (TLS with its own
# certificate to the three servers, the gateway user of entitlements.conf, a
# standby bucket) holds its lease, in a bucket the cluster keeps in three
# copies, over a TLS connection as that user.
# Exits 77 (skipped) without nats-server or openssl.
# Usage: nats_cluster_example_test.sh SOURCE_DIR GATEWAY FEED_LIBRARY
set -euo pipefail
src=$(realpath "$1"); gateway=$2; feed=$3
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

# The gateway's client certificate, from the same CA.
openssl req -newkey rsa:2048 -nodes -keyout "$tls/gateway-key.pem" -out "$tls/gateway.csr" -subj /CN=gateway \
    2>/dev/null
printf 'extendedKeyUsage=clientAuth\n' >"$tls/client-ext"
openssl x509 -req -in "$tls/gateway.csr" -CA "$tls/ca.pem" -CAkey "$tls/ca-key.pem" -CAcreateserial \
    -out "$tls/gateway.pem" -days 1 -extfile "$tls/client-ext" 2>/dev/null
servers="tls://127.0.0.1:${ports[0]},tls://127.0.0.1:${ports[3]},tls://127.0.0.1:${ports[6]}"
TELLIVAR_GATEWAY_NATS_PASSWORD=gateway-secret "$gateway" --feed-library "$feed" --nats "$servers" \
    --tls-ca "$tls/ca.pem" --tls-cert "$tls/gateway.pem" --tls-key "$tls/gateway-key.pem" \
    --nats-user gateway --standby-bucket tellivar-gateway >"$work/gateway.log" 2>&1 &
gateway_pid=$!
pids+=("$gateway_pid")
# Wait (up to 60 s) until it holds the lease, or ends.
for _ in $(seq 120); do
  grep -q "active: holds the lease in the bucket tellivar-gateway" "$work/gateway.log" && break
  kill -0 "$gateway_pid" 2>/dev/null || break
  sleep 0.5
done
grep -q "active: holds the lease in the bucket tellivar-gateway" "$work/gateway.log" ||
    fail "the gateway did not become active on the example cluster: $(cat "$work/gateway.log")"
# Its connection, on whichever server it chose: TLS, as the user gateway.
connection=""
for n in 1 2 3; do
  connection+=$(python3 -c '
import json, sys
for c in json.loads(sys.argv[1] or "{}").get("connections") or []:
    if c.get("name") == "tellivar-gateway":
        print(c.get("authorized_user") or "-", c.get("tls_version") or "plain")' \
      "$(monitor "$n" "/connz?auth=true")")
done
[ "$(wc -w <<<"$connection")" = 2 ] || fail "the servers show the gateway's connection as '$connection'"
read -r nats_user tls_version <<<"$connection"
[ "$nats_user" = gateway ] || fail "the gateway is connected as '$nats_user', not as the user gateway"
[ "$tls_version" != plain ] || fail "the gateway's connection is not TLS"
# The lease bucket's stream keeps three copies (the gateway raises it to three
# when the cluster can place them).
replicas=-
for _ in $(seq 60); do
  replicas=$(python3 -c '
import json, sys
for account in json.loads(sys.argv[1] or "{}").get("account_details") or []:
    for stream in account.get("stream_detail") or []:
        if stream.get("name") == "KV_tellivar-gateway":
            print(stream.get("config", {}).get("num_replicas", "-")); sys.exit()
print("-")' "$(monitor 1 "/jsz?accounts=true&streams=true&config=true")")
  [ "$replicas" = 3 ] && break
  sleep 0.5
done
[ "$replicas" = 3 ] || fail "the lease bucket keeps $replicas copies, expected 3: $(cat "$work/gateway.log")"
echo "a gateway over mutual TLS as the user gateway holds its lease in a bucket of 3 copies"
