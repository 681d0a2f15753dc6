#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each, from the seeds it writes as it starts:
#   bash fuzz/run.sh [seconds per target (default 60)] [replies|extract...]
# Crashing inputs land in build-fuzz/artifacts/<target>/; the script then fails.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(replies extract)
bash "$here/scripts/deps.sh" build fuzz
build=${VELTRO_FUZZ_BUILD_DIR:-$here/build-fuzz}
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELTRO_FUZZ=ON -DVELTRO_BUILD_TESTS=OFF -DVELTRO_BUILD_BENCH=OFF
cmake --build "$build" -j"$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}")

# Leak checking stays off: Qt keeps caches (styles, fonts, network) for the life of the process.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
for target in "${targets[@]}"; do
    export VELTRO_FUZZ_SEEDS="$build/seeds/$target"
    mkdir -p "$build/corpus/$target" "$build/artifacts/$target"
    echo "== fuzz_$target for $seconds s (log: $build/fuzz-$target.log)"
    "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$target/" \
        -dict="$here/fuzz/$target.dict" "$build/corpus/$target" "$VELTRO_FUZZ_SEEDS" \
        > "$build/fuzz-$target.log" 2>&1 || { echo "fuzz_$target FAILED"; status=1; }
    grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$build/fuzz-$target.log" || true
done
exit "$status"
