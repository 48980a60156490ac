#!/bin/sh
# Usage: tools/fuzz.sh BUILD_DIR, a tree configured with clang and -DUPDATER_FUZZ=ON (the test
# command's build-sanitize). Fuzzes each target FUZZ_SECONDS (default 5), two at a time, on
# a copy of its seeds; one line each; fails on a crash, broken property or sanitizer report.
set -eu
dir=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
cmake --build "$dir" -j2 --target fuzzers >/dev/null
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT && mkdir -p "$dir/fuzz/artifacts"
export QT_LOGGING_RULES='*=false' UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0"

fuzz() { # TARGET MAX_LEN
    result=ok && cp -r "fuzz/corpus/$1" "$work/$1" && mkdir "$work/$1.tmp"
    TMPDIR="$work/$1.tmp" "$dir/fuzz/$1" -max_total_time="${FUZZ_SECONDS:-5}" -max_len="$2" \
        -timeout=10 -artifact_prefix="$dir/fuzz/artifacts/$1-" "$work/$1" >"$work/$1.log" 2>&1 \
        || { result=FAILED && touch "$work/failed"; }
    echo "$1: $(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$work/$1.log") executions, $result"
    [ $result = ok ] || grep -EA3 'PROPERTY|ERROR:|runtime error|unit written' "$work/$1.log" >&2
}

fuzz fuzz_manifest 4096 & fuzz fuzz_version 256 & wait
fuzz fuzz_osversion 64 & fuzz fuzz_remoteurl 1024 & wait
fuzz fuzz_commandline 1024
[ ! -e "$work/failed" ]
