#!/usr/bin/env bash
# Measures the launcher's own download, update and extraction code against curl, bsdtar and unzip
# and writes what this run measured to docs/benchmarks.md (docs/benchmark-notes.md reads it).
#   bash bench/run.sh [build-dir]        (default build-dir: build-bench)
# Environment: VELTRO_BENCH_RUNS (measured rounds per figure, default 3, after one warm-up),
# VELTRO_BENCH_OUT (the table's file, default docs/benchmarks.md), VELTRO_BENCH_ARCHIVE (a ZIP
# archive to use instead of the generated 1.1 GiB reference; a small one tries the script out),
# VELTRO_BENCH_GAME_ARCHIVE (the same for the generated 0.9 GiB game-like archive),
# VELTRO_BENCH_BOUND_RUNS (downloads per protocol with both cores busy, default 20),
# VELTRO_BENCH_CUT_MIB and VELTRO_BENCH_CUT_EVERY_MIB (the cut download's archive, default 1024
# MiB, and its cut interval, default 100 MiB).
# VELTRO_BENCH_ROWS picks groups of rows (default all): extraction download bound update game
# pressure cut delta. With some only, their rows replace those of the same measurement in the table
# already in VELTRO_BENCH_OUT and the rest stays; e.g. VELTRO_BENCH_ROWS="cut game".
#
# hyperfine times every whole process (warm-up, clean-up before each run, JSON export). A round
# runs the launcher and its reference tool once each, the order alternating, so that the ratio is
# taken between runs that met the same load on a shared machine. Memory figures come from the
# launcher's driver (veltro_sync_bench) and from /usr/bin/time for the reference tools.
set -euo pipefail
shopt -s inherit_errexit

here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=demo/server.sh
source "$here/demo/server.sh"
build=$(realpath -m "${1:-$here/build-bench}")
runs=${VELTRO_BENCH_RUNS:-3}
out=${VELTRO_BENCH_OUT:-$here/docs/benchmarks.md}
work=$build/bench-work
started=$(date +%s)

say() { printf '[bench %s] %s\n' "$(date -u +%H:%M:%S)" "$*" >&2; }

all_groups="extraction download bound update game pressure cut delta"
wanted=${VELTRO_BENCH_ROWS:-all}
[ "$wanted" != all ] || wanted=$all_groups
for group in $wanted; do
    [[ " $all_groups " == *" $group "* ]] || { say "no row group $group ($all_groups)"; exit 2; }
done
wants() { [[ " $wanted " == *" $1 "* ]]; }
partial=0
[ "$(wc -w <<<"$wanted")" -eq "$(wc -w <<<"$all_groups")" ] || partial=1

# Everything started in the background (nginx, the cutting proxy) ends with the script.
pids=()
stop_started() {
    kill "${pids[@]}" 2>/dev/null || true
    wait "${pids[@]}" 2>/dev/null || true
}
trap stop_started EXIT

bash "$here/scripts/deps.sh" build bench

say "building in $build"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" \
    --target veltro_sync_bench veltro_extract_bench veltro_quickcheck_bench >/dev/null
syncbench=$build/bench/veltro_sync_bench

rm -rf "$work"
mkdir -p "$work"/{www/kiv,www/api,run,data,ref,logs,json}
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime

# ---------------------------------------------------------------- extraction and the archives
if wants extraction; then
    say "extraction: bench/extract.sh (makes the reference archive the first time)"
    extraction_table=$(EXTRACT_BENCH_RUNS=$runs EXTRACT_BENCH_ARCHIVE=${VELTRO_BENCH_ARCHIVE:-} \
        bash "$here/bench/extract.sh" "$build")
fi
# make_archive FILE [SHAPE]: the generated archive, made once per build folder.
make_archive() {
    [ -f "$1" ] && return 0
    say "making $1 (once; about a minute)"
    mkdir -p "$(dirname "$1")"
    "$build/bench/veltro_extract_bench" --make-archive "$1" ${2:+"$2"}
}
archive=${VELTRO_BENCH_ARCHIVE:-$build/bench-data/extract-reference.zip}
if wants download || wants bound || wants update || wants pressure; then
    make_archive "$archive"
    archive=$(realpath "$archive")
    archive_bytes=$(stat -c %s "$archive")
    ln -s "$archive" "$work/www/reference.zip"
fi
game_archive=${VELTRO_BENCH_GAME_ARCHIVE:-$build/bench-data/game-shape.zip}
if wants game; then
    make_archive "$game_archive" game
    game_archive=$(realpath "$game_archive")
    ln -s "$game_archive" "$work/www/game.zip"
