// Opens a thread's new numbered log file under the temporary folder, writes its
// header, fixes its size limit and prunes the oldest files of its name.
#include "log/opening.h"

#include <shlobj.h>
#include <wchar.h>

#include "log/environment_report.h"
#include "log/logfile.h"
#include "log/numbering.h"
#include "log/retention.h"

// Written once each, by the thread of that log, when resolving
// LOGFILE_KEEP_FROM_REGISTRY (main thread / rotation thread).
DWORD g_mainLogKeepCount = 10;
DWORD g_rotationLogKeepCount = 10;

const WCHAR LOGFILE_FOLDER_NAME[] = L"QelSoft\\velatrix";
const WCHAR LOGFILE_LENGTH_KEY[] = L"Software\\tamzo";
const WCHAR LOGFILE_LENGTH_VALUE[] = L"LogfileLength";

static const WCHAR KEEP_KEY_HEAD[] = L"Software\\";
static const WCHAR KEEP_KEY_TAIL[] = L"\\logs";
static const WCHAR LOG_PATTERN_TAIL[] = L"*.log";
static const DWORD HEADER_SIZE_LIMIT = 0x80000000;
static const WCHAR BYTE_ORDER_MARK = 0xFEFF;

static const DWORD FOLDER_NAME_LENGTH = (DWORD)(sizeof LOGFILE_FOLDER_NAME / sizeof(WCHAR) - 1);

static void WipeChars(LPWSTR text, size_t count) {
    volatile WCHAR* p = text;
    for (size_t i = 0; i < count; ++i) p[i] = 0;
}

void WipeAndFreeString(LPWSTR* holder) {
    DWORD saved = GetLastError();
    if (holder && *holder) {
        WipeChars(*holder, wcslen(*holder));
        LocalFree(*holder);
    }
    if (holder) *holder = nullptr;
    SetLastError(saved);
}

void ReplaceWipedString(LPWSTR* holder, LPWSTR newValue) {
    DWORD saved = GetLastError();
    if (holder && *holder != newValue) {
        WipeAndFreeString(holder);
        *holder = newValue;
    }
    SetLastError(saved);
}

// Appends `text` at `*length`; false (nothing written) when it does not fit.
static bool AppendText(LPWSTR buffer, DWORD bufferChars, DWORD* length, LPCWSTR text) {
    size_t add = wcslen(text);
    if (*length >= bufferChars || add >= (size_t)(bufferChars - *length)) return false;
    memcpy(buffer + *length, text, (add + 1) * sizeof(WCHAR));
    *length += (DWORD)add;
    return true;
}

DWORD ReadHklmDword(LPCWSTR subKey, LPCWSTR valueName, DWORD* value) {
    if (!value || !subKey) return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) return (DWORD)status;
    DWORD data = 0;
    DWORD size = sizeof data;
    DWORD type = REG_NONE;
    status = RegQueryValueExW(key, valueName, nullptr, &type, (BYTE*)&data, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return (DWORD)status;
    if (size != sizeof data || type != REG_DWORD) return ERROR_DATATYPE_MISMATCH;
    *value = data;
    return ERROR_SUCCESS;
}

BOOL LogfileReadKeepCount(LPCWSTR name, DWORD* value) {
    if (!name || !value) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD chars = (DWORD)(wcslen(KEEP_KEY_HEAD) + FOLDER_NAME_LENGTH + wcslen(KEEP_KEY_TAIL) + 1);
    LPWSTR keyPath = (LPWSTR)LocalAlloc(LMEM_ZEROINIT, chars * sizeof(WCHAR));
    if (!keyPath) return FALSE;
    DWORD length = 0;
    AppendText(keyPath, chars, &length, KEEP_KEY_HEAD);
    AppendText(keyPath, chars, &length, LOGFILE_FOLDER_NAME);
    AppendText(keyPath, chars, &length, KEEP_KEY_TAIL);
    DWORD status = ReadHklmDword(keyPath, name, value);
    if (status != ERROR_SUCCESS) SetLastError(status);
    WipeAndFreeString(&keyPath);
    return status == ERROR_SUCCESS;
}

