// The line writer and LogfileEnd on real files: layout, limits, truncation,
// error lines, and what a thread without a log gets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/logfile.h"
#include "tests/log/line_test_log.h"
#include "tests/support/test_support.h"

namespace {

using linetest::InstalledLogTest;
using testsupport::HasTimestamp;
using testsupport::Message;

const DWORD DUMMY_ERROR = 0xDEADBEEF;

ULONGLONG FileTimeOf(const SYSTEMTIME& time) {
    FILETIME ft;
    if (!SystemTimeToFileTime(&time, &ft)) return 0;
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// Reads "MM/DD/YYYY HH:MM:SS.mmm: " back into a time.
bool ParseTimestamp(const std::wstring& line, SYSTEMTIME* time) {
    if (!HasTimestamp(line)) return false;
    auto number = [&](size_t at, size_t digits) {
        return static_cast<WORD>(std::stoul(line.substr(at, digits)));
    };
    *time = SYSTEMTIME{};
    time->wMonth = number(0, 2);
    time->wDay = number(3, 2);
    time->wYear = number(6, 4);
    time->wHour = number(11, 2);
    time->wMinute = number(14, 2);
    time->wSecond = number(17, 2);
    time->wMilliseconds = number(20, 3);
    return true;
}

std::wstring Repeat(wchar_t c, size_t count) { return std::wstring(count, c); }

// LogfileWriteV with an argument list of its own.
BOOL WriteV(DWORD code, DWORD slot, BYTE flags, LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    BOOL result = LogfileWriteV(code, args, slot, flags, format);
    va_end(args);
    return result;
}

TEST_F(InstalledLogTest, PlainLineIsLocalTimestampMessageAndLineEnd) {
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    SetLastError(DUMMY_ERROR);
    ASSERT_TRUE(LogfileWrite(slot_, L"Value %lu, %s and %S, %.8x", 42ul, L"wide", "narrow", 0xABCu));
    GetLocalTime(&after);

    std::wstring text = Text();
    ASSERT_GE(text.size(), 25u);
    EXPECT_EQ(text.substr(25), L"Value 42, wide and narrow, 00000abc\r\n");

    // Month first, and the time is the local time of the call.
    SYSTEMTIME stamp;
    ASSERT_TRUE(ParseTimestamp(text, &stamp));
    EXPECT_GE(FileTimeOf(stamp), FileTimeOf(before));
    EXPECT_LE(FileTimeOf(stamp), FileTimeOf(after));
}

TEST_F(InstalledLogTest, EachFrontEndWritesItsLine) {
    LogfileHandle notStarted(slot_);  // `started` is not looked at by LogfileHandleWrite
    ASSERT_TRUE(LogfileWrite(slot_, L"plain %d", 1));
    ASSERT_TRUE(LogfileHandleWrite(&notStarted, L"handle %d", 2));
    log_->indent = 2;
    ASSERT_TRUE(LogfileWrite(slot_, L"indented"));

    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines) EXPECT_TRUE(HasTimestamp(line)) << testsupport::Narrow(line);
    EXPECT_EQ(Message(lines[0]), L"plain 1");
    EXPECT_EQ(Message(lines[1]), L"handle 2");
    EXPECT_EQ(Message(lines[2]), L"  indented");
}

TEST_F(InstalledLogTest, MessageLimitIs511Characters) {
    struct Row {
        const char* trace;
        size_t length;
        bool throughArgument;  // the length comes from a %s argument, not the format
        BOOL result;
    };
    const Row rows[] = {
        {"511 characters of format", 511, false, TRUE},
        {"512 characters of format", 512, false, FALSE},
        {"511 characters from an argument", 511, true, TRUE},
        {"512 characters from an argument", 512, true, FALSE},
        {"far too long", 4000, true, FALSE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.trace);
        std::string before = Bytes();
        std::wstring message = Repeat(L'm', row.length);
        SetLastError(DUMMY_ERROR);
        BOOL result = row.throughArgument ? LogfileWrite(slot_, L"%s", message.c_str())
                                          : LogfileWrite(slot_, message.c_str());
        DWORD error = GetLastError();
        EXPECT_EQ(result, row.result);
        if (row.result) {
            std::vector<std::wstring> lines = testsupport::SplitLines(Text());
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(Message(lines.back()), message);
        } else {
            EXPECT_EQ(error, LOGFILE_E_INSUFFICIENT_BUFFER);
            EXPECT_EQ(Bytes(), before);  // nothing of the line
        }
    }
}

TEST_F(InstalledLogTest, NullAndEmptyFormatGiveTimestampAlone) {
    ASSERT_TRUE(LogfileWrite(slot_, nullptr));
    ASSERT_TRUE(LogfileWrite(slot_, L""));
    ASSERT_TRUE(WriteV(0, slot_, 0, nullptr));

    std::wstring text = Text();
    ASSERT_EQ(text.size(), 3u * 27u);
    for (const auto& line : testsupport::SplitLines(text)) {
        EXPECT_TRUE(HasTimestamp(line));
        EXPECT_EQ(line.size(), 25u);
        EXPECT_EQ(line.back(), L' ');
    }
}

TEST_F(InstalledLogTest, PositionEqualToLimitDoesNotTruncate) {
    ASSERT_TRUE(LogfileWrite(slot_, L"Header line"));
    ASSERT_TRUE(LogfileWrite(slot_, L"First line"));
    EndHeader(0);  // the position is now exactly at the limit
    ASSERT_TRUE(LogfileWrite(slot_, L"Second line"));

    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Message(lines[2]), L"Second line");
}

