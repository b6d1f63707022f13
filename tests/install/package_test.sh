#!/usr/bin/env bash
# Builds the Debian package into BUILD_DIR/package and checks that it holds
# the plug-in, the feed library, the host, the headers and the package files,
# and that it depends on the ACE runtime and gnuplot.
# Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$build/package"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$build/package" >/dev/null
deb=$(ls "$build"/package/*.deb)
contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/bin/tellivar-host ./usr/lib/libtellivar.so ./usr/lib/libTellivarClient.so.1 \
            ./usr/include/tellivar/host/data.h ./usr/include/tellivar/feed/TellivarClient.h \
            ./usr/lib/cmake/Tellivar/TellivarConfig.cmake ./usr/lib/pkgconfig/tellivar.pc \
            ./usr/share/doc/tellivar/integration.md; do
  grep -qx -- "$path" <<<"$contents" || fail "$(basename "$deb") lacks $path"
done
depends=$(dpkg-deb -f "$deb" Depends)
for dependency in libace- gnuplot; do
  grep -q -- "$dependency" <<<"$depends" || fail "Depends lacks $dependency: $depends"
done
echo "$(basename "$deb"): contents and Depends ($depends) as expected"
