#!/bin/sh
# systemd-analyze verify on the gateway's units: the plain one, the template
# and an instance of it. The units name /usr/bin/tellivar-gateway, which
# verify wants to exist: a copy of each names the built program instead.
# verify reports many faults (an unknown key, a bad value) as "ignoring" and
# still exits 0, so any line it prints about the units fails the test too.
# Exit 77 (skipped) without systemd-analyze.
# Usage: verify_units.sh UNIT_DIR GATEWAY_PROGRAM
set -eu
units=$1
program=$2
command -v systemd-analyze >/dev/null 2>&1 || { echo "no systemd-analyze: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for unit in tellivar-gateway.service tellivar-gateway@.service; do
  sed "s|/usr/bin/tellivar-gateway|$program|g" "$units/$unit" > "$work/$unit"
done
ln -s tellivar-gateway@.service "$work/tellivar-gateway@desk1.service"
status=0
for unit in tellivar-gateway.service tellivar-gateway@.service tellivar-gateway@desk1.service; do
  if ! systemd-analyze verify "$work/$unit" > "$work/out" 2>&1; then
    echo "FAIL: systemd-analyze verify $unit exited non-zero:"; cat "$work/out"; status=1
  elif grep -q "tellivar-gateway" "$work/out"; then
    echo "FAIL: systemd-analyze verify $unit complained:"; grep "tellivar-gateway" "$work/out"; status=1
  else
    echo "ok: $unit"
  fi
done
exit $status
