// Log opening over real files and the real registry under a fresh temporary
// folder: start rules, numbering, size limit, keep counts, failure rows.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "log/logfile.h"
#include "log/opening.h"
#include "tests/log/log_test_files.h"
#include "tests/support/test_support.h"

using logtest::LogFolderTest;
using testsupport::ScopedHklmValue;

namespace {

const wchar_t KEEP_KEY[] = L"Software\\QelSoft\\velatrix\\logs";
const wchar_t LENGTH_KEY[] = L"Software\\tamzo";
const wchar_t LENGTH_VALUE[] = L"LogfileLength";

class LogfileOpening : public LogFolderTest {};

// ---- Start rules ----

TEST_F(LogfileOpening, RefusesMissingArgumentsAndOpensNothing) {
    DWORD keep = 10;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(LogfileStart(slot_, nullptr, L"main"));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());

    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(LogfileStart(slot_, &keep, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(10u, keep);

    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(LogfileStart(TLS_OUT_OF_INDEXES, &keep, L"main"));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());

    EXPECT_FALSE(logtest::Exists(folder_));
    EXPECT_EQ(nullptr, Context());
}

TEST_F(LogfileOpening, KeepCountZeroSwitchesLogOff) {
    DWORD keep = 0;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(LogfileStart(slot_, &keep, L"main"));
    EXPECT_EQ((DWORD)ERROR_SUCCESS, GetLastError());
    EXPECT_EQ(0u, keep);
    EXPECT_FALSE(logtest::Exists(folder_));
    EXPECT_EQ(nullptr, Context());
}

TEST_F(LogfileOpening, SecondStartOnOpenLogFailsAndLeavesItAlone) {
    DWORD keep = 10;
    ASSERT_TRUE(LogfileStart(slot_, &keep, L"main"));
    LogfileContext* first = Context();
    ASSERT_NE(nullptr, first);
    HANDLE file = first->file;
    DWORD headerEnd = first->headerEnd;

    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(LogfileStart(slot_, &keep, L"main"));
    EXPECT_EQ((DWORD)ERROR_ALREADY_INITIALIZED, GetLastError());
    EXPECT_EQ(first, Context());
    EXPECT_EQ(file, Context()->file);
    EXPECT_EQ(headerEnd, Context()->headerEnd);
    EXPECT_EQ((std::vector<std::wstring>{L"main00000001.log"}), LogFiles());
}

TEST_F(LogfileOpening, EachStartMakesNewFileAndEndClosesIt) {
    DWORD keep = 10;
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(LogfileStart(slot_, &keep, L"main"));
        EXPECT_TRUE(LogfileWrite(slot_, L"line %d", i));
        ASSERT_TRUE(EndLog());
        EXPECT_EQ(nullptr, Context());
    }
    EXPECT_EQ((std::vector<std::wstring>{L"main00000001.log", L"main00000002.log", L"main00000003.log"}),
              LogFiles());
    std::wstring text;
    bool bom = false;
    ASSERT_TRUE(testsupport::ReadUtf16File(InFolder(L"main00000002.log"), &text, &bom));
    EXPECT_TRUE(bom);
    std::vector<std::wstring> messages = testsupport::Messages(testsupport::SplitLines(text));
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(L"line 2", messages[messages.size() - 2]);
    EXPECT_EQ(L"End of logfile", messages.back());
}

TEST_F(LogfileOpening, MissingTemporaryFolderAndLogFolderAreMade) {
    std::wstring deeper = temp_ + L"\\not\\there";
    testsupport::ScopedTempFolder redirect(deeper + L"\\");
    DWORD keep = 10;
    ASSERT_TRUE(LogfileStart(slot_, &keep, L"main"));
    EXPECT_EQ(L"main00000001.log", OpenLogName());
    EXPECT_TRUE(logtest::Exists(testsupport::LogFolderUnder(deeper) + L"\\main00000001.log"));
    EndLog();
}

// ---- Numbering ----

struct NumberingCase {
    const char* title;
    const wchar_t* logName;
    std::vector<std::wstring> files;
    std::vector<std::wstring> directories;
    const wchar_t* expected;
};

