#!/bin/sh
# Installs what is missing, builds build/, and times the updater against
# curl/cp followed by md5sum. Options go to bench/bench.py (see --help),
# e.g. bench/run.sh --size 1G,4G --reps 5 --scenarios http,idle
set -eu
cd "$(dirname "$0")/.."
# Build output goes to stderr so that stdout holds only the figures.
tools/deps.sh >&2
tools/build.sh build >&2
exec python3 bench/bench.py --updater build/updater "$@"
