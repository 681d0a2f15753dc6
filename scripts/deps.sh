#!/usr/bin/env bash
# Installs, once, the Debian packages that building, testing and the demo need. Recommended
# packages come along, as with a plain apt-get install, so that a fresh machine gets what the
# suite was made with (fonts, X keyboard data, Qt's optional pieces).
set -euo pipefail
packages=(
    build-essential cmake pkg-config
    qt6-base-dev qt6-base-dev-tools
    libminizip-dev zlib1g-dev libdeflate-dev
    openssl nginx-light
    xvfb xauth xdotool x11-utils imagemagick
    libarchive-tools unzip curl time linux-perf
    binutils-mingw-w64-x86-64
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
