// Files and folders for the opening and retention tests: old log files with
// chosen last-write times, and the helper program's path.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include <string>
#include <vector>

#include "log/logfile.h"
#include "tests/support/test_support.h"

namespace logtest {

// A last-write time `minutes` after a fixed day, as a FILETIME value.
inline LONGLONG MinutesToTime(int minutes) {
    const LONGLONG base = 132223104000000000LL;  // 2020-01-01 00:00 UTC
    return base + (LONGLONG)minutes * 60 * 10000000LL;
}

// Creates (or rewrites) `path` with a little text and the given last-write time.
inline bool MakeFileWithTime(const std::wstring& path, LONGLONG time) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, "old", 3, &written, nullptr) != FALSE;
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)time;
    ft.dwHighDateTime = (DWORD)((ULONGLONG)time >> 32);
    ok = ok && SetFileTime(file, nullptr, nullptr, &ft) != FALSE;
    CloseHandle(file);
    return ok;
}

inline bool SetWriteTime(const std::wstring& path, LONGLONG time) {
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)time;
    ft.dwHighDateTime = (DWORD)((ULONGLONG)time >> 32);
    bool ok = SetFileTime(file, nullptr, nullptr, &ft) != FALSE;
    CloseHandle(file);
    return ok;
}

inline bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The helper program built beside the test program.
inline std::wstring HelperPath() { return testsupport::ModuleDir() + L"log_opening_helper.exe"; }


// A fresh temporary folder (TMP and TEMP point at it) and a TLS slot of its
// own for every test; a log still open at the end is ended.
class LogFolderTest : public testing::Test {
protected:
    void SetUp() override {
        temp_ = testsupport::MakeFreshDir(L"opening");
        ASSERT_FALSE(temp_.empty());
        tempScope_.reset(new testsupport::ScopedTempFolder(temp_));
        folder_ = testsupport::LogFolderUnder(temp_);
        slot_ = TlsAlloc();
        ASSERT_NE(TLS_OUT_OF_INDEXES, slot_);
    }
    void TearDown() override {
        EndLog();
        TlsFree(slot_);
        tempScope_.reset();
        testsupport::RemoveTree(temp_);
    }

public:
    DWORD Slot() const { return slot_; }
    DWORD HeaderEnd() const { return Context() ? Context()->headerEnd : 0; }
    BOOL End() { return EndLog(); }

protected:
    LogfileContext* Context() const { return static_cast<LogfileContext*>(TlsGetValue(slot_)); }

    BOOL EndLog() {
        if (!Context()) return FALSE;
        LogfileHandle handle(slot_);
        handle.started = TRUE;
        return LogfileEnd(&handle);
    }

    // Name (without folder) of the calling thread's open log file.
    std::wstring OpenLogName() const {
        LogfileContext* context = Context();
        if (!context) return L"";
        BYTE info[sizeof(FILE_NAME_INFO) + 1024 * sizeof(WCHAR)] = {};
        FILE_NAME_INFO* name = reinterpret_cast<FILE_NAME_INFO*>(info);
        if (!GetFileInformationByHandleEx(context->file, FileNameInfo, name, sizeof info - 2)) return L"";
        std::wstring path(name->FileName, name->FileNameLength / sizeof(WCHAR));
        size_t slash = path.find_last_of(L'\\');
        return slash == std::wstring::npos ? path : path.substr(slash + 1);
    }

    std::wstring InFolder(const std::wstring& name) const { return folder_ + L"\\" + name; }

    std::vector<std::wstring> LogFiles(const wchar_t* pattern = L"*") const {
        return testsupport::ListFiles(folder_, pattern);
    }

    std::wstring temp_, folder_;
    std::unique_ptr<testsupport::ScopedTempFolder> tempScope_;
    DWORD slot_ = TLS_OUT_OF_INDEXES;
};

}  // namespace logtest