TEST_F(InstalledLogTest, PositionPastLimitCutsBackToHeaderWithMarker) {
    struct Row {
        const char* trace;
        LONG limitBeyondHeader;
    };
    // "Old line" takes (25 + 8 + 2) * 2 bytes; the next line sees the position
    // one byte past the limit, or past a limit at the header end.
    const Row rows[] = {
        {"one byte past the limit", (25 + 8 + 2) * 2 - 1},
        {"limit equal to the header end", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.trace);
        Uninstall();
        DeleteFileW(path_.c_str());
        log_ = Install(path_);
        ASSERT_NE(log_, nullptr);

        ASSERT_TRUE(LogfileWrite(slot_, L"Header line"));
        EndHeader(row.limitBeyondHeader);
        std::string header = Bytes();
        ASSERT_TRUE(LogfileWrite(slot_, L"Old line"));
        ASSERT_GT(Position(), log_->sizeLimit);

        ASSERT_TRUE(LogfileWrite(slot_, L"New line"));

        std::string bytes = Bytes();
        ASSERT_GT(bytes.size(), header.size());
        EXPECT_EQ(bytes.substr(0, header.size()), header);
        std::vector<std::wstring> lines = Lines();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(Message(lines[0]), L"Header line");
        // timestamp, marker, the same timestamp again, then the line itself
        ASSERT_TRUE(HasTimestamp(lines[1]));
        EXPECT_EQ(lines[1].substr(25), L">>>>>>>>>>>>>>> Logfile truncation <<<<<<<<<<<<<<<<");
        ASSERT_TRUE(HasTimestamp(lines[2]));
        EXPECT_EQ(lines[2].substr(0, 25), lines[1].substr(0, 25));
        EXPECT_EQ(Message(lines[2]), L"New line");
        EXPECT_EQ(Position(), bytes.size());
    }
}

TEST_F(InstalledLogTest, MessageThatDoesNotFitLeavesFileUncut) {
    ASSERT_TRUE(LogfileWrite(slot_, L"Header line"));
    EndHeader(0);
    ASSERT_TRUE(LogfileWrite(slot_, L"Old line"));
    std::string before = Bytes();

    // The line fails before the size test, so nothing is cut without a marker.
    SetLastError(DUMMY_ERROR);
    EXPECT_FALSE(LogfileWrite(slot_, L"%s", Repeat(L'x', 600).c_str()));
    EXPECT_EQ(GetLastError(), LOGFILE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Bytes(), before);

    ASSERT_TRUE(LogfileWrite(slot_, L"Next line"));
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Message(lines[1]), L">>>>>>>>>>>>>>> Logfile truncation <<<<<<<<<<<<<<<<");
    EXPECT_EQ(Message(lines[2]), L"Next line");
}

