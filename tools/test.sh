#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite: the plain
# suite on Qt 5 and on Qt 6, then on Qt 5 under AddressSanitizer and
# UndefinedBehaviorSanitizer, whose clang tree also holds the fuzzers, which
# then run for a few seconds each. Each suite runs while the next tree builds.
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# Runs the suite of a build tree in the background; `finish` waits for it.
start() {
    (rc=0 && cd "$1" && ctest --output-on-failure -j"$(nproc)" >"$logs/$1" 2>&1 || rc=$?
        echo "$rc" >"$logs/$1.rc") &
}
finish() { wait; cat "$logs/$1"; [ "$(cat "$logs/$1.rc")" -eq 0 ]; }

unity=-DCMAKE_UNITY_BUILD=ON # one translation unit per target: half the build time
tools/build.sh build -DUPDATER_TESTS=ON $unity
start build
tools/build.sh build-qt6 -DUPDATER_QT_MAJOR=6 -DUPDATER_TESTS=ON $unity
finish build
start build-qt6
# clang, so that one instrumented library serves the tests and the fuzzers.
CC=clang CXX=clang++ tools/build.sh build-sanitize -DUPDATER_SANITIZE=ON -DUPDATER_FUZZ=ON \
    -DUPDATER_TESTS=ON $unity
finish build-qt6
start build-sanitize
tools/fuzz.sh build-sanitize
finish build-sanitize
# Reached only when everything above passed (set -e): one closing count.
count() { (cd "$1" && ctest -N | sed -n 's/^Total Tests: //p'); }
fuzzers=$(ls fuzz/fuzz_*.cpp | wc -l)
echo "$(( $(count build) + $(count build-qt6) + $(count build-sanitize) + fuzzers )) passed, 0 failed"
