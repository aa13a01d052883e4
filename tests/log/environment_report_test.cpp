// The header of a new log file against the system's own answers, and the
// probes it uses, including the exception guard of the Wine version probe.
#define SECURITY_WIN32
#include <windows.h>

#include <gtest/gtest.h>
#include <security.h>

#include <string>
#include <vector>

#include "log/environment_report.h"
#include "log/logfile.h"
#include "tests/log/log_test_files.h"
#include "tests/support/test_support.h"

namespace {

class EnvironmentReport : public logtest::LogFolderTest {};

std::wstring Format(const wchar_t* format, ...) {
    wchar_t buffer[1024];
    va_list args;
    va_start(args, format);
    _vsnwprintf(buffer, 1023, format, args);
    va_end(args);
    buffer[1023] = 0;
    return buffer;
}

std::wstring ComputerName(COMPUTER_NAME_FORMAT format) {
    wchar_t buffer[512];
    DWORD size = 512;
    return GetComputerNameExW(format, buffer, &size) ? std::wstring(buffer) : L"N/A";
}

// The header a log opened by the calling thread must carry, from the system's
// own answers.
std::vector<std::wstring> ExpectedHeader() {
    std::vector<std::wstring> lines;
    lines.push_back(std::wstring(L"Command line: ") + GetCommandLineW());
    lines.push_back(L"");
    lines.push_back(Format(L"PID: %lu TID: %lu", GetCurrentProcessId(), GetCurrentThreadId()));
    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session)) {
        lines.push_back(Format(L"Terminal Session ID: %lu", session));
    }
    lines.push_back(L"Computer NetBios name: " + ComputerName(ComputerNameNetBIOS));
    lines.push_back(L"Computer DNS FQDN name: " + ComputerName(ComputerNameDnsFullyQualified));
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) {
        lines.push_back(Format(L"OS Version is %lu.%lu.%lu", version.dwMajorVersion, version.dwMinorVersion,
                               version.dwBuildNumber));
        lines.push_back(Format(L"Service Pack %u.%u", version.wServicePackMajor, version.wServicePackMinor));
        lines.push_back(Format(L"Platform Id is %lu, SuiteMask is 0x%04x, Product type is 0x%02x",
                               version.dwPlatformId, version.wSuiteMask, version.wProductType));
    }
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    lines.push_back(std::wstring(L"This binary has been compiled for x86 and is running ") +
                    (wow64 ? L"under WOW64" : L"on x86"));
    wchar_t user[512];
    ULONG userChars = 512;
    if (GetUserNameExW(NameSamCompatible, user, &userChars)) {
        lines.push_back(std::wstring(L"User name is ") + user);
    }
    typedef const char*(__cdecl * WineGetVersion)();
    WineGetVersion wineGetVersion = reinterpret_cast<WineGetVersion>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    if (wineGetVersion) {
        lines.push_back(L"Process is running under Wine version " + testsupport::Widen(wineGetVersion()));
    } else {
        lines.push_back(L"Process is not running under Wine");
    }
    lines.push_back(L"");
    lines.push_back(std::wstring(42, L'-'));
    lines.push_back(std::wstring(42, L'-'));
    lines.push_back(L"");
    return lines;
}

struct OpenResult {
    EnvironmentReport* test;
    BOOL started;
    DWORD headerEnd;
    std::vector<std::wstring> expected;
};

// Opens, writes one line and ends a log on a thread of its own, so the TID in
// the header has to be the opening thread's.
DWORD WINAPI OpenOnThread(void* param) {
    OpenResult* result = static_cast<OpenResult*>(param);
    DWORD keep = 10;
    result->expected = ExpectedHeader();
    result->started = LogfileStart(result->test->Slot(), &keep, L"main");
    if (!result->started) return 1;
    result->headerEnd = result->test->HeaderEnd();
    LogfileWrite(result->test->Slot(), L"after the header");
    result->test->End();
    return 0;
}