TEST_F(LogfileOpening, NumbersAfterHighestFoundName) {
    const NumberingCase cases[] = {
        {"empty folder", L"main", {}, {}, L"main00000001.log"},
        {"gaps are not filled", L"main", {L"main00000003.log", L"main00000010.log"}, {}, L"main00000011.log"},
        {"case does not matter", L"main", {L"MAIN00000007.LOG"}, {}, L"main00000008.log"},
        {"names without number read 0", L"main", {L"main.log", L"mainframe.log"}, {}, L"main00000001.log"},
        {"other log names do not count", L"main", {L"RotationThread00000009.log", L"main00000002.txt"}, {},
         L"main00000001.log"},
        {"directories are not counted", L"main", {L"main00000002.log"}, {L"main00000050.log"}, L"main00000003.log"},
        {"an existing next name is skipped", L"main", {L"main00000002.log"}, {L"main00000003.log"},
         L"main00000004.log"},
        {"nine digits", L"main", {L"main123456789.log"}, {}, L"main123456790.log"},
        {"saturated number wraps to zero", L"main", {L"main99999999999.log"}, {}, L"main00000000.log"},
        {"highest number wraps to zero", L"main", {L"main4294967295.log"}, {}, L"main00000000.log"},
        {"negative number wraps", L"main", {L"main-1.log"}, {}, L"main00000000.log"},
        {"white space before digits", L"main", {L"main 5.log"}, {}, L"main00000006.log"},
        {"own series per name", L"RotationThread", {L"RotationThread00000123.log", L"main00000500.log"}, {},
         L"RotationThread00000124.log"},
    };
    for (const NumberingCase& c : cases) {
        SCOPED_TRACE(c.title);
        std::wstring dir = testsupport::MakeFreshDir(L"numbering");
        ASSERT_FALSE(dir.empty());
        {
            testsupport::ScopedTempFolder redirect(dir);
            std::wstring folder = testsupport::LogFolderUnder(dir);
            if (!c.files.empty() || !c.directories.empty()) {
                ASSERT_EQ(0, SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr));
            }
            for (const auto& name : c.files) {
                ASSERT_TRUE(logtest::MakeFileWithTime(folder + L"\\" + name, logtest::MinutesToTime(1)));
            }
            for (const auto& name : c.directories) {
                ASSERT_TRUE(CreateDirectoryW((folder + L"\\" + name).c_str(), nullptr));
            }
            DWORD keep = 100;
            ASSERT_TRUE(LogfileStart(slot_, &keep, c.logName));
            EXPECT_EQ(std::wstring(c.expected), OpenLogName());
            EndLog();
            std::vector<std::wstring> all = testsupport::ListFiles(folder);
            EXPECT_EQ(c.files.size() + c.directories.size() + 1, all.size()) << "a file was lost or added";
        }
        testsupport::RemoveTree(dir);
    }
}

// ---- Header end and size limit ----

struct LimitCase {
    const char* title;
    bool present;
    DWORD type;
    std::vector<BYTE> data;
    DWORD expected;  // 0xFFFFFFFF: equal to the header end
};

TEST_F(LogfileOpening, SizeLimitFromRegistryNeverBelowHeaderEnd) {
    const LimitCase cases[] = {
        {"no value", false, REG_NONE, {}, 0x40000},
        {"dword", true, REG_DWORD, {0x40, 0x42, 0x0F, 0x00}, 1000000},
        {"dword zero", true, REG_DWORD, {0, 0, 0, 0}, 0xFFFFFFFF},
        {"dword below header", true, REG_DWORD, {10, 0, 0, 0}, 0xFFFFFFFF},
        {"qword", true, REG_QWORD, {0x40, 0x42, 0x0F, 0, 0, 0, 0, 0}, 0x40000},
        {"string", true, REG_SZ, {'1', 0, '0', 0, 0, 0}, 0x40000},
        {"four binary bytes", true, REG_BINARY, {0x40, 0x42, 0x0F, 0x00}, 0x40000},
        {"dword of three bytes", true, REG_DWORD, {0x40, 0x42, 0x0F}, 0x40000},
    };
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(c.title);
        ScopedHklmValue value(LENGTH_KEY, LENGTH_VALUE);
        if (c.present) {
            ASSERT_TRUE(value.Set(c.type, c.data.data(), (DWORD)c.data.size()));
        } else {
            ASSERT_TRUE(value.Remove());
        }
        DWORD keep = 100;
        ASSERT_TRUE(LogfileStart(slot_, &keep, L"main"));
        LogfileContext* context = Context();
        ASSERT_NE(nullptr, context);
        // Nothing but the byte order mark and the header has been written yet.
        LARGE_INTEGER size = {};
        ASSERT_TRUE(GetFileSizeEx(context->file, &size));
        EXPECT_EQ((LONGLONG)context->headerEnd, size.QuadPart);
        EXPECT_GT(context->headerEnd, 2u);
        EXPECT_EQ(c.expected == 0xFFFFFFFF ? context->headerEnd : c.expected, context->sizeLimit);
        EXPECT_EQ(0u, context->indent);
        EXPECT_EQ(nullptr, context->pathCopy);
        EXPECT_EQ((DWORD)ERROR_NOT_SUPPORTED, context->pathCopyStatus);
        EndLog();
    }
}

