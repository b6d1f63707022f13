#!/usr/bin/env bash
# Checks the plug-in's lock annotations with Clang's thread-safety analysis,
# compiles the plug-in's sources for Windows (MinGW-w64), then builds and runs
# every test: a normal build with warnings as errors, then the
# same tests under AddressSanitizer + UndefinedBehaviorSanitizer, then under
# ThreadSanitizer, then each fuzz target for 20 s (clang, ASan + UBSan), then
# short runs of the benchmarks and of the end-to-end latency tool so they keep
# building (the latter fails on a lost update). The normal build's tests also
# install it into a temporary prefix, build the four Debian packages, list and
# lint them (lintian), and start the example NATS cluster with a gateway.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# The web page's chart library and the browser test's driver (no browser
# download: the test drives Debian's chromium).
npm ci --prefix hostapp/web --no-audit --no-fund --loglevel=error
jobs=$(nproc)

echo "=== Windows compile of the plug-in (MinGW-w64) ==="
scripts/mingw-check.sh build-ci-mingw

# Debug information is line tables only (-g1): enough for every stack trace a
# sanitizer or a failing test prints, at about two thirds of the compile time.
# ThreadSanitizer compiles at -O1, as its runtime suggests. GCC's ASan + UBSan
# takes twice that time at -O1 (four times at -O2); at -Og, which keeps the
# optimisations that do not get in a debugger's way, it takes 0.63 of -O1.
run_config() {  # name, sanitizer, benchmarks ON/OFF, ctest labels to leave out
  local dir="build-ci-$1" opt="-O2"
  case "$2" in thread) opt="-O1" ;; address*) opt="-Og" ;; esac
  echo "=== $1 build ($(date -u +%T)) ==="
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELLIVAR_WERROR=ON -DTELLIVAR_SANITIZE="$2" \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$opt -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="$opt -g1 -DNDEBUG" \
        -DTELLIVAR_BUILD_BENCH="$3" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "=== $1 tests ($(date -u +%T)) ==="
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 600 ${4:+-LE "$4"}
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# tests/tsan.supp: only the prebuilt, uninstrumented cpp-httplib library (a test client).
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
echo "=== lock annotations (clang thread-safety analysis) ==="
scripts/thread_safety.sh
run_config normal "" ON
# The Debian package, built by the normal build's package test; listed here.
echo "=== Debian package ==="
dpkg-deb --info build-ci-normal/package/tellivar_*.deb
dpkg-deb --contents build-ci-normal/package/tellivar_*.deb
# Tests labelled normal-only drive many processes for their timing (failover,
# soak, latency) and run in the normal build alone.
run_config asan "address,undefined" OFF normal-only
run_config tsan "thread" OFF normal-only
echo "=== fuzzing (20 s per target) ($(date -u +%T)) ==="
scripts/fuzz.sh 20
if [ -x build-ci-normal/bench/tellivar-bench ]; then
  echo "=== benchmarks (short run) ==="
  build-ci-normal/bench/tellivar-bench --benchmark_min_time=0.01
fi
if [ -x build-ci-normal/bench/latency/tellivar-latency ]; then
  echo "=== end-to-end latency (short run) ==="
  build-ci-normal/bench/latency/tellivar-latency --quick
fi
if [ -x build-ci-normal/bench/latency/tellivar-fanout-latency ] && command -v nats-server >/dev/null; then
  echo "=== end-to-end latency through NATS (short run) ==="
  build-ci-normal/bench/latency/tellivar-fanout-latency --quick
fi
echo "All test configurations passed ($(date -u +%T))."
