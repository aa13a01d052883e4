// Retention of old log files: the list of names the opening's search found, the
// pure choice of the oldest files beyond the keep count, and their deletion.
#pragma once

#include <windows.h>

// Names (without folder) in the order the directory search returned them; every
// string and the array are owned by the list (local heap). Opening thread only.
struct LogfileNameList {
    LPWSTR* items;
    DWORD count;
    DWORD capacity;
};

// An empty list with room for a first few names; FALSE (last error of the
// allocation) when even that cannot be had.
BOOL LogfileNameListInit(LogfileNameList* list);
// Appends a copy of `name`; FALSE (list unchanged) when memory runs out.
BOOL LogfileNameListAppend(LogfileNameList* list, LPCWSTR name);
// Frees every name and the array; keeps the thread's last error.
void LogfileNameListFree(LogfileNameList* list);

// One retention candidate: an owned copy of its name and its last-write time.
struct LogfileAgeEntry {
    LPWSTR name;
    LONGLONG time;
};

// -1 when a is older (smaller time), 1 when newer, 0 when equal.
int LogfileCompareAge(const LogfileAgeEntry* a, const LogfileAgeEntry* b);

// Sorts the candidates oldest first (unstable) and returns how many of the
// front entries are to be deleted so that `keepCount` of them remain.
DWORD LogfileChooseOldest(LogfileAgeEntry* entries, DWORD count, DWORD keepCount);

// True when `nameLength` characters and a terminator fit into a buffer of
// `bufferChars` characters from `namePosition` on.
bool LogfileNameFits(DWORD bufferChars, DWORD namePosition, size_t nameLength);

// Deletes the oldest files among `foundNames` beyond `keepCount`, by last-write
// time. `pathBuffer` (of `bufferChars` characters) holds the log folder and a
// backslash; each name is written at `namePosition`. A name that does not fit
// there is no candidate. Reports nothing; the last error is not kept.
void LogfileDeleteOldest(const LogfileNameList* foundNames, DWORD keepCount, LPWSTR pathBuffer,
                         DWORD bufferChars, DWORD namePosition);
