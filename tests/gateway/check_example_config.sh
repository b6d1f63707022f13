#!/bin/sh
# The example configuration (gateway/gateway.conf, installed as
# /etc/tellivar/gateway.conf): it passes --check-config as shipped and with
# every commented option turned on, and it names every option the program has.
# Usage: check_example_config.sh EXAMPLE GATEWAY_PROGRAM
set -eu
example=$1
program=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
"$program" --check-config --config "$example" || { echo "FAIL: the example as shipped"; status=1; }
sed -n 's/^# \([a-z][a-z-]* = .*\)$/\1/p' "$example" > "$work/on.conf"
"$program" --check-config --config "$work/on.conf" || { echo "FAIL: the example with every option on"; status=1; }
# The long options of --help but --help, --config and --check-config.
"$program" --help | sed -n 's/^  *--\([a-z][a-z-]*\).*/\1/p' | grep -vx 'help\|config\|check-config' | sort -u > "$work/options"
sed 's/ = .*//' "$work/on.conf" | sort -u > "$work/keys"
if ! cmp -s "$work/options" "$work/keys"; then
  echo "FAIL: options (<) and the example's keys (>) differ:"; diff "$work/options" "$work/keys" || true; status=1
fi
exit $status
