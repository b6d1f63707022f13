#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses the installed copy from
# outside the source and build trees: the host's --version and info, a
# consumer project built through the CMake package config and through
# pkg-config, and the plug-in copied with the feed library into an empty folder.
# Usage: install_test.sh BUILD_DIR CONSUMER_SOURCE_DIR VERSION
set -euo pipefail
build=$(realpath "$1"); consumer=$(realpath "$2"); version=$3
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }
cd "$work"

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libtellivar.so)")

out=$("$prefix/bin/tellivar-host" --version)
echo "$out"
grep -qx "tellivar-host $version" <<<"$out" || fail "--version lacks the version"
grep -qx "plug-in: Tellivar ($libdir/libtellivar.so)" <<<"$out" || fail "--version did not load the installed plug-in"
out=$("$prefix/bin/tellivar-host" info)
grep -q "^Display name: *Tellivar$" <<<"$out" || fail "info: $out"

cmake -S "$consumer" -B cmake-consumer -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build cmake-consumer >/dev/null
cmake-consumer/consumer || fail "consumer built with the package config"

export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion tellivar)" = "$version" ] || fail "pkg-config version"
# shellcheck disable=SC2046
g++ -std=c++17 "$consumer/consumer.cpp" -o pc-consumer $(pkg-config --cflags --libs tellivar) -ldl \
    -Wl,-rpath,"$(pkg-config --variable=libdir tellivar)" \
    -DTELLIVAR_PLUGIN="\"$(pkg-config --variable=plugin tellivar)\""
./pc-consumer || fail "consumer built with pkg-config"

mkdir empty
feed=$(readelf -d "$libdir/libtellivar.so" | sed -n 's/.*Shared library: \[\(libTellivarClient[^]]*\)\].*/\1/p')
cp "$libdir/libtellivar.so" "$libdir/$feed" empty/
# Read ldd's answer whole: `| grep -q` would close the pipe early and, under
# pipefail, fail the check whenever ldd is still writing.
resolved=$(ldd empty/libtellivar.so)
grep -q "$feed => $work/empty/$feed" <<<"$resolved" || fail "copied plug-in does not find $feed beside it"
"$prefix/bin/tellivar-host" --plugin "$work/empty/libtellivar.so" info >/dev/null || fail "copied plug-in does not load"
echo "installed copy works"
