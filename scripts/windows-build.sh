#!/usr/bin/env bash
# The operator's Windows build, on Debian with MinGW-w64:
#
#   1. a static Qt, minizip and libdeflate for Windows from Debian's source packages (once; cached
#      in $VELTRO_WINDOWS_CACHE, by default build-windows/cache; scripts/windows-qt.sh),
#   2. VeltroLauncher.exe in the player's folder build-windows/VeltroLauncher/ (the program, the
#      DLLs it imports that Windows does not bring, the window's icon clienticon.png), with checks
#      of its Windows resources and of its imports: every DLL it needs, directly or through
#      another DLL, is in that folder or is one of Windows' own,
#   3. signatures: with the operator's certificate (VELTRO_SIGN_PKCS12, VELTRO_SIGN_PASSWORD), or
#      else a throw-away certificate authority and code-signing certificate made here,
#   4. the setup build-windows/VeltroLauncherSetup.exe (scripts/windows-setup.nsi) and the portable
#      ZIP build-windows/VeltroLauncher-<version>.zip, each signature verified.
#
# With VELTRO_MANIFEST_URL (and, as needed, VELTRO_WEBSITE_URL and VELTRO_EXTRA_CA_FILE, as for
# CMake) set, the program is built for that manifest address; otherwise for the local demo server
# (demo/prepare.sh), trusting its certificate authority, for scripts/windows-check.sh to try under
# Wine. The test suite is built alongside unless VELTRO_WINDOWS_SKIP_TESTS=1. Everything is
# written under build-windows/ (or $VELTRO_WINDOWS_BUILD_DIR). scripts/windows.sh runs this and
# then the check.
set -euo pipefail
# shellcheck source=scripts/windows-common.sh
source "$(dirname "${BASH_SOURCE[0]}")/windows-common.sh"

# --- 1. Qt and minizip for Windows --------------------------------------------------------------
build_qt() {
    bash "$here/scripts/windows-qt.sh" "$cache"
}

# --- 2. the program -----------------------------------------------------------------------------
configure_program() {
    # pkg-config answers for Windows libraries only, never with the build machine's own.
    export PKG_CONFIG_LIBDIR="$cache/minizip/lib/pkgconfig:$cache/libdeflate/lib/pkgconfig"
    rm -f "$build/CMakeCache.txt"
    local url=$demo_url ca="$state/tls/ca.pem" extra=()
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
    read_build
}

build_program() {
    cmake --build "$build" --parallel "$(nproc)" --target VeltroLauncher
}

# The player's folder: the program, the DLLs it names that Windows does not bring, and the window
# icon, which the program reads from its working folder.
make_player_folder() {
    rm -rf "$dist" && mkdir -p "$dist"
    $triple-strip -o "$dist/VeltroLauncher.exe" "$1"
    runtime_dll_folders
    copy_dlls "$dist/VeltroLauncher.exe"
    cp "$here/assets/clienticon.png" "$dist/"
}
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

# DLLs that every Windows (and Wine) brings: the program may import them without shipping them.
windows_dlls=" advapi32 authz bcrypt cfgmgr32 combase comctl32 comdlg32 credui crypt32 d2d1 d3d11
    d3d12 d3d9 d3dcompiler_47 dbghelp dcomp dnsapi dwmapi dwrite dxgi gdi32 gdiplus hid imagehlp
    imm32 iphlpapi kernel32 kernelbase mpr msimg32 msvcrt mswsock ncrypt netapi32 normaliz ntdll
    ole32 oleacc oleaut32 opengl32 powrprof propsys psapi rpcrt4 sechost secur32 setupapi shcore
    shell32 shlwapi sspicli ucrtbase uiautomationcore urlmon user32 userenv usp10 uxtheme version
    wevtapi winhttp wininet winmm winspool wintrust wldap32 ws2_32 wtsapi32 "
windows_dll() { # name, lower case
    case $1 in
    api-ms-win-*.dll | ext-ms-win-*.dll) return 0 ;;
    *.dll | *.drv) [[ $windows_dlls == *[[:space:]]"${1%.*}"[[:space:]]* ]] ;;
    *) return 1 ;;
    esac
}

# check_imports FOLDER PROGRAM: every DLL the program imports, and every DLL those import in turn,
# is in the folder or is one of Windows' own; else the build fails naming each one missing and
# what imports it. Names are compared without case, as Windows' loader does.
check_imports() {
    local folder=$1 queue=("$2") file headers name lower shipped=" " seen=" " count=0 missing=()
    for file in "$folder"/*; do
        name=$(basename "$file")
        shipped+="${name,,} "
    done
    while [ ${#queue[@]} -gt 0 ]; do
        file=${queue[0]}
        queue=("${queue[@]:1}")
        headers=$("$triple-objdump" -p "$file") || fail "objdump cannot read $file"
        while read -r name; do
            lower=${name,,}
            [[ $seen != *" $lower "* ]] || continue
            seen+="$lower "
            if [[ $shipped == *" $lower "* ]]; then
                queue+=("$(find "$folder" -maxdepth 1 -iname "$name" | head -n 1)")
                count=$((count + 1))
            elif ! windows_dll "$lower"; then
                missing+=("$name (imported by $(basename "$file"))")
            fi
        done < <(sed -n 's/^\s*DLL Name: //p' <<< "$headers")
    done
    [ ${#missing[@]} -eq 0 ] || fail "missing from the player's folder $folder, and not part of" \
        "Windows: $(printf '%s, ' "${missing[@]}" | sed 's/, $//'); the program would not start" \
        "on a player's machine"
    echo "Imports: every DLL $(basename "$2") needs is in the player's folder ($count) or is" \
        "Windows' own"
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
        echo "Signing with $sign_pkcs12, verified against $(signing_ca)"
    else
        make_throwaway_certificate
        sign_pkcs12="$signing/signer.p12"
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

build_main() {
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
    check_imports "$dist" "$dist/VeltroLauncher.exe"

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
}

# Sourced, it only defines its steps.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    trap cleanup EXIT
    trap 'exit 130' INT TERM
    step "Packages"
    install_packages
    build_main
    step_end
    step_table
    echo "Setup: $setup ($(du -k "$setup" | cut -f1) KiB); portable ZIP: $zip"
fi
