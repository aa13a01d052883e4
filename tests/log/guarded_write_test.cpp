// The guarded line write with real access violations raised while an
// argument is read: caught, reported, and the thread goes on normally.
#include <gtest/gtest.h>

#include <string>

#include "log/logfile.h"
#include "tests/log/line_test_log.h"
#include "tests/support/test_support.h"

namespace {

using linetest::InstalledLogTest;
using testsupport::Message;

const DWORD DUMMY_ERROR = 0xDEADBEEF;

// A committed page that cannot be read: a narrow string "in" it faults.
class UnreadablePage {
public:
    UnreadablePage() { page_ = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS); }
    ~UnreadablePage() {
        if (page_ != nullptr) VirtualFree(page_, 0, MEM_RELEASE);
    }
    UnreadablePage(const UnreadablePage&) = delete;
    UnreadablePage& operator=(const UnreadablePage&) = delete;
    const char* Narrow() const { return static_cast<const char*>(page_); }
    const wchar_t* Wide() const { return static_cast<const wchar_t*>(page_); }
    bool Ok() const { return page_ != nullptr; }
private:
    void* page_ = nullptr;
};

TEST_F(InstalledLogTest, GuardedWriteSucceedsWithExactlyOne) {
    SetLastError(DUMMY_ERROR);
    EXPECT_EQ(LogfileWriteGuarded(slot_, L"Wine version %S", "8.0"), 1);
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Message(lines[0]), L"Wine version 8.0");
}

TEST_F(InstalledLogTest, GuardedWritePassesWriterFailureOn) {
    SetLastError(DUMMY_ERROR);
    EXPECT_EQ(LogfileWriteGuarded(slot_, L"%s", std::wstring(512, L'x').c_str()), 0);
    EXPECT_EQ(GetLastError(), LOGFILE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Bytes(), std::string("\xFF\xFE"));
}

TEST_F(InstalledLogTest, UnreadableArgumentIsCaughtAndReported) {
    UnreadablePage page;
    ASSERT_TRUE(page.Ok());
    ASSERT_TRUE(LogfileWrite(slot_, L"Header line"));
    EndHeader(0);
    ASSERT_TRUE(LogfileWrite(slot_, L"Old line"));  // the next line would truncate
    std::string before = Bytes();

    struct Row {
        const char* trace;
        const wchar_t* format;
        const void* argument;
    };
    const Row rows[] = {
        {"narrow string on a no-access page", L"Wine version %S", page.Narrow()},
        {"wide string on a no-access page", L"Wine version %s", page.Wide()},
        {"narrow string at a low address", L"Wine version %S", reinterpret_cast<const void*>(0x10)},
        {"the same fault once more", L"Wine version %S", page.Narrow()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.trace);
        SetLastError(DUMMY_ERROR);
        EXPECT_EQ(LogfileWriteGuarded(slot_, row.format, row.argument), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
        EXPECT_EQ(Bytes(), before);  // nothing of the line, and no cut
    }

    // The thread carries on: the next guarded line makes the cut the failed
    // ones did not, then plain lines and C++ exceptions, which unwind through
    // the same frames the recovery skipped.
    EXPECT_EQ(LogfileWriteGuarded(slot_, L"Guarded %S", "again"), 1);
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Message(lines[1]), L">>>>>>>>>>>>>>> Logfile truncation <<<<<<<<<<<<<<<<");
    EXPECT_EQ(Message(lines[2]), L"Guarded again");

    log_->sizeLimit = 0x80000000;
    EXPECT_TRUE(LogfileWrite(slot_, L"Plain again"));
    bool caught = false;
    try {
        throw std::string("unwind");
    } catch (const std::string&) {
        caught = true;
    }
    EXPECT_TRUE(caught);
    lines = Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(Message(lines[3]), L"Plain again");
}

// Two threads fault under their own guards at the same time; each gets its
// own code back and the test thread's log stays as it was.
class GuardOnThreadsTest;

struct FaultingThread {
    GuardOnThreadsTest* test;
    const wchar_t* logName;
    const char* argument;
    HANDLE start;
    int rounds;
    int caught;
    DWORD lastError;
};

class GuardOnThreadsTest : public InstalledLogTest {
protected:
    // Gives the worker a log of its own, as the fixture has for the test's thread.
    static DWORD WINAPI Fault(LPVOID param) {
        auto* args = static_cast<FaultingThread*>(param);
        if (args->test->Install(args->test->dir_ + L"\\" + args->logName) == nullptr) return 1;
        WaitForSingleObject(args->start, INFINITE);
        for (int i = 0; i < args->rounds; ++i) {
            SetLastError(DUMMY_ERROR);
            if (LogfileWriteGuarded(args->test->slot_, L"%S", args->argument) == 0 &&
                GetLastError() == EXCEPTION_ACCESS_VIOLATION) {
                ++args->caught;
            }
            args->lastError = GetLastError();
        }
        args->test->Uninstall();
        return 0;
    }
};

TEST_F(GuardOnThreadsTest, ConcurrentFaultsAreEachCaughtOnTheirThread) {
    UnreadablePage page;
    ASSERT_TRUE(page.Ok());
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(start, nullptr);
    FaultingThread workers[2] = {{this, L"worker1.log", page.Narrow(), start, 50, 0, 0},
                                 {this, L"worker2.log", page.Narrow(), start, 50, 0, 0}};
    HANDLE threads[2] = {};
    for (int i = 0; i < 2; ++i) {
        threads[i] = CreateThread(nullptr, 0, Fault, &workers[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    SetEvent(start);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    for (int i = 0; i < 2; ++i) {
        DWORD exitCode = 1;
        GetExitCodeThread(threads[i], &exitCode);
        CloseHandle(threads[i]);
        EXPECT_EQ(exitCode, 0u);
        EXPECT_EQ(workers[i].caught, workers[i].rounds) << "last error " << workers[i].lastError;
        std::string workerBytes;
        EXPECT_TRUE(testsupport::ReadFileBytes(dir_ + L"\\" + workers[i].logName, &workerBytes));
        EXPECT_EQ(workerBytes, std::string("\xFF\xFE"));
    }
    CloseHandle(start);
    EXPECT_EQ(Bytes(), std::string("\xFF\xFE"));
}

}  // namespace
