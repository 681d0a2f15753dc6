# shellcheck shell=bash
# Sourced by scripts/run.sh, the Windows scripts (scripts/windows-common.sh) and the benchmark's
# scripts (bench/): starting nginx on 127.0.0.1 and reading the launcher's log, written once.

# The line the launcher logs once every update is over and its program buttons are enabled.
all_done_line="Todos os botões foram ativados, todas as atualizações estão completas!"

# port_in_use PORT: whether something accepts connections on PORT of 127.0.0.1.
port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# free_port PORT [COUNT]: the first port from PORT on that starts COUNT (default 1) free ports.
free_port() {
    local p=$1 count=${2:-1} i
    for ((i = 0; i < count; ++i)); do
        if port_in_use $((p + i)); then
            p=$((p + i + 1))
            i=-1
        fi
    done
    echo "$p"
}

# start_nginx STATE URL CA: starts nginx (its configuration with "daemon off") on STATE/nginx.conf
# in the background, adds its pid to the caller's pids array, and returns once URL answers a HEAD
# under the authority in the file CA; fails when nginx ends first or does not answer in 10 s.
start_nginx() {
    local state=$1 url=$2 ca=$3 nginx
    mkdir -p "$state/logs"
    nginx -p "$state/" -c "$state/nginx.conf" -e "$state/logs/error.log" &
    nginx=$!
    pids+=("$nginx")
    for _ in $(seq 100); do
        curl -fsS -I --cacert "$ca" -o /dev/null "$url" 2>/dev/null && return 0
        kill -0 "$nginx" 2>/dev/null || { cat "$state/logs/error.log" >&2; return 1; }
        sleep 0.1
    done
    echo "nginx did not answer $url" >&2
    return 1
}

# start_demo_server STATE PORT starts the demo's nginx (demo/prepare.sh wrote STATE) as
# start_nginx does; it fails when the port is taken.
start_demo_server() {
    local state=$1 port=$2
    if port_in_use "$port"; then
        echo "Port $port of 127.0.0.1 is taken; choose another with VELTRO_DEMO_PORT." >&2
        return 1
    fi
    : > "$state/logs/access.log"
    start_nginx "$state" "https://127.0.0.1:$port/kiv/updater.json" "$state/tls/ca.pem"
}

# cycle_over [LOG]: whether the launcher's log (default: the file the caller's $log names) shows
# its update cycle over: every repository has ended its road (up to date, installed, or failed)
# and the buttons have been enabled after the last installation. A delta update installs the
# entries it fetched right after its "fetched" line and removes no archive. Lines may end in CR,
# as the Windows build's do.
cycle_over() {
    awk -v done="$all_done_line" '
        { sub(/\r$/, "") }
        /^Fetching latest commit hash from GitLab for repository: / { repos++ }
        /^Repository is up-to-date\. No need to download\.$/ ||
        /^(Arquivo ZIP removido com sucesso|Falha ao remover o arquivo ZIP): / ||
        /^The ZIP file does not exist/ || /^ZIP file extraction failed\.$/ ||
        /^Delta update fetched / { ended++; pending = 1 }
        /^Failed to fetch commit hash from GitLab: / ||
        /^No commits found for the repository\.$/ { ended++ }
        $0 == done { pending = 0 }
        END { exit !(repos > 0 && ended >= repos && !pending) }' "${1:-$log}"
}
