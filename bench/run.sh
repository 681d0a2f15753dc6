#!/usr/bin/env bash
# Measures the launcher's own download, update and extraction code against curl, bsdtar and unzip
# and writes what this run measured to docs/benchmarks.md (docs/benchmark-notes.md reads it).
#   bash bench/run.sh [build-dir]        (default build-dir: build-bench)
# Environment: VELTRO_BENCH_RUNS (measured rounds per figure, default 3, after one warm-up),
# VELTRO_BENCH_OUT (the table's file, default docs/benchmarks.md), VELTRO_BENCH_ARCHIVE (a ZIP
# archive to use instead of the generated 1.1 GiB reference; a small one tries the script out),
# VELTRO_BENCH_BOUND_RUNS (downloads per protocol with both cores busy, default 20).
#
# hyperfine times every whole process (warm-up, clean-up before each run, JSON export). A round
# runs the launcher and its reference tool once each, the order alternating, so that the ratio is
# taken between runs that met the same load on a shared machine. Memory figures come from the
# launcher's driver (veltro_sync_bench) and from /usr/bin/time for the reference tools.
set -euo pipefail
shopt -s inherit_errexit

here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$here/build-bench}")
runs=${VELTRO_BENCH_RUNS:-3}
out=${VELTRO_BENCH_OUT:-$here/docs/benchmarks.md}
work=$build/bench-work
started=$(date +%s)

say() { printf '[bench %s] %s\n' "$(date -u +%H:%M:%S)" "$*" >&2; }

bash "$here/scripts/deps.sh" build bench

say "building in $build"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target veltro_sync_bench veltro_extract_bench >/dev/null
syncbench=$build/bench/veltro_sync_bench

rm -rf "$work"
mkdir -p "$work"/{www/kiv,www/api,run,data,ref,logs,json}
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime

# ---------------------------------------------------------------- extraction and the archive
say "extraction: bench/extract.sh (makes the reference archive the first time)"
extraction_table=$(EXTRACT_BENCH_RUNS=$runs EXTRACT_BENCH_ARCHIVE=${VELTRO_BENCH_ARCHIVE:-} \
    bash "$here/bench/extract.sh" "$build")
archive=${VELTRO_BENCH_ARCHIVE:-$build/bench-data/extract-reference.zip}
archive=$(realpath "$archive")
archive_bytes=$(stat -c %s "$archive")
ln -s "$archive" "$work/www/reference.zip"

say "certificate authority and nginx"
bash "$here/scripts/make-certs.sh" "$work/tls" "Veltro Bench CA" 30
ca=$work/tls/ca.pem
port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
free_port() {
    local p=$1
    while port_in_use "$p"; do p=$((p + 1)); done
    echo "$p"
}
http_port=$(free_port 18480)
https_port=$(free_port $((http_port + 1)))
bash "$here/scripts/nginx-conf.sh" "$work" "$https_port" "$http_port"
nginx -p "$work/" -c "$work/nginx.conf" -e "$work/logs/error.log" &
nginx_pid=$!
trap 'kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true' EXIT
http_url=http://127.0.0.1:$http_port/reference.zip
https_url=https://127.0.0.1:$https_port/reference.zip
for _ in $(seq 50); do
    curl -sf --cacert "$ca" -o /dev/null -I "$https_url" && break
    sleep 0.1
done

commit=0123456789abcdef0123456789abcdef01234567
printf '[{"id":"%s","title":"Benchmark build"}]\n' "$commit" >"$work/www/api/commits.json"
cat >"$work/www/kiv/updater.json" <<JSON
{"updater_version": "0.2", "background": "",
 "repos": [{"name": "bench", "icon": "clienticon", "exes": ["bin/game"], "tooltip": ["Play"],
            "api": "https://127.0.0.1:$https_port/api/commits.json", "dir": "bench",
            "exe": "bin/game", "args": "", "download": "$https_url"}]}
JSON
manifest_url=https://127.0.0.1:$https_port/kiv/updater.json

# ---------------------------------------------------------------- helpers
# What hyperfine runs before every timed run: no archive, hash file or tree left, writes flushed.
clean="rm -rf $work/run $work/data $work/ref && mkdir -p $work/run $work/data $work/ref && sync"
# The launcher's driver; its key=value report line is appended to the file named last.
driver() {
    printf 'cd %q && XDG_DATA_HOME=%q QT_QPA_PLATFORM=offscreen %q --ca %q %s >> %q 2>> %q' \
        "$work/run" "$work/data" "$syncbench" "$ca" "$1" "$2" "$work/logs/launcher-stderr.txt"
}
# A reference command under /usr/bin/time, its "peak_kib user system" appended to the file.
timed() { printf '/usr/bin/time -f "%%M %%U %%S" -a -o %q %s' "$2" "$1"; }

