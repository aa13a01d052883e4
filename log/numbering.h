// Numbering of log files: the number read back from a found name and the
// numbered name written for a new file; pure text work, no system calls.
#pragma once

#include <windows.h>

// Highest number a name can carry; a longer digit run reads as this.
const DWORD LOGFILE_NUMBER_SATURATED = 0xFFFFFFFF;

// Characters the numbered tail "%.8lu.log" takes at most (ten digits, ".log")
// plus its terminator.
const DWORD LOGFILE_NUMBERED_TAIL_CHARS = 15;

// The number in `text` (the part of a found name after the log name): white
// space skipped, optional sign ("-" negates modulo 2^32), decimal digits up to
// the first other character. No digits give 0; more than 4294967295 gives
// 4294967295 whatever the sign.
DWORD LogfileReadNumber(LPCWSTR text);

// The number of the found name `foundName` of log `name`: 0 when the found name
// is shorter than the log name (a match through a short 8.3 name can be).
DWORD LogfileNumberOfName(LPCWSTR foundName, DWORD nameLength);

// Writes the number with at least eight digits and ".log" into `dest`, which
// has room for `destChars` characters with the terminator. Returns the length
// written, or 0 (and writes nothing) when it does not fit.
DWORD LogfileFormatNumberedTail(LPWSTR dest, DWORD destChars, DWORD number);
