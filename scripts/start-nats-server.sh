# Sourced by scripts that need a nats-server of their own (bash).
# start_nats_server DIR [js]: starts nats-server on 127.0.0.1 at a free port of
# its own choosing (-p -1), logging into DIR/server.log, and sets `server_pid`
# and `url` once it listens; with `js`, JetStream too, storing in DIR/js.
# Returns 1 (with the log shown) if it does not start.
start_nats_server() {
  local dir=$1 port="" js=()
  [ "${2:-}" != js ] || js=(-js -sd "$dir/js")
  "$(command -v nats-server)" -a 127.0.0.1 -p -1 "${js[@]}" >"$dir/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 200); do
    port=$(sed -n 's/.*Listening for client connections on 127.0.0.1:\([0-9]*\).*/\1/p' "$dir/server.log")
    [ -n "$port" ] && break
    sleep 0.05
  done
  if [ -z "$port" ]; then
    echo "nats-server did not start:"
    cat "$dir/server.log"
    return 1
  fi
  url="nats://127.0.0.1:$port"
}
