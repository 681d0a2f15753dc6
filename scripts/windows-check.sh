#!/usr/bin/env bash
# Tries the Windows build of scripts/windows-build.sh under Wine, against the local demo update
# server:
#
#   5. the test suite, cross-built with the same toolchain, run under Wine,
#   6. a silent install; its files, shortcuts, uninstall entry and the uninstaller's signature,
#   7. a first start from the shortcut's target and working folder: every repository installs, the
#      hash files are written, the buttons end enabled, a screenshot, a click starts a program,
#   8. a second start that finds every repository up to date and downloads nothing,
#   9. an update of a repository whose program is still running,
#  10. a delta update: a second version of a repository with one file changed, fetched by byte
#      ranges,
#  11. a silent uninstall that leaves only the games.
#
# Each step prints its time; a table of them closes the run. Everything is written under
# build-windows/ (or $VELTRO_WINDOWS_BUILD_DIR), the Wine prefix included; the launcher's log is
# read from launcher.log in its install root. VELTRO_WINDOWS_SKIP_TESTS=1 leaves step 5 out.
# Nothing stays running afterwards.
#
# A program built for an operator's manifest address (VELTRO_MANIFEST_URL) gets step 5 alone: the
# demo run needs the demo server's address.
set -euo pipefail
# shellcheck source=scripts/windows-common.sh
source "$(dirname "${BASH_SOURCE[0]}")/windows-common.sh"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\VeltroLauncher'

# --- Wine -----------------------------------------------------------------------------------------
start_display() {
    exec {displayfd}<> <(:)
    Xvfb -displayfd "$displayfd" -screen 0 1024x768x24 -nolisten tcp > "$out/xvfb.log" 2>&1 &
    pids+=($!)
    read -r -t 30 -u "$displayfd" display || { cat "$out/xvfb.log" >&2; fail "Xvfb did not start"; }
    export DISPLAY=":$display"
}

