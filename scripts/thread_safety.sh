#!/usr/bin/env bash
# Checks the lock annotations of the plug-in (PluginManager/tellivar/locks.h,
# thread_annotations.h), of the gateway and of the NATS feed client
# (feedcommon/mutex.h) with Clang's thread-safety analysis: every unit of
# them is compiled, syntax only, with -Wthread-safety as an error.
set -euo pipefail
cd "$(dirname "$0")/.."
compiler=${CLANGXX:-clang++-14}
status=0
for unit in PluginManager/tellivar/*.cpp; do
  "$compiler" -std=c++17 -fsyntax-only -Wthread-safety -Werror -I. $(pkg-config --cflags ACE) "$unit" || status=1
done
for unit in gateway/*.cpp natsfeed/*.cpp; do
  "$compiler" -std=c++17 -fsyntax-only -Wthread-safety -Werror -I. $(pkg-config --cflags libnats) "$unit" || status=1
done
exit $status
