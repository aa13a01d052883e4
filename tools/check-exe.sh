#!/bin/sh
# Checks the product EXE as a plain Windows machine would load it: PE32 for
# i386, GUI subsystem, and imports of Windows system DLLs only.
set -e
EXE="$1"; OBJDUMP="${2:-i686-w64-mingw32-objdump}"
[ -f "$EXE" ] || { echo "no such file: $EXE"; exit 1; }
headers=$("$OBJDUMP" -p "$EXE")
echo "$headers" | grep -q "file format pei-i386" || { echo "not a PE32 i386 image"; exit 1; }
echo "$headers" | grep -Eq "^Subsystem[[:space:]]+00000002" || { echo "not a GUI subsystem image"; exit 1; }
dlls=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports:" $dlls
allowed="kernel32.dll user32.dll gdi32.dll advapi32.dll shell32.dll secur32.dll hid.dll setupapi.dll msvcrt.dll ntdll.dll"
for dll in $dlls; do
    case " $allowed " in
        *" $dll "*) ;;
        *) echo "unexpected import: $dll"; exit 1 ;;
    esac
done
for needed in hid.dll setupapi.dll kernel32.dll user32.dll; do
    echo "$dlls" | grep -qx "$needed" || { echo "missing import: $needed"; exit 1; }
done
echo "ok"