make_prefix() {
    if [ ! -d "$WINEPREFIX/drive_c" ]; then
        wine wineboot --init > "$out/wineboot.log" 2>&1 || { cat "$out/wineboot.log"; fail "wineboot"; }
        wineserver -w
        echo "Wine prefix made: $WINEPREFIX"
    fi
    # Wine links the user's Desktop, Documents, ... to the build machine's home folder; the
    # setup's desktop shortcut must land in the prefix instead.
    local link
    for link in "$WINEPREFIX/drive_c/users/$(id -un)"/*; do
        if [ -L "$link" ]; then rm "$link" && mkdir "$link"; fi
    done
    local_appdata=$(wine cmd /c 'echo %LOCALAPPDATA%' 2>/dev/null | tr -d '\r')
    [ -n "$local_appdata" ] || fail "no local application-data folder in the Wine prefix"
    install_win="$local_appdata\\Programs\\VeltroLauncher"
    install_unix=$(unix_path "$install_win")
    root_win="$local_appdata\\VeltroLauncher"
    root_unix=$(unix_path "$root_win")
    start_menu_unix=$(unix_path "$(wine cmd /c 'echo %APPDATA%' 2>/dev/null | tr -d '\r')")
    start_menu_unix="$start_menu_unix/Microsoft/Windows/Start Menu/Programs"
    desktop_unix=$(unix_path "$(wine cmd /c 'echo %USERPROFILE%' 2>/dev/null | tr -d '\r')")
    desktop_unix="$desktop_unix/Desktop"
}

unix_path() {
    local path
    path=$(winepath -u "$1" 2>/dev/null | tr -d '\r')
    [ -n "$path" ] || fail "no Unix path for $1"
    printf '%s\n' "${path%/}"
}

# --- 5. the test suite ----------------------------------------------------------------------------
# Every suite is a Windows console program that CTest starts through Wine (the emulator set at
# configure time); they draw with the windows platform plugin on the private X display.
run_tests() {
    grep -qx 'VELTRO_BUILD_TESTS:[A-Z]*=ON' "$build/CMakeCache.txt" \
        || fail "the program in $build was configured without its test suite" \
            "(VELTRO_WINDOWS_SKIP_TESTS=1 at build time)"
    cmake --build "$build" --parallel "$(nproc)"
    # The suites find the MinGW runtime DLLs through Wine's search path rather than copies.
    local folder wine_path=""
    runtime_dll_folders
    for folder in "${dll_folders[@]}"; do
        [ -d "$folder" ] && wine_path+="${wine_path:+;}$(winepath -w "$folder" 2>/dev/null | tr -d '\r')"
    done
    # Wine's server and its services are started before CTest: started by a suite, they would
    # keep CTest's output pipe open after the suite ends.
    stop_wine
    wineserver -p
    wine cmd /c exit > /dev/null 2>&1 < /dev/null
    if WINEPATH="$wine_path" ctest --test-dir "$build" --output-on-failure --timeout 300 \
        > "$out/tests.log" 2>&1 < /dev/null; then
        tests_result="passed"
    else
        tests_result="FAILED"
    fi
    stop_wine
    grep -E '^ *[0-9]+/[0-9]+ Test|tests passed|The following tests' "$out/tests.log" || true
    # Each suite's own log (its standard output does not survive Wine): the rows that failed.
    local suite
    for suite in "$build"/test-logs/*.txt; do
        [ -e "$suite" ] || continue
        echo "$(basename "$suite" .txt): $(grep -a '^Totals' "$suite" || echo 'no totals (ended early)')"
        grep -a '^FAIL!' "$suite" | cut -c1-160 | sed 's/^/    /' || true
    done
    echo "Test suite under Wine: $tests_result (CTest: $out/tests.log; suites: $build/test-logs/)"
}

# --- 6. install ----------------------------------------------------------------------------------
install_silently() {
    wine "$setup" /S > "$out/setup.log" 2>&1 || { cat "$out/setup.log"; fail "the setup failed"; }
    wineserver -w
    local file
    for file in "$dist"/*; do
        cmp -s "$file" "$install_unix/$(basename "$file")" \
            || fail "the install folder does not hold $(basename "$file") as built"
    done
    [ -f "$install_unix/Uninstall.exe" ] || fail "no uninstaller in $install_unix"
    verify_signature "$install_unix/Uninstall.exe"
    echo "Installed into $install_win:" $(ls "$install_unix")

    local shortcut
    for shortcut in "$start_menu_unix/Veltro Launcher.lnk" "$desktop_unix/Veltro Launcher.lnk"; do
        [ -f "$shortcut" ] || fail "no shortcut $shortcut"
        read_shortcut "$shortcut"
        [ "$shortcut_target" = "$install_win\\VeltroLauncher.exe" ] \
            || fail "$shortcut: target $shortcut_target"
        [ "$shortcut_workdir" = "$install_win" ] || fail "$shortcut: working folder $shortcut_workdir"
        [ "$shortcut_icon" = "$install_win\\VeltroLauncher.exe,0" ] \
            || fail "$shortcut: icon $shortcut_icon"
    done
    shortcut_workdir_unix=$(unix_path "$shortcut_workdir")
    echo "Shortcuts (Start menu, desktop): $shortcut_target, in $shortcut_workdir, icon $shortcut_icon"

    local entry name want
    entry=$(wine reg query "$uninstall_key" 2>/dev/null | tr -d '\r') \
        || fail "no uninstall entry $uninstall_key"
    for name in DisplayName DisplayIcon DisplayVersion Publisher EstimatedSize UninstallString \
        QuietUninstallString; do
        case $name in
        DisplayName) want="Veltro Launcher" ;;
        DisplayIcon) want="$install_win\\VeltroLauncher.exe,0" ;;
        DisplayVersion) want=$version ;;
        Publisher) want=Veltro ;;
        UninstallString) want="\"$install_win\\Uninstall.exe\"" ;;
        QuietUninstallString) want="\"$install_win\\Uninstall.exe\" /S" ;;
        EstimatedSize) want="" ;;
        esac
        local got
        got=$(sed -n "s/^    $name    REG_[A-Z_]*    //p" <<< "$entry")
        if [ -n "$want" ]; then
            [ "$got" = "$want" ] || fail "uninstall entry: $name is '$got', not '$want'"
        else
            [ $((got)) -gt 0 ] || fail "uninstall entry: no $name"
        fi
    done
    echo "Uninstall entry $uninstall_key:"
    grep '^    ' <<< "$entry"
}

# read_shortcut FILE: the target, working folder and icon of a Windows shell link (.lnk).
read_shortcut() {
    local fields
    fields=$(perl "$here/scripts/windows-shortcut.pl" "$1") || fail "$1 is not a shortcut"
    { read -r shortcut_target; read -r shortcut_workdir; read -r shortcut_icon; } <<< "$fields"
}

# --- 7-9. the installed launcher ------------------------------------------------------------------
# The launcher writes its log to launcher.log in its install root, each line led by a time stamp,
# and moves the previous run's file to launcher.1.log when it starts. read_log copies the current
# run's lines without their time stamps to $log, and fails until the run's own file exists.
log_inode=none
read_log() {
    local file="$root_unix/launcher.log" inode
    inode=$(stat -c %i "$file" 2>/dev/null) || { : > "$log"; return 1; }
    [ "$inode" != "$log_inode" ] || { : > "$log"; return 1; }
    perl -pe 's/\r?\n\z/\n/;
        s/^\[?(?:\d{4}-\d\d-\d\d[ T])?\d\d:\d\d:\d\d(?:[.,]\d+)?(?:Z|[+-]\d\d:?\d\d)?\]?:? ?//' \
        "$file" > "$log"
}

launcher=""
# Started as the shortcut starts it: its target, in its working folder.
start_launcher() {
    log_inode=$(stat -c %i "$root_unix/launcher.log" 2>/dev/null || echo none)
    (cd "$shortcut_workdir_unix" && exec wine "$shortcut_target" > "$out/wine.log" 2>&1) &
    launcher=$!
    pids+=("$launcher")
}
wait_cycle() {
    for _ in $(seq 1800); do
        read_log && cycle_over "$log" && return 0
        kill -0 "$launcher" 2>/dev/null || break
        sleep 0.1
    done
    cat "$log"
    [ -e "$root_unix/launcher.log" ] || echo "(no launcher.log in $root_win)"
    fail "the update cycle did not end within three minutes"
}
# Closes the window as a player does; a program it started keeps running.
stop_launcher() {
    local window
    window=$(xdotool search --onlyvisible --name '^Veltro$' | head -n 1)
    [ -n "$window" ] && xdotool windowclose "$window" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$launcher" 2>/dev/null || break; sleep 0.1; done
    kill "$launcher" 2>/dev/null || true
    wait "$launcher" 2>/dev/null || true
    read_log || true
}
screenshot() { # name
    local window
    window=$(xdotool search --sync --onlyvisible --name '^Veltro$' | head -n 1)
    sleep 1 # let the window repaint
    shot="$out/screenshots/$1-$(date +%Y%m%d-%H%M%S).png"
    mkdir -p "$(dirname "$shot")"
    eval "$(xdotool getwindowgeometry --shell "$window")"
    import -window root -crop "${WIDTH}x${HEIGHT}+$X+$Y" +repage "$shot"
    echo "Screenshot: $shot"
}
manifest_field() { # repository field
    sed -n "/\"name\": \"$1\"/,/download/s/^ *\"$2\": \"\(.*\)\",$/\1/p" \
        "$state/www/kiv/updater.json"
}
newest_commit() { # repository
    local project
    project=$(sed -n "/\"name\": \"$1\"/,/download/s|.*/projects/\([0-9]*\)/.*|\1|p" \
        "$state/www/kiv/updater.json")
    grep -m1 -o '"id": "[0-9a-f]*"' "$state/www/api/v4/projects/$project/repository/commits" \
        | cut -d'"' -f4
}

