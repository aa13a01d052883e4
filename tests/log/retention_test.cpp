// Retention of old log files: the pure choice of the oldest files beyond the
// keep count, and the deletion over real files with set last-write times.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "log/retention.h"
#include "tests/log/log_test_files.h"
#include "tests/support/test_support.h"

using testsupport::ChildProcess;

namespace {

// ---- The choice, without files ----

struct ChoiceCase {
    const char* title;
    std::vector<LONGLONG> times;  // entry i is named "f<i>"
    DWORD keepCount;
    std::set<std::wstring> mustDelete;
    std::set<std::wstring> mayDelete;  // ties at the edge: any of these
    DWORD deleteCount;
};

TEST(LogfileRetentionChoice, PicksOldestBeyondKeepCount) {
    const ChoiceCase cases[] = {
        {"12 files keep 10: the two oldest go",
         {50, 10, 70, 20, 90, 100, 110, 120, 30, 40, 60, 80}, 10, {L"f1", L"f3"}, {}, 2},
        {"exactly keep count: nothing goes", {5, 4, 3, 2, 1, 6, 7, 8, 9, 10}, 10, {}, {}, 0},
        {"fewer than keep count", {1, 2}, 10, {}, {}, 0},
        {"keep 1 of 3", {300, 100, 200}, 1, {L"f1", L"f2"}, {}, 2},
        {"age is time not list order", {9, 8, 7, 6}, 2, {L"f2", L"f3"}, {}, 2},
        {"negative and zero times are the oldest", {0, -5, 10, 20}, 2, {L"f0", L"f1"}, {}, 2},
        {"large times compared as 64 bits",
         {0x100000000LL, 0xFFFFFFFFLL, 0x7FFFFFFFFFFFFFFFLL}, 1, {L"f0", L"f1"}, {}, 2},
        {"tie at the edge: either of the two", {1, 5, 5, 9}, 2, {L"f0"}, {L"f1", L"f2"}, 2},
        {"no candidates", {}, 1, {}, {}, 0},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.title);
        std::vector<std::wstring> names;
        for (size_t i = 0; i < c.times.size(); ++i) names.push_back(L"f" + std::to_wstring(i));
        std::vector<LogfileAgeEntry> entries;
        for (size_t i = 0; i < c.times.size(); ++i) {
            entries.push_back({&names[i][0], c.times[i]});
        }
        DWORD count = LogfileChooseOldest(entries.empty() ? nullptr : entries.data(),
                                          (DWORD)entries.size(), c.keepCount);
        ASSERT_EQ(c.deleteCount, count);
        for (size_t i = 1; i < entries.size(); ++i) {
            EXPECT_LE(entries[i - 1].time, entries[i].time) << "not sorted oldest first at " << i;
        }
        std::set<std::wstring> deleted;
        for (DWORD i = 0; i < count; ++i) deleted.insert(entries[i].name);
        for (const auto& name : c.mustDelete) EXPECT_EQ(1u, deleted.count(name)) << testsupport::Narrow(name);
        for (const auto& name : deleted) {
            EXPECT_TRUE(c.mustDelete.count(name) || c.mayDelete.count(name))
                << "deleted " << testsupport::Narrow(name);
        }
    }
}

TEST(LogfileRetentionChoice, CompareAgeIsSignedThreeWay) {
    struct Row { LONGLONG a, b; int expected; };
    const Row rows[] = {
        {1, 2, -1}, {2, 1, 1}, {7, 7, 0},
        {-1, 1, -1},                                   // signed, not unsigned
        {0x7FFFFFFFFFFFFFFFLL, 0, 1},
        {0x100000000LL, 0xFFFFFFFFLL, 1},              // high part counts
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.a << " vs " << r.b);
        LogfileAgeEntry a = {nullptr, r.a}, b = {nullptr, r.b};
        EXPECT_EQ(r.expected, LogfileCompareAge(&a, &b));
    }
}