TEST_F(EnvironmentReport, HeaderLinesInOrderAfterByteOrderMark) {
    OpenResult result = {this, FALSE, 0, {}};
    HANDLE thread = CreateThread(nullptr, 0, OpenOnThread, &result, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    CloseHandle(thread);
    ASSERT_TRUE(result.started);

    std::string bytes;
    ASSERT_TRUE(testsupport::ReadFileBytes(InFolder(L"main00000001.log"), &bytes));
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ('\xFF', bytes[0]);
    EXPECT_EQ('\xFE', bytes[1]);

    std::wstring text;
    ASSERT_TRUE(testsupport::ReadUtf16File(InFolder(L"main00000001.log"), &text));
    std::vector<std::wstring> lines = testsupport::SplitLines(text);
    ASSERT_EQ(result.expected.size() + 2, lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "line " << i + 1 << ": " << testsupport::Narrow(lines[i]));
        EXPECT_TRUE(testsupport::HasTimestamp(lines[i]));
        EXPECT_EQ(25u, lines[i].find(L": ", 20) + 2) << "timestamp layout";
        if (i < result.expected.size()) {
            EXPECT_EQ(result.expected[i], testsupport::Message(lines[i]));
        }
    }
    EXPECT_EQ(L"after the header", testsupport::Message(lines[lines.size() - 2]));
    EXPECT_EQ(L"End of logfile", testsupport::Message(lines.back()));

    // The header end is just past the report's last line.
    size_t headerChars = 0;
    for (size_t i = 0; i < result.expected.size(); ++i) headerChars += lines[i].size() + 2;
    EXPECT_EQ(2 + headerChars * 2, result.headerEnd);
}

TEST_F(EnvironmentReport, WineLineCarriesWineVersionText) {
    typedef const char*(__cdecl * WineGetVersion)();
    WineGetVersion wineGetVersion = reinterpret_cast<WineGetVersion>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    if (!wineGetVersion) GTEST_SKIP() << "not running under Wine";
    DWORD keep = 10;
    ASSERT_TRUE(LogfileStart(slot_, &keep, L"main"));
    End();
    std::wstring text;
    ASSERT_TRUE(testsupport::ReadUtf16File(InFolder(L"main00000001.log"), &text));
    std::wstring expected = L"Process is running under Wine version " + testsupport::Widen(wineGetVersion());
    int found = 0;
    for (const auto& message : testsupport::Messages(testsupport::SplitLines(text))) {
        if (message.find(L"Process is") == 0) {
            EXPECT_EQ(expected, message);
            ++found;
        }
    }
    EXPECT_EQ(1, found);
    EXPECT_NE(std::string::npos, testsupport::Narrow(expected).find(wineGetVersion()));
    EXPECT_GT(strlen(wineGetVersion()), 0u);
}

// ---- Probes ----

TEST(EnvironmentProbes, ComputerNameMatchesSystemForEveryFormat) {
    for (int format = ComputerNameNetBIOS; format < ComputerNameMax; ++format) {
        SCOPED_TRACE(testing::Message() << "format " << format);
        wchar_t expected[512];
        DWORD size = 512;
        BOOL ok = GetComputerNameExW((COMPUTER_NAME_FORMAT)format, expected, &size);
        DWORD expectedError = GetLastError();
        SetLastError(0xDEADBEEF);
        LPWSTR name = AllocComputerName((COMPUTER_NAME_FORMAT)format);
        if (ok) {
            ASSERT_NE(nullptr, name);
            EXPECT_STREQ(expected, name);
            LocalFree(name);
        } else {
            EXPECT_EQ(nullptr, name);
            EXPECT_EQ(expectedError, GetLastError());
        }
    }
}