first_start() {
    start_launcher
    wait_cycle
    local name dir want
    repos=$(sed -n 's/^ *"name": "\(.*\)",$/\1/p' "$state/www/kiv/updater.json")
    for name in $repos; do
        dir=$(manifest_field "$name" dir)
        want=$(newest_commit "$name")
        # The hash files and the archives live in the working folder, the install folder.
        [ "$(cat "$install_unix/${name}_hash.txt" 2>/dev/null)" = "$want" ] \
            || { cat "$log"; fail "$name: the hash file does not hold $want"; }
        [ -d "$root_unix/$dir" ] || { cat "$log"; fail "$name: nothing installed in $root_unix/$dir"; }
        [ ! -e "$install_unix/$name.zip" ] || fail "$name: the archive was left behind"
        echo "Installed $name ($want) into $root_win\\$dir"
    done
    grep -qxF "$all_done_line" "$log" || fail "the buttons were not enabled"
    screenshot veltro-windows

    # A click on the middle column's program button: its program records how it was started.
    local moor_dir="$root_unix/moor-online" y started_line expected
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
    expected="Moor Online started in $root_win\\moor-online with: [--realm] [south]"
    [ "$started_line" = "$expected" ] || fail "expected: $expected"
    stop_launcher
    stop_wine
}

