# Sourced by scripts/run.sh and scripts/windows.sh. start_demo_server STATE PORT starts the demo's
# nginx in the background, adds its pid to the caller's pids array, and returns once it answers;
# it fails when the port is taken or nginx ends.
start_demo_server() {
    local state=$1 port=$2 nginx
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        echo "Port $port of 127.0.0.1 is taken; choose another with VELTRO_DEMO_PORT." >&2
        return 1
    fi
    : > "$state/logs/access.log"
    nginx -p "$state/" -c "$state/nginx.conf" -e "$state/logs/error.log" &
    nginx=$!
    pids+=("$nginx")
    for _ in $(seq 100); do
        curl -fsS --cacert "$state/tls/ca.pem" -o /dev/null \
            "https://127.0.0.1:$port/kiv/updater.json" 2>/dev/null && return 0
        kill -0 "$nginx" 2>/dev/null || { cat "$state/logs/error.log" >&2; return 1; }
        sleep 0.1
    done
    echo "nginx did not answer on port $port of 127.0.0.1" >&2
    return 1
}