fi
# The delta rows' three versions of one archive (bench/deltaarchives.py), made once; distinct
# fixed modification times give each its own ETag, as a newly published file has.
delta_data=$build/bench-data/delta
if wants delta; then
    for v in 1 2 3; do
        [ -f "$delta_data/v$v.zip" ] && continue
        say "making $delta_data/v$v.zip (once)"
        mkdir -p "$delta_data"
        python3 "$here/bench/deltaarchives.py" make "$delta_data/v$v.zip.part" "$v"
        touch -d "@$((1700000000 + v))" "$delta_data/v$v.zip.part"
        mv "$delta_data/v$v.zip.part" "$delta_data/v$v.zip"
    done
fi

say "certificate authority and nginx"
bash "$here/scripts/make-certs.sh" "$work/tls" "Veltro Bench CA" 30
ca=$work/tls/ca.pem
http_port=$(free_port 18480)
https_port=$(free_port $((http_port + 1)))
bash "$here/scripts/nginx-conf.sh" "$work" "$https_port" "$http_port"
if wants delta; then
    # What the server sent for each request to the delta rows' archive, in a log of its own.
    # shellcheck disable=SC2016 # nginx's variables
    format='    log_format bench '"'"'$status $body_bytes_sent "$request" "$http_range"'"'"';'
    location="        location = /delta.zip { access_log $work/logs/delta-access.log bench; }"
    awk -v format="$format" -v location="$location" '
        /^    access_log / { print; print format; next }
        /^        root / { print; print location; next }
        { print }' "$work/nginx.conf" >"$work/nginx.conf.new"
    mv "$work/nginx.conf.new" "$work/nginx.conf"
fi
http_url=http://127.0.0.1:$http_port/reference.zip
https_url=https://127.0.0.1:$https_port/reference.zip

