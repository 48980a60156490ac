#!/bin/sh
# Cross-builds updater.exe and updater-publish.exe for 64-bit Windows and packs
# dist/corvane-updater-<version>-windows-x64.zip.
# Usage: tools/windows.sh [BUILD_DIR [CMAKE_ARGS...]]   (default build-win)
# e.g.   tools/windows.sh build-win-keyed -DUPDATER_MINISIGN_PUBKEY=$PWD/corvane.pub
# Qt 6 and libsodium for Windows are built once from Debian's own source
# packages, into UPDATER_WIN_CACHE (default ~/.cache/corvane-updater), under a
# name made of their Debian versions; every later run reuses them.
set -eu
cd "$(dirname "$0")/.."
root=$PWD
tools/deps.sh windows
triple=x86_64-w64-mingw32
qt_version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev-tools)
sodium_version=$(dpkg-query -W -f='${source:Version}' libsodium-dev)
cache=${UPDATER_WIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-updater}
prefix="$cache/win64-qt6-base_$qt_version-libsodium_$sodium_version"

# Debian's source packages need a deb-src line for the archive the system uses.
enable_sources() {
    apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -q '^Sources$' && return
    SUDO="" && [ "$(id -u)" -ne 0 ] && SUDO=sudo
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources
    else
        sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list
    fi | $SUDO tee /etc/apt/sources.list.d/corvane-updater-src.sources.tmp >/dev/null
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        $SUDO mv /etc/apt/sources.list.d/corvane-updater-src.sources.tmp \
            /etc/apt/sources.list.d/corvane-updater-src.sources
    else
        $SUDO mv /etc/apt/sources.list.d/corvane-updater-src.sources.tmp \
            /etc/apt/sources.list.d/corvane-updater-src.list
    fi
    $SUDO apt-get update -qq
}

build_qt() { # SOURCE_DIR INSTALL_DIR
    (cmake -S "$1" -B "$1/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$2" -DBUILD_SHARED_LIBS=ON \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
        -DFEATURE_gui=OFF -DFEATURE_widgets=OFF -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF \
        -DFEATURE_dbus=OFF -DFEATURE_xml=OFF -DFEATURE_concurrent=OFF \
        -DFEATURE_testlib=OFF -DFEATURE_openssl=OFF -DFEATURE_zstd=OFF -DFEATURE_icu=OFF \
        -DFEATURE_glib=OFF -DFEATURE_androiddeployqt=OFF -DFEATURE_network=ON \
        -DFEATURE_schannel=ON -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF \
        -DFEATURE_system_doubleconversion=OFF &&
        cmake --build "$1/build" -j"$(nproc)" && cmake --install "$1/build") >"$1.log" 2>&1 \
        || { echo "building Qt failed: see $1.log" >&2; return 1; }
}

build_sodium() { # SOURCE_DIR INSTALL_DIR
    (cd "$1" && autoreconf -ivf && ./configure --host=$triple --prefix="$2" --disable-shared \
        --enable-static && make -j"$(nproc)" && make install) >"$1/build.log" 2>&1 \
        || { echo "building libsodium failed: see $1/build.log" >&2; return 1; }
}

# Once per pair of versions; a lock keeps two runs from building it together.
build_prefix() {
    mkdir -p "$cache"
    exec 9>"$cache/.lock"
    flock 9
    [ -f "$prefix/complete" ] && return
    echo "Building Qt $qt_version and libsodium $sodium_version for Windows into $prefix" >&2
    echo "(once; about 15 minutes on 2 cores)" >&2
    enable_sources
    work="$prefix.work" && rm -rf "$work" "$prefix" && mkdir -p "$work"
    (cd "$work" && apt-get source -qq "qt6-base=$qt_version" "libsodium=$sodium_version") \
        >"$work/source.log" 2>&1 || { echo "apt-get source failed: see $work/source.log" >&2; exit 1; }
    build_sodium "$(ls -d "$work"/libsodium-*/ | sed 's,/$,,')" "$prefix/sodium" &
    build_qt "$(ls -d "$work"/qt6-base-*/ | sed 's,/$,,')" "$prefix/qt"
    wait $! || exit 1
    touch "$prefix/complete"
    rm -rf "$work"
}

# The zip: both programs, the DLLs they load (followed through their imports,
# from the cross Qt and MinGW), Schannel's TLS plugin and the operator's text.
# The unpacked tree stays in BUILD_DIR/dist, where the Windows suite runs it.
pack() {
    version=$(sed -n 's/^project(updater VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    name=corvane-updater-$version-windows-x64
    # A build with a key says which: it takes only packages that key signed.
    key=$(sed -n 's/^UPDATER_MINISIGN_PUBKEY:FILEPATH=\(..*\)/\1/p' "$1/CMakeCache.txt")
    [ -z "$key" ] || name="$name-key$(head -1 "$key" | sed 's/.* //')"
    stage="$1/dist"
    rm -rf "$stage" "$1/$name" && mkdir -p "$stage/tls" dist
    cp "$1/updater.exe" "$1/updater-publish.exe" "$stage/"
    cp "$prefix/qt/plugins/tls/qschannelbackend.dll" "$stage/tls/"
    todo="$stage/updater.exe $stage/updater-publish.exe $stage/tls/qschannelbackend.dll"
    while [ -n "$todo" ]; do
        file=${todo%% *} && todo=${todo#"$file"} && todo=${todo# }
        for dll in $($triple-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p'); do
            found="$prefix/qt/bin/$dll"
            [ -f "$found" ] || found=$($triple-gcc-posix -print-file-name="$dll")
            [ -f "$found" ] && [ ! -f "$stage/$dll" ] || continue # Windows' own
            cp "$found" "$stage/" && todo="$todo $stage/$dll"
        done
    done
    $triple-strip --strip-unneeded "$stage"/*.exe "$stage"/*.dll "$stage"/tls/*.dll
    sed 's/$/\r/' docs/windows-zip.txt >"$stage/README.txt"
    ln -s dist "$1/$name" # the folder the zip unpacks to
    rm -f "dist/$name.zip" && (cd "$1" && zip -qr "$root/dist/$name.zip" "$name")
    rm "$1/$name"
    echo "dist/$name.zip"
}

[ -f "$prefix/complete" ] || build_prefix

dir=${1:-build-win}
[ $# -gt 0 ] && shift
PKG_CONFIG_LIBDIR="$prefix/sodium/lib/pkgconfig" cmake -S . -B "$dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DUPDATER_WIN_PREFIXES="$prefix/qt;$prefix/sodium" -DUPDATER_QT_MAJOR=6 \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DUPDATER_TESTS=OFF -DCMAKE_UNITY_BUILD=ON "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
pack "$dir"