// The system text as the writer uses it: for the thread's language, no own line end.
std::wstring SystemText(DWORD code) {
    LPWSTR text = GetSystemErrorText(code, LANGIDFROMLCID(GetThreadLocale()));
    std::wstring copy = text;
    if (text != LOGFILE_NO_ERROR_TEXT) LocalFree(text);
    return copy;
}

TEST_F(InstalledLogTest, ErrorLineCarriesCodeAndSystemText) {
    struct Row {
        const char* trace;
        DWORD code;
        const wchar_t* codeText;
    };
    const Row rows[] = {
        {"Win32 code", ERROR_ACCESS_DENIED, L" 5 (0x00000005) "},
        {"HRESULT above 2^31", LOGFILE_E_INSUFFICIENT_BUFFER, L" 2147942522 (0x8007007a) "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.trace);
        std::wstring systemText = SystemText(row.code);
        ASSERT_NE(systemText, std::wstring(LOGFILE_NO_ERROR_TEXT));
        ASSERT_FALSE(systemText.empty());
        size_t before = Lines().size();

        SetLastError(DUMMY_ERROR);
        ASSERT_TRUE(LogfileWriteError(slot_, row.code, L"Opening %s failed", L"thing"));

        std::vector<std::wstring> lines = Lines();
        ASSERT_EQ(lines.size(), before + 1);  // no second line end from the system text
        ASSERT_TRUE(HasTimestamp(lines.back()));
        EXPECT_EQ(Message(lines.back()),
                  std::wstring(L"Error: Opening thing failed") + row.codeText + systemText);
    }
    EXPECT_EQ(Text().substr(Text().size() - 2), L"\r\n");
}

TEST_F(InstalledLogTest, CodeWithoutSystemTextLeavesEmptyLineBehind) {
    const DWORD unknown = 0x2000BEEF;  // customer code: no system text in any language
    ASSERT_EQ(SystemText(unknown), std::wstring(LOGFILE_NO_ERROR_TEXT));

    ASSERT_TRUE(LogfileWriteError(slot_, unknown, L"Odd failure"));
    ASSERT_TRUE(LogfileWrite(slot_, L"After"));

    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Message(lines[0]),
              L"Error: Odd failure 536919791 (0x2000beef) Failed to retrieve error string");
    EXPECT_EQ(lines[1], L"");
    EXPECT_EQ(Message(lines[2]), L"After");
}

TEST_F(InstalledLogTest, FailedWriteGivesItsErrorAndNoLineEnd) {
    // A handle without write access makes every write of the line fail.
    HANDLE writable = log_->file;
    HANDLE readOnly = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
    log_->file = readOnly;
    const struct {
        const char* trace;
        BYTE flags;
    } rows[] = {{"plain line", 0}, {"error line", LOGFILE_FLAG_ERROR}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.trace);
        SetLastError(DUMMY_ERROR);
        EXPECT_FALSE(WriteV(ERROR_ACCESS_DENIED, slot_, row.flags, L"Lost"));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    log_->file = writable;
    CloseHandle(readOnly);
    EXPECT_EQ(Bytes(), std::string("\xFF\xFE"));
}

TEST_F(InstalledLogTest, EndWritesLastLineAndReleasesTheLog) {
    LogfileHandle handle(slot_);
    handle.started = TRUE;
    ASSERT_TRUE(LogfileWrite(slot_, L"Working"));

    SetLastError(DUMMY_ERROR);
    ASSERT_TRUE(LogfileEnd(&handle));
    EXPECT_FALSE(handle.started);
    EXPECT_EQ(TlsGetValue(slot_), nullptr);
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(Message(lines[1]), L"End of logfile");

    // The file handle is closed: an exclusive open succeeds.
    HANDLE exclusive = CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
    if (exclusive != INVALID_HANDLE_VALUE) CloseHandle(exclusive);

    std::string ended = Bytes();
    SetLastError(DUMMY_ERROR);
    EXPECT_FALSE(LogfileEnd(&handle));
    EXPECT_EQ(GetLastError(), LOGFILE_E_NOT_OPEN);
    SetLastError(DUMMY_ERROR);
    EXPECT_FALSE(LogfileHandleWrite(&handle, L"Too late"));
    EXPECT_EQ(GetLastError(), LOGFILE_E_NOT_OPEN);
    SetLastError(DUMMY_ERROR);
    EXPECT_FALSE(LogfileWrite(slot_, L"Too late"));
    EXPECT_EQ(GetLastError(), LOGFILE_E_NOT_OPEN);
    EXPECT_EQ(Bytes(), ended);
}