TEST_F(LogfileOpening, ZeroLengthTruncatesEveryLineBackToHeader) {
    ScopedHklmValue value(LENGTH_KEY, LENGTH_VALUE);
    ASSERT_TRUE(value.SetDword(0));
    DWORD keep = 10;
    ASSERT_TRUE(LogfileStart(slot_, &keep, L"main"));
    DWORD headerEnd = Context()->headerEnd;
    EXPECT_TRUE(LogfileWrite(slot_, L"first"));
    EXPECT_TRUE(LogfileWrite(slot_, L"second"));
    EXPECT_TRUE(LogfileWrite(slot_, L"third"));

    std::string bytes;
    ASSERT_TRUE(testsupport::ReadFileBytes(InFolder(L"main00000001.log"), &bytes));
    ASSERT_GT(bytes.size(), headerEnd);
    ASSERT_EQ('\xFF', bytes[0]);
    ASSERT_EQ('\xFE', bytes[1]);
    std::wstring rest;
    for (size_t i = headerEnd; i + 1 < bytes.size(); i += 2) {
        rest.push_back((wchar_t)((unsigned char)bytes[i] | ((unsigned char)bytes[i + 1] << 8)));
    }
    std::vector<std::wstring> lines = testsupport::SplitLines(rest);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(L">>>>>>>>>>>>>>> Logfile truncation <<<<<<<<<<<<<<<<", testsupport::Message(lines[0]));
    EXPECT_EQ(L"third", testsupport::Message(lines[1]));
    EndLog();
}

// ---- Keep count from the registry ----

struct KeepCase {
    const char* title;
    bool present;
    DWORD type;
    std::vector<BYTE> data;
    DWORD lastError;
};

TEST_F(LogfileOpening, UnusableRegistryKeepCountSwitchesLogOff) {
    const KeepCase cases[] = {
        {"no value", false, REG_NONE, {}, ERROR_FILE_NOT_FOUND},
        {"zero", true, REG_DWORD, {0, 0, 0, 0}, ERROR_SUCCESS},
        {"qword", true, REG_QWORD, {5, 0, 0, 0, 0, 0, 0, 0}, ERROR_MORE_DATA},
        {"four binary bytes", true, REG_BINARY, {5, 0, 0, 0}, ERROR_DATATYPE_MISMATCH},
        {"dword of two bytes", true, REG_DWORD, {5, 0}, ERROR_DATATYPE_MISMATCH},
    };
    for (const KeepCase& c : cases) {
        SCOPED_TRACE(c.title);
        ScopedHklmValue value(KEEP_KEY, L"main");
        if (c.present) {
            ASSERT_TRUE(value.Set(c.type, c.data.data(), (DWORD)c.data.size()));
        } else {
            ASSERT_TRUE(value.Remove());
        }
        DWORD keep = LOGFILE_KEEP_FROM_REGISTRY;
        SetLastError(0xDEADBEEF);
        EXPECT_FALSE(LogfileStart(slot_, &keep, L"main"));
        EXPECT_EQ(c.lastError, GetLastError());
        EXPECT_EQ(0u, keep);
        EXPECT_EQ(nullptr, Context());
        EXPECT_FALSE(logtest::Exists(folder_));
        // Resolved for good: a usable value now is not read any more.
        ASSERT_TRUE(value.SetDword(3));
        SetLastError(0xDEADBEEF);
        EXPECT_FALSE(LogfileStart(slot_, &keep, L"main"));
        EXPECT_EQ((DWORD)ERROR_SUCCESS, GetLastError());
    }
}

