#!/bin/sh
# Installs what is missing, builds the updater alone, and runs it once against
# the sample repository in examples/, then shows the log and what was downloaded.
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target updater
local_dir=$(mktemp -d "${TMPDIR:-/tmp}/updater-demo.XXXXXX")
mkdir -p "$local_dir/backup/logs"
echo "Running: build/updater --localPath $local_dir --remotePath file://$PWD/examples/repository"
status=0
build/updater --localPath "$local_dir" --remotePath "file://$PWD/examples/repository" || status=$?
echo "Exit code: $status"
echo "--- $local_dir/updates/updater.log"
cat "$local_dir/updates/updater.log"
echo "--- $local_dir/updates/available"
ls -l "$local_dir/updates/available"
exit "$status"
