#!/bin/sh
# The main job: the real VELATRIX.EXE under Wine against the simulated sensor,
# plugged in, turned through 90, 180, 270 and 0 degrees, unplugged, plugged
# back in and closed with WM_CLOSE; then both logs as readable text.
set -e
BUILD="$1"
# Wine's loader takes the stand-in hid.dll and setupapi.dll from the program's
# folder only when told so in the Unix environment.
export WINEDLLOVERRIDES="hid,setupapi=n,b"
exec "$BUILD/wine-run.sh" "$BUILD/bin/velatrix_demo.exe"
