#!/bin/sh
# Installs what is missing, builds build/, and times a package download
# killed at half and resumed beside an uninterrupted one.
# Options go to bench/resumed.py, e.g. bench/run-resumed.sh --size 1G --reps 3
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh >&2
tools/build.sh build >&2
exec python3 bench/resumed.py --updater build/updater "$@"
