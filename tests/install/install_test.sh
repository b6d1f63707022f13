#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses the installed copy from
# outside the source and build trees: the host's --version and info (with the
# stand-in found in its private folder), a consumer project built through the
# CMake package config and through pkg-config, and the plug-in copied with the
# feed library into an empty folder.
# Usage: install_test.sh BUILD_DIR CONSUMER_SOURCE_DIR VERSION
set -euo pipefail
build=$(realpath "$1"); consumer=$(realpath "$2"); version=$3
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "FAIL: $*" >&2; exit 1; }
cd "$work"

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name tellivar.pc)")/..
libdir=$(realpath "$libdir")
plugindir=$libdir/tellivar/plugin
[ -e "$plugindir/libtellivar.so" ] || fail "the plug-in is not in $plugindir"
simfeed=$libdir/tellivar/simfeed
[ -e "$simfeed/libTellivarClient.so.1" ] || fail "the stand-in is not in $simfeed"
[ -z "$(find "$libdir" "$plugindir" -maxdepth 1 -name 'libTellivarClient*')" ] ||
    fail "the stand-in is in $libdir or beside the plug-in"
# A whole-tree install leaves the system's folders alone: the gateway's units,
# user and /etc file come with its package only.
[ -z "$(find "$prefix" -path '*systemd*' -o -path '*sysusers*' -o -name gateway.conf)" ] ||
    fail "the install put the gateway's system files under $prefix"

out=$("$prefix/bin/tellivar-host" --version)
echo "$out"
grep -qx "tellivar-host $version" <<<"$out" || fail "--version lacks the version"
grep -qx "plug-in: Tellivar ($plugindir/libtellivar.so)" <<<"$out" || fail "--version did not load the installed plug-in"
grep -q "^feed library: $simfeed/libTellivarClient.so" <<<"$out" || fail "--version did not load the installed stand-in"
out=$("$prefix/bin/tellivar-host" info)
grep -q "^Display name: *Tellivar$" <<<"$out" || fail "info: $out"

cmake -S "$consumer" -B cmake-consumer -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build cmake-consumer >/dev/null
cmake-consumer/consumer || fail "consumer built with the package config"

export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion tellivar)" = "$version" ] || fail "pkg-config version"
[ "$(pkg-config --variable=pluginpath tellivar)" = "$plugindir/libtellivar.so" ] ||
    fail "pluginpath is not the plain path: $(pkg-config --variable=pluginpath tellivar)"
# shellcheck disable=SC2046
g++ -std=c++17 "$consumer/consumer.cpp" -o pc-consumer $(pkg-config --cflags --libs tellivar-simfeed) -ldl \
    -DTELLIVAR_PLUGIN="\"$(pkg-config --variable=pluginpath tellivar)\""
./pc-consumer || fail "consumer built with pkg-config"

mkdir empty
cp "$plugindir/libtellivar.so" "$simfeed/libTellivarClient.so.1" empty/
# Read ldd's answer whole: `| grep -q` would close the pipe early and, under
# pipefail, fail the check whenever ldd is still writing.
resolved=$(ldd empty/libtellivar.so)
grep -q "libTellivarClient.so.1 => $work/empty/libTellivarClient.so.1" <<<"$resolved" ||
    fail "copied plug-in does not find the feed library beside it"
"$prefix/bin/tellivar-host" --feed-library system --plugin "$work/empty/libtellivar.so" info >/dev/null ||
    fail "copied plug-in does not load"
echo "installed copy works"
