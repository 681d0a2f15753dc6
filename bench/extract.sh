#!/usr/bin/env bash
# Extraction benchmark: ZipExtractor against bsdtar and Info-ZIP unzip on one reference archive.
#
#   bench/extract.sh [build folder]        (default: ./build)
#
# The reference archive (about 1.1 GiB deflated: 400 text files of 0.25-2.25 MiB and ten
# incompressible 100 MiB binaries, 1.5 GiB unpacked) is generated once into
# <build>/bench-data/extract-reference.zip and reused (EXTRACT_BENCH_ARCHIVE names another one).
# Every extractor gets one warm-up run, then EXTRACT_BENCH_RUNS (default 3) measured runs, each
# into an empty folder after a sync. Prints a Markdown table (median wall time and CPU time, their ratios to bsdtar, peak RSS) on stdout;
# progress goes to stderr. CPU time is the steadier figure on a machine that is busy otherwise.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
runs=${EXTRACT_BENCH_RUNS:-3}
tool=$build/bench/veltro_extract_bench
data=$build/bench-data
archive=${EXTRACT_BENCH_ARCHIVE:-$data/extract-reference.zip}
scratch=$data/extract-run

log() { echo "extract.sh: $*" >&2; }

for command in bsdtar unzip /usr/bin/time; do
    if ! command -v "$command" >/dev/null; then
        log "$command is missing (scripts/deps.sh installs it)"
        exit 1
    fi
done
if [ "$runs" -lt 1 ]; then
    log "EXTRACT_BENCH_RUNS must be at least 1"
    exit 1
fi

cmake --build "$build" --target veltro_extract_bench >&2
mkdir -p "$data"
if [ ! -f "$archive" ]; then
    log "generating $archive (once; about a minute)"
    "$tool" --make-archive "$archive"
fi

# The command line of each extractor, writing into the folder $2; run with "$1" as a prefix
# (empty, or /usr/bin/time with its options).
run_bsdtar() { $1 bsdtar -xf "$archive" -C "$2"; }
run_unzip() { $1 unzip -o -q "$archive" -d "$2"; }
run_tool() { $1 "$tool" "$archive" "$2" >/dev/null; }

# One run into a fresh folder; appends "wall_kilobytes_user_system" to the file $2.
measure() {
    rm -rf "$scratch"
    mkdir -p "$scratch"
    sync
    "$1" "/usr/bin/time -f %e_%M_%U_%S -a -o $2" "$scratch"
}

names=(bsdtar unzip tool)
labels=("bsdtar -xf" "unzip -o -q" "ZipExtractor::extractZip")
results=$(mktemp -d)
trap 'rm -rf "$results" "$scratch" "$scratch.reference"' EXIT

# Warm-up: the archive and the programs in the page cache; the tool's output is checked against
# bsdtar's while both are there.
log "warm-up"
rm -rf "$scratch.reference" && mkdir -p "$scratch.reference"
run_bsdtar "" "$scratch.reference"
for name in "${names[@]}"; do
    rm -rf "$scratch" && mkdir -p "$scratch"
    "run_$name" "" "$scratch"
done
if ! diff -r -q "$scratch.reference" "$scratch" >&2; then
    log "ZipExtractor's output differs from bsdtar's"
    exit 1
fi
rm -rf "$scratch.reference"

for ((i = 1; i <= runs; ++i)); do
    for name in "${names[@]}"; do
        log "run $i/$runs: $name"
        measure "run_$name" "$results/$name"
    done
done
rm -rf "$scratch"

median() {
    sort -n | awk '{ v[NR] = $1 }
        END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

cpu() { awk -F_ '{ print $3 + $4 }' "$1"; }
bsdtar_median=$(cut -d_ -f1 "$results/bsdtar" | median)
bsdtar_cpu=$(cpu "$results/bsdtar" | median)
archive_mib=$(( $(stat -c %s "$archive") / 1048576 ))
echo "Extraction of $(basename "$archive") ($archive_mib MiB), median of $runs runs after a warm-up"
echo "($(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)):"
echo
echo "| Extractor | Median (s) | Runs (s) | Time / bsdtar | CPU (s) | CPU / bsdtar" \
    "| Peak RSS (MiB) |"
echo "|---|---:|---|---:|---:|---:|---:|"
for index in "${!names[@]}"; do
    file=$results/${names[$index]}
    seconds=$(cut -d_ -f1 "$file" | median)
    all=$(cut -d_ -f1 "$file" | tr '\n' ' ' | sed 's/ $//')
    rss=$(cut -d_ -f2 "$file" | sort -n | tail -1)
    cpu_seconds=$(cpu "$file" | median)
    awk -v label="${labels[$index]}" -v s="$seconds" -v all="$all" -v b="$bsdtar_median" \
        -v c="$cpu_seconds" -v bc="$bsdtar_cpu" -v rss="$rss" \
        'BEGIN { printf "| %s | %.2f | %s | %.2f× | %.2f | %.2f× | %.1f |\n",
                 label, s, all, s / b, c, c / bc, rss / 1024 }'
done