TEST_F(InstalledLogTest, EndOfHandleNotStartedLeavesLogOpen) {
    LogfileHandle handle(slot_);
    SetLastError(DUMMY_ERROR);
    EXPECT_FALSE(LogfileEnd(&handle));
    EXPECT_EQ(GetLastError(), LOGFILE_E_NOT_OPEN);
    EXPECT_EQ(TlsGetValue(slot_), log_);
    EXPECT_TRUE(LogfileWrite(slot_, L"Still open"));
}

TEST_F(InstalledLogTest, HandleLeavingScopeEndsTheLog) {
    {
        LogfileHandle handle(slot_);
        handle.started = TRUE;
    }
    EXPECT_EQ(TlsGetValue(slot_), nullptr);
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Message(lines[0]), L"End of logfile");
}

TEST_F(InstalledLogTest, EndWhenTheSlotHoldsNoLogFails) {
    LogfileContext* installed = log_;
    TlsSetValue(slot_, nullptr);
    LogfileHandle handle(slot_);
    handle.started = TRUE;
    SetLastError(DUMMY_ERROR);
    EXPECT_FALSE(LogfileEnd(&handle));
    EXPECT_EQ(GetLastError(), LOGFILE_E_NOT_OPEN);
    EXPECT_FALSE(handle.started);
    TlsSetValue(slot_, installed);
    EXPECT_EQ(Bytes(), std::string("\xFF\xFE"));
}

// Every log call of a thread without a log fails alike, and the log of
// another thread (this test's) stays untouched.
struct NoLogResult {
    BOOL result;
    DWORD error;
};

struct NoLogCall {
    const char* trace;
    BOOL (*call)(DWORD slot);
};

const NoLogCall kNoLogCalls[] = {
    {"LogfileWrite", [](DWORD slot) { return LogfileWrite(slot, L"x %d", 1); }},
    {"LogfileWriteError", [](DWORD slot) { return LogfileWriteError(slot, 5, L"x"); }},
    {"LogfileHandleWrite",
     [](DWORD slot) {
         LogfileHandle handle(slot);
         return LogfileHandleWrite(&handle, L"x");
     }},
    {"LogfileWriteGuarded", [](DWORD slot) { return LogfileWriteGuarded(slot, L"%S", "x"); }},
    {"LogfileEnd",
     [](DWORD slot) {
         LogfileHandle handle(slot);
         handle.started = TRUE;
         return LogfileEnd(&handle);
     }},
};

struct NoLogThreadArgs {
    DWORD slot;
    NoLogResult results[sizeof kNoLogCalls / sizeof kNoLogCalls[0]];
};

DWORD WINAPI CallsWithoutLog(LPVOID param) {
    auto* args = static_cast<NoLogThreadArgs*>(param);
    for (size_t i = 0; i < sizeof kNoLogCalls / sizeof kNoLogCalls[0]; ++i) {
        SetLastError(DUMMY_ERROR);
        args->results[i].result = kNoLogCalls[i].call(args->slot);
        args->results[i].error = GetLastError();
    }
    return 0;
}

TEST_F(InstalledLogTest, ThreadWithoutLogGetsNotOpenAndTouchesNothing) {
    const DWORD slots[] = {slot_, TLS_OUT_OF_INDEXES};
    for (DWORD slot : slots) {
        SCOPED_TRACE(slot == slot_ ? "slot without a value in that thread" : "no slot at all");
        NoLogThreadArgs args = {};
        args.slot = slot;
        HANDLE thread = CreateThread(nullptr, 0, CallsWithoutLog, &args, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        for (size_t i = 0; i < sizeof kNoLogCalls / sizeof kNoLogCalls[0]; ++i) {
            SCOPED_TRACE(kNoLogCalls[i].trace);
            EXPECT_EQ(args.results[i].result, FALSE);
            EXPECT_EQ(args.results[i].error, LOGFILE_E_NOT_OPEN);
        }
    }
    EXPECT_EQ(Bytes(), std::string("\xFF\xFE"));
    EXPECT_EQ(TlsGetValue(slot_), log_);
}

}  // namespace
