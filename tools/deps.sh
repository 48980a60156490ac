#!/bin/sh
# Installs what building, testing and benchmarking need on Debian 12; skips
# the package manager when everything is there already. With "windows": also
# what the Windows cross builds and the x64 suite under Wine need, and, where
# this machine runs 32-bit x86 programs (tools/i386.sh), 32-bit Wine for the
# x86 suite. Elsewhere wine32 is never installed: the wine wrapper would then
# start its 32-bit loader, which fails there.
set -eu
PACKAGES="cmake g++ make qtbase5-dev libqt5network5 qt6-base-dev libqt6network6 nginx-light \
openssl curl time python3 clang libclang-rt-14-dev strace util-linux libsodium-dev nettle-dev pkg-config \
minisign squid ninja-build"
if [ "${1:-}" = windows ]; then
    PACKAGES="$PACKAGES g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools \
wine wine64 qt6-base-dev-tools autoconf automake libtool dpkg-dev zip xvfb xauth"
fi
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo

install() { # PACKAGES...: those not installed yet
    missing=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
            || missing="$missing $p"
    done
    [ -z "$missing" ] && return
    echo "Installing:$missing"
    $SUDO apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
}

# shellcheck disable=SC2086
install $PACKAGES # binutils first: the probe needs it
[ "${1:-}" = windows ] || exit 0
"$(dirname "$0")/i386.sh" >/dev/null || exit 0
dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
install wine32:i386
