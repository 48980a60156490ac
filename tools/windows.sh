#!/bin/sh
# Cross-builds updater.exe and updater-publish.exe for Windows and packs two
# zips into dist/: corvane-updater-<version>-windows-x64.zip on Qt 6 for 64-bit
# Windows 10 and 11, and corvane-updater-<version>-windows7-x86.zip on Qt 5.15
# for 32-bit Windows, 7 SP1 and later.
# Usage: tools/windows.sh [--x64|--x86] [BUILD_DIR [CMAKE_ARGS...]]
#   both unless one is named; x64 in BUILD_DIR (default build-win), x86 in BUILD_DIR-x86
# e.g.   tools/windows.sh build-win-keyed -DUPDATER_MINISIGN_PUBKEY=$PWD/corvane.pub
# Qt, libsodium and nettle for Windows are built once from Debian's own source
# packages, into UPDATER_WIN_CACHE (default ~/.cache/corvane-updater), under
# names made of their Debian versions; every later run reuses them.
set -eu
cd "$(dirname "$0")/.."
root=$PWD
tools/deps.sh windows
sodium_version=$(dpkg-query -W -f='${source:Version}' libsodium-dev)
nettle_version=$(dpkg-query -W -f='${source:Version}' nettle-dev)
cache=${UPDATER_WIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-updater}

arch() { # x64|x86: what differs between the two builds
    if [ "$1" = x64 ]; then
        triple=x86_64-w64-mingw32 toolchain=mingw-w64 qt_major=6 qt_source=qt6-base
        qt_version=$(dpkg-query -W -f='${source:Version}' qt6-base-dev-tools)
        prefix="$cache/win64-qt6-base_$qt_version-libsodium_$sodium_version"
        suffix=windows-x64 text=windows-zip winnt="" dir=$base
        nettle="$cache/win64-nettle_$nettle_version"
    else
        triple=i686-w64-mingw32 toolchain=mingw-w64-i686 qt_major=5
        qt_source=qtbase-opensource-src
        qt_version=$(dpkg-query -W -f='${source:Version}' qtbase5-dev)
        prefix="$cache/win32-${qt_source}_$qt_version-libsodium_$sodium_version"
        suffix=windows7-x86 text=windows7-x86-zip dir=$base-x86
        nettle="$cache/win32-nettle_$nettle_version"
        # Windows 7's API only: anything newer is looked up at run time.
        winnt="-D_WIN32_WINNT=0x0601 -DWINVER=0x0601"
    fi
}

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

