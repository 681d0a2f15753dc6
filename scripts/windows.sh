#!/usr/bin/env bash
# Builds what an operator hands to Windows players, on Debian with MinGW-w64, and tries it under
# Wine against the local demo update server:
#
#   1. a static Qt, minizip and libdeflate for Windows from Debian's source packages (once; cached
#      in $VELTRO_WINDOWS_CACHE, by default build-windows/cache),
#   2. VeltroLauncher.exe, pointed at the demo server and trusting its certificate authority, in
#      the player's folder build-windows/VeltroLauncher/ (the program, the MinGW runtime DLLs, the
#      window's icon clienticon.png), with checks of its Windows resources,
#   3. signatures: with the operator's certificate (VELTRO_SIGN_PKCS12, VELTRO_SIGN_PASSWORD), or
#      else a throw-away certificate authority and code-signing certificate made here,
#   4. the setup build-windows/VeltroLauncherSetup.exe (scripts/windows-setup.nsi) and the portable
#      ZIP build-windows/VeltroLauncher-<version>.zip, each signature verified,
#   5. the test suite, cross-built with the same toolchain, run under Wine,
#   6. a silent install; its files, shortcuts, uninstall entry and the uninstaller's signature,
#   7. a first start from the shortcut's target and working folder: every repository installs, the
#      hash files are written, the buttons end enabled, a screenshot, a click starts a program,
#   8. a second start that finds every repository up to date and downloads nothing,
#   9. an update of a repository whose program is still running,
#  10. a silent uninstall that leaves only the games.
#
# Each step prints its time; a table of them closes the run. Everything is written under
# build-windows/ (or $VELTRO_WINDOWS_BUILD_DIR), the Wine prefix included; the launcher's log is
# read from launcher.log in its install root. VELTRO_WINDOWS_SKIP_TESTS=1 leaves step 5 out.
# Nothing stays running afterwards.
#
# An operator's build: with VELTRO_MANIFEST_URL (and, as needed, VELTRO_WEBSITE_URL and
# VELTRO_EXTRA_CA_FILE, as for CMake) set, the program is built for that manifest address and
# steps 1 to 5 run; the demo run (6 to 10), which needs the demo server's address, is left out.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=demo/server.sh
source "$here/demo/server.sh"
out=${VELTRO_WINDOWS_BUILD_DIR:-$here/build-windows}
mkdir -p "$out"
out=$(cd "$out" && pwd)
cache=${VELTRO_WINDOWS_CACHE:-$out/cache}
port=${VELTRO_DEMO_PORT:-48444}
triple=x86_64-w64-mingw32
state="$out/demo-server"
build="$out/launcher"
dist="$out/VeltroLauncher"
setup="$out/VeltroLauncherSetup.exe"
signing="$out/signing"
log="$out/launcher.log"
done_line="Todos os botões foram ativados, todas as atualizações estão completas!"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\VeltroLauncher'
operator_url=${VELTRO_MANIFEST_URL:-}

export WINEPREFIX="$out/wineprefix" WINEARCH=win64 WINEDEBUG=-all
# No prompts for Mono or Gecko while the prefix is made; no menu entries or desktop files for
# the build machine's own desktop from the shortcuts the setup makes; a crash ends the program
# instead of waiting in Wine's debugger.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"

pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wineserver -k 2>/dev/null || true
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
fail() {
    echo "windows.sh: $*" >&2
    exit 1
}

# --- step times ---------------------------------------------------------------------------------
step_names=()
step_seconds=()
step_name=""
step_started=0
step() {
    step_end
    step_name=$1
    step_started=$(date +%s)
    echo "=== $step_name"
}
step_end() {
    [ -n "$step_name" ] || return 0
    local seconds=$(($(date +%s) - step_started))
    echo "--- $step_name: $seconds s"
    step_names+=("$step_name")
    step_seconds+=("$seconds")
    step_name=""
}
step_table() {
    local i
    echo "Step times:"
    for i in "${!step_names[@]}"; do
        printf '  %5s s  %s\n' "${step_seconds[$i]}" "${step_names[$i]}"
    done
}

# --- 1. Qt and minizip for Windows --------------------------------------------------------------
build_qt() {
    bash "$here/scripts/windows-qt.sh" "$cache"
}

