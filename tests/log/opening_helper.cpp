// Second process for the log tests: opens logs of one name in a race with
// another copy of itself, or holds a log file open the way a running log does.
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>

#include "log/logfile.h"

// race <readyEvent> <startEvent> <count> <resultFile>: signals ready, waits
// for the start event, then
// opens and ends <count> logs named "race"; writes each file's name to
// <resultFile>, one per line. Exit code: the number of failed openings.
static int Race(LPCWSTR readyEvent, LPCWSTR startEvent, int count, LPCWSTR resultFile) {
    DWORD slot = TlsAlloc();
    if (slot == TLS_OUT_OF_INDEXES) return 1000;
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, readyEvent);
    HANDLE start = OpenEventW(SYNCHRONIZE, FALSE, startEvent);
    if (!ready || !start) return 1001;
    HANDLE results = CreateFileW(resultFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (results == INVALID_HANDLE_VALUE) return 1002;
    SetEvent(ready);
    CloseHandle(ready);
    if (WaitForSingleObject(start, 30000) != WAIT_OBJECT_0) return 1003;

    // Large enough that retention never deletes a file of this run.
    DWORD keepCount = 100000;
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        LogfileHandle log(slot, &keepCount, L"race");
        if (!log.started) {
            ++failures;
            continue;
        }
        LogfileContext* context = static_cast<LogfileContext*>(TlsGetValue(slot));
        BYTE info[sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(WCHAR)] = {};
        FILE_NAME_INFO* name = reinterpret_cast<FILE_NAME_INFO*>(info);
        if (!GetFileInformationByHandleEx(context->file, FileNameInfo, name,
                                          sizeof info - sizeof(WCHAR))) {
            ++failures;
            continue;
        }
        // The name without folder, in UTF-8 with CR LF.
        LPCWSTR path = name->FileName;
        DWORD chars = name->FileNameLength / sizeof(WCHAR);
        DWORD begin = 0;
        for (DWORD k = 0; k < chars; ++k) {
            if (path[k] == L'\\') begin = k + 1;
        }
        char line[MAX_PATH * 3 + 2];
        int bytes = WideCharToMultiByte(CP_UTF8, 0, path + begin, (int)(chars - begin), line,
                                        MAX_PATH * 3, nullptr, nullptr);
        line[bytes++] = '\r';
        line[bytes++] = '\n';
        DWORD written = 0;
        WriteFile(results, line, (DWORD)bytes, &written, nullptr);
        LogfileHandleWrite(&log, L"race line %d", i);
    }
    CloseHandle(results);
    CloseHandle(start);
    TlsFree(slot);
    return failures;
}

// hold <path> <readyEvent> <releaseEvent>: opens an existing file with the
// access and sharing of an open log, signals ready, waits for release.
static int Hold(LPCWSTR path, LPCWSTR readyName, LPCWSTR releaseName) {
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName);
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, releaseName);
    if (!ready || !release) return 2001;
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2002;
    SetEvent(ready);
    DWORD wait = WaitForSingleObject(release, 30000);
    CloseHandle(file);
    CloseHandle(ready);
    CloseHandle(release);
    return wait == WAIT_OBJECT_0 ? 0 : 2003;
}

int main() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return 9000;
    int result = 9001;
    if (argc == 6 && lstrcmpW(argv[1], L"race") == 0) {
        result = Race(argv[2], argv[3], _wtoi(argv[4]), argv[5]);
    } else if (argc == 5 && lstrcmpW(argv[1], L"hold") == 0) {
        result = Hold(argv[2], argv[3], argv[4]);
    }
    LocalFree(argv);
    return result;
}
