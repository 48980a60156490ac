#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite: a plain
# build, then one under AddressSanitizer and UndefinedBehaviorSanitizer whose
# tree also holds the fuzzers, which then run for a few seconds each.
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh
jobs=$(nproc)
tools/build.sh build -DUPDATER_TESTS=ON
(cd build && ctest --output-on-failure -j"$jobs")
# clang, so that the same instrumented library serves the tests and the fuzzers.
CC=clang CXX=clang++ tools/build.sh build-sanitize -DUPDATER_SANITIZE=ON -DUPDATER_FUZZ=ON \
    -DUPDATER_TESTS=ON
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
(cd build-sanitize && ctest --output-on-failure -j"$jobs")
tools/fuzz.sh build-sanitize
# Reached only when everything above passed (set -e): one closing count.
count() { (cd "$1" && ctest -N | sed -n 's/^Total Tests: //p'); }
fuzzers=$(ls fuzz/fuzz_*.cpp | wc -l)
echo "$(( $(count build) + $(count build-sanitize) + fuzzers )) passed, 0 failed"