TEST_F(LogfileOpening, RegistryKeepCountIsReadOnceAndUsedForRetention) {
    ScopedHklmValue value(KEEP_KEY, L"RotationThread");
    ASSERT_TRUE(value.SetDword(3));
    ASSERT_EQ(0, SHCreateDirectoryExW(nullptr, folder_.c_str(), nullptr));
    for (int i = 1; i <= 5; ++i) {
        wchar_t name[40];
        wsprintfW(name, L"RotationThread%08d.log", i);
        ASSERT_TRUE(logtest::MakeFileWithTime(InFolder(name), logtest::MinutesToTime(i)));
    }
    DWORD keep = LOGFILE_KEEP_FROM_REGISTRY;
    ASSERT_TRUE(LogfileStart(slot_, &keep, L"RotationThread"));
    EXPECT_EQ(3u, keep);
    EXPECT_EQ(L"RotationThread00000006.log", OpenLogName());
    EndLog();
    EXPECT_EQ((std::vector<std::wstring>{L"RotationThread00000003.log", L"RotationThread00000004.log",
                                         L"RotationThread00000005.log", L"RotationThread00000006.log"}),
              LogFiles());

    ASSERT_TRUE(value.SetDword(0));
    ASSERT_TRUE(LogfileStart(slot_, &keep, L"RotationThread"));
    EXPECT_EQ(3u, keep);
    EndLog();
}

TEST(LogfileSettings, BuiltInKeepCountsAreTen) {
    EXPECT_EQ(10u, g_mainLogKeepCount);
    EXPECT_EQ(10u, g_rotationLogKeepCount);
}

// ---- Retention through the opening ----

TEST_F(LogfileOpening, KeepsTenNewestOlderFilesBesideNewOne) {
    ASSERT_EQ(0, SHCreateDirectoryExW(nullptr, folder_.c_str(), nullptr));
    // The numbers run against the times, so age must come from the times.
    for (int i = 1; i <= 12; ++i) {
        wchar_t name[32];
        wsprintfW(name, L"main%08d.log", i);
        ASSERT_TRUE(logtest::MakeFileWithTime(InFolder(name), logtest::MinutesToTime(100 - i)));
    }
    ASSERT_TRUE(logtest::MakeFileWithTime(InFolder(L"RotationThread00000001.log"), logtest::MinutesToTime(0)));
    DWORD keep = 10;
    ASSERT_TRUE(LogfileStart(slot_, &keep, L"main"));
    EXPECT_EQ(L"main00000013.log", OpenLogName());
    EndLog();
    std::vector<std::wstring> left = LogFiles(L"main*.log");
    EXPECT_EQ(11u, left.size());
    EXPECT_EQ(0, std::count(left.begin(), left.end(), L"main00000011.log"));
    EXPECT_EQ(0, std::count(left.begin(), left.end(), L"main00000012.log"));
    EXPECT_TRUE(logtest::Exists(InFolder(L"RotationThread00000001.log"))) << "another log's file was pruned";
}

TEST_F(LogfileOpening, NewFileIsNeverCandidateWhateverItsTime) {
    ASSERT_EQ(0, SHCreateDirectoryExW(nullptr, folder_.c_str(), nullptr));
    // Older files dated far ahead: the new file is the oldest by time.
    const LONGLONG future = logtest::MinutesToTime(60 * 24 * 365 * 50);
    for (int i = 1; i <= 3; ++i) {
        wchar_t name[32];
        wsprintfW(name, L"main%08d.log", i);
        ASSERT_TRUE(logtest::MakeFileWithTime(InFolder(name), future + i));
    }
    DWORD keep = 2;
    ASSERT_TRUE(LogfileStart(slot_, &keep, L"main"));
    EndLog();
    EXPECT_EQ((std::vector<std::wstring>{L"main00000002.log", L"main00000003.log", L"main00000004.log"}),
              LogFiles());
}

