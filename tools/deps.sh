#!/bin/sh
# Installs what building, testing and benchmarking need on Debian 12; skips
# the package manager when everything is there already. With "windows": also
# what the Windows cross builds and the x64 suite under Wine need.
set -eu
PACKAGES="cmake g++ make qtbase5-dev libqt5network5 qt6-base-dev libqt6network6 nginx-light \
openssl curl time python3 clang libclang-rt-14-dev strace util-linux libsodium-dev nettle-dev pkg-config \
minisign squid ninja-build"
if [ "${1:-}" = windows ]; then
    PACKAGES="$PACKAGES g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools \
wine wine64 qt6-base-dev-tools autoconf automake libtool dpkg-dev zip xvfb xauth"
fi
missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
        || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
echo "Installing:$missing"
$SUDO apt-get update -qq
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