# rounds NAME REFERENCE LAUNCHER: warm-up, then $runs rounds of one run each, the order
# alternating; the JSON of round i in json/NAME-i.json.
rounds() {
    local name=$1 i
    say "$name: warm-up and $runs rounds"
    hyperfine --style none --warmup 1 --runs 1 --prepare "$clean" \
        --export-json "$work/json/$name-0.json" -n reference "$2" -n launcher "$3" >/dev/null
    : >"$work/logs/$name-launcher.txt"
    : >"$work/logs/$name-reference.txt"
    for ((i = 1; i <= runs; ++i)); do
        local order=(-n reference "$2" -n launcher "$3")
        [ $((i % 2)) -eq 1 ] || order=(-n launcher "$3" -n reference "$2")
        hyperfine --style none --runs 1 --prepare "$clean" \
            --export-json "$work/json/$name-$i.json" "${order[@]}" >/dev/null
    done
}

# seconds_of NAME COMMAND: the measured rounds' seconds of reference or launcher, one a line.
seconds_of() {
    local i
    for ((i = 1; i <= runs; ++i)); do
        jq -r --arg c "$2" '.results[] | select(.command == $c) | .times[0]' \
            "$work/json/$1-$i.json"
    done
}

# The last $runs report lines of a log (the warm-up's came first): the values of KEY.
values() { tail -n "$runs" "$1" | sed -n "s/.*\\b$2=\\([^ ]*\\).*/\\1/p"; }

# stats: "median min max" of the numbers on stdin.
stats() {
    sort -g | awk '{ v[NR] = $1 } END {
        print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2, v[1], v[NR] }'
}
# fmt FORMAT "median min max" [UNIT]: "M U [min–max]".
fmt() {
    local f=$1 u=${3:-}
    set -- $2
    printf "$f%s [$f–$f]" "$1" "$u" "$2" "$3"
}
# map EXPRESSION: each number x on stdin through an awk expression of x.
map() { awk "{ x = \$1; printf \"%.6f\\n\", $1 }"; }
# pair A B EXPRESSION: the expression of a and b, line by line.
pair() {
    paste <(printf '%s\n' "$1") <(printf '%s\n' "$2") \
        | awk "{ a = \$1; b = \$2; printf \"%.6f\\n\", $3 }"
}
below() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }
mib=1048576
rows=()

check_bytes() {
    local got
    for got in $(values "$1" bytes); do
        [ "$got" = "$archive_bytes" ] && continue
        echo "the launcher got $got of $archive_bytes bytes" >&2
        exit 1
    done
}

# ---------------------------------------------------------------- download
download_rows() {
    local proto=$1 url=$2 name=download-$1
    local launcher_log=$work/logs/$name-launcher.txt reference_log=$work/logs/$name-reference.txt
    rounds "$name" \
        "$(timed "curl -sS --fail --cacert $ca -o $work/ref/curl.zip $url" "$reference_log")" \
        "$(driver "download $url" "$launcher_log")"
    check_bytes "$launcher_log"
    local lt ct ratio
    lt=$(seconds_of "$name" launcher | map "$archive_bytes / $mib / x")
    ct=$(seconds_of "$name" reference | map "$archive_bytes / $mib / x")
    ratio=$(pair "$lt" "$ct" "a / b")
    local r met=yes
    r=$(stats <<<"$ratio")
    below "${r%% *}" 0.9 && met="**no**"
    rows+=("| Download over $proto: throughput (whole process) \
| $(fmt %.0f "$(stats <<<"$lt")" " MiB/s") \
| curl -o: $(fmt %.0f "$(stats <<<"$ct")" " MiB/s") | $(fmt %.2f "$r" ×) | ≥ 0.9× | $met |")
    local growth
    growth=$(values "$launcher_log" growth_kib | map "x / 1024" | stats)
    met=yes
    below "${growth##* }" 64 || met="**no**"
    rows+=("| Download over $proto: peak RSS (growth) \
| $(fmt %.0f "$(values "$launcher_log" peak_kib | map "x / 1024" | stats)" " MiB") \
(+$(fmt %.1f "$growth" " MiB")) \
| curl -o: $(fmt %.0f "$(tail -n "$runs" "$reference_log" | map "x / 1024" | stats)" " MiB") \
| | growth < 64 MiB | $met |")
    local gib lc cc
    gib=$(awk -v b="$archive_bytes" 'BEGIN { print b / 1073741824 }')
    lc=$(values "$launcher_log" cpu_seconds | map "x / $gib")
    cc=$(tail -n "$runs" "$reference_log" | awk -v g="$gib" '{ printf "%.6f\n", ($2 + $3) / g }')
    local cpu_ratio
    cpu_ratio=$(pair "$lc" "$cc" "a / (b > 0 ? b : 0.01)" | stats)
    met=yes
    below "${cpu_ratio%% *}" 1.3 || met="**no**"
    rows+=("| Download over $proto: CPU time per GiB, all threads \
| $(fmt %.2f "$(stats <<<"$lc")" " s") | curl -o: $(fmt %.2f "$(stats <<<"$cc")" " s") \
| $(fmt %.2f "$cpu_ratio" ×) | ≤ 1.3× | $met |")
}

