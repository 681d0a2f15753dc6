#!/usr/bin/env bash
# Sets up, builds and runs every test twice: as the program is built for use, and built with
# AddressSanitizer and UndefinedBehaviorSanitizer, where any report fails the test that caused it.
# Both suites run even when the first fails; the script fails when either does.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/deps.sh" build test
jobs=$(nproc)
build=${VELTRO_BUILD_DIR:-$here/build}
asan_build=${VELTRO_ASAN_BUILD_DIR:-$here/build-asan}
status=0

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$jobs"
(cd "$build" && ctest --output-on-failure -j"$jobs") || status=1

# The benchmark tools are not tests; they stay out of the sanitizer build.
cmake -S "$here" -B "$asan_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRO_SANITIZE=ON \
    -DVELTRO_BUILD_BENCH=OFF
cmake --build "$asan_build" -j"$jobs"
(
    cd "$asan_build"
    export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:print_summary=1"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    ctest --output-on-failure -j"$jobs"
) || status=1

if [ "$status" -ne 0 ]; then
    echo "Some tests failed (see above)." >&2
fi
exit "$status"