TEST_F(LogfileOpening, LongMatchingNameIsLeftToItself) {
    ASSERT_EQ(0, SHCreateDirectoryExW(nullptr, folder_.c_str(), nullptr));
    // Longer than the path buffer has room for behind the folder.
    std::wstring longName = L"main" + std::wstring(220, L'7') + L".log";
    ASSERT_TRUE(logtest::MakeFileWithTime(InFolder(longName), logtest::MinutesToTime(1)));
    ASSERT_TRUE(logtest::MakeFileWithTime(InFolder(L"main00000001.log"), logtest::MinutesToTime(2)));
    ASSERT_TRUE(logtest::MakeFileWithTime(InFolder(L"main00000002.log"), logtest::MinutesToTime(3)));
    DWORD keep = 1;
    ASSERT_TRUE(LogfileStart(slot_, &keep, L"main"));
    // Its digits saturate the number, so the new file wraps to 0.
    EXPECT_EQ(L"main00000000.log", OpenLogName());
    EndLog();
    EXPECT_EQ((std::vector<std::wstring>{L"main00000000.log", L"main00000002.log", longName}), LogFiles());
}

// ---- Failure rows ----

TEST_F(LogfileOpening, FailedCreationKeepsItsErrorThoughRetentionRan) {
    ASSERT_EQ(0, SHCreateDirectoryExW(nullptr, folder_.c_str(), nullptr));
    // "x?" searches as a wildcard and finds these, but no file of that name can
    // be created.
    ASSERT_TRUE(logtest::MakeFileWithTime(InFolder(L"xa00000001.log"), logtest::MinutesToTime(10)));
    ASSERT_TRUE(logtest::MakeFileWithTime(InFolder(L"xb00000002.log"), logtest::MinutesToTime(20)));
    DWORD keep = 1;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(LogfileStart(slot_, &keep, L"x?"));
    EXPECT_EQ((DWORD)ERROR_INVALID_NAME, GetLastError());
    EXPECT_EQ(nullptr, Context());
    EXPECT_EQ((std::vector<std::wstring>{L"xb00000002.log"}), LogFiles());
}

TEST_F(LogfileOpening, RecordThatCannotBeInstalledLeavesNoFile) {
    ASSERT_EQ(0, SHCreateDirectoryExW(nullptr, folder_.c_str(), nullptr));
    ASSERT_TRUE(logtest::MakeFileWithTime(InFolder(L"main00000001.log"), logtest::MinutesToTime(10)));
    ASSERT_TRUE(logtest::MakeFileWithTime(InFolder(L"main00000002.log"), logtest::MinutesToTime(20)));
    // A slot index far beyond any the system hands out: TlsSetValue refuses it.
    const DWORD badSlot = 5000;
    DWORD keep = 1;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(LogfileStart(badSlot, &keep, L"main"));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    // The new main00000003.log went again; retention ran on the old ones.
    EXPECT_EQ((std::vector<std::wstring>{L"main00000002.log"}), LogFiles());
}

TEST_F(LogfileOpening, LogFolderThatIsAFileFailsWithCreationError) {
    ASSERT_EQ(0, SHCreateDirectoryExW(nullptr, (temp_ + L"\\QelSoft").c_str(), nullptr));
    ASSERT_TRUE(logtest::MakeFileWithTime(folder_, logtest::MinutesToTime(1)));
    DWORD keep = 10;
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(LogfileStart(slot_, &keep, L"main"));
    DWORD error = GetLastError();
    EXPECT_NE(0xDEADBEEFu, error);
    EXPECT_NE((DWORD)ERROR_SUCCESS, error);
    EXPECT_EQ(nullptr, Context());
    // The file in the folder's place is left as it was.
    DWORD attributes = GetFileAttributesW(folder_.c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes);
    EXPECT_EQ(0u, attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// ---- Internal steps ----

TEST(LogfileReadHklmDword, OnlyFourByteDwordsCount) {
    const wchar_t key[] = L"Software\\QelSoft\\velatrix-tests";
    struct Row {
        const char* title;
        bool present;
        DWORD type;
        std::vector<BYTE> data;
        DWORD result;
        DWORD value;
    };
    const Row rows[] = {
        {"dword", true, REG_DWORD, {0x78, 0x56, 0x34, 0x12}, ERROR_SUCCESS, 0x12345678},
        {"missing", false, REG_NONE, {}, ERROR_FILE_NOT_FOUND, 0xAAAAAAAA},
        {"qword", true, REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, ERROR_MORE_DATA, 0xAAAAAAAA},
        {"binary", true, REG_BINARY, {1, 0, 0, 0}, ERROR_DATATYPE_MISMATCH, 0xAAAAAAAA},
        {"short dword", true, REG_DWORD, {1}, ERROR_DATATYPE_MISMATCH, 0xAAAAAAAA},
        {"big endian", true, REG_DWORD_BIG_ENDIAN, {0, 0, 0, 1}, ERROR_DATATYPE_MISMATCH, 0xAAAAAAAA},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.title);
        ScopedHklmValue value(key, L"v");
        if (r.present) {
            ASSERT_TRUE(value.Set(r.type, r.data.data(), (DWORD)r.data.size()));
        } else {
            ASSERT_TRUE(value.Remove());
        }
        DWORD got = 0xAAAAAAAA;
        EXPECT_EQ(r.result, ReadHklmDword(key, L"v", &got));
        EXPECT_EQ(r.value, got);
    }
    DWORD got = 0;
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, ReadHklmDword(L"Software\\QelSoft\\no such key here", L"v", &got));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, ReadHklmDword(key, L"v", nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, ReadHklmDword(nullptr, L"v", &got));
}

