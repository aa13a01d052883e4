// Tables for the pure pieces of a log line: bounded formatting limits and
// conventions, timestamp, error suffix, size test and line-end trimming.
#include <gtest/gtest.h>

#include <string>

#include "log/line_layout.h"
#include "log/logfile.h"

namespace {

TEST(LineLayout, BoundedFormatting) {
    struct Row {
        const char* trace;
        size_t cch;
        DWORD (*format)(LPWSTR buffer, size_t cch);
        DWORD result;
        const wchar_t* text;  // what the buffer holds afterwards, cut output included
    };
    const Row rows[] = {
        {"%s is wide, %S narrow", 64,
         [](LPWSTR b, size_t n) { return LogfileFormat(b, n, L"%s|%S", L"wide", "narrow"); }, 0,
         L"wide|narrow"},
        {"%lu unsigned 32-bit, %.8x lowercase hex", 64,
         [](LPWSTR b, size_t n) { return LogfileFormat(b, n, L"%lu %.8x", 4294967295ul, 0xABCu); }, 0,
         L"4294967295 00000abc"},
        {"cch - 1 characters fit", 8,
         [](LPWSTR b, size_t n) { return LogfileFormat(b, n, L"1234567"); }, 0, L"1234567"},
        {"cch characters do not", 8,
         [](LPWSTR b, size_t n) { return LogfileFormat(b, n, L"12345678"); },
         LOGFILE_E_INSUFFICIENT_BUFFER, L"1234567"},
        {"expansion reaching cch - 1", 8,
         [](LPWSTR b, size_t n) { return LogfileFormat(b, n, L"abc%s", L"wxyz"); }, 0, L"abcwxyz"},
        {"expansion one past", 8,
         [](LPWSTR b, size_t n) { return LogfileFormat(b, n, L"abc%S", "vwxyz"); },
         LOGFILE_E_INSUFFICIENT_BUFFER, L"abcvwxy"},
        {"null format counts as empty", 8,
         [](LPWSTR b, size_t n) { return LogfileFormat(b, n, nullptr); }, 0, L""},
        {"empty format", 8, [](LPWSTR b, size_t n) { return LogfileFormat(b, n, L""); }, 0, L""},
        {"one-character buffer holds only the terminator", 1,
         [](LPWSTR b, size_t n) { return LogfileFormat(b, n, L"x"); }, LOGFILE_E_INSUFFICIENT_BUFFER,
         L""},
        {"no buffer at all", 0, [](LPWSTR b, size_t n) { return LogfileFormat(b, n, L""); },
         LOGFILE_E_INSUFFICIENT_BUFFER, L"?"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.trace);
        WCHAR buffer[80];
        wmemset(buffer, L'?', 80);
        EXPECT_EQ(row.format(buffer, row.cch), row.result);
        EXPECT_EQ(std::wstring(buffer, wcslen(row.text)), row.text);
        if (row.cch > 0) {
            EXPECT_EQ(buffer[wcslen(row.text)], L'\0');
            EXPECT_EQ(buffer[row.cch], L'?');  // never past the buffer
        }
    }
}

TEST(LineLayout, MessageBufferTakes511Characters) {
    WCHAR buffer[LOGFILE_MESSAGE_CHARS + 1];
    buffer[LOGFILE_MESSAGE_CHARS] = L'?';
    std::wstring fits(LOGFILE_MESSAGE_CHARS - 1, L'a');
    EXPECT_EQ(LogfileFormat(buffer, LOGFILE_MESSAGE_CHARS, L"%s", fits.c_str()), 0u);
    EXPECT_EQ(std::wstring(buffer), fits);
    std::wstring tooLong(LOGFILE_MESSAGE_CHARS, L'a');
    EXPECT_EQ(LogfileFormat(buffer, LOGFILE_MESSAGE_CHARS, L"%s", tooLong.c_str()),
              LOGFILE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(buffer[LOGFILE_MESSAGE_CHARS], L'?');
}

TEST(LineLayout, Timestamp) {
    struct Row {
        const char* trace;
        SYSTEMTIME time;  // year, month, day of week, day, hour, minute, second, ms
        const wchar_t* text;
    };
    const Row rows[] = {
        {"month before day, leading zeros", {2024, 3, 0, 5, 7, 8, 9, 10}, L"03/05/2024 07:08:09.010: "},
        {"midnight", {2023, 12, 0, 31, 0, 0, 0, 0}, L"12/31/2023 00:00:00.000: "},
        {"last moment of a day", {1999, 1, 0, 2, 23, 59, 59, 999}, L"01/02/1999 23:59:59.999: "},
        {"year below 1000 keeps four digits", {601, 10, 0, 11, 12, 13, 14, 5}, L"10/11/0601 12:13:14.005: "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.trace);
        WCHAR buffer[LOGFILE_TIMESTAMP_CHARS];
        EXPECT_EQ(LogfileFormatTimestamp(row.time, buffer, LOGFILE_TIMESTAMP_CHARS), 0u);
        EXPECT_STREQ(buffer, row.text);
        EXPECT_EQ(wcslen(buffer), 25u);
    }
}

TEST(LineLayout, ErrorSuffix) {
    // " 4294967295 (0xffffffff) " is 25 characters: 486 more fill the buffer.
    static const std::wstring fillsBuffer(486, L't');
    static const std::wstring oneTooMany(487, L't');
    struct Row {
        const char* trace;
        DWORD code;
        const wchar_t* text;
        DWORD result;
        std::wstring suffix;
    };
    const Row rows[] = {
        {"Win32 code", 5, L"Access denied.", 0, L" 5 (0x00000005) Access denied."},
        {"HRESULT in unsigned decimal", 0x8007007A, L"x", 0, L" 2147942522 (0x8007007a) x"},
        {"zero", 0, L"", 0, L" 0 (0x00000000) "},
        {"null text counts as empty", 7, nullptr, 0, L" 7 (0x00000007) "},
        {"system text keeps its own line end", 8, L"No memory.\r\n", 0, L" 8 (0x00000008) No memory.\r\n"},
        {"511 characters fit", 0xFFFFFFFF, fillsBuffer.c_str(), 0, L" 4294967295 (0xffffffff) " + fillsBuffer},
        {"512 characters do not", 0xFFFFFFFF, oneTooMany.c_str(), LOGFILE_E_INSUFFICIENT_BUFFER, L""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.trace);
        WCHAR buffer[LOGFILE_MESSAGE_CHARS];
        DWORD result = LogfileFormatErrorSuffix(row.code, row.text, buffer, LOGFILE_MESSAGE_CHARS);
        EXPECT_EQ(result, row.result);
        if (result == 0) {
            EXPECT_EQ(std::wstring(buffer), row.suffix);
        }
    }
}

TEST(LineLayout, TruncationOnlyPastTheLimit) {
    struct Row {
        const char* trace;
        DWORD position;
        DWORD limit;
        bool truncates;
    };
    const Row rows[] = {
        {"empty file, zero limit", 0, 0, false},
        {"at the limit", 0x40000, 0x40000, false},
        {"one byte past", 0x40001, 0x40000, true},
        {"below the limit", 0x3FFFF, 0x40000, false},
        {"header phase limit is never reached", 0x7FFFFFFF, 0x80000000, false},
        {"compared unsigned", 0x80000001, 0x80000000, true},
        {"largest position", 0xFFFFFFFF, 0xFFFFFFFE, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.trace);
        EXPECT_EQ(LogfileNeedsTruncation(row.position, row.limit), row.truncates);
    }
}

TEST(LineLayout, TrimsOneTrailingLineEnd) {
    struct Row {
        const char* trace;
        const wchar_t* text;
        const wchar_t* trimmed;
    };
    const Row rows[] = {
        {"text and CR LF", L"Access denied.\r\n", L"Access denied."},
        {"only one pair goes", L"Two\r\n\r\n", L"Two\r\n"},
        {"CR LF alone", L"\r\n", L""},
        {"LF alone stays", L"Text\n", L"Text\n"},
        {"CR alone stays", L"Text\r", L"Text\r"},
        {"LF CR stays", L"Text\n\r", L"Text\n\r"},
        {"single character", L"\n", L"\n"},
        {"empty", L"", L""},
        {"line end inside stays", L"One\r\nTwo", L"One\r\nTwo"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.trace);
        std::wstring text = row.text;
        LogfileTrimLineEnd(&text[0]);
        EXPECT_STREQ(text.c_str(), row.trimmed);
    }
    LogfileTrimLineEnd(nullptr);  // nothing to trim, no fault
}

TEST(LineLayout, MarkerShape) {
    std::wstring marker = LOGFILE_TRUNCATION_MARKER;
    EXPECT_EQ(marker.size(), 53u);
    EXPECT_EQ(marker, std::wstring(15, L'>') + L" Logfile truncation " + std::wstring(16, L'<') + L"\r\n");
}

}  // namespace
