#!/usr/bin/env bash
# Builds the Windows program on Debian with MinGW-w64 and runs it under Wine against the local
# demo update server:
#
#   1. a static Qt and minizip for Windows from Debian's source packages (once; cached),
#   2. VeltroLauncher.exe, pointed at the demo server and trusting its certificate authority,
#      into a folder that could be zipped and handed to a player,
#   3. checks of the executable's Windows resources,
#   4. a first start under Wine in a private Xvfb: every repository installs, the hash files are
#      written, the buttons end enabled, a screenshot is saved, a click starts a program,
#   5. a second start that finds every repository up to date and downloads nothing.
#
# Everything is written under build-windows/ (or $VELTRO_WINDOWS_BUILD_DIR), the Wine prefix
# included. Nothing stays running afterwards.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=demo/server.sh
source "$here/demo/server.sh"
out=${VELTRO_WINDOWS_BUILD_DIR:-$here/build-windows}
port=${VELTRO_DEMO_PORT:-48444}
triple=x86_64-w64-mingw32
cache="$out/cache"
state="$out/demo-server"
work="$out/demo-work"
dist="$out/VeltroLauncher"
log="$out/launcher.log"
mkdir -p "$out"
out=$(cd "$out" && pwd)

export WINEPREFIX="$out/wineprefix" WINEARCH=win64 WINEDEBUG=-all
# No prompts for Mono or Gecko while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="

pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wineserver -k 2>/dev/null || true
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM
fail() {
    echo "windows.sh: $*" >&2
    exit 1
}

bash "$here/scripts/deps.sh" build demo windows

# --- 1. Qt and minizip for Windows ------------------------------------------------------------
started=$(date +%s)
bash "$here/scripts/windows-qt.sh" "$cache"
echo "Qt step: $(($(date +%s) - started)) s"

# --- 2. the program -------------------------------------------------------------------------
VELTRO_DEMO_PROGRAMS=windows bash "$here/demo/prepare.sh" "$state" "$port" > "$out/prepare.log" \
    || { cat "$out/prepare.log"; fail "the demo server could not be prepared"; }
started=$(date +%s)
# pkg-config answers for Windows libraries only, never with the build machine's own.
export PKG_CONFIG_LIBDIR="$cache/minizip/lib/pkgconfig:$cache/libdeflate/lib/pkgconfig"
rm -f "$out/launcher/CMakeCache.txt"
cmake -G Ninja -S "$here" -B "$out/launcher" \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" \
    -DCMAKE_PREFIX_PATH="$cache/qt;$cache/minizip;$cache/libdeflate" -DCMAKE_BUILD_TYPE=Release \
    -DVELTRO_BUILD_TESTS=OFF -DVELTRO_BUILD_BENCH=OFF \
    -DVELTRO_MANIFEST_URL="https://127.0.0.1:$port/kiv/updater.json" \
    -DVELTRO_EXTRA_CA_FILE="$state/tls/ca.pem" > "$out/configure.log" 2>&1 \
    || { cat "$out/configure.log"; fail "configuring the program failed"; }
cmake --build "$out/launcher" --parallel "$(nproc)" --target VeltroLauncher
echo "Program build: $(($(date +%s) - started)) s"