TEST(LogfileReadKeepCount, ReadsValueNamedAfterLog) {
    ScopedHklmValue value(KEEP_KEY, L"someLog");
    ASSERT_TRUE(value.SetDword(42));
    DWORD got = 0;
    EXPECT_TRUE(LogfileReadKeepCount(L"someLog", &got));
    EXPECT_EQ(42u, got);
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(LogfileReadKeepCount(L"someOtherLog", &got));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    SetLastError(0xDEADBEEF);
    EXPECT_FALSE(LogfileReadKeepCount(nullptr, &got));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

TEST(LogfileAllocTempPath, DropsOneTrailingBackslashAndReservesRoom) {
    std::wstring dir = testsupport::MakeFreshDir(L"temppath");
    ASSERT_FALSE(dir.empty());
    {
        testsupport::ScopedTempFolder redirect(dir + L"\\");
        DWORD length = 0xAAAAAAAA;
        LPWSTR path = AllocTempPath(50, &length);
        ASSERT_NE(nullptr, path);
        EXPECT_EQ(dir, std::wstring(path));
        EXPECT_EQ(dir.size(), length);
        // Reported size (path, backslash, terminator) + 50 + 1, all zero beyond the path.
        ASSERT_GE(LocalSize(path), (dir.size() + 2 + 51) * sizeof(WCHAR));
        for (size_t i = length; i < dir.size() + 2 + 51; ++i) ASSERT_EQ(L'\0', path[i]) << i;
        LocalFree(path);
        path = AllocTempPath(0, nullptr);
        ASSERT_NE(nullptr, path);
        EXPECT_EQ(dir, std::wstring(path));
        LocalFree(path);
    }
    testsupport::RemoveTree(dir);
}

TEST(LogfileWipedStrings, ReleaseAndReplaceKeepLastError) {
    LPWSTR held = (LPWSTR)LocalAlloc(LMEM_ZEROINIT, 16 * sizeof(WCHAR));
    ASSERT_NE(nullptr, held);
    lstrcpyW(held, L"secret");
    LPWSTR other = (LPWSTR)LocalAlloc(LMEM_ZEROINIT, 16 * sizeof(WCHAR));
    ASSERT_NE(nullptr, other);

    SetLastError(0xDEADBEEF);
    ReplaceWipedString(&held, held);  // the same string: kept
    EXPECT_EQ(0xDEADBEEFu, GetLastError());
    EXPECT_STREQ(L"secret", held);

    ReplaceWipedString(&held, other);
    EXPECT_EQ(0xDEADBEEFu, GetLastError());
    EXPECT_EQ(other, held);

    WipeAndFreeString(&held);
    EXPECT_EQ(0xDEADBEEFu, GetLastError());
    EXPECT_EQ(nullptr, held);
    WipeAndFreeString(&held);  // nothing held: nothing to do
    WipeAndFreeString(nullptr);
    EXPECT_EQ(0xDEADBEEFu, GetLastError());
}

}  // namespace
