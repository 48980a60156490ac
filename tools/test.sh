#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite: the plain
# suite on Qt 5, the process tests against the x64 Windows build under 64-bit
# Wine, the import check of the x86 one and, where this machine runs 32-bit
# programs, its process tests under 32-bit Wine, then the suite on Qt 6 under AddressSanitizer
# and UndefinedBehaviorSanitizer, whose clang tree also holds the fuzzers, which
# then run for a few seconds each. Each suite runs while the next tree builds.
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh windows
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
logs=$(mktemp -d)
# Each background job leads a process group of its own, so that a failure
# stops it with everything it started (ctest, the tests, their servers, Wine)
# before its log directory goes.
groups=""
stop() {
    for pid in $groups; do kill -TERM "-$pid" 2>/dev/null || true; done
    rm -rf "$logs"
}
trap stop EXIT
trap 'exit 130' INT TERM

# Runs the CTest tests of a tree matching CTEST_ARGS in the background, as JOB.
start() { # JOB DIR CTEST_ARGS...
    job=$1 dir=$2 && shift 2
    setsid sh -c 'cd "$0" && exec ctest --output-on-failure -j2 "$@"' "$dir" "$@" \
        >"$logs/$job" 2>&1 &
    groups="$groups $!" && eval "pid_$job=$!"
}
finish() { # JOB: waits for it, shows its log, fails with it
    rc=0 && eval "wait \$pid_$1" || rc=$?
    cat "$logs/$1"
    [ "$rc" -eq 0 ]
}

# Each Windows suite copies a Wine prefix made once beside the cross-built Qt, by
# its architecture's own loader and server: the wine wrapper starts the 32-bit
# loader whenever wine32 is installed, which cannot boot a win64 prefix. One made
# for the other architecture (by that wrapper) is made again.
cache=${UPDATER_WIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-updater}
wine_version=$(dpkg-query -W -f='${Version}' wine)
prefix() { # JOB DIR WINEARCH LOADER SERVER WINDOWS: in the background unless made
    eval "pid_$1=0"
    grep -qx "#arch=$3" "$2/system.reg" 2>/dev/null && return
    mkdir -p "$cache"
    setsid sh -c 'rm -rf "$0.new" && export WINEPREFIX="$0.new" WINEARCH="$1" WINELOADER="$2" \
        WINESERVER="$3" WINEDEBUG=-all && "$2" wineboot -i && "$2" winecfg -v "$4" &&
        "$3" -w && rm -rf "$0" && mv "$0.new" "$0"' "$2" "$3" "$4" "$5" "$6" >"$logs/$1" 2>&1 &
    groups="$groups $!" && eval "pid_$1=$!"
}
made() { # JOB: waits for a prefix being made; shows its log if that failed
    rc=0 && eval "[ \$pid_$1 -eq 0 ] || wait \$pid_$1" || rc=$?
    [ "$rc" -eq 0 ] || { cat "$logs/$1"; return 1; }
}
# A fresh prefix says Windows 7; the x64 suite's is set to 10.
template="$cache/wine-$wine_version-win10"
prefix wine64 "$template" win64 /usr/lib/wine/wine64 /usr/lib/wine/wineserver64 win10
# The x86 suite runs where this machine runs 32-bit programs (tools/deps.sh then
# installed wine32); elsewhere only the x86 zip's import check does.
template32="" skipped=""
if why=$(tools/i386.sh) && [ -x /usr/lib/wine/wine ]; then
    template32="$cache/wine-$wine_version-win32-win7"
    prefix wine32 "$template32" win32 /usr/lib/wine/wine /usr/lib/wine/wineserver32 win7
else
    pid_wine32=0 skipped="Skipped: the x86 suite under 32-bit Wine, since \
${why:-wine32 is not installed}; checked instead: whether each binary of the x86 zip loads \
on Windows 7 (win7-imports)."
fi

# Both zips build beside the Linux tree: each leaves a core idle at times.
setsid tools/windows.sh --x64 build-win >"$logs/x64" 2>&1 &
x64_made=$! && groups="$groups $!"
setsid tools/windows.sh --x86 build-win >"$logs/x86" 2>&1 &
x86_made=$! && groups="$groups $!"
unity=-DCMAKE_UNITY_BUILD=ON # one translation unit per target: half the build time
tools/build.sh build -DUPDATER_TESTS=ON $unity -DUPDATER_WINE_TEMPLATE="$template" \
    -DUPDATER_WINDOWS_EXE="$PWD/build-win/dist/updater.exe" \
    -DUPDATER_WINDOWS7_DIR="$PWD/build-win-x86/dist" -DUPDATER_WINE32_TEMPLATE="$template32"
start linux build -LE windows
wait "$x64_made" || { cat "$logs/x64"; exit 1; }
made wine64
start windows build -L '^windows$'
wait "$x86_made" || { cat "$logs/x86"; exit 1; }
made wine32
start windows7 build -L windows7
# clang on Qt 6, so that one instrumented library serves the tests and the fuzzers,
# and both Qts are tested; Qt 5 and GCC are the plain tree's.
CC=clang CXX=clang++ tools/build.sh build-sanitize -DUPDATER_QT_MAJOR=6 -DUPDATER_SANITIZE=ON \
    -DUPDATER_FUZZ=ON -DUPDATER_TESTS=ON $unity
finish linux
finish windows
finish windows7
start sanitize build-sanitize
tools/fuzz.sh build-sanitize
finish sanitize
# Reached only when everything above passed (set -e): one closing count.
count() { (cd "$1" && ctest -N | sed -n 's/^Total Tests: //p'); }
fuzzers=$(ls fuzz/fuzz_*.cpp | wc -l)
[ -z "$skipped" ] || echo "$skipped"
echo "$(( $(count build) + $(count build-sanitize) + fuzzers )) passed, 0 failed," \
    "$([ -z "$skipped" ] && echo 0 || echo 1) skipped"
