// Steps of the log opening that tests and the opening share: registry reads,
// the temporary folder path, the numbered creation and string wiping.
#pragma once

#include <windows.h>

// Opens a new numbered log for the calling thread; `keepCount` is never 0.
BOOL LogfileOpenNew(DWORD tlsIndex, LPCWSTR name, DWORD keepCount);

// Writes the next free number (highest + 1, skipping names that exist) at
// `numberPosition` of `pathBuffer` (`bufferChars` characters) and creates the
// file. INVALID_HANDLE_VALUE with the creation's last error on failure.
HANDLE LogfileCreateNumbered(LPWSTR pathBuffer, DWORD bufferChars, DWORD numberPosition,
                             DWORD highest);

// The keep count of log `name` from the registry; FALSE with the last error set.
BOOL LogfileReadKeepCount(LPCWSTR name, DWORD* value);

// A REG_DWORD of exactly 4 bytes under HKEY_LOCAL_MACHINE; the registry error
// (0 on success) is the result, the last error is not set.
DWORD ReadHklmDword(LPCWSTR subKey, LPCWSTR valueName, DWORD* value);

// The temporary folder without its trailing backslash in a new zero-filled
// local-heap buffer with `extraChars` + 1 characters to spare; the path length
// goes to `length` (may be null). Null with the last error on failure.
LPWSTR AllocTempPath(DWORD extraChars, DWORD* length);

// Zeroes and frees the string in `holder` and clears it; keeps the last error.
void WipeAndFreeString(LPWSTR* holder);
// Wipes and frees the held string unless it is `newValue`, then holds
// `newValue`; keeps the last error.
void ReplaceWipedString(LPWSTR* holder, LPWSTR newValue);

// Key (under HKEY_LOCAL_MACHINE) and values of the log settings.
extern const WCHAR LOGFILE_FOLDER_NAME[];       // "QelSoft\velatrix"
extern const WCHAR LOGFILE_LENGTH_KEY[];        // "Software\tamzo"
extern const WCHAR LOGFILE_LENGTH_VALUE[];      // "LogfileLength"
const DWORD LOGFILE_DEFAULT_SIZE_LIMIT = 0x40000;