LPWSTR AllocTempPath(DWORD extraChars, DWORD* length) {
    DWORD needed = GetTempPathW(0, nullptr);
    if (needed == 0) return nullptr;
    SIZE_T chars = (SIZE_T)needed + extraChars + 1;
    if (chars < needed || chars > 0x7FFFFFFF / sizeof(WCHAR)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    LPWSTR buffer = (LPWSTR)LocalAlloc(LMEM_ZEROINIT, chars * sizeof(WCHAR));
    if (!buffer) return nullptr;
    DWORD got = GetTempPathW((DWORD)chars, buffer);
    if (got == 0 || got >= needed) {
        // The path grew since it was measured (the variables changed meanwhile):
        // the room promised beyond it would no longer be there.
        DWORD error = got == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        LocalFree(buffer);
        SetLastError(error);
        return nullptr;
    }
    if (got > 0 && buffer[got - 1] == L'\\') buffer[--got] = L'\0';
    if (length) *length = got;
    return buffer;
}

HANDLE LogfileCreateNumbered(LPWSTR pathBuffer, DWORD bufferChars, DWORD numberPosition,
                             DWORD highest) {
    if (!pathBuffer || numberPosition >= bufferChars) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DWORD first = highest + 1;
    DWORD number = first;
    for (;;) {
        if (!LogfileFormatNumberedTail(pathBuffer + numberPosition, bufferChars - numberPosition,
                                       number)) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return INVALID_HANDLE_VALUE;
        }
        // Read sharing only: others may read the log while it is written, but
        // not write, rename or delete it.
        HANDLE file = CreateFileW(pathBuffer, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        DWORD error = GetLastError();
        // Another opening took this number since the search: try the next one,
        // but give up once every number has been tried.
        if (error != ERROR_FILE_EXISTS || number + 1 == first) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        ++number;
    }
}

// Makes one folder level (or all missing levels); true when it exists afterwards.
static bool MakeFolder(LPCWSTR path) {
    int result = SHCreateDirectoryExW(nullptr, path, nullptr);
    if (result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS) return true;
    SetLastError((DWORD)result);
    return false;
}

// Wipes the whole path buffer (names of different lengths were written into
// it) and frees it; keeps the last error.
static void WipeAndFreePathBuffer(LPWSTR* buffer, DWORD bufferChars) {
    if (*buffer) WipeChars(*buffer, bufferChars);
    WipeAndFreeString(buffer);
}

// Puts the new record in the thread's slot and writes the header; false (the
// failure's last error) when the record cannot be made or installed.
static bool InstallContext(DWORD tlsIndex, HANDLE file) {
    LogfileContext* context = (LogfileContext*)LocalAlloc(LMEM_ZEROINIT, sizeof(LogfileContext));
    if (!context) return false;
    if (!TlsSetValue(tlsIndex, context)) {
        DWORD error = GetLastError();
        LocalFree(context);
        SetLastError(error);
        return false;
    }
    context->file = file;
    context->headerEnd = 0xFFFFFFFF;
    context->sizeLimit = HEADER_SIZE_LIMIT;
    context->pathCopy = nullptr;
    context->pathCopyStatus = ERROR_NOT_SUPPORTED;

    DWORD written = 0;
    WriteFile(file, &BYTE_ORDER_MARK, sizeof BYTE_ORDER_MARK, &written, nullptr);
    WriteEnvironmentReport(tlsIndex);
    context->headerEnd = SetFilePointer(file, 0, nullptr, FILE_CURRENT);

    DWORD limit = 0;
    if (ReadHklmDword(LOGFILE_LENGTH_KEY, LOGFILE_LENGTH_VALUE, &limit) != ERROR_SUCCESS) {
        limit = LOGFILE_DEFAULT_SIZE_LIMIT;
    }
    context->sizeLimit = limit < context->headerEnd ? context->headerEnd : limit;
    return true;
}

BOOL LogfileOpenNew(DWORD tlsIndex, LPCWSTR name, DWORD keepCount) {
    if (tlsIndex == TLS_OUT_OF_INDEXES || !name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    size_t nameChars = wcslen(name);
    // No file name can be this long; it also keeps the sums below in range.
    if (nameChars > 0x7FFF) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD nameLength = (DWORD)nameChars;
    DWORD extraChars = nameLength + FOLDER_NAME_LENGTH + 19;
    DWORD length = 0;
    LPWSTR path = AllocTempPath(extraChars, &length);
    if (!path) return FALSE;
    // The least the buffer holds: the path, the reserved room and a terminator
    // (the removed backslash, if any, only adds to it).
    DWORD bufferChars = length + extraChars + 2;

    if (!MakeFolder(path)) {
        WipeAndFreePathBuffer(&path, bufferChars);
        return FALSE;
    }
    // The room reserved by AllocTempPath always holds these pieces.
    AppendText(path, bufferChars, &length, L"\\");
    AppendText(path, bufferChars, &length, LOGFILE_FOLDER_NAME);
    if (!MakeFolder(path)) {
        WipeAndFreePathBuffer(&path, bufferChars);
        return FALSE;
    }
    DWORD folderEnd = length;  // where the backslash after the log folder goes
    AppendText(path, bufferChars, &length, L"\\");
    AppendText(path, bufferChars, &length, name);
    DWORD numberPosition = length;
    AppendText(path, bufferChars, &length, LOG_PATTERN_TAIL);

    LogfileNameList found;
    if (!LogfileNameListInit(&found)) {
        WipeAndFreePathBuffer(&path, bufferChars);
        return FALSE;
    }
    DWORD highest = 0;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(path, &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
                DWORD number = LogfileNumberOfName(entry.cFileName, nameLength);
                if (number > highest) highest = number;
            }
            // A name that cannot be stored is only left out of retention.
            LogfileNameListAppend(&found, entry.cFileName);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }

    BOOL opened = FALSE;
    HANDLE file = LogfileCreateNumbered(path, bufferChars, numberPosition, highest);
    if (file != INVALID_HANDLE_VALUE) {
        if (InstallContext(tlsIndex, file)) {
            file = INVALID_HANDLE_VALUE;  // the record owns it now
            opened = TRUE;
        } else {
            // No half-made log stays behind: the file goes again.
            DWORD error = GetLastError();
            CloseHandle(file);
            file = INVALID_HANDLE_VALUE;
            DeleteFileW(path);
            SetLastError(error);
        }
    }

    if (keepCount <= found.count) {
        DWORD saved = GetLastError();
        path[folderEnd + 1] = L'\0';
        LogfileDeleteOldest(&found, keepCount, path, bufferChars, folderEnd + 1);
        SetLastError(saved);
    }

    LogfileNameListFree(&found);
    WipeAndFreePathBuffer(&path, bufferChars);
    return opened;
}

BOOL LogfileStart(DWORD tlsIndex, DWORD* keepCount, LPCWSTR name) {
    // A missing name is refused here, before it could switch the log off.
    if (!keepCount || !name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (TlsGetValue(tlsIndex)) {
        SetLastError(ERROR_ALREADY_INITIALIZED);
        return FALSE;
    }
    // Keep count 0: this log is off; the last error stays as the slot test left it.
    if (*keepCount == 0) return FALSE;
    if (*keepCount == LOGFILE_KEEP_FROM_REGISTRY) {
        DWORD fromRegistry = 0;
        if (!LogfileReadKeepCount(name, &fromRegistry)) {
            *keepCount = 0;
            return FALSE;
        }
        if (fromRegistry == 0) {
            *keepCount = 0;
            SetLastError(ERROR_SUCCESS);
            return FALSE;
        }
        *keepCount = fromRegistry;
    }
    return LogfileOpenNew(tlsIndex, name, *keepCount);
}
