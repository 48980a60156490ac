#!/bin/sh
# Regenerates the sample repository examples/repository/pc from the package
# kept in examples/packages, with the publisher tool of a build, and checks it.
# Usage: tools/make-examples.sh [BUILD_DIR [REPOSITORY_ROOT]]
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
root=${2:-examples/repository}
[ -x "$build/updater-publish" ] || tools/build.sh "$build"
"$build/updater-publish" publish examples/packages/mirelle-2.2.0.pkg 2.2.0 \
    --constraint 7+ --kind pc --root "$root"
"$build/updater-publish" check --root "$root" --kind pc
