#!/usr/bin/env bash
# Cross-builds, once, a static Qt 6 (qtbase: Core, Gui, Widgets, Network with schannel, the
# windows platform plugin), minizip and libdeflate for 64-bit Windows, from Debian's own source
# packages, into a cache folder. A later run with the same options finds the stamps and builds
# nothing.
#
#   bash scripts/windows-qt.sh [cache folder]
#
# The cache folder defaults to $VELTRO_WINDOWS_CACHE, else build-windows/cache.
#
# Static, so that the program folder handed to a player is one executable: no Qt DLLs, no plugin
# folders that windeployqt would have to lay out, nothing a partial copy can leave behind.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cache=${1:-${VELTRO_WINDOWS_CACHE:-$here/build-windows/cache}}
cache=$(mkdir -p "$cache" && cd "$cache" && pwd)
triple=x86_64-w64-mingw32
toolchain="$here/cmake/mingw-w64.cmake"
qt_options=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF
    -DQT_QMAKE_TARGET_MKSPEC=win32-g++
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
    -DFEATURE_sql=OFF -DFEATURE_xml=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF
    -DFEATURE_concurrent=OFF -DFEATURE_opengl=OFF -DFEATURE_dynamicgl=OFF -DFEATURE_vulkan=OFF
    # Debian's source leaves out src/3rdparty/wintab, which tablet events need.
    -DFEATURE_tabletevent=OFF
    -DFEATURE_schannel=ON -DFEATURE_openssl=OFF
    -DFEATURE_system_zlib=ON
)
qt_patches=("$here/scripts/qt-read-bound.patch")
stamp="$cache/qt.stamp"
want="qtbase 6.4.2, $($triple-g++-posix -dumpfullversion), ${qt_options[*]},\
 $(cat "${qt_patches[@]}" | sha256sum | cut -c1-16)"

ensure_deb_src() {
    local list=/etc/apt/sources.list.d/veltro-deb-src.sources
    apt-cache showsrc qt6-base 2>/dev/null | grep -q '^Version:' && return 0
    # The same archives and suites as the machine's binary entries, for source packages.
    local sources=()
    [ -f /etc/apt/sources.list.d/debian.sources ] && sources+=(/etc/apt/sources.list.d/debian.sources)
    if [ ${#sources[@]} -gt 0 ]; then
        sed -n '/^Types:/s/.*/Types: deb-src/p; /^Types:/!p' "${sources[@]}" > "$list"
    else
        grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
            > /etc/apt/sources.list.d/veltro-deb-src.list
    fi
    apt-get update -qq
}

fetch_source() { # package, folder
    local package=$1 dest=$2
    [ -d "$dest" ] && return 0
    ensure_deb_src
    local src="$cache/src" version
    mkdir -p "$src"
    # The security suite's sources are not always on the mirror; fall back to each version the
    # archive lists until one downloads.
    (cd "$src" && apt-get source -qq --download-only "$package" >/dev/null 2>&1) || {
        for version in $(apt-cache showsrc "$package" | sed -n 's/^Version: //p' | sort -ru); do
            (cd "$src" && apt-get source -qq --download-only "$package=$version" >/dev/null 2>&1) \
                && break
        done
    }
    local dsc
    dsc=$(ls -t "$src/${package}"_*.dsc | head -n1)
    dpkg-source -x "$dsc" "$dest" > "$src/$package.extract.log" 2>&1
}


# libdeflate: the inflate and CRC-32 of the extraction, a static library with its pkg-config file.
build_libdeflate() {
    local ld="$cache/libdeflate" f
    [ -f "$ld/lib/pkgconfig/libdeflate.pc" ] && return 0
    fetch_source libdeflate "$cache/src/libdeflate"
    rm -rf "$ld" && mkdir -p "$ld/lib/pkgconfig" "$ld/include" "$ld/obj"
    for f in deflate_decompress crc32 utils x86/cpu_features; do
        $triple-gcc-posix -O2 -I"$cache/src/libdeflate" -c "$cache/src/libdeflate/lib/$f.c" \
            -o "$ld/obj/${f//\//_}.o"
    done
    $triple-ar rcs "$ld/lib/libdeflate.a" "$ld"/obj/*.o
    cp "$cache/src/libdeflate/libdeflate.h" "$ld/include/"
    printf '%s\n' "prefix=$ld" 'libdir=${prefix}/lib' 'includedir=${prefix}/include' '' \
        'Name: libdeflate' 'Description: DEFLATE decompression and CRC-32' 'Version: 1.14' \
        'Libs: -L${libdir} -ldeflate' 'Cflags: -I${includedir}' > "$ld/lib/pkgconfig/libdeflate.pc"
}

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
    build_libdeflate
    echo "Qt and minizip for Windows: cached in $cache"
    exit 0
fi

start=$(date +%s)
fetch_source qt6-base "$cache/src/qtbase"
for p in "${qt_patches[@]}"; do
    # Applied once: a resumed build finds the source patched already.
    patch -d "$cache/src/qtbase" -p1 -R --dry-run -s -f < "$p" > /dev/null 2>&1 \
        || patch -d "$cache/src/qtbase" -p1 -s -f < "$p"
done
fetch_source zlib "$cache/src/zlib"

# An interrupted build resumes where it stopped.
echo "Configuring qtbase for Windows (log: $cache/qt-configure.log)"
cmake -G Ninja -S "$cache/src/qtbase" -B "$cache/qt-build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$cache/qt" "${qt_options[@]}" \
    > "$cache/qt-configure.log" 2>&1 || { tail -n 40 "$cache/qt-configure.log"; exit 1; }
echo "Building qtbase for Windows, about an hour on 2 cores (log: $cache/qt-build.log)"
cmake --build "$cache/qt-build" --parallel "$(nproc)" > "$cache/qt-build.log" 2>&1 \
    || { tail -n 60 "$cache/qt-build.log"; exit 1; }
rm -rf "$cache/qt"
cmake --install "$cache/qt-build" > "$cache/qt-install.log" 2>&1

# minizip lives in zlib's source as contrib/minizip; the reading side and the Windows file
# adapter are what the launcher uses, zip.c is there for the tests' archive builder.
echo "Building minizip for Windows"
mz="$cache/minizip"
rm -rf "$mz" && mkdir -p "$mz/lib" "$mz/include/minizip" "$mz/obj"
for f in ioapi unzip iowin32 zip; do
    $triple-gcc-posix -O2 -DNOCRYPT -c "$cache/src/zlib/contrib/minizip/$f.c" -o "$mz/obj/$f.o"
done
$triple-ar rcs "$mz/lib/libminizip.a" "$mz"/obj/*.o
cp "$cache/src/zlib/contrib/minizip/"{ioapi,unzip,zip,iowin32}.h "$mz/include/minizip/"
mkdir -p "$mz/lib/pkgconfig"
printf '%s\n' "prefix=$mz" 'libdir=${prefix}/lib' 'includedir=${prefix}/include' '' \
    'Name: minizip' 'Description: ZIP archives over zlib' 'Version: 1.2.13' \
    'Libs: -L${libdir} -lminizip -lz' 'Cflags: -I${includedir}/minizip' \
    > "$mz/lib/pkgconfig/minizip.pc"

build_libdeflate
rm -rf "$cache/qt-build"
echo "$want" > "$stamp"
echo "Qt and minizip for Windows built in $(( $(date +%s) - start )) s"
