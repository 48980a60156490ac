#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite: the plain
# suite on Qt 5, the process tests against the x64 Windows build under Wine and
# the import check of the x86 one, then the suite on Qt 6 under AddressSanitizer
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

# The Windows suite copies a Wine prefix set to Windows 10 (a fresh one says
# Windows 7), made once beside the cross-built Qt.
cache=${UPDATER_WIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/corvane-updater}
template="$cache/wine-$(dpkg-query -W -f='${Version}' wine)-win10"
wine_made=0
if [ ! -f "$template/system.reg" ]; then
    mkdir -p "$cache"
    setsid sh -c 'rm -rf "$0.new" && export WINEPREFIX="$0.new" WINEDEBUG=-all &&
        wine wineboot -i && wine winecfg -v win10 && wineserver -w && mv "$0.new" "$0"' \
        "$template" >"$logs/wine" 2>&1 &
    wine_made=$! && groups="$groups $!"
fi

# Both zips build beside the Linux tree: each leaves a core idle at times.
setsid tools/windows.sh --x64 build-win >"$logs/x64" 2>&1 &
x64_made=$! && groups="$groups $!"
setsid tools/windows.sh --x86 build-win >"$logs/x86" 2>&1 &
x86_made=$! && groups="$groups $!"
unity=-DCMAKE_UNITY_BUILD=ON # one translation unit per target: half the build time
tools/build.sh build -DUPDATER_TESTS=ON $unity -DUPDATER_WINE_TEMPLATE="$template" \
    -DUPDATER_WINDOWS_EXE="$PWD/build-win/dist/updater.exe" \
    -DUPDATER_WINDOWS7_DIR="$PWD/build-win-x86/dist"
start linux build -LE windows
wait "$x64_made" || { cat "$logs/x64"; exit 1; }
[ "$wine_made" -eq 0 ] || wait "$wine_made" || { cat "$logs/wine"; exit 1; }
start windows build -L '^windows$'
wait "$x86_made" || { cat "$logs/x86"; exit 1; }
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
echo "$(( $(count build) + $(count build-sanitize) + fuzzers )) passed, 0 failed"