TEST(LogfileRetentionChoice, NameFitsOnlyWithItsTerminator) {
    struct Row { DWORD bufferChars, position; size_t length; bool fits; };
    const Row rows[] = {
        {40, 20, 19, true}, {40, 20, 20, false}, {40, 40, 0, false},
        {40, 39, 0, true}, {40, 50, 1, false}, {40, 0, 259, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.bufferChars << "/" << r.position << "/" << r.length);
        EXPECT_EQ(r.fits, LogfileNameFits(r.bufferChars, r.position, r.length));
    }
}

TEST(LogfileNameList, KeepsOrderAndGrows) {
    LogfileNameList list;
    ASSERT_TRUE(LogfileNameListInit(&list));
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(LogfileNameListAppend(&list, (L"n" + std::to_wstring(i)).c_str()));
    }
    ASSERT_EQ(100u, list.count);
    for (DWORD i = 0; i < list.count; ++i) EXPECT_EQ(L"n" + std::to_wstring(i), list.items[i]);
    EXPECT_FALSE(LogfileNameListAppend(&list, nullptr));
    EXPECT_EQ(100u, list.count);
    SetLastError(0xDEADBEEF);
    LogfileNameListFree(&list);
    EXPECT_EQ(0xDEADBEEFu, GetLastError());
    EXPECT_EQ(nullptr, list.items);
    EXPECT_EQ(0u, list.count);
}

// ---- Deletion over real files ----

class LogfileRetentionFiles : public testing::Test {
protected:
    void SetUp() override {
        dir_ = testsupport::MakeFreshDir(L"retention");
        ASSERT_FALSE(dir_.empty());
        ASSERT_TRUE(LogfileNameListInit(&found_));
    }
    void TearDown() override {
        LogfileNameListFree(&found_);
        testsupport::RemoveTree(dir_);
    }

    void AddFile(const std::wstring& name, int minutes) {
        ASSERT_TRUE(logtest::MakeFileWithTime(dir_ + L"\\" + name, logtest::MinutesToTime(minutes)));
        ASSERT_TRUE(LogfileNameListAppend(&found_, name.c_str()));
    }

    // Runs retention with a buffer laid out as the opening lays it out for log
    // `logName`: the folder, a backslash, room for the name and 19 characters.
    // Characters past the buffer's end are checked to stay untouched.
    void Run(DWORD keepCount, const std::wstring& logName = L"main") {
        DWORD position = (DWORD)dir_.size() + 1;
        DWORD bufferChars = position + (DWORD)logName.size() + 19;
        std::vector<WCHAR> buffer(bufferChars + 64, L'\0');
        std::fill(buffer.begin() + bufferChars, buffer.end(), L'#');
        std::copy(dir_.begin(), dir_.end(), buffer.begin());
        buffer[dir_.size()] = L'\\';
        LogfileDeleteOldest(&found_, keepCount, buffer.data(), bufferChars, position);
        for (size_t i = bufferChars; i < buffer.size(); ++i) {
            ASSERT_EQ(L'#', buffer[i]) << "path buffer written past its end at " << i;
        }
    }

    std::vector<std::wstring> Remaining() { return testsupport::ListFiles(dir_); }

    std::wstring dir_;
    LogfileNameList found_;
};

TEST_F(LogfileRetentionFiles, DeletesOldestByWriteTimeNotByNumber) {
    // Numbers run against the times: main00000001 was written last.
    for (int i = 1; i <= 12; ++i) {
        wchar_t name[32];
        wsprintfW(name, L"main%08d.log", i);
        AddFile(name, 1000 - i * 10);
    }
    Run(10);
    std::vector<std::wstring> left = Remaining();
    EXPECT_EQ(10u, left.size());
    EXPECT_EQ(0, std::count(left.begin(), left.end(), L"main00000012.log"));
    EXPECT_EQ(0, std::count(left.begin(), left.end(), L"main00000011.log"));
    EXPECT_EQ(1, std::count(left.begin(), left.end(), L"main00000001.log"));
}

TEST_F(LogfileRetentionFiles, KeepCountFilesStayAll) {
    for (int i = 1; i <= 10; ++i) {
        wchar_t name[32];
        wsprintfW(name, L"main%08d.log", i);
        AddFile(name, i);
    }
    Run(10);
    EXPECT_EQ(10u, Remaining().size());
}