# --- 2. the program -----------------------------------------------------------------------------
configure_program() {
    # pkg-config answers for Windows libraries only, never with the build machine's own.
    export PKG_CONFIG_LIBDIR="$cache/minizip/lib/pkgconfig:$cache/libdeflate/lib/pkgconfig"
    rm -f "$build/CMakeCache.txt"
    local url="https://127.0.0.1:$port/kiv/updater.json" ca="$state/tls/ca.pem" extra=()
    if [ -n "$operator_url" ]; then
        url=$operator_url
        ca=${VELTRO_EXTRA_CA_FILE:-}
    fi
    [ -z "${VELTRO_WEBSITE_URL:-}" ] || extra+=(-DVELTRO_WEBSITE_URL="$VELTRO_WEBSITE_URL")
    # The tests run under Wine through CTest's emulator.
    cmake -G Ninja -S "$here" -B "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64.cmake" \
        -DCMAKE_PREFIX_PATH="$cache/qt;$cache/minizip;$cache/libdeflate" -DCMAKE_BUILD_TYPE=Release \
        -DVELTRO_BUILD_TESTS="$([ "${VELTRO_WINDOWS_SKIP_TESTS:-0}" = 1 ] && echo OFF || echo ON)" \
        -DVELTRO_BUILD_BENCH=OFF -DCMAKE_CROSSCOMPILING_EMULATOR=wine \
        -DVELTRO_MANIFEST_URL="$url" -DVELTRO_EXTRA_CA_FILE="$ca" "${extra[@]}" \
        > "$out/configure.log" 2>&1 \
        || { cat "$out/configure.log"; fail "configuring the program failed"; }
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
    [ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
}

build_program() {
    cmake --build "$build" --parallel "$(nproc)" --target VeltroLauncher
}

# The player's folder: the program, the DLLs it names that Windows does not bring, and the window
# icon, which the program reads from its working folder.
make_player_folder() {
    rm -rf "$dist" && mkdir -p "$dist"
    $triple-strip -o "$dist/VeltroLauncher.exe" "$1"
    copy_dlls "$dist/VeltroLauncher.exe"
    cp "$here/assets/clienticon.png" "$dist/"
}
dll_folders=("/usr/lib/gcc/$triple/"*-posix "/usr/$triple/lib" "$cache/qt/bin")
copy_dlls() {
    local name folder
    for name in $($triple-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'); do
        [ -e "$dist/$name" ] && continue
        for folder in "${dll_folders[@]}"; do
            if [ -e "$folder/$name" ]; then
                # Debian's MinGW DLLs carry their debugging information (libstdc++ 23 MB of 25).
                $triple-strip --strip-debug -o "$dist/$name" "$folder/$name"
                copy_dlls "$dist/$name"
                break
            fi
        done
    done
}

# The executable's Windows face.
check_resources() {
    local exe=$1 headers resources icon_entries strings
    headers=$($triple-objdump -p "$exe")
    grep -q 'Subsystem.*(Windows GUI)' <<< "$headers" || fail "not a Windows GUI program"
    # The resource tree as objdump prints it: types at the first level (3 icon images, 14 icon
    # groups, 16 version, 24 manifests), their names or numbers below.
    resources=$(sed -n '/The .rsrc Resource Directory section/,/String table/p' <<< "$headers")
    icon_entries=$(awk '/^[0-9a-f]+   Entry: ID: 0x000003,/ { getline; sub(/.*IDs: /, ""); print }' \
        <<< "$resources")
    [ "${icon_entries:-0}" -eq 6 ] || fail "the program does not hold six icon images"
    awk '/^[0-9a-f]+   Entry: ID: 0x00000e,/ { getline; getline; print }' <<< "$resources" \
        | grep -q ': IDI_ICON1,' || fail "no icon group IDI_ICON1"
    grep -Eq '^[0-9a-f]+   Entry: ID: 0x000018,' <<< "$resources" || fail "no application manifest"
    grep -aq 'level="asInvoker"' "$exe" || fail "the manifest does not ask for asInvoker"
    grep -Eq '^[0-9a-f]+   Entry: ID: 0x000010,' <<< "$resources" || fail "no version resource"
    # The version resource's texts are UTF-16: each key followed by its value.
    strings=$($triple-strings -n 3 -e l "$exe")
    grep -A1 -x 'ProductVersion' <<< "$strings" | grep -qx "$version" \
        || fail "the version resource does not say $version"
    echo "Executable: Windows GUI subsystem, icon group IDI_ICON1 ($icon_entries images)," \
        "asInvoker, version $version"
}

# --- 3. signatures ------------------------------------------------------------------------------
# sign_setup: the certificate to sign with, the authority to verify against, and sign.sh, which
# signs the file it is given in place (makensis calls it for the uninstaller).
sign_setup() {
    rm -rf "$signing" && mkdir -p "$signing"
    chmod 700 "$signing"
    if [ -n "${VELTRO_SIGN_PKCS12:-}" ]; then
        [ -f "$VELTRO_SIGN_PKCS12" ] || fail "VELTRO_SIGN_PKCS12: no file $VELTRO_SIGN_PKCS12"
        [ -n "${VELTRO_SIGN_PASSWORD+set}" ] || fail "VELTRO_SIGN_PASSWORD is not set"
        sign_pkcs12=$VELTRO_SIGN_PKCS12
        sign_ca=${VELTRO_SIGN_CA:-/etc/ssl/certs/ca-certificates.crt}
        echo "Signing with $sign_pkcs12, verified against $sign_ca"
    else
        make_throwaway_certificate
        sign_pkcs12="$signing/signer.p12"
        sign_ca="$signing/ca.pem"
        echo "Signing with a throw-away certificate authority made here ($signing), never to ship"
    fi
    # The password reaches osslsigncode through the environment and a pipe, never a command line.
    cat > "$signing/sign.sh" <<EOF
#!/usr/bin/env bash
set -euo pipefail
timestamp=()
[ -z "\${VELTRO_SIGN_TIMESTAMP_URL:-}" ] || timestamp=(-ts "\$VELTRO_SIGN_TIMESTAMP_URL")
rm -f "\$1.signed"
osslsigncode sign -pkcs12 "$sign_pkcs12" -readpass <(printf '%s' "\$VELTRO_SIGN_PASSWORD") \\
    -h sha256 -n "Veltro Launcher" -i "https://www.veltro.example/" "\${timestamp[@]}" \\
    -in "\$1" -out "\$1.signed" > /dev/null
mv -f "\$1.signed" "\$1"
EOF
}

# A certificate authority and a code-signing certificate under it, valid for a week, with a
# password of their own: nothing of it leaves build-windows/.
make_throwaway_certificate() {
    local s=$signing
    VELTRO_SIGN_PASSWORD=$(openssl rand -hex 16)
    openssl req -x509 -newkey rsa:3072 -nodes -days 7 -keyout "$s/ca.key" -out "$s/ca.pem" \
        -subj "/CN=Veltro throw-away code-signing CA" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2> "$s/openssl.log"
    openssl req -newkey rsa:3072 -nodes -keyout "$s/signer.key" -out "$s/signer.csr" \
        -subj "/CN=Veltro (throw-away)/O=Veltro" 2>> "$s/openssl.log"
    printf '%s\n' basicConstraints=CA:FALSE keyUsage=critical,digitalSignature \
        extendedKeyUsage=codeSigning > "$s/signer.ext"
    openssl x509 -req -in "$s/signer.csr" -CA "$s/ca.pem" -CAkey "$s/ca.key" -CAcreateserial \
        -days 7 -extfile "$s/signer.ext" -out "$s/signer.pem" 2>> "$s/openssl.log"
    openssl pkcs12 -export -inkey "$s/signer.key" -in "$s/signer.pem" -certfile "$s/ca.pem" \
        -passout "pass:$VELTRO_SIGN_PASSWORD" -out "$s/signer.p12"
}

sign() {
    VELTRO_SIGN_PASSWORD=$VELTRO_SIGN_PASSWORD bash "$signing/sign.sh" "$1"
}

# Verified against the signer's authority; one signature, whole (the digest matches the file).
verify_signature() {
    local report
    report=$(osslsigncode verify -CAfile "$sign_ca" -in "$1" 2>&1) \
        || { echo "$report"; fail "the signature of $1 does not verify"; }
    grep -q '^Signature verification: ok' <<< "$report" || fail "$1: no verified signature"
    echo "Signature verified: $(basename "$1") ($(sed -n 's/^\s*Subject: //p' <<< "$report" \
        | head -n 1), under $(basename "$sign_ca"))"
}

# --- 4. the setup and the portable ZIP ------------------------------------------------------------
build_setup() {
    rm -f "$setup"
    VELTRO_SIGN_PASSWORD=$VELTRO_SIGN_PASSWORD makensis -V2 -DVERSION="$version" -DPROGRAM_DIR="$dist" -DOUTFILE="$setup" \
        -DSIGN_COMMAND="bash $signing/sign.sh" "$here/scripts/windows-setup.nsi" \
        > "$out/makensis.log" 2>&1 || { cat "$out/makensis.log"; fail "makensis failed"; }
    sign "$setup"
    echo "Setup: $setup ($(du -k "$setup" | cut -f1) KiB)"
}

build_zip() {
    zip="$out/VeltroLauncher-$version.zip"
    rm -f "$zip"
    (cd "$out" && bsdtar --format zip -cf "$zip" "$(basename "$dist")")
    echo "Portable ZIP: $zip ($(du -k "$zip" | cut -f1) KiB):" \
        $(bsdtar -tf "$zip" | grep -v '/$' | tr '\n' ' ')
}

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

# Ends every Windows process of the prefix and waits until Wine's server is gone, so that the next
# wine command starts a new one rather than meeting the old one on its way out.
stop_wine() {
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
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
    cmake --build "$build" --parallel "$(nproc)"
    # The suites find the MinGW runtime DLLs through Wine's search path rather than copies.
    local folder wine_path=""
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

# read_shortcut FILE: the target, working folder and icon of a Windows shell link (.lnk), read as
# its format lays them out: a header, an item list, the link information with the local path,
# then counted strings (name, relative path, working folder, arguments, icon), UTF-16 when the
# header says so.
read_shortcut() {
    local fields
    fields=$(perl -e '
        local $/; open my $f, "<:raw", $ARGV[0] or die; my $d = <$f>;
        die "not a shell link\n" unless unpack("V", $d) == 0x4C;
        my $flags = unpack("V", substr($d, 20, 4));
        my $icon_index = unpack("l<", substr($d, 56, 4));
        my $pos = 0x4C;
        $pos += 2 + unpack("v", substr($d, $pos, 2)) if $flags & 0x1;
        my $target = "";
        if ($flags & 0x2) {
            my ($size, undef, $info_flags, undef, $base, undef, $suffix) =
                unpack("V7", substr($d, $pos, 28));
            if ($info_flags & 1) {
                ($target) = unpack("Z*", substr($d, $pos + $base));
                $target .= unpack("Z*", substr($d, $pos + $suffix));
            }
            $pos += $size;
        }
        my %s;
        for my $i (0 .. 4) {
            next unless $flags & (0x4 << $i);
            my $n = unpack("v", substr($d, $pos, 2));
            my $len = $flags & 0x80 ? 2 * $n : $n;
            my $raw = substr($d, $pos + 2, $len);
            $pos += 2 + $len;
            $s{$i} = $flags & 0x80 ? pack("U*", unpack("v*", $raw)) : $raw;
            $s{$i} =~ s/\0+$//;
        }
        binmode STDOUT, ":utf8";
        print "$target\n$s{2}\n$s{4},$icon_index\n";' "$1") || fail "$1 is not a shortcut"
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
    grep -qx "$done_line" "$log" || fail "the buttons were not enabled"
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

# --- 10. uninstall --------------------------------------------------------------------------------
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

main() {
    trap cleanup EXIT
    trap 'exit 130' INT TERM

    step "Packages"
    bash "$here/scripts/deps.sh" build demo windows

    step "Qt, minizip and libdeflate for Windows ($cache)"
    build_qt

    step "Program"
    if [ -z "$operator_url" ]; then
        VELTRO_DEMO_PROGRAMS=windows bash "$here/demo/prepare.sh" "$state" "$port" \
            > "$out/prepare.log" || { cat "$out/prepare.log"; fail "the demo server could not be prepared"; }
    fi
    configure_program
    build_program
    make_player_folder "$build/VeltroLauncher.exe"
    check_resources "$dist/VeltroLauncher.exe"

    step "Signing the program"
    sign_setup
    sign "$dist/VeltroLauncher.exe"
    verify_signature "$dist/VeltroLauncher.exe"
    # An authority that did not issue the certificate must not verify it.
    if [ -z "$operator_url" ]; then
        ! osslsigncode verify -CAfile "$state/tls/ca.pem" -in "$dist/VeltroLauncher.exe" \
            > /dev/null 2>&1 || fail "the signature verifies under an unrelated authority"
    fi
    echo "Player's folder: $dist ($(du -sh "$dist" | cut -f1)):" $(ls "$dist")

    step "Setup and portable ZIP"
    build_setup
    verify_signature "$setup"
    build_zip

    step "Wine prefix and display"
    start_display
    make_prefix

    tests_result="not run"
    if [ "${VELTRO_WINDOWS_SKIP_TESTS:-0}" != 1 ]; then
        step "Test suite under Wine"
        run_tests
    fi

    if [ -n "$operator_url" ]; then
        step_end
        step_table
        echo "Built for $operator_url: $setup ($(du -k "$setup" | cut -f1) KiB), $zip;" \
            "test suite under Wine: $tests_result. The demo run is left out."
        [ "$tests_result" != FAILED ] || fail "the test suite failed under Wine (see $out/tests.log)"
        return 0
    fi

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

    step "Silent uninstall"
    uninstall_silently
    step_end

    step_table
    echo "Setup: $setup ($(du -k "$setup" | cut -f1) KiB); portable ZIP: $zip;" \
        "test suite under Wine: $tests_result"
    [ "$tests_result" != FAILED ] || fail "the test suite failed under Wine (see $out/tests.log)"
}

# Sourced, it only defines its steps.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    main "$@"
fi