# The player's folder: the program and the DLLs it names that Windows does not bring.
rm -rf "$dist" && mkdir -p "$dist"
$triple-strip -o "$dist/VeltroLauncher.exe" "$out/launcher/VeltroLauncher.exe"
dll_folders=("/usr/lib/gcc/$triple/"*-posix "/usr/$triple/lib" "$cache/qt/bin")
copy_dlls() {
    local name folder
    for name in $($triple-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'); do
        [ -e "$dist/$name" ] && continue
        for folder in "${dll_folders[@]}"; do
            if [ -e "$folder/$name" ]; then
                cp "$folder/$name" "$dist/$name"
                copy_dlls "$dist/$name"
                break
            fi
        done
    done
}
copy_dlls "$dist/VeltroLauncher.exe"
echo "Program folder: $dist ($(du -sh "$dist" | cut -f1)):" $(ls "$dist")

# --- 3. the executable's Windows face --------------------------------------------------------
exe="$dist/VeltroLauncher.exe"
headers=$($triple-objdump -p "$exe")
grep -q 'Subsystem.*(Windows GUI)' <<< "$headers" || fail "not a Windows GUI program"
# The resource tree as objdump prints it: types at the first level (3 icon images, 14 icon
# groups, 24 manifests), their names or numbers below.
resources=$(sed -n '/The .rsrc Resource Directory section/,/String table/p' <<< "$headers")
icon_entries=$(awk '/^[0-9a-f]+   Entry: ID: 0x000003,/ { getline; sub(/.*IDs: /, ""); print }' \
    <<< "$resources")
[ "${icon_entries:-0}" -eq 6 ] || fail "the program does not hold six icon images"
awk '/^[0-9a-f]+   Entry: ID: 0x00000e,/ { getline; getline; print }' <<< "$resources" \
    | grep -q ': IDI_ICON1,' || fail "no icon group IDI_ICON1"
grep -Eq '^[0-9a-f]+   Entry: ID: 0x000018,' <<< "$resources" || fail "no application manifest"
grep -aq 'level="asInvoker"' "$exe" || fail "the manifest does not ask for asInvoker"
echo "Executable: Windows GUI subsystem, icon group IDI_ICON1 ($icon_entries images), asInvoker"

# --- 4. first start under Wine ---------------------------------------------------------------
start_demo_server "$state" "$port" || fail "the demo server did not start"

exec {displayfd}<> <(:)
Xvfb -displayfd "$displayfd" -screen 0 1024x768x24 -nolisten tcp > "$out/xvfb.log" 2>&1 &
pids+=($!)
read -r -t 30 -u "$displayfd" display || { cat "$out/xvfb.log" >&2; fail "Xvfb did not start"; }
export DISPLAY=":$display"

if [ ! -d "$WINEPREFIX/drive_c" ]; then
    started=$(date +%s)
    wine wineboot --init > "$out/wineboot.log" 2>&1 || { cat "$out/wineboot.log"; fail "wineboot"; }
    wineserver -w
    echo "Wine prefix made in $(($(date +%s) - started)) s: $WINEPREFIX"
fi
local_appdata=$(wine cmd /c 'echo %LOCALAPPDATA%' 2>/dev/null | tr -d '\r')
root_unix=$(winepath -u "$local_appdata\\VeltroLauncher" 2>/dev/null | tr -d '\r')
root_unix=${root_unix%/}
[ -n "$root_unix" ] || fail "no local application-data folder in the Wine prefix"
rm -rf "$root_unix" "$work"
mkdir -p "$work"
# Hash files and archives go to the working folder; the window icon is read from there.
cp "$here/assets/clienticon.png" "$work/"

done_line="Todos os botões foram ativados, todas as atualizações estão completas!"
# A Windows GUI program has no standard error under Wine, so Qt writes its log with
# OutputDebugString, which Wine reports on its "seh" debug channel: one line each, in the ANSI
# code page (1252 here), escaped like a C string. decode_log turns them back into the log.
raw_log="$out/launcher-wine.log"
launcher=""
start_launcher() {
    : > "$raw_log"
    : > "$log"
    (cd "$work" && WINEDEBUG=-all,warn+seh exec wine "$exe" > /dev/null 2> "$raw_log") &
    launcher=$!
    pids+=("$launcher")
}
decode_log() {
    sed -n 's/^[0-9a-f]*:warn:seh:OutputDebugStringA "\(.*\)\\n"$/\1/p' "$raw_log" \
        | perl -pe 's/\\(?:x([0-9a-fA-F]{2})|(.))/defined $1 ? chr(hex $1) : $2 eq "t" ? "\t" : $2/ge' \
        | iconv -f CP1252 -t UTF-8 > "$log"
}
# The cycle is over when every repository has ended its road and the buttons were enabled
# after the last installation (as scripts/run.sh reads it).
cycle_over() {
    decode_log
    awk -v done="$done_line" '
        /^Fetching latest commit hash from GitLab for repository: / { repos++ }
        /^Repository is up-to-date\. No need to download\.\r?$/ ||
        /^(Arquivo ZIP removido com sucesso|Falha ao remover o arquivo ZIP): / ||
        /^The ZIP file does not exist/ || /^ZIP file extraction failed\.\r?$/ { ended++; pending = 1 }
        /^Failed to fetch commit hash from GitLab: / ||
        /^No commits found for the repository\.\r?$/ { ended++ }
        { sub(/\r$/, "") } $0 == done { pending = 0 }
        END { exit !(repos > 0 && ended >= repos && !pending) }' "$log"
}
wait_cycle() {
    for _ in $(seq 1800); do
        cycle_over && return 0
        kill -0 "$launcher" 2>/dev/null || break
        sleep 0.1
    done
    cat "$log"
    fail "the update cycle did not end within three minutes"
}
stop_launcher() {
    local window
    window=$(xdotool search --onlyvisible --name '^Veltro$' | head -n 1)
    [ -n "$window" ] && xdotool windowclose "$window" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$launcher" 2>/dev/null || break; sleep 0.1; done
    kill "$launcher" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    wait "$launcher" 2>/dev/null || true
    decode_log
}

started=$(date +%s)
start_launcher
wait_cycle
echo "First start: update cycle over in $(($(date +%s) - started)) s (Wine start-up included)"

repos=$(sed -n 's/^ *"name": "\(.*\)",$/\1/p' "$state/www/kiv/updater.json")
for name in $repos; do
    project=$(sed -n "/\"name\": \"$name\"/,/download/s|.*/projects/\([0-9]*\)/.*|\1|p" \
        "$state/www/kiv/updater.json")
    dir=$(sed -n "/\"name\": \"$name\"/,/download/s/^ *\"dir\": \"\(.*\)\",$/\1/p" \
        "$state/www/kiv/updater.json")
    want=$(grep -m1 -o '"id": "[0-9a-f]*"' \
        "$state/www/api/v4/projects/$project/repository/commits" | cut -d'"' -f4)
    [ "$(cat "$work/${name}_hash.txt" 2>/dev/null)" = "$want" ] \
        || { cat "$log"; fail "$name: the hash file does not hold $want"; }
    [ -d "$root_unix/$dir" ] || { cat "$log"; fail "$name: nothing installed in $root_unix/$dir"; }
    [ ! -e "$work/$name.zip" ] || fail "$name: the archive was left behind"
    echo "Installed $name ($want) into $local_appdata\\VeltroLauncher\\$dir"
done
grep -q "$done_line" "$log" || fail "the buttons were not enabled"

window=$(xdotool search --sync --onlyvisible --name '^Veltro$' | head -n 1)
sleep 1 # let the window repaint the enabled buttons
shot="$out/screenshots/veltro-windows-$(date +%Y%m%d-%H%M%S).png"
mkdir -p "$(dirname "$shot")"
eval "$(xdotool getwindowgeometry --shell "$window")"
import -window root -crop "${WIDTH}x${HEIGHT}+$X+$Y" +repage "$shot"
echo "Screenshot: $shot"

# A click on the middle column's program button: its program records how it was started.
moor_dir="$root_unix/moor-online"
for y in $(seq 200 20 460); do
    xdotool mousemove "$((X + 400))" "$((Y + y))" click 1
    for _ in $(seq 20); do
        [ -s "$moor_dir/started.log" ] && break 2
        sleep 0.1
    done
done
[ -s "$moor_dir/started.log" ] || { cat "$log"; fail "no program started from a click"; }
started_line=$(tr -d '\r' < "$moor_dir/started.log" | head -n 1)
echo "Started: $started_line"
expected="Moor Online started in $local_appdata\\VeltroLauncher\\moor-online with: [--realm] [south]"
[ "$started_line" = "$expected" ] || fail "expected: $expected"
stop_launcher

# --- 5. second start: everything up to date ---------------------------------------------------
: > "$state/logs/access.log"
start_launcher
wait_cycle
stop_launcher
up_to_date=$(grep -c '^Repository is up-to-date\. No need to download\.' "$log" || true)
[ "$up_to_date" -eq "$(wc -w <<< "$repos")" ] || { cat "$log"; fail "not every repository was up to date"; }
! grep -q '"GET /downloads/' "$state/logs/access.log" || fail "the second start downloaded an archive"
echo "Second start: $up_to_date repositories up to date, no archive downloaded."
echo "Launcher log of the second start:"
sed 's/^/    /' "$log"