build_qt6() { # SOURCE_DIR INSTALL_DIR
    (cmake -S "$1" -B "$1/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" \
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

# Qt 5.15 with qmake: Core and Network, Schannel (built into Qt5Network), no OpenSSL.
build_qt5() { # SOURCE_DIR INSTALL_DIR
    # Debian's MinGW import libraries are named in lower case.
    sed -i 's/"-lSecur32" "-lCrypt32"/"-lsecur32" "-lcrypt32"/' "$1/src/network/ssl/ssl.pri"
    # The mkspec names the tools by prefix: this one gives the POSIX-thread compilers.
    mkdir -p "$1/bin" "$1-build" # qmake misplaces .pc files when it builds inside the source
    for tool in /usr/bin/$triple-*; do ln -sf "$tool" "$1/bin/"; done
    ln -sf "/usr/bin/$triple-gcc-posix" "$1/bin/$triple-gcc"
    ln -sf "/usr/bin/$triple-g++-posix" "$1/bin/$triple-g++"
    (cd "$1-build" && "$1/configure" -prefix "$2" -xplatform win32-g++ \
        -device-option CROSS_COMPILE="$1/bin/$triple-" -opensource -confirm-license -release \
        -shared -nomake examples -nomake tests -no-gui -no-widgets -no-dbus -no-opengl \
        -no-openssl -schannel -qt-zlib -qt-pcre -no-icu -no-feature-sql \
        -no-feature-concurrent -no-feature-xml -no-feature-testlib \
        "QMAKE_CFLAGS+=$winnt" "QMAKE_CXXFLAGS+=$winnt" &&
        make -j"$(nproc)" && make install) >"$1.log" 2>&1 \
        || { echo "building Qt failed: see $1.log" >&2; return 1; }
}

build_sodium() { # SOURCE_DIR INSTALL_DIR
    (cd "$1" && autoreconf -ivf && ./configure --host="$triple" --prefix="$2" --disable-shared \
        --enable-static CPPFLAGS="$winnt" && make -j"$(nproc)" && make install) >"$1/build.log" \
        2>&1 || { echo "building libsodium failed: see $1/build.log" >&2; return 1; }
}

# Its own prefix, so that a cache of Qt from before it stays good. MD5 only:
# no public-key half, which would need GMP.
build_nettle() {
    mkdir -p "$cache"
    exec 8>"$cache/.lock-nettle"
    flock 8
    [ -f "$nettle/complete" ] && return
    echo "Building nettle $nettle_version for Windows into $nettle (once; a minute)" >&2
    enable_sources
    work="$nettle.work" && rm -rf "$work" "$nettle" && mkdir -p "$work"
    (cd "$work" && apt-get source -qq "nettle=$nettle_version") >"$work/source.log" 2>&1 ||
        { echo "apt-get source failed: see $work/source.log" >&2; exit 1; }
    (cd "$(ls -d "$work"/nettle-*/ | sed 's,/$,,')" && ./configure --host="$triple" \
        --prefix="$nettle" --libdir="$nettle/lib" --disable-shared --enable-static \
        --disable-public-key --disable-documentation --disable-openssl --disable-assembler \
        CPPFLAGS="$winnt" && make -j"$(nproc)" && make install) >"$work/build.log" 2>&1 ||
        { echo "building nettle failed: see $work/build.log" >&2; exit 1; }
    touch "$nettle/complete"
    rm -rf "$work"
    exec 8>&-
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
    (cd "$work" && apt-get source -qq "$qt_source=$qt_version" "libsodium=$sodium_version") \
        >"$work/source.log" 2>&1 || { echo "apt-get source failed: see $work/source.log" >&2; exit 1; }
    build_sodium "$(ls -d "$work"/libsodium-*/ | sed 's,/$,,')" "$prefix/sodium" &
    "build_qt$qt_major" "$(ls -d "$work/$qt_source"-*/ | sed 's,/$,,')" "$prefix/qt"
    wait $! || exit 1
    touch "$prefix/complete"
    rm -rf "$work"
    exec 9>&-
}

# The zip: both programs, the DLLs they load (followed through their imports,
# from the cross Qt and MinGW), Qt 6's TLS plugin for Schannel and the
# operator's text. The unpacked tree stays in BUILD_DIR/dist, where the
# Windows suite runs it.
pack() {
    version=$(sed -n 's/^project(updater VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    name=corvane-updater-$version-$suffix
    # A build with a key says which: it takes only packages that key signed.
    key=$(sed -n 's/^UPDATER_MINISIGN_PUBKEY:FILEPATH=\(..*\)/\1/p' "$dir/CMakeCache.txt")
    [ -z "$key" ] || name="$name-key$(head -1 "$key" | sed 's/.* //')"
    stage="$dir/dist"
    rm -rf "$stage" "$dir/$name" && mkdir -p "$stage" dist
    cp "$dir/updater.exe" "$dir/updater-publish.exe" "$stage/"
    todo="$stage/updater.exe $stage/updater-publish.exe"
    if [ "$qt_major" = 6 ]; then
        mkdir "$stage/tls" && cp "$prefix/qt/plugins/tls/qschannelbackend.dll" "$stage/tls/"
        todo="$todo $stage/tls/qschannelbackend.dll"
    fi
    while [ -n "$todo" ]; do
        file=${todo%% *} && todo=${todo#"$file"} && todo=${todo# }
        for dll in $($triple-objdump -p "$file" | sed -n 's/^\s*DLL Name: //p'); do
            found="$prefix/qt/bin/$dll"
            [ -f "$found" ] || found=$($triple-gcc-posix -print-file-name="$dll")
            [ -f "$found" ] && [ ! -f "$stage/$dll" ] || continue # Windows' own
            cp "$found" "$stage/" && todo="$todo $stage/$dll"
        done
    done
    find "$stage" -name '*.exe' -o -name '*.dll' | xargs $triple-strip --strip-unneeded
    sed 's/$/\r/' "docs/$text.txt" >"$stage/README.txt"
    ln -s dist "$dir/$name" # the folder the zip unpacks to
    rm -f "dist/$name.zip" && (cd "$dir" && zip -qr "$root/dist/$name.zip" "$name")
    rm "$dir/$name"
    echo "dist/$name.zip"
}

archs="x64 x86"
case "${1:-}" in --x64 | --x86) archs=${1#--} && shift ;; esac
base=${1:-build-win}
[ $# -gt 0 ] && shift
for a in $archs; do
    arch "$a"
    [ -f "$prefix/complete" ] || build_prefix
    [ -f "$nettle/complete" ] || build_nettle
    qt_host="" # Qt 6 takes moc and its other tools from Debian's Qt 6
    [ "$qt_major" = 5 ] ||
        qt_host="-DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake"
    # shellcheck disable=SC2086
    PKG_CONFIG_LIBDIR="$prefix/sodium/lib/pkgconfig:$nettle/lib/pkgconfig" cmake -S . -B "$dir" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
        -DUPDATER_WIN_PREFIXES="$prefix/qt;$prefix/sodium;$nettle" -DUPDATER_QT_MAJOR=$qt_major \
        $qt_host -DUPDATER_TESTS=OFF -DCMAKE_UNITY_BUILD=ON "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
    pack
done
