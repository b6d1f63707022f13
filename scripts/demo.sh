#!/usr/bin/env bash
# Builds what the guided demo needs (the stand-in feed, the plug-in and the
# command-line host; no tests or benchmarks) and runs it: the host loads the
# plug-in, which connects to the simulated feed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh demo
# The chart library the host builds into its web page (pinned in the lockfile).
scripts/web-packages.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELLIVAR_BUILD_TESTS=OFF -DTELLIVAR_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target tellivar-host
exec build/hostapp/tellivar-host demo --out-dir build "$@"