commit=0123456789abcdef0123456789abcdef01234567
printf '[{"id":"%s","title":"Benchmark build"}]\n' "$commit" >"$work/www/api/commits.json"
# manifest NAME ARCHIVE_URL [COMMITS]: a manifest of one repository under kiv/NAME.json, its
# commits list api/COMMITS (default commits.json); prints its URL.
manifest() {
    cat >"$work/www/kiv/$1.json" <<JSON
{"updater_version": "0.2", "background": "",
 "repos": [{"name": "bench", "icon": "clienticon", "exes": ["bin/game"], "tooltip": ["Play"],
            "api": "https://127.0.0.1:$https_port/api/${3:-commits.json}", "dir": "bench",
            "exe": "bin/game", "args": "", "download": "$2"}]}
JSON
    echo "https://127.0.0.1:$https_port/kiv/$1.json"
}
manifest_url=$(manifest updater "$https_url")
game_manifest_url=$(manifest game "https://127.0.0.1:$https_port/game.zip")
delta_manifest_url=$(manifest delta "https://127.0.0.1:$https_port/delta.zip" delta-commits.json)
start_nginx "$work" "https://127.0.0.1:$https_port/api/commits.json" "$ca"

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
# update_rows NAME ARCHIVE_URL MANIFEST_URL ARCHIVE_DESCRIPTION
update_rows() {
    local name=$1 launcher_log=$work/logs/$1-launcher.txt
    local reference_log=$work/logs/$1-reference.txt
    local reference
    reference="$(timed "curl -sS --fail --cacert $ca -o $work/ref/update.zip $2" \
        "$reference_log") && mkdir -p $work/ref/tree && $(timed "bsdtar -xf $work/ref/update.zip \
-C $work/ref/tree" "$reference_log")"
    rounds "$name" "$reference" "$(driver "update $3" "$launcher_log")"
    local lt rt
    lt=$(seconds_of "$name" launcher)
    rt=$(seconds_of "$name" reference)
    local ratio met=yes
    ratio=$(pair "$lt" "$rt" "a / b" | stats)
    below "${ratio%% *}" 1.3 || met="**no**"
    rows+=("| Full update over HTTPS, $4, manifest to buttons enabled: time (whole process) \
| $(fmt %.2f "$(stats <<<"$lt")" " s") \
| curl -o + bsdtar -xf: $(fmt %.2f "$(stats <<<"$rt")" " s") \
| $(fmt %.2f "$ratio" ×) | ≤ 1.3× | $met |")
    local growth met=yes
    growth=$(values "$launcher_log" growth_kib | map "x / 1024" | stats)
    below "${growth##* }" 64 || met="**no**"
    rows+=("| Full update, $4: peak RSS growth | +$(fmt %.1f "$growth" " MiB") \
| curl, bsdtar: $(fmt %.0f "$(tail -n $((2 * runs)) "$reference_log" | map "x / 1024" | stats)" \
" MiB") peak \
| | < 64 MiB | $met |")
    rows+=("| Longest event-loop block during the update, $4 \
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

# ---------------------------------------------------------------- a download cut every 100 MiB
# The archive GET over HTTPS through bench/cutproxy.py, which closes the connection at every
# multiple of the cut interval of the file, once each, as a link that drops does: what travels
# (the body bytes of every GET, counted by the proxy) against the archive's size, and the time
# against the same download through the proxy uncut. Without resume each retry starts from 0.
cut_rows() {
    local size_mib=${VELTRO_BENCH_CUT_MIB:-1024} every_mib=${VELTRO_BENCH_CUT_EVERY_MIB:-100}
    local file=$build/bench-data/cut-$size_mib-mib.bin i
    if [ ! -f "$file" ]; then
        say "making a $size_mib MiB archive stand-in (the download ends before any extraction)"
        mkdir -p "$(dirname "$file")"
        head -c "$((size_mib * mib))" /dev/urandom >"$file.part" && mv "$file.part" "$file"
    fi
    ln -sf "$file" "$work/www/cut.zip"
    local port
    port=$(free_port $((https_port + 1)))
    python3 "$here/bench/cutproxy.py" "$port" "$http_port" "$work/tls/server.pem" \
        "$work/tls/server.key" $((every_mib * mib)) 2>>"$work/logs/cutproxy.txt" &
    pids+=($!)
    local proxy=https://127.0.0.1:$port
    for _ in $(seq 50); do
        curl -fsS --cacert "$ca" -o /dev/null "$proxy/reset" 2>/dev/null && break
        sleep 0.1
    done
    local whole_log=$work/logs/cut-whole-launcher.txt cut_log=$work/logs/cut-launcher.txt
    : >"$whole_log"
    : >"$cut_log"
    : >"$work/logs/cut-whole-proxy.txt"
    : >"$work/logs/cut-proxy.txt"
    # measure KIND MODE PATH: one download after a clean-up; the launcher's line in
    # cut[-KIND]-launcher.txt, the proxy's counts in cut[-KIND]-proxy.txt.
    measure() {
        local log=$work/logs/cut$1-launcher.txt
        eval "$clean"
        curl -fsS --cacert "$ca" -o /dev/null "$proxy/reset"
        eval "$(driver "$2 $proxy$3" "$log")" || true
        curl -fsS --cacert "$ca" "$proxy/stats" >>"$work/logs/cut$1-proxy.txt"
        if [ "$(tail -n 1 "$log" | sed -n 's/.*\bok=\([0-9]\).*/\1/p')" != 1 ]; then
            say "the launcher's download failed: $(tail -n 1 "$log")"
            exit 1
        fi
        cmp -s "$work/run/bench.zip" "$file" \
            || { say "the launcher's archive differs from the one served"; exit 1; }
    }
    say "download cut every $every_mib MiB: $runs rounds, uncut and cut"
    for ((i = 1; i <= runs; ++i)); do
        if [ $((i % 2)) -eq 1 ]; then
            measure -whole download /cut.zip
            measure "" cut /cut/cut.zip
        else
            measure "" cut /cut/cut.zip
            measure -whole download /cut.zip
        fi
    done
    local size=$((size_mib * mib)) label="Download over HTTPS cut every $every_mib MiB \
($size_mib MiB archive)"
    local sent whole_sent met=yes
    sent=$(values "$work/logs/cut-proxy.txt" get_body_bytes | map "x / $size" | stats)
    whole_sent=$(values "$work/logs/cut-whole-proxy.txt" get_body_bytes | map "x / $size" | stats)
    below "${sent%% *}" 1.0500001 || met="**no**"
    rows+=("| $label: bytes received ÷ archive size \
| $(fmt %.2f "$sent" ×) in $(fmt %.0f "$(values "$cut_log" retries | stats)") retries, \
$(fmt %.0f "$(values "$cut_log" resumes | stats)") resumed \
| uncut: $(fmt %.2f "$whole_sent" ×) | $(fmt %.2f "$sent" ×) | ≤ 1.05× | $met |")
    local ct wt
    ct=$(values "$cut_log" seconds)
    wt=$(values "$whole_log" seconds)
    rows+=("| $label: time (in process, 2 s before each retry) \
| $(fmt %.1f "$(stats <<<"$ct")" " s") | uncut: $(fmt %.1f "$(stats <<<"$wt")" " s") \
| $(fmt %.2f "$(pair "$ct" "$wt" "a / b" | stats)" ×) | known number | — |")
}

# ---------------------------------------------------------------- delta updates
# The launcher installs v1 of bench/deltaarchives.py's archive (1 GiB, 2,000 stored entries),
# then v2 is published (new commit, the file swapped, so a new ETag) and the update timed: the
# delta update, which should fetch the archive's end and the one changed 4 MiB entry only. Right
# after it, v3 (200 entries changed, every tenth) is published and updated to. The full update of
# v2 into an empty folder is the time's reference, rounds alternating. What travelled is what
# nginx logged for the archive (status, body bytes, request, Range) during each update.
delta_commit() { printf 'de1%037d' "$1"; }
# delta_publish V: version V is the archive served and the commit listed, each swapped whole.
delta_publish() {
    ln -sfn "$delta_data/v$1.zip" "$work/www/.delta.zip.new"
    mv -Tf "$work/www/.delta.zip.new" "$work/www/delta.zip"
    printf '[{"id":"%s","title":"Benchmark build %s"}]\n' "$(delta_commit "$1")" "$1" \
        >"$work/www/api/.delta-commits.json.new"
    mv -f "$work/www/api/.delta-commits.json.new" "$work/www/api/delta-commits.json"
    export VELTRO_BENCH_COMMIT
    VELTRO_BENCH_COMMIT=$(delta_commit "$1")
}
# delta_update NAME ROUND [timed]: the launcher's update to what is published, its report line
# in logs/NAME-launcher.txt, the server's lines for the archive in logs/NAME-access-ROUND.txt;
# timed, hyperfine times the whole process into json/NAME-ROUND.json.
delta_update() {
    local command
    command=$(driver "update $delta_manifest_url" "$work/logs/$1-launcher.txt")
    : >"$work/logs/delta-access.log"
    if [ "${3:-}" = timed ]; then
        hyperfine --style none --runs 1 --prepare sync --export-json "$work/json/$1-$2.json" \
            -n "$1" "$command" >/dev/null
    else
        eval "$command" \
            || { say "$1: the launcher failed: $(tail -n 1 "$work/logs/$1-launcher.txt")"; exit 1; }
    fi
    cp "$work/logs/delta-access.log" "$work/logs/$1-access-$2.txt"
}
# delta_time_of NAME: the measured rounds' whole-process seconds.
delta_time_of() {
    local i
    for ((i = 1; i <= runs; ++i)); do jq -r '.results[0].times[0]' "$work/json/$1-$i.json"; done
}
# delta_sent NAME: per measured round, "body_bytes requests" from the server's lines.
delta_sent() {
    local i
    for ((i = 1; i <= runs; ++i)); do
        awk '{ b += $2; n++ } END { print b + 0, n + 0 }' "$work/logs/$1-access-$i.txt"
    done
}
delta_rows() {
    local i name
    : >"$work/logs/delta-install-launcher.txt"
    for name in delta delta-v3 delta-full; do : >"$work/logs/$name-launcher.txt"; done
    say "delta updates: warm-up and $runs rounds (install v1, delta to v2 timed, delta to v3; \
full update of v2 timed)"
    for ((i = 0; i <= runs; ++i)); do
        local steps=(delta full)
        [ $((i % 2)) -eq 1 ] || steps=(full delta)
        for step in "${steps[@]}"; do
            eval "$clean"
            if [ "$step" = full ]; then
                delta_publish 2
                delta_update delta-full "$i" timed
                continue
            fi
            delta_publish 1
            delta_update delta-install "$i"
            delta_publish 2
            delta_update delta "$i" timed
            delta_publish 3
            delta_update delta-v3 "$i"
        done
    done
    local v2 v3
    v2=$(python3 "$here/bench/deltaarchives.py" compare "$delta_data/v1.zip" "$delta_data/v2.zip")
    v3=$(python3 "$here/bench/deltaarchives.py" compare "$delta_data/v2.zip" "$delta_data/v3.zip")
    field() { sed -n "s/.*\\b$2=\\([^ ]*\\).*/\\1/p" <<<"$1"; }
    local total changed compressed directory bound
    total=$(field "$v2" entries)
    changed=$(field "$v2" changed)
    compressed=$(field "$v2" compressed_bytes)
    directory=$(field "$v2" directory_bytes)
    bound=$((compressed + directory + 128 * 1024))
    # Whether every measured update was a delta update; if not, why not (the launcher's words).
    fell_back() {
        tail -n "$runs" "$1" | sed -n 's/.*fallback="\{0,1\}\([^"]*\)"\{0,1\}$/\1/p' \
            | sort -u | paste -sd ';' | sed 's/.\{1,\}/; fell back: &/'
    }
    local deltas
    deltas=$(values "$work/logs/delta-launcher.txt" delta | awk '{ s += $1 } END { print s + 0 }')
    local label
    label="Delta update over HTTPS, $changed of $total entries changed (4 MiB of a \
$(awk -v b="$(field "$v2" archive_bytes)" 'BEGIN { printf "%.2f", b / 1073741824 }') GiB \
stored archive)"
    local sent bytes requests met=yes
    sent=$(delta_sent delta)
    bytes=$(cut -d' ' -f1 <<<"$sent")
    requests=$(cut -d' ' -f2 <<<"$sent")
    below "$(stats <<<"$bytes" | cut -d' ' -f3)" $((bound + 1)) && [ "$deltas" -eq "$runs" ] \
        || met="**no**"
    rows+=("| $label: bytes the server sent (nginx's log) | $(fmt %.0f "$(stats <<<"$bytes")") \
(delta updates: $deltas of $runs$(fell_back "$work/logs/delta-launcher.txt")) | bound: entry $compressed + directory $directory + 128 KiB \
= $bound | $(fmt %.3f "$(map "x / $bound" <<<"$bytes" | stats)" ×) | ≤ 1× | $met |")
    met=yes
    below "$(stats <<<"$requests" | cut -d' ' -f3)" 4.5 && [ "$deltas" -eq "$runs" ] \
        || met="**no**"
    rows+=("| $label: requests to the archive (HEAD + GETs, nginx's log) \
| $(fmt %.0f "$(stats <<<"$requests")") | | | ≤ 4 | $met |")
    local dt ft ratio
    dt=$(delta_time_of delta)
    ft=$(delta_time_of delta-full)
    ratio=$(pair "$dt" "$ft" "a / b" | stats)
    met=yes
    below "${ratio%% *}" 0.0500001 || met="**no**"
    rows+=("| $label, manifest to buttons enabled: time (whole process) \
| $(fmt %.2f "$(stats <<<"$dt")" " s") (in process: \
$(fmt %.2f "$(values "$work/logs/delta-launcher.txt" seconds | stats)" " s")) \
| full update of the same archive into an empty folder: $(fmt %.2f "$(stats <<<"$ft")" " s") \
| $(fmt %.3f "$ratio" ×) | ≤ 0.05× | $met |")
    local v3_changed v3_extents v3_sent v3_bytes v3_deltas
    v3_changed=$(field "$v3" changed)
    v3_extents=$(field "$v3" extent_bytes)
    v3_deltas=$(values "$work/logs/delta-v3-launcher.txt" delta \
        | awk '{ s += $1 } END { print s + 0 }')
    v3_sent=$(delta_sent delta-v3)
    v3_bytes=$(cut -d' ' -f1 <<<"$v3_sent")
    local v3_ratio
    v3_ratio=$(map "x / $v3_extents" <<<"$v3_bytes" | stats)
    met=yes
    below "${v3_ratio##* }" 1.0500001 && [ "$v3_deltas" -eq "$runs" ] || met="**no**"
    rows+=("| Delta update over HTTPS, $v3_changed of $total entries changed (every tenth, \
512 KiB each): bytes the server sent (nginx's log) | $(fmt %.0f "$(stats <<<"$v3_bytes")") in \
$(fmt %.0f "$(cut -d' ' -f2 <<<"$v3_sent" | stats)") requests (delta updates: $v3_deltas of \
$runs$(fell_back "$work/logs/delta-v3-launcher.txt")) | changed entries' extents (local header + data): $v3_extents \
| $(fmt %.3f "$v3_ratio" ×) | ≤ 1.05× | $met |")
    quickcheck_row
}

# The start-up check of an install against its index, 20,000 files (made once under the build
# folder), warm: veltro_quickcheck_bench times it five times a run, after one run that warms.
quickcheck_row() {
    local log=$work/logs/quickcheck.txt i
    : >"$log"
    say "quick check of 20,000 files: $runs runs"
    for ((i = 1; i <= runs; ++i)); do
        "$build/bench/veltro_quickcheck_bench" 20000 "$build/bench-data/quickcheck-20000" >>"$log"
    done
    local fastest medians met=yes
    fastest=$(sed -n 's/^quick check .*fastest *\([0-9.]*\) ms.*/\1/p' "$log" | sort -g | head -n 1)
    medians=$(sed -n 's/^quick check .*median *\([0-9.]*\) ms.*/\1/p' "$log" | stats)
    below "${medians##* }" 200 || met="**no**"
    rows+=("| Start-up quick check of an install of 20,000 files against its index (exists, \
size), warm | fastest $(printf %.1f "$fastest") ms, median $(fmt %.1f "$medians" " ms") \
| | | < 200 ms | $met |")
}

# ---------------------------------------------------------------- run the rows wanted
! wants extraction || extraction_row
! wants download || download_rows HTTP "$http_url"
! wants download || download_rows HTTPS "$https_url"
! wants bound || bound_rows HTTP "$http_url"
! wants bound || bound_rows HTTPS "$https_url"
! wants update || update_rows update "$https_url" "$manifest_url" "reference archive"
! wants game || update_rows update-game "https://127.0.0.1:$https_port/game.zip" \
    "$game_manifest_url" "game-like archive (8 × 110 MiB incompressible, 300 × 200 KiB text)"
! wants pressure || pressure_rows
! wants cut || cut_rows
! wants delta || delta_rows

failures=$(cat "$work"/logs/*-launcher.txt "$work"/logs/bound-*.txt "$work/logs/pressure.txt" \
    2>/dev/null | grep -c 'ok=0' || true)

# ---------------------------------------------------------------- the page
elapsed=$(($(date +%s) - started))
machine="$(uname -srm); $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | sed -n 1p), \
$(nproc) cores, $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) RAM; \
Qt $(pkg-config --modversion Qt6Core), $(openssl version | cut -d' ' -f1-2), \
$(curl --version | sed -n '1s/^\([^ ]* [^ ]*\).*/\1/p'), $(bsdtar --version | cut -d' ' -f1-2), \
$(unzip -v | sed -n '1s/^\([^ ]* [^ ]*\).*/\1/p'), $(nginx -v 2>&1 | sed 's/.*: //'), \
$(hyperfine --version)"
# archive_line FILE: its name, size and entry count.
archive_line() { echo "$(basename "$1"), $(stat -L -c %s "$1") bytes, $(unzip -Z1 "$1" | wc -l) entries"; }
mkdir -p "$(dirname "$out")"
if [ "$partial" -eq 1 ]; then
    # Each row measured now replaces the row of the same measurement (its first cell); a new
    # one joins the end of the first table. A line under the table says what was re-measured.
    [ -f "$out" ] || { say "$out does not exist: run every row once first"; exit 1; }
    note="Re-measured on $(date -u '+%Y-%m-%d %H:%M UTC') by \`VELTRO_BENCH_ROWS=\"$wanted\" \
bash bench/run.sh\`: the rows of $wanted ($runs rounds)."
    ! wants game || note+=" Game-like archive: $(archive_line "$game_archive")."
    ! wants delta || note+=" Delta archives: $(archive_line "$delta_data/v1.zip") (v2, v3 alike)."
    [ "$failures" -eq 0 ] || note+=" Launcher runs that reported a failure: $failures."
    printf '%s\n' "${rows[@]}" | awk -v note="$note" '
        function cell(line) { split(line, f, " [|] "); sub(/^[|] /, "", f[1]); return f[1] }
        NR == FNR { key = cell($0); row[key] = $0; order[++n] = key; next }
        !table && /^[|]/ { table = 1 }
        table == 1 && /^[|]/ { k = cell($0); if (k in row) { print row[k]; used[k] = 1 } else print; next }
        table == 1 { for (i = 1; i <= n; i++) if (!(order[i] in used)) print row[order[i]]
                     print ""; print note; table = 2 }
        /^Re-measured on / { skip = 1; next }
        skip && /^$/ { skip = 0; next }
        { skip = 0; print }' - "$out" >"$out.new"
    mv "$out.new" "$out"
    say "rows replaced in $out ($((elapsed / 60)) min $((elapsed % 60)) s)"
    cat "$out"
    exit 0
fi
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
    echo "Archives: the reference, $(archive_line "$archive"); the game-like one," \
        "$(archive_line "$game_archive"); the delta rows' v1," \
        "$(archive_line "$delta_data/v1.zip") (v2, v3 alike)."
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
