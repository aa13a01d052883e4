#!/bin/sh
# Creates the build's own Wine prefix once, with the null graphics driver so
# windows, timers and messages work without an X server.
set -e
PREFIX="$1"
ARCH="${2:-win32}"
[ -n "$PREFIX" ] || { echo "usage: $0 PREFIX [win32|win64]" >&2; exit 2; }
[ -f "$PREFIX/.velatrix-ready" ] && exit 0
if [ "$ARCH" = win64 ]; then
    WINE=/usr/lib/wine/wine64; WINESERVER=/usr/lib/wine/wineserver64; export WINELOADER=$WINE
else
    WINE=wine; WINESERVER=wineserver
fi
mkdir -p "$PREFIX"
export WINEPREFIX="$PREFIX" WINEARCH="$ARCH" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$WINE" wineboot -i >/dev/null 2>&1 || true
"$WINESERVER" -w
"$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
"$WINESERVER" -k || true
"$WINESERVER" -w || true
touch "$PREFIX/.velatrix-ready"
