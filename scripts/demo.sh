#!/usr/bin/env bash
# Builds everything and runs the guided demo: the command-line host loads the
# plug-in, which connects to the simulated feed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
exec build/hostapp/tellivar-host demo --out-dir build "$@"
