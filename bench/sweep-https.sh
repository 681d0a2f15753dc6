#!/usr/bin/env bash
# Sweeps the launcher's archive download over HTTPS against curl: read buffer bound, when the
# bound is set, TLS 1.3 cipher (AES-GCM, ChaCha20) and HTTP/1.1 or HTTP/2 (nginx with http2 on; Qt
# takes HTTP/2 by ALPN when the server offers it). Meant for a quiet machine; prints one TSV line
# per run and a median table at the end.
#   bash bench/sweep-https.sh [build-dir]        (default build-dir: build-bench)
# Environment: SWEEP_RUNS (runs per point, default 3), SWEEP_BOUNDS (bytes, 0 = none; default
# 16384 32768 65536 131072 262144 1048576 4194304 0), SWEEP_AT (start first-read; default start),
# SWEEP_CIPHERS (aes chacha), SWEEP_PROTOCOLS (h1 h2), SWEEP_MIB (archive size, default 1024).
set -euo pipefail
shopt -s inherit_errexit

here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=demo/server.sh
source "$here/demo/server.sh"
build=$(realpath -m "${1:-$here/build-bench}")
runs=${SWEEP_RUNS:-3}
bounds=${SWEEP_BOUNDS:-16384 32768 65536 131072 262144 1048576 4194304 0}
ats=${SWEEP_AT:-start}
ciphers=${SWEEP_CIPHERS:-aes chacha}
protocols=${SWEEP_PROTOCOLS:-h1 h2}
work=$build/sweep-work
say() { printf '[sweep %s] %s\n' "$(date -u +%H:%M:%S)" "$*" >&2; }

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target veltro_sync_bench >/dev/null
syncbench=$build/bench/veltro_sync_bench

rm -rf "$work/nginx" "$work/run" "$work/data"
mkdir -p "$work"/{tls,nginx/tmp,www,run,data}
mkdir -p -m 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime
if [ ! -f "$work/www/reference.zip" ]; then
    say "making a ${SWEEP_MIB:-1024} MiB archive stand-in"
    head -c "$((${SWEEP_MIB:-1024} * 1048576))" /dev/urandom >"$work/www/reference.zip"
fi
[ -s "$work/tls/server.pem" ] || bash "$here/scripts/make-certs.sh" "$work/tls" "Veltro Sweep CA" 30
ca=$work/tls/ca.pem

port=$(free_port 18580 4)
# One server per cipher and protocol: h1 aes, h1 chacha, h2 aes, h2 chacha.
server() { # PORT HTTP2 CIPHERSUITE
    cat <<EOT
    server {
        listen 127.0.0.1:$1 ssl$2;
        root $work/www;
        ssl_certificate $work/tls/server.pem;
        ssl_certificate_key $work/tls/server.key;
        ssl_protocols TLSv1.3;
        ssl_conf_command Ciphersuites $3;
        ssl_session_cache off;
    }
EOT
}
{
    [ "$(id -u)" -ne 0 ] || echo "user root;"
    cat <<EOT
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $work/nginx/tmp/body;
    proxy_temp_path $work/nginx/tmp/proxy;
    fastcgi_temp_path $work/nginx/tmp/fastcgi;
    uwsgi_temp_path $work/nginx/tmp/uwsgi;
    scgi_temp_path $work/nginx/tmp/scgi;
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 60;
EOT
    server $port "" TLS_AES_256_GCM_SHA384
    server $((port + 1)) "" TLS_CHACHA20_POLY1305_SHA256
    server $((port + 2)) " http2" TLS_AES_256_GCM_SHA384
    server $((port + 3)) " http2" TLS_CHACHA20_POLY1305_SHA256
    echo "}"
} >"$work/nginx/nginx.conf"
pids=()
stop_started() {
    kill "${pids[@]}" 2>/dev/null || true
    wait "${pids[@]}" 2>/dev/null || true
}
trap stop_started EXIT
url_of() { # PROTOCOL CIPHER
    local p=$port
    [ "$2" = chacha ] && p=$((p + 1))
    [ "$1" = h2 ] && p=$((p + 2))
    echo "https://127.0.0.1:$p/reference.zip"
}
start_nginx "$work/nginx" "$(url_of h1 aes)" "$ca"

