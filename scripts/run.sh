#!/usr/bin/env bash
# Sets up, builds and runs the launcher against a local demo update server (nginx on 127.0.0.1,
# HTTPS under a CA of its own). With a display the launcher opens there and the command ends when
# its window is closed; without one it runs under Xvfb until its update cycle is over, and the
# command saves a screenshot and prints its path.
#
# With VELTRO_DEMO_FAILURE=1 the tools repository gives way to one published without its archive,
# to show a failed column with its status line and Retry button; its bar then keeps the buttons
# disabled, as a failed download does.
#
# With VELTRO_DEMO_SECOND_VERSION=1 the launcher starts twice. Once the first start is over (its
# window closed; headless, its update cycle), demo/second-version.sh publishes a second version of
# the moor repository with one file changed, and the second start updates moor by byte ranges: its
# column says "Updating 1 of 6 files", and the command prints the launcher's "Delta update" lines
# and what the server sent for them.
#
# Only the build folder (build-run/, or $VELTRO_RUN_BUILD_DIR) and the launcher's install root
# (~/.local/share/VeltroLauncher) are written. The server and everything else started here are
# stopped when the command ends.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=demo/server.sh
source "$here/demo/server.sh"
build=${VELTRO_RUN_BUILD_DIR:-$here/build-run}
port=${VELTRO_DEMO_PORT:-48443}
state="$build/demo-server"
work="$build/demo-work"

bash "$here/scripts/deps.sh" build demo

pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

repos=(client moor tools)
[ -z "${VELTRO_DEMO_FAILURE:-}" ] || repos=(client moor arena)
bash "$here/demo/prepare.sh" "$state" "$port" "${repos[@]}"

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRO_BUILD_TESTS=OFF \
    -DVELTRO_MANIFEST_URL="https://127.0.0.1:$port/kiv/updater.json" \
    -DVELTRO_EXTRA_CA_FILE="$state/tls/ca.pem" > "$build.configure.log" 2>&1 \
    || { cat "$build.configure.log"; exit 1; }
rm -f "$build.configure.log"
cmake --build "$build" -j"$(nproc)" --target VeltroLauncher

start_demo_server "$state" "$port" || exit 1

# The launcher keeps its hash files and archives in its working folder, and takes its window
# icon from there.
mkdir -p "$work"
cp "$here/assets/clienticon.png" "$work/clienticon.png"
cd "$work"
export QT_FORCE_STDERR_LOGGING=1

log="$build/launcher.log"
second=${VELTRO_DEMO_SECOND_VERSION:-}
publish_second_version() {
    bash "$here/demo/second-version.sh" "$state" "$port"
    : > "$state/logs/access.log"
}
# What the second start's log and the server's access log say of the delta update.
delta_report() {
    echo "The second start's update of moor:"
    grep -a '^Delta update' "$log" | sed 's/^/    /' || echo "    no delta update logged"
    awk -v size="$(stat -c %s "$state/www/downloads/moor.zip")" '
        $6 == "\"GET" && $7 == "/downloads/moor.zip" { n++; bytes += $10; status[$9]++ }
        END {
            for (s in status) { answers = answers sep "HTTP " s ": " status[s]; sep = ", " }
            printf "    The server sent %d bytes of moor.zip (%d bytes) in %d GET requests (%s).\n",
                bytes, size, n, answers
        }' "$state/logs/access.log"
}
hint() {
    echo "To see a delta update, one file of one repository fetched by byte ranges:"
    echo "    VELTRO_DEMO_SECOND_VERSION=1 bash scripts/run.sh"
}

if [ -n "${DISPLAY:-}" ]; then
    if [ -z "$second" ]; then
        echo "Starting the launcher on $DISPLAY; close its window to end."
        "$build/VeltroLauncher"
        hint
        exit 0
    fi
    echo "Starting the launcher on $DISPLAY; close its window to publish moor's second version."
    "$build/VeltroLauncher"
    publish_second_version
    echo "Starting the launcher again: moor updates one file by byte ranges." \
        "Close its window to end."
    "$build/VeltroLauncher" 2>&1 | tee "$log"
    delta_report
    exit 0
fi

# Headless: a virtual screen, the launcher until its buttons are enabled, then a screenshot.
exec {displayfd}<> <(:)
Xvfb -displayfd "$displayfd" -screen 0 1024x768x24 -nolisten tcp > "$build/xvfb.log" 2>&1 &
pids+=($!)
read -r -t 30 -u "$displayfd" display || { cat "$build/xvfb.log" >&2; exit 1; }
export DISPLAY=":$display"

# With the failing repository the cycle never ends with the buttons enabled: it is over once that
# download has failed and the two others are installed (whole or by a delta) or up to date.
failure_shown() {
    local ended='^(Repository is up-to-date\. No need to download\.'
    ended+='|Arquivo ZIP removido com sucesso: |Delta update fetched )'
    [ -n "${VELTRO_DEMO_FAILURE:-}" ] && grep -q '^Download error: ' "$log" \
        && [ "$(grep -cE "$ended" "$log")" -ge 2 ]
}
# Starts the launcher, its output in $log, and waits until its update cycle is over.
launcher=""
run_launcher() {
    "$build/VeltroLauncher" > "$log" 2>&1 &
    launcher=$!
    pids+=("$launcher")
    for _ in $(seq 1200); do
        cycle_over && break
        failure_shown && break
        kill -0 "$launcher" 2>/dev/null || break
        sleep 0.1
    done
    cat "$log"
    if ! cycle_over && ! failure_shown; then
        echo "The update cycle did not end within two minutes." >&2
        exit 1
    fi
}
run_launcher
if [ -n "$second" ]; then
    # Its work is done: ended, so that the second start does not find it running.
    kill "$launcher"
    wait "$launcher" 2>/dev/null || true
    publish_second_version
    log="$build/launcher-second.log"
    echo "Starting the launcher again."
    run_launcher
fi
window=$(xdotool search --sync --onlyvisible --name '^Veltro$' | head -n 1)
sleep 1 # let the window repaint the enabled buttons, or the failed column
shot="$build/screenshots/veltro-$(date +%Y%m%d-%H%M%S).png"
mkdir -p "$(dirname "$shot")"
import -window "$window" "$shot"
echo "Screenshot: $shot"
if [ -n "$second" ]; then
    delta_report
else
    hint
fi