TEST(EnvironmentProbes, ComputerNameBufferGrowsTwentyCharactersPerAttempt) {
    // Wine answers the NetBIOS name from this value on every call; the test
    // gives it names of chosen lengths and puts the real one back.
    testsupport::ScopedHklmValue active(
        L"System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName", L"ComputerName");
    struct Row { size_t length; SIZE_T bufferChars; };
    const Row rows[] = {{1, 24}, {23, 24}, {24, 44}, {43, 44}, {44, 64}, {150, 164}};
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << "name of " << r.length << " characters");
        std::wstring name;
        for (size_t i = 0; i < r.length; ++i) name.push_back((wchar_t)(L'A' + i % 26));
        ASSERT_TRUE(active.Set(REG_SZ, name.c_str(), (DWORD)((name.size() + 1) * sizeof(wchar_t))));
        wchar_t check[256];
        DWORD size = 256;
        if (!GetComputerNameExW(ComputerNameNetBIOS, check, &size) || name != check) {
            GTEST_SKIP() << "this system does not take the name from the registry";
        }
        LPWSTR got = AllocComputerName(ComputerNameNetBIOS);
        ASSERT_NE(nullptr, got);
        EXPECT_EQ(name, std::wstring(got));
        // The size of the last buffer tells how many attempts were made.
        EXPECT_EQ(r.bufferChars * sizeof(WCHAR), LocalSize(got));
        LocalFree(got);
    }
}

TEST(EnvironmentProbes, ComputerNameFailureKeepsSystemError) {
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(nullptr, AllocComputerName(ComputerNameMax));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

TEST(EnvironmentProbes, Wow64ProbeAgreesWithSystem) {
    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    EXPECT_EQ(wow64 != FALSE, IsRunningUnderWow64() != FALSE);
}

TEST(EnvironmentProbes, UnixFileNameExportProbe) {
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(HasWineUnixFileNameExport(nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());

    DWORD flag = 0xAAAAAAAA;
    ASSERT_TRUE(HasWineUnixFileNameExport(&flag));
    bool exported = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name") != nullptr;
    EXPECT_EQ(exported ? 1u : 0u, flag);
}

TEST(EnvironmentProbes, WineVersionTextIsNtdllsOwn) {
    FARPROC proc = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
    SetLastError(0xDEADBEEF);
    const char* text = GetWineVersionText();
    if (!proc) {
        EXPECT_EQ(nullptr, text);
        EXPECT_EQ((DWORD)ERROR_CALL_NOT_IMPLEMENTED, GetLastError());
        return;
    }
    typedef const char*(__cdecl * WineGetVersion)();
    const char* expected = reinterpret_cast<WineGetVersion>(reinterpret_cast<void*>(proc))();
    EXPECT_EQ(expected, text) << "the text is not copied";
}

const char* __cdecl ReturnsText() { return "text"; }
const char* __cdecl ReturnsNull() { return nullptr; }
const char* __cdecl ReadsNull() {
    volatile const char* volatile bad = nullptr;
    return (const char*)(ULONG_PTR)*bad;
}
const char* __cdecl RaisesContinuable() {
    RaiseException(0xE0001234, 0, 0, nullptr);
    return "resumed";
}
const char* __cdecl RaisesNoncontinuable() {
    RaiseException(0xE0005678, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    return "resumed";
}

TEST(EnvironmentProbes, GuardedCallCatchesEveryException) {
    struct Row {
        const char* title;
        const char*(__cdecl* proc)();
        DWORD code;
        const char* text;
    };
    const Row rows[] = {
        {"text", ReturnsText, 0, "text"},
        {"null text", ReturnsNull, 0, nullptr},
        {"access violation", ReadsNull, EXCEPTION_ACCESS_VIOLATION, nullptr},
        {"raised", RaisesContinuable, 0xE0001234, nullptr},
        {"non-continuable", RaisesNoncontinuable, 0xE0005678, nullptr},
        {"text after the faults", ReturnsText, 0, "text"},
        {"again after the faults", ReadsNull, EXCEPTION_ACCESS_VIOLATION, nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.title);
        const char* text = "untouched";
        DWORD code = CallTextProcGuarded(reinterpret_cast<FARPROC>(reinterpret_cast<void*>(r.proc)), &text);
        EXPECT_EQ(r.code, code);
        if (r.text) {
            EXPECT_STREQ(r.text, text);
        } else {
            EXPECT_EQ(nullptr, text);
        }
    }
    const char* text = nullptr;
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, CallTextProcGuarded(nullptr, &text));
}

}  // namespace