kv() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" <<<"$2"; }
bytes=$(stat -c %s "$work/www/reference.zip")
results=$work/results.tsv
printf 'client\tprotocol\tcipher\tbound\tat\trun\tseconds\tMiB_s\tcpu_s_per_GiB\tgrowth_MiB\n' >"$results"
record() { printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$@" | tee -a "$results"; }

curl_once() { # PROTOCOL CIPHER RUN
    local flag=--http1.1 out
    [ "$1" = h2 ] && flag=--http2
    out=$( { /usr/bin/time -f 'rss_kib=%M cpu=%U+%S' curl -s $flag --cacert "$ca" \
        -o "$work/run/curl.out" -w 'seconds=%{time_total}\n' "$(url_of "$1" "$2")"; } 2>&1)
    local s cpu
    s=$(kv seconds "$out")
    cpu=$(sed -n 's/.*cpu=\([0-9.]*\)+\([0-9.]*\).*/\1 \2/p' <<<"$out" | awk '{print $1 + $2}')
    rm -f "$work/run/curl.out"
    record curl "$1" "$2" - - "$3" "$s" \
        "$(awk -v b="$bytes" -v s="$s" 'BEGIN{printf "%.0f", b / 1048576 / s}')" \
        "$(awk -v b="$bytes" -v c="$cpu" 'BEGIN{printf "%.2f", c / (b / 1073741824)}')" -
}
launcher_once() { # PROTOCOL CIPHER BOUND AT RUN
    rm -rf "$work/run" "$work/data"
    mkdir -p "$work/run" "$work/data"
    local line
    line=$(cd "$work/run" && XDG_DATA_HOME=$work/data QT_QPA_PLATFORM=offscreen \
        VELTRO_BENCH_READ_BOUND=$3 VELTRO_BENCH_BOUND_AT=$4 \
        "$syncbench" --ca "$ca" download "$(url_of "$1" "$2")" 2>/dev/null) || true
    if [ "$(kv ok "$line")" != 1 ]; then
        say "failed: $1 $2 $3 $4: $line"
        return 0
    fi
    local s cpu growth
    s=$(kv seconds "$line")
    cpu=$(kv cpu_seconds "$line")
    growth=$(kv growth_kib "$line")
    record launcher "$1" "$2" "$3" "$4" "$5" "$s" \
        "$(awk -v b="$bytes" -v s="$s" 'BEGIN{printf "%.0f", b / 1048576 / s}')" \
        "$(awk -v b="$bytes" -v c="$cpu" 'BEGIN{printf "%.2f", c / (b / 1073741824)}')" \
        "$(awk -v g="$growth" 'BEGIN{printf "%.1f", g / 1024}')"
}

say "warm-up"
curl_once h1 aes 0 >/dev/null
launcher_once h1 aes 65536 start 0 >/dev/null
for run in $(seq "$runs"); do
    for protocol in $protocols; do
        for cipher in $ciphers; do
            curl_once "$protocol" "$cipher" "$run"
            for at in $ats; do
                for bound in $bounds; do
                    launcher_once "$protocol" "$cipher" "$bound" "$at" "$run"
                done
            done
        done
    done
done
rm -rf "$work/run" "$work/data"

say "medians (throughput relative to curl's median at the same protocol and cipher)"
awk -F'\t' 'NR > 1 {
        key = $1 "\t" $2 "\t" $3 "\t" $4 "\t" $5
        n[key]++; s[key, n[key]] = $8; c[key, n[key]] = $9; g[key, n[key]] = $10
        keys[key] = 1
    }
    function median(arr, key, count,   i, j, t, v) {
        for (i = 1; i <= count; i++) v[i] = arr[key, i]
        for (i = 1; i <= count; i++) for (j = i + 1; j <= count; j++)
            if (v[j] + 0 < v[i] + 0) { t = v[i]; v[i] = v[j]; v[j] = t }
        return v[int((count + 1) / 2)]
    }
    END {
        for (key in keys) { split(key, f, "\t"); if (f[1] == "curl") ref[f[2], f[3]] = median(s, key, n[key]) }
        for (key in keys) {
            split(key, f, "\t"); m = median(s, key, n[key])
            printf "%s\t%.0f\t%.2f\t%s\t%s\n", key, m, m / ref[f[2], f[3]], median(c, key, n[key]), median(g, key, n[key])
        }
    }' "$results" | sort -t$'\t' -k2,2 -k3,3 -k1,1 -k4,4n \
    | { printf 'client\tprotocol\tcipher\tbound\tat\tMiB_s\tx_curl\tcpu_s_per_GiB\tgrowth_MiB\n'; cat; } \
    | column -t -s$'\t'
say "all runs: $results"
