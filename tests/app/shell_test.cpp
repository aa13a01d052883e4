// The real VELATRIX.EXE under Wine: hidden window of the right class, the
// start-up and shutdown lines of its main log, the retry while no sensor is there.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

const wchar_t kClass[] = L"DemQelseineKELTOAnwendungLiebeLeute";

class ProgramRun : public ::testing::Test {
protected:
    void SetUp() override {
        tempDir_ = MakeFreshDir(L"app");
        ASSERT_FALSE(tempDir_.empty());
        tempFolder_ = new ScopedTempFolder(tempDir_);
    }
    void TearDown() override {
        if (HasFailure()) PrintLogs();
        delete tempFolder_;
        RemoveTree(tempDir_);
    }

    void StartProgram() { ASSERT_TRUE(program_.Start(ModuleDir() + L"VELATRIX.EXE")); }

    std::vector<std::wstring> MainLogLines() {
        std::wstring text;
        if (!ReadUtf16File(LogFolderUnder(tempDir_) + L"\\main00000001.log", &text, &bom_)) return {};
        return SplitLines(text);
    }

    // Polls the main log until a line's message starts with `prefix`.
    bool WaitForLine(const std::wstring& prefix, DWORD ms, int count = 1) {
        DWORD start = GetTickCount();
        for (;;) {
            int seen = 0;
            for (const auto& line : MainLogLines()) {
                if (Message(line).compare(0, prefix.size(), prefix) == 0) ++seen;
            }
            if (seen >= count) return true;
            if (GetTickCount() - start > ms) return false;
            Sleep(100);
        }
    }

    void PrintLogs() {
        for (const auto& name : ListFiles(LogFolderUnder(tempDir_))) {
            std::wstring text;
            ReadUtf16File(LogFolderUnder(tempDir_) + L"\\" + name, &text);
            printf("---- %s\n%s\n", Narrow(name).c_str(), Narrow(text).c_str());
        }
    }

    std::wstring tempDir_;
    ScopedTempFolder* tempFolder_ = nullptr;
    ChildProcess program_;
    bool bom_ = false;
};

size_t IndexOf(const std::vector<std::wstring>& messages, const std::wstring& text, size_t from = 0) {
    for (size_t i = from; i < messages.size(); ++i) {
        if (messages[i] == text) return i;
    }
    return std::wstring::npos;
}

TEST_F(ProgramRun, HiddenWindowClosesInOrderWithExitCodeZero) {
    StartProgram();
    HWND window = program_.FindWindowOf(kClass, 20000);
    ASSERT_NE(nullptr, window);
    EXPECT_FALSE(IsWindowVisible(window));
    WCHAR title[64] = L"";
    GetWindowTextW(window, title, 64);
    EXPECT_STREQ(L"Kelto!", title);

    ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
    DWORD exitCode = 0xDEADBEEF;
    ASSERT_TRUE(program_.Wait(10000, &exitCode));
    EXPECT_EQ(0u, exitCode);

    std::vector<std::wstring> lines = MainLogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(bom_);
    for (const auto& line : lines) EXPECT_TRUE(HasTimestamp(line)) << Narrow(line);
    std::vector<std::wstring> messages = Messages(lines);
    EXPECT_EQ(L"Cleaning up device data", messages[messages.size() - 2]);
    EXPECT_EQ(L"End of logfile", messages.back());

    // The header, then the first step right behind it.
    const std::wstring dashes(42, L'-');
    const std::vector<std::wstring> header = {
        L"Command line: \"", L"", L"PID: ", L"Terminal Session ID: ", L"Computer NetBios name: ",
        L"Computer DNS FQDN name: ", L"OS Version is ", L"Service Pack ", L"Platform Id is ",
        L"This binary has been compiled for x86 and is running ", L"User name is ",
        L"Process is running under Wine version ", L"", dashes, dashes, L"",
        L"Setting process shutdown parameters"};
    ASSERT_GT(messages.size(), header.size());
    for (size_t i = 0; i < header.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(0u, messages[i].find(header[i])) << Narrow(messages[i]);
        if (header[i].empty() || header[i] == dashes) {
            EXPECT_EQ(header[i], messages[i]);
        }
    }

    // Start-up in its order; with no sensor present the walk ends with 259.
    size_t at = 0;
    for (const wchar_t* expected : {L"Setting process shutdown parameters", L"Registering class",
                                    L"Initializing instance", L"Setting device data window property",
                                    L"Setting up hid device"}) {
        SCOPED_TRACE(Narrow(expected));
        at = IndexOf(messages, expected, at);
        ASSERT_NE(std::wstring::npos, at);
    }
    ASSERT_LT(at + 2, messages.size());
    EXPECT_EQ(0u, messages[at + 1].find(L"Error: Failed to setup hid device 259 (0x00000103) "))
        << Narrow(messages[at + 1]);
    EXPECT_EQ(L"Loading accelerators", messages[at + 2]);

    // Waiting state, so the stop has no thread to signal or await.
    size_t destroy = IndexOf(messages, L"Window is about to be destroyed");
    ASSERT_NE(std::wstring::npos, destroy);
    EXPECT_EQ(L"Removing window properties", messages[destroy + 1]);
    EXPECT_EQ(L"Window will now be destroyed", messages[destroy + 2]);
    EXPECT_EQ(L"Cleaning up device data", messages[destroy + 3]);

    // Wine's own HID interfaces are not the sensor: no discovery line at all.
    for (const auto& m : messages) EXPECT_EQ(std::wstring::npos, m.find(L"Inspecting device path")) << Narrow(m);
}

TEST_F(ProgramRun, RetriesOnceASecondWhileNoSensorIsPresent) {
    StartProgram();
    HWND window = program_.FindWindowOf(kClass, 20000);
    ASSERT_NE(nullptr, window);
    ASSERT_TRUE(WaitForLine(L"Setting up hid device from timer", 15000, 2));
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD exitCode = 0xDEADBEEF;
    ASSERT_TRUE(program_.Wait(10000, &exitCode));
    EXPECT_EQ(0u, exitCode);

    std::vector<std::wstring> messages = Messages(MainLogLines());
    for (size_t i = 0; i < messages.size(); ++i) {
        if (messages[i] != L"Setting up hid device from timer") continue;
        ASSERT_LT(i + 1, messages.size());
        EXPECT_EQ(0u, messages[i + 1].find(L"Error: Failed to set up hid device 259 (0x00000103) "))
            << Narrow(messages[i + 1]);
    }
}

TEST_F(ProgramRun, WinesTaskkillClosesIt) {
    StartProgram();
    ASSERT_NE(nullptr, program_.FindWindowOf(kClass, 20000));
    WCHAR system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    ChildProcess taskkill;
    ASSERT_TRUE(taskkill.Start(std::wstring(system) + L"\\taskkill.exe", L"/pid " + std::to_wstring(program_.Id())));
    DWORD exitCode = 0xDEADBEEF;
    ASSERT_TRUE(program_.Wait(15000, &exitCode));
    EXPECT_EQ(0u, exitCode);
    std::vector<std::wstring> messages = Messages(MainLogLines());
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(L"End of logfile", messages.back());
}

}  // namespace
