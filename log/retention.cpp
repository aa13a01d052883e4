// Deletes the oldest files of a log name so that only the keep count of older
// files stays beside a newly opened log; age is the last-write time.
#include "log/retention.h"

#include <stdlib.h>
#include <wchar.h>

static const DWORD NAME_LIST_FIRST_CAPACITY = 16;

static LPWSTR CopyString(LPCWSTR text) {
    size_t length = wcslen(text);
    LPWSTR copy = (LPWSTR)LocalAlloc(LMEM_ZEROINIT, (length + 1) * sizeof(WCHAR));
    if (copy) memcpy(copy, text, length * sizeof(WCHAR));
    return copy;
}

BOOL LogfileNameListInit(LogfileNameList* list) {
    list->count = 0;
    list->capacity = 0;
    list->items = (LPWSTR*)LocalAlloc(LMEM_ZEROINIT, NAME_LIST_FIRST_CAPACITY * sizeof(LPWSTR));
    if (!list->items) return FALSE;
    list->capacity = NAME_LIST_FIRST_CAPACITY;
    return TRUE;
}

BOOL LogfileNameListAppend(LogfileNameList* list, LPCWSTR name) {
    if (!list->items || !name) return FALSE;
    if (list->count == list->capacity) {
        if (list->capacity > 0x7FFFFFFF / sizeof(LPWSTR)) return FALSE;
        DWORD capacity = list->capacity * 2;
        LPWSTR* items = (LPWSTR*)LocalAlloc(LMEM_ZEROINIT, capacity * sizeof(LPWSTR));
        if (!items) return FALSE;
        memcpy(items, list->items, list->count * sizeof(LPWSTR));
        LocalFree(list->items);
        list->items = items;
        list->capacity = capacity;
    }
    LPWSTR copy = CopyString(name);
    if (!copy) return FALSE;
    list->items[list->count++] = copy;
    return TRUE;
}

void LogfileNameListFree(LogfileNameList* list) {
    DWORD saved = GetLastError();
    if (list->items) {
        for (DWORD i = 0; i < list->count; ++i) LocalFree(list->items[i]);
        LocalFree(list->items);
    }
    list->items = nullptr;
    list->count = 0;
    list->capacity = 0;
    SetLastError(saved);
}

int LogfileCompareAge(const LogfileAgeEntry* a, const LogfileAgeEntry* b) {
    if (a->time < b->time) return -1;
    if (a->time > b->time) return 1;
    return 0;
}

static int CompareAgeForSort(const void* a, const void* b) {
    return LogfileCompareAge((const LogfileAgeEntry*)a, (const LogfileAgeEntry*)b);
}

DWORD LogfileChooseOldest(LogfileAgeEntry* entries, DWORD count, DWORD keepCount) {
    if (!entries || count == 0) return 0;
    qsort(entries, count, sizeof(LogfileAgeEntry), CompareAgeForSort);
    return count > keepCount ? count - keepCount : 0;
}

bool LogfileNameFits(DWORD bufferChars, DWORD namePosition, size_t nameLength) {
    return namePosition < bufferChars && nameLength < (size_t)(bufferChars - namePosition);
}

// Writes `name` behind the folder in the path buffer; false when it would not fit.
static bool PutName(LPWSTR pathBuffer, DWORD bufferChars, DWORD namePosition, LPCWSTR name) {
    size_t length = wcslen(name);
    if (!LogfileNameFits(bufferChars, namePosition, length)) return false;
    memcpy(pathBuffer + namePosition, name, (length + 1) * sizeof(WCHAR));
    return true;
}

void LogfileDeleteOldest(const LogfileNameList* foundNames, DWORD keepCount, LPWSTR pathBuffer,
                         DWORD bufferChars, DWORD namePosition) {
    if (!foundNames || !foundNames->items || foundNames->count == 0 || !pathBuffer) return;
    LogfileAgeEntry* entries =
        (LogfileAgeEntry*)LocalAlloc(LMEM_ZEROINIT, foundNames->count * sizeof(LogfileAgeEntry));
    if (!entries) return;

    DWORD candidates = 0;
    for (DWORD i = 0; i < foundNames->count; ++i) {
        LPCWSTR name = foundNames->items[i];
        // A name longer than the buffer has room for is left out: it cannot be
        // one of our numbered files, and the buffer is never written past.
        if (!PutName(pathBuffer, bufferChars, namePosition, name)) continue;
        // Read, write and delete sharing, so a log another process still writes
        // can be dated; a directory does not open this way.
        HANDLE file = CreateFileW(pathBuffer, GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        FILETIME written;
        if (GetFileTime(file, nullptr, nullptr, &written)) {
            LPWSTR copy = CopyString(name);
            if (copy) {
                entries[candidates].name = copy;
                entries[candidates].time =
                    (LONGLONG)(((ULONGLONG)written.dwHighDateTime << 32) | written.dwLowDateTime);
                ++candidates;
            }
        }
        CloseHandle(file);
    }

    DWORD toDelete = LogfileChooseOldest(entries, candidates, keepCount);
    for (DWORD i = 0; i < toDelete; ++i) {
        // A file held open elsewhere without delete sharing stays; nothing else
        // is deleted in its place.
        if (PutName(pathBuffer, bufferChars, namePosition, entries[i].name)) {
            DeleteFileW(pathBuffer);
        }
    }

    for (DWORD i = 0; i < candidates; ++i) LocalFree(entries[i].name);
    LocalFree(entries);
}
