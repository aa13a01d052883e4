#!/bin/sh
# Prints the architecture the tests run as: i686 where this kernel runs i386
# programs (so 32-bit Wine works), x86_64 where it refuses them (a kernel
# booted without ia32 emulation answers "Exec format error").
probe=$(mktemp)
trap 'rm -f "$probe"' EXIT
# A 96-byte i386 ELF program that exits with code 7.
printf '\177\105\114\106\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\273\007\000\000\000\315\200' > "$probe"
chmod +x "$probe"
rc=0; "$probe" 2>/dev/null || rc=$?
if [ "$rc" = 7 ]; then echo i686; else echo x86_64; fi