TEST_F(LogfileRetentionFiles, DirectoryIsNeitherCandidateNorDeleted) {
    ASSERT_TRUE(CreateDirectoryW((dir_ + L"\\main00000050.log").c_str(), nullptr));
    ASSERT_TRUE(LogfileNameListAppend(&found_, L"main00000050.log"));
    AddFile(L"main00000001.log", 10);
    AddFile(L"main00000002.log", 20);
    AddFile(L"main00000003.log", 30);
    Run(2);
    // Three file candidates, keep 2: only the oldest file goes; the directory
    // neither counts as a candidate nor is touched.
    EXPECT_EQ((std::vector<std::wstring>{L"main00000002.log", L"main00000003.log", L"main00000050.log"}),
              Remaining());
}

TEST_F(LogfileRetentionFiles, VanishedNameIsNoCandidate) {
    ASSERT_TRUE(LogfileNameListAppend(&found_, L"main00000009.log"));  // gone since the search
    AddFile(L"main00000001.log", 10);
    AddFile(L"main00000002.log", 20);
    Run(2);
    EXPECT_EQ(2u, Remaining().size());
}

TEST_F(LogfileRetentionFiles, TooLongNameIsLeftOutAndBufferNotOverrun) {
    // Matches "main*.log" but is longer than the opening's buffer has room for.
    std::wstring longName = L"main" + std::wstring(200, L'x') + L".log";
    AddFile(longName, 1);                   // the oldest of all
    AddFile(L"main00000001.log", 10);
    AddFile(L"main00000002.log", 20);
    Run(1);
    EXPECT_EQ((std::vector<std::wstring>{L"main00000002.log", longName}), Remaining());
}

TEST_F(LogfileRetentionFiles, FileHeldOpenByAnotherProcessSurvives) {
    AddFile(L"main00000001.log", 10);
    AddFile(L"main00000002.log", 20);
    AddFile(L"main00000003.log", 30);
    AddFile(L"main00000004.log", 40);

    // Another process holds the oldest file open as a running log holds its own:
    // read and write access, read sharing only.
    std::wstring ready = L"Local\\velatrix-hold-ready-" + std::to_wstring(GetCurrentProcessId());
    std::wstring release = L"Local\\velatrix-hold-release-" + std::to_wstring(GetCurrentProcessId());
    HANDLE readyEvent = CreateEventW(nullptr, TRUE, FALSE, ready.c_str());
    HANDLE releaseEvent = CreateEventW(nullptr, TRUE, FALSE, release.c_str());
    ASSERT_TRUE(readyEvent && releaseEvent);
    ChildProcess holder;
    ASSERT_TRUE(holder.Start(logtest::HelperPath(),
                             L"hold \"" + dir_ + L"\\main00000001.log\" " + ready + L" " + release));
    HANDLE waits[2] = {readyEvent, holder.Handle()};
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, waits, FALSE, 20000)) << "holder did not open the file";

    Run(2);

    SetEvent(releaseEvent);
    DWORD exitCode = 1;
    EXPECT_TRUE(holder.Wait(20000, &exitCode));
    EXPECT_EQ(0u, exitCode);
    CloseHandle(readyEvent);
    CloseHandle(releaseEvent);
    // Two oldest were chosen; the held one could not go and nothing else went
    // in its place: one file more than the keep count remains.
    EXPECT_EQ((std::vector<std::wstring>{L"main00000001.log", L"main00000003.log", L"main00000004.log"}),
              Remaining());
}

TEST_F(LogfileRetentionFiles, NoNamesNoWork) {
    Run(1);
    LogfileNameList empty = {nullptr, 0, 0};
    WCHAR buffer[8] = L"x\\";
    LogfileDeleteOldest(&empty, 1, buffer, 8, 2);
    LogfileDeleteOldest(nullptr, 1, buffer, 8, 2);
    EXPECT_TRUE(Remaining().empty());
}

}  // namespace
