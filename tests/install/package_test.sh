#!/usr/bin/env bash
# Builds the Debian packages into BUILD_DIR/package and checks them as a
# machine without our build would get them: which packages there are and what
# each holds (every library in its private folder, never the feed client's
# name in the system's library folder), stripped binaries, the copyright and
# changelog files, the Depends, the gateway's conffile, system user and units
# where dpkg and systemd look for them, lintian (no error; every warning
# explained in docs/operations.md) where lintian is installed, and
# `tellivar-host demo` run from another folder out of the unpacked packages,
# and the example host built and run against them.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(realpath "$1")
src=$(realpath "$2")
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
rm -rf "$build/package"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$build/package" >/dev/null
packages=$(cd "$build/package" && ls ./*.deb | sed 's|^\./||; s|_.*||' | sort | tr '\n' ' ')
echo "packages: $packages"
[ "$packages" = "tellivar tellivar-gateway tellivar-nats tellivar-tools " ] || fail "packages built: $packages"
deb() { ls "$build/package/$1"_*.deb; }
plugin=$(deb tellivar); tools=$(deb tellivar-tools); gateway=$(deb tellivar-gateway); nats=$(deb tellivar-nats)

contents() { dpkg-deb -c "$1" | awk '{print $6}'; }
check_contents() {  # DEB PATH...
  local deb=$1; shift
  local listed; listed=$(contents "$deb")
  for path in "$@"; do
    grep -qx -- "$path" <<<"$listed" || fail "$(basename "$deb") lacks $path"
  done
}
check_contents "$plugin" ./usr/lib/tellivar/plugin/libtellivar.so ./usr/include/tellivar/host/data.h \
    ./usr/include/tellivar/feed/TellivarClient.h ./usr/lib/cmake/Tellivar/TellivarConfig.cmake \
    ./usr/lib/pkgconfig/tellivar.pc ./usr/share/doc/tellivar/integration.md
check_contents "$tools" ./usr/bin/tellivar-host ./usr/lib/tellivar/simfeed/libTellivarClient.so.1.0.0 \
    ./usr/lib/tellivar/simfeed/libTellivarClient.so.1
check_contents "$gateway" ./usr/bin/tellivar-gateway ./etc/tellivar/gateway.conf \
    ./lib/systemd/system/tellivar-gateway.service ./lib/systemd/system/tellivar-gateway@.service \
    ./usr/lib/sysusers.d/tellivar-gateway.conf ./usr/share/doc/tellivar-gateway/operations.md \
    ./usr/share/doc/tellivar-gateway/examples/entitlements.conf ./usr/share/doc/tellivar-gateway/examples/alerts.yml \
    ./usr/share/doc/tellivar-gateway/examples/nats-cluster/common.conf \
    ./usr/share/doc/tellivar-gateway/examples/nats-cluster/nats-1.conf \
    ./usr/share/doc/tellivar-gateway/examples/nats-cluster/nats-2.conf \
    ./usr/share/doc/tellivar-gateway/examples/nats-cluster/nats-3.conf
check_contents "$nats" ./usr/lib/tellivar/nats/libTellivarClient.so.1.0.0 ./usr/lib/tellivar/nats/libTellivarClient.so.1 \
    ./usr/lib/tellivar/replay/libTellivarClient.so.1.0.0 ./usr/lib/tellivar/replay/libTellivarClient.so.1 \
    ./usr/share/doc/tellivar-nats/examples/nats.conf

# Every package: its copyright and changelog; no library in a folder the
# loader searches (a feed client there would shadow the real one, the plug-in
# has no SONAME); a program only in tellivar-tools or tellivar-gateway, each
# program in one package.
for package in "$plugin" "$tools" "$gateway" "$nats"; do
  name=$(dpkg-deb -f "$package" Package)
  check_contents "$package" "./usr/share/doc/$name/copyright" "./usr/share/doc/$name/changelog.gz"
  ! grep -E '^\./(usr/)?lib/[^/]+\.so' <<<"$(contents "$package")" ||
      fail "$name puts a library in the loader's search path"
  [ "$(dpkg-deb --fsys-tarfile "$package" | tar -xO "./usr/share/doc/$name/changelog.gz" | gzip -dc | head -n 1)" = \
    "tellivar ($(dpkg-deb -f "$package" Version)) unstable; urgency=medium" ] ||
      fail "$name: the changelog does not start with the package's version"
done
for program in tellivar-host:tellivar-tools tellivar-gateway:tellivar-gateway; do
  for package in "$plugin" "$tools" "$gateway" "$nats"; do
    name=$(dpkg-deb -f "$package" Package)
    if grep -qx "./usr/bin/${program%%:*}" <<<"$(contents "$package")"; then
      [ "$name" = "${program#*:}" ] || fail "$name holds ${program%%:*}, which belongs in ${program#*:}"
    fi
  done
done

# Every file under /etc is a conffile, and gateway.conf is one.
for package in "$plugin" "$tools" "$gateway" "$nats"; do
  name=$(dpkg-deb -f "$package" Package)
  conffiles=$(dpkg-deb --ctrl-tarfile "$package" | tar -xO ./conffiles 2>/dev/null || true)
  while read -r path; do
    [ -n "$path" ] || continue
    grep -qx "${path#.}" <<<"$conffiles" || fail "$name: ${path#.} is not a conffile"
  done < <(contents "$package" | grep '^\./etc/.*[^/]$' || true)
done
grep -qx /etc/tellivar/gateway.conf <<<"$(dpkg-deb --ctrl-tarfile "$gateway" | tar -xO ./conffiles)" ||
    fail "tellivar-gateway: /etc/tellivar/gateway.conf is not a conffile"

depends=$(dpkg-deb -f "$tools" Depends)
for dependency in libace- gnuplot "tellivar (="; do
  grep -q -- "$dependency" <<<"$depends" || fail "tellivar-tools: Depends lacks $dependency: $depends"
done
grep -q -- libace- <<<"$(dpkg-deb -f "$plugin" Depends)" || fail "tellivar: Depends lacks the ACE runtime"
for package in "$gateway" "$nats"; do
  grep -q -- libnats <<<"$(dpkg-deb -f "$package" Depends)" ||
      fail "$(dpkg-deb -f "$package" Package): Depends lacks libnats: $(dpkg-deb -f "$package" Depends)"
done
grep -q -- systemd-sysusers <<<"$(dpkg-deb -f "$gateway" Depends)" ||
    fail "tellivar-gateway: Depends lacks systemd-sysusers, which its postinst runs"
# Each package's synopsis (the Description's first line) speaks of what that package holds.
synopsis() { dpkg-deb -f "$1" Description | head -n 1; }
while IFS='|' read -r package expected; do
  grep -q "^$expected" <<<"$(synopsis "$package")" ||
      fail "$(dpkg-deb -f "$package" Package): synopsis '$(synopsis "$package")', expected '$expected...'"
done <<EOF
$plugin|market-data provider plug-in for charting hosts
$tools|command-line host and stand-in feed
$gateway|fan-out gateway serving one market-data feed logon over NATS
$nats|NATS feed client for the Tellivar plug-in on desktops
EOF

root=$work/root
for package in "$plugin" "$tools" "$gateway" "$nats"; do dpkg-deb -x "$package" "$root"; done
for binary in usr/bin/tellivar-host usr/bin/tellivar-gateway usr/lib/tellivar/plugin/libtellivar.so \
              usr/lib/tellivar/simfeed/libTellivarClient.so.1.0.0 usr/lib/tellivar/nats/libTellivarClient.so.1.0.0 \
              usr/lib/tellivar/replay/libTellivarClient.so.1.0.0; do
  file "$root/$binary" | grep -q ", stripped" || fail "$binary is not stripped"
done
grep -q "^pluginpath=/usr/lib/tellivar/plugin/libtellivar.so$" <<<"$(sed 's|${libdir}|/usr/lib|;s|${prefix}|/usr|' \
    "$root/usr/lib/pkgconfig/tellivar.pc")" || fail "tellivar.pc has no plain pluginpath"

# The gateway's system user and units: the sysusers file reads, the user it
# makes is the one the units run as, the postinst makes it by that file's
# name, and each unit starts the packaged program.
sysusers=$root/usr/lib/sysusers.d/tellivar-gateway.conf
user=$(awk '$1 == "u" { print $2 }' "$sysusers")
[ "$user" = tellivar ] || fail "the sysusers file makes user '$user', expected tellivar"
if command -v systemd-sysusers >/dev/null; then
  mkdir -p "$work/sysroot/etc"
  systemd-sysusers --dry-run --root "$work/sysroot" "$sysusers" >"$work/sysusers.out" 2>&1 ||
      fail "systemd-sysusers rejects the sysusers file: $(cat "$work/sysusers.out")"
fi
dpkg-deb --ctrl-tarfile "$gateway" | tar -xO ./postinst | grep -q "systemd-sysusers tellivar-gateway.conf" ||
    fail "the postinst does not make the user of /usr/lib/sysusers.d/tellivar-gateway.conf"
for unit in tellivar-gateway.service tellivar-gateway@.service; do
  file=$root/lib/systemd/system/$unit
  grep -qx "User=$user" "$file" || fail "$unit does not run as $user"
  exec_start=$(sed -n 's/^ExecStart=//p' "$file")
  program=${exec_start%% *}
  [ "$program" = /usr/bin/tellivar-gateway ] || fail "$unit starts '$program', not the packaged /usr/bin/tellivar-gateway"
done

if command -v lintian >/dev/null; then
  # No error; a warning only when docs/operations.md explains it by its tag.
  for package in "$plugin" "$tools" "$gateway" "$nats"; do
    report=$(lintian --tag-display-limit 0 "$package" 2>&1 | grep -v "running with root privileges" || true)
    [ -z "$report" ] || echo "$report"
    ! grep -q '^E: ' <<<"$report" || fail "lintian reports errors in $(basename "$package")"
    while read -r tag; do
      grep -q -- "\`$tag\`" "$src/docs/operations.md" ||
          fail "lintian warns '$tag' on $(basename "$package"), which docs/operations.md does not explain"
    done < <(sed -n 's/^W: [^:]*: \([a-z0-9-]*\).*/\1/p' <<<"$report" | sort -u)
  done
else
  echo "lintian is not installed: the packages were not linted"
fi

# The demo from an unrelated folder, finding plug-in and stand-in beside the program.
mkdir "$work/elsewhere"
cd "$work/elsewhere"
version=$("$root/usr/bin/tellivar-host" --version)
grep -qx "plug-in: Tellivar ($root/usr/lib/tellivar/plugin/libtellivar.so)" <<<"$version" || fail "--version: $version"
grep -qx "feed library: $root/usr/lib/tellivar/simfeed/libTellivarClient.so.1.0.0" <<<"$version" ||
    fail "--version: $version"
# `--feed nats` finds the client where tellivar-nats puts it.
version=$("$root/usr/bin/tellivar-host" --feed nats --version)
grep -qx "feed library: $root/usr/lib/tellivar/nats/libTellivarClient.so.1.0.0" <<<"$version" ||
    fail "--feed nats --version: $version"
# `--feed replay` finds the replay client beside it.
version=$("$root/usr/bin/tellivar-host" --feed replay --version)
grep -qx "feed library: $root/usr/lib/tellivar/replay/libTellivarClient.so.1.0.0" <<<"$version" ||
    fail "--feed replay --version: $version"
"$root/usr/bin/tellivar-host" -q demo --quote-seconds 1 --stream-seconds 1 --no-wait >demo.out ||
    fail "demo from another folder: $(cat demo.out)"
grep -q "demo finished" demo.out || fail "demo did not finish: $(cat demo.out)"
[ -s tellivar-demo-history.csv ] || fail "demo wrote no CSV into the current folder"
# The packaged gateway accepts the configuration it ships (its options are
# checked against --help by GatewayExampleConfig).
"$root/usr/bin/tellivar-gateway" --config "$root/etc/tellivar/gateway.conf" --check-config >check.out 2>&1 ||
    fail "the shipped gateway.conf: $(cat check.out)"

# The host developers' example, built from the package's copy as the docs say,
# runs against the stand-in through LD_LIBRARY_PATH.
# shellcheck disable=SC2046
g++ -std=c++17 "$root/usr/share/doc/tellivar/examples/minimal_host.cpp" -o minimal_host \
    -I"$root/usr/include/tellivar" $(pkg-config --cflags --libs ACE) -ldl -pthread \
    -DTELLIVAR_PLUGIN="\"$root/usr/lib/tellivar/plugin/libtellivar.so\""
LD_LIBRARY_PATH=$root/usr/lib/tellivar/simfeed ./minimal_host "$root/usr/lib/tellivar/plugin/libtellivar.so" 2 \
    >minimal.out || fail "minimal_host: $(cat minimal.out)"
echo "$packages: contents, conffiles, the gateway's user and units, stripped binaries, Depends and the demo as expected"
