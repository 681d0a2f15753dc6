#!/usr/bin/env bash
# Installs, once, the Debian packages that a task needs, without recommended packages: every
# package the task relies on is named here.
#
#   bash scripts/deps.sh [GROUP...]      (default: build test demo)
#
# Groups: build, test, demo, bench, fuzz, windows.
set -euo pipefail
groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build test demo)

packages=()
for group in "${groups[@]}"; do
    case $group in
    build)
        # Qt loads its OpenSSL backend and libssl at run time; nothing links them.
        packages+=(build-essential cmake pkg-config qt6-base-dev qt6-base-dev-tools
            libminizip-dev zlib1g-dev libdeflate-dev libssl3)
        ;;
    test)
        # Certificates, the font file the caption test draws with, the Windows resource
        # compiler with its preprocessor, the layout check, and nginx for the range requests
        # of a real server.
        packages+=(openssl fontconfig fonts-dejavu-core binutils-mingw-w64-x86-64 cpp
            clang-format nginx-light)
        ;;
    demo)
        packages+=(openssl nginx-light libarchive-tools curl xvfb xauth xdotool x11-utils
            imagemagick xkb-data fontconfig fonts-liberation fonts-dejavu-core)
        ;;
    bench)
        # python3 runs the proxy that cuts downloads (bench/cutproxy.py).
        packages+=(openssl nginx-light curl libarchive-tools unzip time hyperfine linux-perf
            python3 jq)
        ;;
    fuzz)
        # libFuzzer and the sanitizer runtimes for clang come with these.
        packages+=(clang libclang-rt-14-dev)
        ;;
    windows)
        # Every command that scripts/windows.sh and scripts/windows-qt.sh (and the demo scripts
        # they run) call comes from a package named here or from an Essential one: wine brings
        # the `wine` command (wine64 alone leaves it off PATH), libwine `wineserver`, nsis the
        # setup's compiler, osslsigncode the signatures, libarchive-tools the portable ZIP,
        # imagemagick-6.q16 `import`, pkgconf `pkg-config`, nginx `nginx`, mawk `awk`. The cross
        # build of Qt runs the build machine's Qt tools (moc, rcc, ...) and perl.
        packages+=(gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
            mingw-w64-tools libz-mingw-w64-dev qt6-base-dev qt6-base-dev-tools perl wine wine64
            libwine xvfb xauth xdotool x11-utils ninja-build cmake pkgconf dpkg-dev patch xz-utils
            bzip2 imagemagick-6.q16 nginx mawk openssl ca-certificates curl nsis osslsigncode
            libarchive-tools)
        ;;
    *)
        echo "deps.sh: unknown group '$group' (build, test, demo, bench, fuzz, windows)" >&2
        exit 2
        ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
    echo "Installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
fi
