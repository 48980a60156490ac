#!/bin/sh
# Installs what is missing, builds the keyless updater and the one with the
# test key in build/, and times a signed update beside an unsigned one.
# Options go to bench/signed.py, e.g. bench/run-signed.sh --size 1G --reps 5
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh >&2
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target updater updater-testkey >&2
exec python3 bench/signed.py --build build "$@"
