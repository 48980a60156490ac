#!/bin/sh
# Installs what is missing, builds build/ (or build-qt6/), and times the
# updater against curl/cp followed by md5sum. Options go to bench/bench.py
# (see --help), e.g. bench/run.sh --size 1G,4G --reps 5 --scenarios http,idle
set -eu
cd "$(dirname "$0")/.."

# --qt 6 (anywhere among the options) times the Qt 6 build in build-qt6/
# instead of the Qt 5 one in build/.
qt=5
n=$#
while [ "$n" -gt 0 ]; do
    arg=$1
    shift
    n=$((n - 1))
    if [ "$arg" = --qt ] && [ "$n" -gt 0 ]; then
        qt=$1
        shift
        n=$((n - 1))
    else
        set -- "$@" "$arg"
    fi
done
case $qt in
5) dir=build ;;
6) dir=build-qt6 ;;
*) echo "--qt takes 5 or 6" >&2 && exit 2 ;;
esac

# Build output goes to stderr so that stdout holds only the figures.
tools/deps.sh >&2
tools/build.sh "$dir" -DUPDATER_QT_MAJOR="$qt" >&2
exec python3 bench/bench.py --updater "$dir/updater" "$@"
