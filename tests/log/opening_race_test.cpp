// Two processes open logs of the same name at the same moment, many times:
// every opening must get its own number and every file must survive.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/log/log_test_files.h"
#include "tests/support/test_support.h"

using testsupport::ChildProcess;

namespace {

class LogfileOpeningRace : public logtest::LogFolderTest {};

std::vector<std::wstring> ReadResultNames(const std::wstring& path) {
    std::string bytes;
    if (!testsupport::ReadFileBytes(path, &bytes)) return {};
    std::vector<std::wstring> names = testsupport::SplitLines(testsupport::Widen(bytes));
    return names;
}

TEST_F(LogfileOpeningRace, TwoProcessesNeverGetTheSameNumber) {
    const int kOpenings = 40;  // per process
    const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount());
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, (L"Local\\velatrix-race-start-" + tag).c_str());
    ASSERT_NE(nullptr, start);

    ChildProcess children[2];
    HANDLE ready[2] = {};
    std::wstring results[2];
    for (int i = 0; i < 2; ++i) {
        std::wstring readyName = L"Local\\velatrix-race-ready-" + tag + L"-" + std::to_wstring(i);
        ready[i] = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
        ASSERT_NE(nullptr, ready[i]);
        results[i] = temp_ + L"\\race-result-" + std::to_wstring(i) + L".txt";
        // The children inherit TMP, so they share this test's log folder.
        ASSERT_TRUE(children[i].Start(logtest::HelperPath(),
                                      L"race " + readyName + L" Local\\velatrix-race-start-" + tag + L" " +
                                          std::to_wstring(kOpenings) + L" \"" + results[i] + L"\""));
    }
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, ready, TRUE, 30000)) << "helpers did not get ready";
    SetEvent(start);

    for (int i = 0; i < 2; ++i) {
        DWORD exitCode = 0xFFFFFFFF;
        ASSERT_TRUE(children[i].Wait(60000, &exitCode)) << "helper " << i << " did not end";
        EXPECT_EQ(0u, exitCode) << "openings that failed in helper " << i;
        CloseHandle(ready[i]);
    }
    CloseHandle(start);

    std::set<std::wstring> given;
    std::map<std::wstring, DWORD> openerOf;
    for (int i = 0; i < 2; ++i) {
        std::vector<std::wstring> names = ReadResultNames(results[i]);
        EXPECT_EQ((size_t)kOpenings, names.size()) << "helper " << i;
        for (const auto& name : names) {
            EXPECT_TRUE(given.insert(name).second) << "number given twice: " << testsupport::Narrow(name);
            openerOf[name] = children[i].Id();
        }
    }
    // Every file is still there, whole, from the process that was given it.
    std::vector<std::wstring> files = LogFiles(L"race*.log");
    EXPECT_EQ(given.size(), files.size());
    for (const auto& name : files) {
        SCOPED_TRACE(testsupport::Narrow(name));
        ASSERT_EQ(1u, given.count(name)) << "file nobody was given";
        std::wstring text;
        bool bom = false;
        ASSERT_TRUE(testsupport::ReadUtf16File(InFolder(name), &text, &bom));
        EXPECT_TRUE(bom);
        std::vector<std::wstring> messages = testsupport::Messages(testsupport::SplitLines(text));
        ASSERT_GE(messages.size(), 4u);
        EXPECT_EQ(0u, messages[2].find(L"PID: " + std::to_wstring(openerOf[name]) + L" TID: "));
        EXPECT_EQ(0u, messages[messages.size() - 2].find(L"race line "));
        EXPECT_EQ(L"End of logfile", messages.back());
    }
}

}  // namespace
