#!/bin/sh
# Builds the libFuzzer targets (clang, ASan+UBSan) into build-fuzz/ and runs
# each for FUZZ_SECONDS (default 20) on a copy of its seed corpus in fuzz/corpus,
# as many at a time as there are cores. Fails on any crash, broken property,
# leak or sanitizer report; the failing input is kept in build-fuzz/artifacts/.
set -eu
cd "$(dirname "$0")/.."
root=$PWD
tools/deps.sh
seconds=${FUZZ_SECONDS:-20}
jobs=$(nproc)
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DUPDATER_FUZZ=ON -DUPDATER_TESTS=OFF >/dev/null
cmake --build "$dir" -j"$jobs" --target fuzzers >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# Runs one target; leaves its summary line in $work/<target>/summary and
# creates $work/<target>/failed when it found something.
fuzz_one() {
    target=$1
    run="$work/$target"
    mkdir -p "$run/corpus" "$run/tmp"
    cp fuzz/corpus/"$target"/* "$run/corpus/"
    rc=0
    (cd "$run" && TMPDIR="$run/tmp" "$root/$dir/fuzz/$target" -max_total_time="$seconds" \
        -max_len="$2" -timeout=10 -print_final_stats=1 -artifact_prefix="$run/" \
        corpus >"$run/log" 2>&1) || rc=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log")
    size=$(find "$run/corpus" -type f | wc -l)
    result=ok
    if [ "$rc" -ne 0 ] || grep -qE 'ERROR: |runtime error:|PROPERTY FAILED' "$run/log"; then
        result="FAILED (exit $rc)"
        touch "$run/failed"
    fi
    printf '%-17s %4ss %10s executions %5s corpus  %s\n' \
        "$target" "$seconds" "${executions:-?}" "$size" "$result" >"$run/summary"
}

# target:max_len, each a little above the longest sensible input.
targets="fuzz_manifest:4096 fuzz_version:256 fuzz_osversion:64 fuzz_remoteurl:1024
fuzz_commandline:1024"
running=0
for entry in $targets; do
    fuzz_one "${entry%%:*}" "${entry#*:}" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait
        running=0
    fi
done
wait

status=0
for entry in $targets; do
    target=${entry%%:*}
    run="$work/$target"
    cat "$run/summary"
    if [ -e "$run/failed" ]; then
        status=1
        mkdir -p "$dir/artifacts/$target"
        find "$run" -maxdepth 1 -type f ! -name summary ! -name failed \
            -exec cp {} "$dir/artifacts/$target/" \;
        grep -E -A12 'ERROR: |runtime error:|PROPERTY FAILED' "$run/log" | head -40 >&2
    fi
done
exit "$status"