# ---------------------------------------------------------------- full update
update_rows() {
    local name=update launcher_log=$work/logs/update-launcher.txt
    local reference_log=$work/logs/update-reference.txt
    local reference
    reference="$(timed "curl -sS --fail --cacert $ca -o $work/ref/update.zip $https_url" \
        "$reference_log") && mkdir -p $work/ref/tree && $(timed "bsdtar -xf $work/ref/update.zip \
-C $work/ref/tree" "$reference_log")"
    rounds "$name" "$reference" "$(driver "update $manifest_url" "$launcher_log")"
    local lt rt
    lt=$(seconds_of "$name" launcher)
    rt=$(seconds_of "$name" reference)
    local ratio met=yes
    ratio=$(pair "$lt" "$rt" "a / b" | stats)
    below "${ratio%% *}" 1.3 || met="**no**"
    rows+=("| Full update over HTTPS, manifest to buttons enabled: time (whole process) \
| $(fmt %.2f "$(stats <<<"$lt")" " s") \
| curl -o + bsdtar -xf: $(fmt %.2f "$(stats <<<"$rt")" " s") \
| $(fmt %.2f "$ratio" ×) | ≤ 1.3× | $met |")
    local growth met=yes
    growth=$(values "$launcher_log" growth_kib | map "x / 1024" | stats)
    below "${growth##* }" 64 || met="**no**"
    rows+=("| Full update: peak RSS growth | +$(fmt %.1f "$growth" " MiB") \
| curl, bsdtar: $(fmt %.0f "$(tail -n $((2 * runs)) "$reference_log" | map "x / 1024" | stats)" \
" MiB") peak \
| | < 64 MiB | $met |")
    rows+=("| Longest event-loop block during the update \
| $(fmt %.2f "$(values "$launcher_log" longest_block_ms | map "x / 1000" | stats)" " s") \
| (the extraction inside it: \
$(fmt %.2f "$(values "$launcher_log" extraction_seconds | stats)" " s")) \
| | known number | — |")
}

# ---------------------------------------------------------------- memory under pressure
pressure_rows() {
    local log=$work/logs/pressure.txt
    : >"$log"
    say "memory under pressure: warm-up and $runs runs"
    hyperfine --style none --warmup 1 --runs "$runs" --prepare "$clean" \
        --export-json "$work/json/pressure.json" -n pressure \
        "$(driver "pressure $https_url $https_url" "$log")" >/dev/null
    local growth met=yes overlapped
    growth=$(values "$log" growth_kib | map "x / 1024" | stats)
    below "${growth##* }" 64 || met="**no**"
    overlapped=$(values "$log" overlapped | awk '{ s += $1 } END { print s + 0 }')
    rows+=("| Under pressure (both over HTTPS): peak RSS growth while repository B downloads \
and A's extraction blocks the event loop for \
$(fmt %.1f "$(values "$log" longest_block_ms | map "x / 1000" | stats)" " s") \
(B under way throughout in $overlapped of $runs runs) | +$(fmt %.1f "$growth" " MiB") | | \
| < 64 MiB | $met |")
}

