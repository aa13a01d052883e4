// A log installed by hand in a fresh TLS slot over a file in a fresh folder,
// so the line writer is tested without the opening that normally sets it up.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/logfile.h"
#include "tests/support/test_support.h"

namespace linetest {

// A LogfileContext of this thread over a new file, as the opening leaves it
// while the header is written (no truncation possible); g_logTlsIndex points
// at the test's own slot until TearDown.
class InstalledLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = testsupport::MakeFreshDir(L"writer");
        ASSERT_FALSE(dir_.empty());
        savedIndex_ = g_logTlsIndex;
        slot_ = TlsAlloc();
        ASSERT_NE(slot_, TLS_OUT_OF_INDEXES);
        g_logTlsIndex = slot_;
        path_ = dir_ + L"\\line.log";
        log_ = Install(path_);
        ASSERT_NE(log_, nullptr);
    }

    void TearDown() override {
        Uninstall();
        if (slot_ != TLS_OUT_OF_INDEXES) TlsFree(slot_);
        g_logTlsIndex = savedIndex_;
        testsupport::RemoveTree(dir_);
    }

    // Creates `path` (with the byte order mark) and installs its record in
    // this thread's value of the slot.
    LogfileContext* Install(const std::wstring& path) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return nullptr;
        static const BYTE bom[2] = {0xFF, 0xFE};
        DWORD written = 0;
        WriteFile(file, bom, sizeof bom, &written, nullptr);
        LogfileContext* log = static_cast<LogfileContext*>(LocalAlloc(LPTR, sizeof(LogfileContext)));
        if (log == nullptr) {
            CloseHandle(file);
            return nullptr;
        }
        log->file = file;
        log->headerEnd = 0xFFFFFFFF;
        log->sizeLimit = 0x80000000;
        log->pathCopyStatus = ERROR_NOT_SUPPORTED;
        TlsSetValue(slot_, log);
        return log;
    }

    // Releases whatever record this thread's slot still holds.
    void Uninstall() {
        if (slot_ == TLS_OUT_OF_INDEXES) return;
        LogfileContext* log = static_cast<LogfileContext*>(TlsGetValue(slot_));
        if (log != nullptr) {
            CloseHandle(log->file);
            LocalFree(log->pathCopy);
            LocalFree(log);
        }
        TlsSetValue(slot_, nullptr);
    }

    // Ends the header here: truncation cuts back to this point once the file
    // passes `limitBeyondHeader` more bytes.
    void EndHeader(LONG limitBeyondHeader) {
        log_->headerEnd = Position();
        log_->sizeLimit = static_cast<DWORD>(static_cast<LONG>(log_->headerEnd) + limitBeyondHeader);
    }

    DWORD Position() const { return SetFilePointer(log_->file, 0, nullptr, FILE_CURRENT); }

    std::string Bytes() const {
        std::string bytes;
        EXPECT_TRUE(testsupport::ReadFileBytes(path_, &bytes));
        return bytes;
    }

    std::wstring Text() const {
        std::wstring text;
        bool bom = false;
        EXPECT_TRUE(testsupport::ReadUtf16File(path_, &text, &bom));
        EXPECT_TRUE(bom);
        return text;
    }

    std::vector<std::wstring> Lines() const { return testsupport::SplitLines(Text()); }

    std::wstring dir_;
    std::wstring path_;
    DWORD slot_ = TLS_OUT_OF_INDEXES;
    DWORD savedIndex_ = TLS_OUT_OF_INDEXES;
    LogfileContext* log_ = nullptr;
};

}  // namespace linetest
