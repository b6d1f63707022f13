#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang, ASan and UBSan, and runs
# each for a bounded time from its seed corpus.
#
#   scripts/fuzz.sh [seconds per target, default 30] [target ...]
#
# New inputs go to build-fuzz/corpus/<target> (the seeds in fuzz/corpus stay
# as they are); a crashing input is written to build-fuzz/artifacts/ and the
# script stops with its status.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_query fuzz_host_args fuzz_settings_panel fuzz_callbacks fuzz_wire fuzz_gateway_config)
dir=build-fuzz
# clang warns where gcc does not; the gcc builds keep warnings as errors.
CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELLIVAR_FUZZ=ON \
      -DTELLIVAR_WERROR=OFF -DTELLIVAR_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j"${JOBS:-2}" --target "${targets[@]}"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$dir/artifacts"
failed=()
for target in "${targets[@]}"; do
  corpus="$dir/corpus/$target"
  mkdir -p "$corpus"
  echo "=== $target: ${seconds} s ==="
  "$dir/fuzz/$target" "$corpus" "fuzz/corpus/$target" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$dir/artifacts/$target-" 2>&1 |
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb|==|SUMMARY|.*ERROR|.*runtime error)|INFO: seed corpus' || true
  [ "${PIPESTATUS[0]}" -eq 0 ] || failed+=("$target")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "Fuzzing found faults in: ${failed[*]} (inputs in $dir/artifacts/)"
  exit 1
fi
