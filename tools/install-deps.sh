#!/bin/sh
# Installs what the build and the tests need on a fresh Debian 12 machine,
# and nothing when it is all there already (so repeated runs are quick).
set -e
PACKAGES="make cmake g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686 googletest wine wine32:i386"
# Where the kernel cannot run i386 programs, the tests run a 64-bit build.
if [ "$(sh "$(dirname "$0")/test-arch.sh")" = x86_64 ]; then
    PACKAGES="$PACKAGES wine64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64"
fi

missing=""
for p in $PACKAGES; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" != 0 ]; then
    echo "missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
echo "installing:$missing"
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