second_start() {
    : > "$state/logs/access.log"
    start_launcher
    wait_cycle
    stop_launcher
    local up_to_date
    up_to_date=$(grep -c '^Repository is up-to-date\. No need to download\.$' "$log" || true)
    [ "$up_to_date" -eq "$(wc -w <<< "$repos")" ] \
        || { cat "$log"; fail "not every repository was up to date"; }
    ! grep -q '"GET /downloads/' "$state/logs/access.log" || fail "the second start downloaded an archive"
    echo "Second start: $up_to_date repositories up to date, no archive downloaded."
    if [ -f "$root_unix/launcher.1.log" ]; then
        echo "The first start's log is kept as $root_win\\launcher.1.log."
    fi
    echo "Launcher log of the second start ($root_win\\launcher.log, without time stamps):"
    sed 's/^/    /' "$log"
}

# whole_as ARCHIVE: every file of the archive is installed under the install root as the archive
# holds it (.gitattributes, which the launcher never extracts, aside); else $differs names the
# files that are not.
whole_as() {
    local tmp file
    tmp=$(mktemp -d "$out/archive.XXXXXX")
    bsdtar -xf "$1" -C "$tmp"
    differs=""
    while IFS= read -r file; do
        cmp -s "$tmp/$file" "$root_unix/$file" || differs+=" $file"
    done < <(cd "$tmp" && find . -type f ! -name .gitattributes | sed 's|^\./||')
    rm -rf "$tmp"
    [ -z "$differs" ]
}

