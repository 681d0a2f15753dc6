# shellcheck shell=bash disable=SC2034
# Sourced by scripts/windows.sh, scripts/windows-build.sh and scripts/windows-check.sh: where the
# Windows build lives, the Wine prefix's environment, the step times, the MinGW runtime's folders,
# signature checks and cleanup, written once.
[ -z "${veltro_windows_common:-}" ] || return 0
veltro_windows_common=1
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
demo_url="https://127.0.0.1:$port/kiv/updater.json"
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
    echo "$(basename "$0"): $*" >&2
    exit 1
}

install_packages() {
    bash "$here/scripts/deps.sh" build demo windows
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

# --- the program's build ------------------------------------------------------------------------
# The project's version and the manifest address the program was built for, from its CMake cache.
read_build() {
    [ -f "$build/CMakeCache.txt" ] || fail "no program built in $build"
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
    [ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
    built_url=$(sed -n 's/^VELTRO_MANIFEST_URL:[A-Z]*=//p' "$build/CMakeCache.txt")
}

# The folders holding the DLLs that MinGW-w64 programs name: the compiler's own runtime
# (libstdc++, libgcc_s), the MinGW root's (libwinpthread, zlib) and the Qt build's. Asked of the
# compiler when needed, not when a script starts: on a fresh machine the compiler comes with the
# packages step.
runtime_dll_folders() {
    local libgcc
    libgcc=$("$triple-gcc-posix" -print-libgcc-file-name 2>/dev/null || true)
    [ -f "$libgcc" ] || fail "no MinGW-w64 compiler ($triple-gcc-posix) to find its runtime DLLs"
    dll_folders=("$(dirname "$libgcc")" "/usr/$triple/lib" "$cache/qt/bin")
}

# --- signatures -----------------------------------------------------------------------------------
# The authority the signatures are verified against: the operator's (VELTRO_SIGN_CA, by default
# the system's) with the operator's certificate, else the throw-away one made in $signing.
signing_ca() {
    if [ -n "${VELTRO_SIGN_PKCS12:-}" ]; then
        echo "${VELTRO_SIGN_CA:-/etc/ssl/certs/ca-certificates.crt}"
    else
        echo "$signing/ca.pem"
    fi
}

# Verified against the signer's authority; one signature, whole (the digest matches the file).
verify_signature() {
    local report sign_ca
    sign_ca=$(signing_ca)
    report=$(osslsigncode verify -CAfile "$sign_ca" -in "$1" 2>&1) \
        || { echo "$report"; fail "the signature of $1 does not verify"; }
    grep -q '^Signature verification: ok' <<< "$report" || fail "$1: no verified signature"
    echo "Signature verified: $(basename "$1") ($(sed -n 's/^\s*Subject: //p' <<< "$report" \
        | head -n 1), under $(basename "$sign_ca"))"
}

# Ends every Windows process of the prefix and waits until Wine's server is gone, so that the next
# wine command starts a new one rather than meeting the old one on its way out.
stop_wine() {
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
}
