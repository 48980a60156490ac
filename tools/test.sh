#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite three times:
# a plain build with Qt 5 and one with Qt 6, then one under AddressSanitizer
# and UndefinedBehaviorSanitizer (Qt 5).
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh
jobs=$(nproc)
tools/build.sh build -DUPDATER_TESTS=ON
(cd build && ctest --output-on-failure -j"$jobs")
# --- Qt 6: the same plain suite against the Qt 6 build.
tools/build.sh build-qt6 -DUPDATER_QT_MAJOR=6 -DUPDATER_TESTS=ON
(cd build-qt6 && ctest --output-on-failure -j"$jobs")
# --- end of Qt 6
tools/build.sh build-sanitize -DUPDATER_SANITIZE=ON -DUPDATER_TESTS=ON
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
(cd build-sanitize && ctest --output-on-failure -j"$jobs")
# Bounded fuzzing of the input-facing functions (FUZZ_SECONDS per target).
tools/fuzz.sh
# Reached only when everything above passed (set -e): one closing count.
count() { (cd "$1" && ctest -N | sed -n 's/^Total Tests: //p'); }
fuzzers=$(ls fuzz/fuzz_*.cpp | wc -l)
echo "$(( $(count build) + $(count build-qt6) + $(count build-sanitize) + fuzzers )) passed, 0 failed"