# The client repository gets a new commit while its program still runs, holding its executable
# open as Windows does: the update either completes with the running program's file renamed aside
# or fails naming the file; the installed version is whole either way.
update_while_running() {
    local client="$root_unix/client" old_commit new_commit recorded program
    program=$(manifest_field client exe)
    program_win=${program//\//\\}
    old_commit=$(cat "$install_unix/client_hash.txt")
    cp "$state/www/downloads/client.zip" "$out/client-before.zip"
    (cd "$client" && VELTRO_DEMO_STAY=600 exec wine "$program" --still-running \
        > /dev/null 2>&1) &
    pids+=($!)
    for _ in $(seq 100); do
        grep -q '\[--still-running\]' "$client/started.log" 2>/dev/null && break
        sleep 0.1
    done
    grep -q '\[--still-running\]' "$client/started.log" 2>/dev/null \
        || fail "the client's program did not start"
    echo "Running: $root_win\\client\\$program_win"

    VELTRO_DEMO_PROGRAMS=windows bash "$here/demo/prepare.sh" "$state" "$port" \
        > "$out/prepare.log" || { cat "$out/prepare.log"; fail "the demo server could not be prepared"; }
    new_commit=$(newest_commit client)
    [ "$new_commit" != "$old_commit" ] || fail "the client repository got no new commit"

    start_launcher
    wait_cycle
    screenshot update-while-running
    stop_launcher
    recorded=$(cat "$install_unix/client_hash.txt")
    if [ "$recorded" = "$new_commit" ]; then
        whole_as "$state/www/downloads/client.zip" \
            || { cat "$log"; fail "the client was recorded as updated, yet differs from it in:$differs"; }
        local aside
        aside=$(cd "$client" && find . -type f ! -name started.log | sed 's|^\./||' \
            | grep -vxF -f <(bsdtar -tf "$state/www/downloads/client.zip" | sed 's|^client/||') \
            || true)
        echo "Update while running: completed ($new_commit); left aside:" ${aside:-nothing}
    elif [ "$recorded" = "$old_commit" ]; then
        whole_as "$out/client-before.zip" \
            || { cat "$log"; fail "the failed update left the client's installed version mixed;" \
                "it differs from the old version in:$differs"; }
        grep -F "$(basename "$program")" "$log" | sed 's/^/    /' | grep . \
            || { cat "$log"; fail "the failed update does not name $program"; }
        echo "Update while running: failed, naming the file above; the installed version" \
            "($old_commit) is whole and is tried again at the next start."
    else
        fail "the client's hash file holds '$recorded'"
    fi
    stop_wine
}

# --- 10. a delta update ---------------------------------------------------------------------------
# The moor repository gets a second version with one file changed (demo/second-version.sh): the
# launcher fetches that entry alone by byte ranges, installs it, and enables the buttons.
delta_update() {
    local list="moor-online/data/realms/list.txt" old_commit new_commit recorded sent
    old_commit=$(cat "$install_unix/moor_hash.txt")
    bash "$here/demo/second-version.sh" "$state" "$port" > "$out/second-version.log" \
        || { cat "$out/second-version.log"; fail "the second version could not be published"; }
    cat "$out/second-version.log"
    new_commit=$(newest_commit moor)
    [ "$new_commit" != "$old_commit" ] || fail "the moor repository got no new commit"
    : > "$state/logs/access.log"

    start_launcher
    wait_cycle
    stop_launcher
    grep '^Delta update' "$log" | sed 's/^/    /' || true
    grep -q '^Delta update fetched ' "$log" \
        || { cat "$log"; fail "moor was not updated by byte ranges"; }
    recorded=$(cat "$install_unix/moor_hash.txt")
    [ "$recorded" = "$new_commit" ] || { cat "$log"; fail "moor: the hash file holds '$recorded'"; }
    cmp -s "$state/stage/$list" "$root_unix/$list" \
        || fail "$list does not hold the second version: $(tr '\n' ' ' < "$root_unix/$list")"
    whole_as "$state/www/downloads/moor.zip" \
        || { cat "$log"; fail "moor differs from its second version in:$differs"; }
    grep -qxF "$all_done_line" "$log" || { cat "$log"; fail "the buttons were not enabled"; }
    echo "    $all_done_line"
    # What nginx sent of the archive: range answers (206) only, never the whole archive (200).
    sent=$(awk '$6 == "\"GET" && $7 == "/downloads/moor.zip" {
            n++; bytes += $10; if ($9 != 206) whole++ }
        END { printf "%d bytes in %d GET requests%s", bytes, n,
            whole ? ", " whole " not answered 206" : "" }' "$state/logs/access.log")
    echo "Delta update: $list now holds the second version ($new_commit); the server sent $sent" \
        "of the $(stat -c %s "$state/www/downloads/moor.zip")-byte archive."
    [[ $sent != *"not answered 206"* ]] || fail "the server sent the whole archive"
    stop_wine
}

# --- 11. uninstall --------------------------------------------------------------------------------
uninstall_silently() {
    # The uninstaller copies itself to a temporary folder and ends; its copy does the work.
    wine "$install_win\\Uninstall.exe" /S > "$out/uninstall.log" 2>&1 \
        || { cat "$out/uninstall.log"; fail "the uninstaller failed"; }
    for _ in $(seq 300); do [ -e "$install_unix" ] || break; sleep 0.1; done
    wineserver -w
    [ ! -e "$install_unix" ] || fail "the uninstall left $install_unix: $(ls -A "$install_unix")"
    [ ! -e "$start_menu_unix/Veltro Launcher.lnk" ] || fail "the Start-menu shortcut is left"
    [ ! -e "$desktop_unix/Veltro Launcher.lnk" ] || fail "the desktop shortcut is left"
    ! wine reg query "$uninstall_key" > /dev/null 2>&1 || fail "the uninstall entry is left"
    local name
    for name in $repos; do
        [ -d "$root_unix/$(manifest_field "$name" dir)" ] || fail "the uninstall removed $name"
    done
    echo "Uninstalled: no program folder, shortcut or uninstall entry left; the games stay in" \
        "$root_win:" $(ls "$root_unix")
}

# The built program and its setup under Wine; the demo run only for a program built for the demo
# server.
check_main() {
    read_build
    [ -f "$setup" ] || fail "no setup $setup: scripts/windows-build.sh builds it"

    step "Wine prefix and display"
    start_display
    make_prefix

    tests_result="not run"
    if [ "${VELTRO_WINDOWS_SKIP_TESTS:-0}" != 1 ]; then
        step "Test suite under Wine"
        run_tests
    fi

    if [ -n "$operator_url" ] || [ "$built_url" != "$demo_url" ]; then
        demo_run="left out"
        return 0
    fi
    demo_run="done"

    step "Silent install"
    rm -rf "$install_unix" "$root_unix"
    install_silently

    step "First start from the shortcut"
    start_demo_server "$state" "$port" || fail "the demo server did not start"
    first_start

    step "Second start"
    second_start

    step "Update while the program runs"
    update_while_running

    step "Delta update"
    delta_update

    step "Silent uninstall"
    uninstall_silently
}

# Sourced, it only defines its steps.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    trap cleanup EXIT
    trap 'exit 130' INT TERM
    step "Packages"
    install_packages
    check_main
    step_end
    step_table
    echo "Test suite under Wine: $tests_result; demo run: $demo_run"
    [ "$tests_result" != FAILED ] || fail "the test suite failed under Wine (see $out/tests.log)"
fi
