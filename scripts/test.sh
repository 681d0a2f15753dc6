#!/usr/bin/env bash
# Sets up, checks the layout of every C++ file against .clang-format, then builds and runs every
# test twice: as the program is built for use, and built with AddressSanitizer and
# UndefinedBehaviorSanitizer, where any report fails the test that caused it. Everything runs
# even when a step fails; the script fails when any does.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/deps.sh" build test
jobs=$(nproc)
build=${VELTRO_BUILD_DIR:-$here/build}
asan_build=${VELTRO_ASAN_BUILD_DIR:-$here/build-asan}
status=0

# Every tracked C and C++ file laid out as .clang-format says; the list of those that differ.
mapfile -t sources < <(git -C "$here" ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' '*.cpp.in')
[ ${#sources[@]} -gt 0 ] || { echo "No C++ file found: is $here a git checkout?" >&2; exit 1; }
unformatted=()
for source in "${sources[@]}"; do
    clang-format --dry-run --Werror "$here/$source" > /dev/null 2>&1 || unformatted+=("$source")
done
if [ ${#unformatted[@]} -gt 0 ]; then
    echo "${#unformatted[@]} of ${#sources[@]} C++ files differ from .clang-format" \
        "(clang-format -i FILE lays them out):" >&2
    printf '  %s\n' "${unformatted[@]}" >&2
    status=1
fi

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
