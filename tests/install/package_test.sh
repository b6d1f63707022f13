#!/usr/bin/env bash
# Builds the Debian packages into BUILD_DIR/package and checks them as a
# machine without our build would get them: what each holds (the stand-in
# only in its private folder, never as the feed client's name in the system's
# library folder), stripped binaries, the copyright files, the Depends, and
# `tellivar-host demo` run from another folder out of the unpacked packages,
# and the example host built and run against them.
# Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
rm -rf "$build/package"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$build/package" >/dev/null
plugin=$(ls "$build"/package/tellivar_*.deb)
tools=$(ls "$build"/package/tellivar-tools_*.deb)

check_contents() {  # DEB PATH...
  local deb=$1; shift
  local contents; contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for path in "$@"; do
    grep -qx -- "$path" <<<"$contents" || fail "$(basename "$deb") lacks $path"
  done
  ! grep -q '^\./usr/lib/libTellivarClient' <<<"$contents" ||
      fail "$(basename "$deb") puts the stand-in in the system library folder"
}
check_contents "$plugin" ./usr/lib/libtellivar.so ./usr/include/tellivar/host/data.h \
    ./usr/include/tellivar/feed/TellivarClient.h ./usr/lib/cmake/Tellivar/TellivarConfig.cmake \
    ./usr/lib/pkgconfig/tellivar.pc ./usr/share/doc/tellivar/integration.md ./usr/share/doc/tellivar/copyright
check_contents "$tools" ./usr/bin/tellivar-host ./usr/lib/tellivar/simfeed/libTellivarClient.so.1.0.0 \
    ./usr/lib/tellivar/simfeed/libTellivarClient.so.1 ./usr/share/doc/tellivar-tools/copyright
depends=$(dpkg-deb -f "$tools" Depends)
for dependency in libace- gnuplot "tellivar (="; do
  grep -q -- "$dependency" <<<"$depends" || fail "tellivar-tools: Depends lacks $dependency: $depends"
done
grep -q -- libace- <<<"$(dpkg-deb -f "$plugin" Depends)" || fail "tellivar: Depends lacks the ACE runtime"
# Each package's synopsis (the Description's first line) speaks of what that package holds.
synopsis() { dpkg-deb -f "$1" Description | head -n 1; }
[ "$(synopsis "$plugin")" = "market-data provider plug-in for charting hosts" ] ||
    fail "tellivar: synopsis '$(synopsis "$plugin")'"
grep -q "^command-line host, stand-in feed and fan-out gateway" <<<"$(synopsis "$tools")" ||
    fail "tellivar-tools: synopsis '$(synopsis "$tools")'"

root=$work/root
dpkg-deb -x "$plugin" "$root"
dpkg-deb -x "$tools" "$root"
for binary in usr/bin/tellivar-host usr/lib/libtellivar.so usr/lib/tellivar/simfeed/libTellivarClient.so.1.0.0; do
  file "$root/$binary" | grep -q ", stripped" || fail "$binary is not stripped"
done
grep -q "^pluginpath=/usr/lib/libtellivar.so$" <<<"$(sed 's|${libdir}|/usr/lib|;s|${prefix}|/usr|' \
    "$root/usr/lib/pkgconfig/tellivar.pc")" || fail "tellivar.pc has no plain pluginpath"

# The demo from an unrelated folder, finding plug-in and stand-in beside the program.
mkdir "$work/elsewhere"
cd "$work/elsewhere"
version=$("$root/usr/bin/tellivar-host" --version)
grep -qx "plug-in: Tellivar ($root/usr/lib/libtellivar.so)" <<<"$version" || fail "--version: $version"
grep -qx "feed library: $root/usr/lib/tellivar/simfeed/libTellivarClient.so.1.0.0" <<<"$version" ||
    fail "--version: $version"
"$root/usr/bin/tellivar-host" -q demo --quote-seconds 1 --stream-seconds 1 --no-wait >demo.out ||
    fail "demo from another folder: $(cat demo.out)"
grep -q "demo finished" demo.out || fail "demo did not finish: $(cat demo.out)"
[ -s tellivar-demo-history.csv ] || fail "demo wrote no CSV into the current folder"

# The host developers' example, built from the package's copy as the docs say,
# runs against the stand-in through LD_LIBRARY_PATH.
# shellcheck disable=SC2046
g++ -std=c++17 "$root/usr/share/doc/tellivar/examples/minimal_host.cpp" -o minimal_host \
    -I"$root/usr/include/tellivar" $(pkg-config --cflags --libs ACE) -ldl -pthread \
    -DTELLIVAR_PLUGIN="\"$root/usr/lib/libtellivar.so\""
LD_LIBRARY_PATH=$root/usr/lib/tellivar/simfeed ./minimal_host "$root/usr/lib/libtellivar.so" 2 >minimal.out ||
    fail "minimal_host: $(cat minimal.out)"
echo "$(basename "$plugin"), $(basename "$tools"): contents, stripped binaries, Depends ($depends) and the demo as expected"