# ---------------------------------------------------------------- the read bound on busy cores
# Downloads while two other processes keep both cores busy, as on a player's machine doing other
# work: how many outgrow the 64 MiB that the reply's read bound should keep them under.
bound_rows() {
    local proto=$1 url=$2 n=${VELTRO_BENCH_BOUND_RUNS:-20} log=$work/logs/bound-$1.txt i
    local busy=()
    : >"$log"
    say "download over $proto with both cores busy: $n runs"
    for _ in 1 2; do
        sh -c 'while :; do :; done' &
        busy+=($!)
    done
    for ((i = 1; i <= n; ++i)); do
        eval "$clean"
        eval "$(driver "download $url" "$log")" || true
    done
    kill "${busy[@]}"
    wait "${busy[@]}" 2>/dev/null || true
    local growth over met=yes
    growth=$(sed -n 's/.*\bgrowth_kib=\([^ ]*\).*/\1/p' "$log" | map "x / 1024")
    over=$(awk '$1 >= 64' <<<"$growth" | wc -l)
    [ "$over" -eq 0 ] || met="**no**"
    rows+=("| Download over $proto, both cores busy: runs whose RSS grew by 64 MiB or more \
| $over of $(wc -l <<<"$growth"), growth $(fmt %.1f "$(stats <<<"$growth")" " MiB") | | \
| 0 | $met |")
}

# ---------------------------------------------------------------- extraction
# The median seconds and the ratio of bench/extract.sh's table (below the main one).
extraction_row() {
    local tool reference met=yes
    tool=$(awk -F'|' '/ZipExtractor/ { gsub(/[ ×]/, "", $3); gsub(/[ ×]/, "", $5); print $3, $5 }' \
        <<<"$extraction_table")
    reference=$(awk -F'|' '/bsdtar -xf/ { gsub(/ /, "", $3); print $3 }' <<<"$extraction_table")
    below "${tool#* }" 0.8 || met="**no**"
    rows+=("| Extraction into an empty folder: time (bench/extract.sh, below) | ${tool% *} s \
| bsdtar -xf: $reference s | ${tool#* }× | ≤ 0.8× | $met |")
}

# ---------------------------------------------------------------- run everything
extraction_row
download_rows HTTP "$http_url"
download_rows HTTPS "$https_url"
bound_rows HTTP "$http_url"
bound_rows HTTPS "$https_url"
update_rows
pressure_rows

failures=$(cat "$work"/logs/*-launcher.txt "$work"/logs/bound-*.txt "$work/logs/pressure.txt" \
    | grep -c 'ok=0' || true)

# ---------------------------------------------------------------- the page
elapsed=$(($(date +%s) - started))
machine="$(uname -srm); $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | sed -n 1p), \
$(nproc) cores, $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) RAM; \
Qt $(pkg-config --modversion Qt6Core), $(openssl version | cut -d' ' -f1-2), \
$(curl --version | sed -n '1s/^\([^ ]* [^ ]*\).*/\1/p'), $(bsdtar --version | cut -d' ' -f1-2), \
$(unzip -v | sed -n '1s/^\([^ ]* [^ ]*\).*/\1/p'), $(nginx -v 2>&1 | sed 's/.*: //'), \
$(hyperfine --version)"
entries=$(unzip -Z1 "$archive" | wc -l)
mkdir -p "$(dirname "$out")"
{
    echo "# Benchmarks"
    echo
    echo "Made by \`bash bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC')," \
        "in $((elapsed / 60)) min $((elapsed % 60)) s (building included). What the figures" \
        "mean and what earlier trials found: [benchmark notes](benchmark-notes.md)."
    echo
    echo "Machine: $machine."
    echo
    echo "Each figure is the median of $runs rounds after one warm-up, with [min–max]; a ratio" \
        "(launcher ÷ reference tool) is taken round by round and its median given."
    echo "Archive: $(basename "$archive"), $archive_bytes bytes, $entries entries."
    [ "$failures" -eq 0 ] \
        || echo "Launcher runs that reported a failure: $failures (see $work/logs)."
    echo
    echo "| Measurement | Launcher | Reference tool | Ratio | Target | Met |"
    echo "|---|---|---|---|---|---|"
    printf '%s\n' "${rows[@]}"
    echo
    echo "## Extraction, as bench/extract.sh reports it"
    echo
    printf '%s\n' "$extraction_table"
} >"$out"
say "table written to $out ($((elapsed / 60)) min $((elapsed % 60)) s)"
cat "$out"
