// The unchanged VELATRIX.EXE against the simulated sensor: found, read and
// turned, lost and found again, every failure of discovery and set-up, and
// no growth of handles or memory across the retries.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "tests/bench/bench_common.h"
#include "tests/fake_sensor/fake_sensor_control.h"
#include "tests/support/test_support.h"

using namespace testsupport;
using namespace fakesensor;

namespace {

const wchar_t kClass[] = L"DemQelseineKELTOAnwendungLiebeLeute";

const std::vector<std::wstring> kSuccessfulSetUp = {
    L"Found the device",
    L"Device handle duplicated",
    L"Read handle opened successfully",
    L"Hid device capabilities result is 0x00110000",
    L"Device capabilites determined successfully",
    L"Freeing preparsed data",
    L"Successfully set up hid device",
    L"Flushing hid queue",
    L"Input report byte length is 8",
    L"Input report buffer allocated",
    L"Read event created",
    L"Rotation stop event created",
    L"Rotation thread created",
    L"Rotation thread resumed",
};

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

size_t Find(const std::vector<std::wstring>& messages, const std::wstring& prefix, size_t from = 0) {
    for (size_t i = from; i < messages.size(); ++i) {
        if (StartsWith(messages[i], prefix)) return i;
    }
    return std::wstring::npos;
}

size_t Count(const std::vector<std::wstring>& messages, const std::wstring& prefix) {
    size_t n = 0;
    for (const auto& m : messages) n += StartsWith(m, prefix) ? 1 : 0;
    return n;
}

// `expected` appears in `messages` as one contiguous run starting at `at`.
void ExpectRunAt(const std::vector<std::wstring>& messages, size_t at, const std::vector<std::wstring>& expected) {
    ASSERT_NE(std::wstring::npos, at);
    ASSERT_LE(at + expected.size(), messages.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(expected[i], messages[at + i]) << "line " << at + i;
    }
}

class SensorCycle : public ::testing::Test {
protected:
    void SetUp() override {
        bench_ = CreateBench(ModuleDir() + L"VELATRIX.EXE");
        ASSERT_TRUE(bench_);
        tempDir_ = MakeFreshDir(L"cycle");
        ASSERT_FALSE(tempDir_.empty());
        tempFolder_ = new ScopedTempFolder(tempDir_);
    }
    void TearDown() override {
        if (window_ && WaitForSingleObject(program_.Handle(), 0) == WAIT_TIMEOUT) {
            PostMessageW(window_, WM_CLOSE, 0, 0);
            program_.Wait(10000, nullptr);
        }
        if (HasFailure()) PrintLogs();
        delete tempFolder_;
        bench_.reset();
        RemoveTree(tempDir_);
    }

    int AddSensor(InterfaceConfig config = InterfaceConfig(), ServeMode mode = kServeFull) {
        if (config.pipe.empty()) config.pipe = UniquePipeName(L"mi_00&col02#sensor");
        return AddInterface(bench_.get(), config, mode);
    }

    void StartProgram() {
        ASSERT_TRUE(program_.Start(BenchExePath(bench_.get())));
        window_ = program_.FindWindowOf(kClass, 20000);
        ASSERT_NE(nullptr, window_);
    }

    void CloseProgram() {
        ASSERT_TRUE(PostMessageW(window_, WM_CLOSE, 0, 0));
        DWORD exitCode = 0xDEADBEEF;
        ASSERT_TRUE(program_.Wait(10000, &exitCode));
        EXPECT_EQ(0u, exitCode);
    }

    std::wstring LogPath(const std::wstring& name) { return LogFolderUnder(tempDir_) + L"\\" + name; }

    std::vector<std::wstring> LogMessages(const std::wstring& name) {
        std::wstring text;
        if (!ReadUtf16File(LogPath(name), &text)) return {};
        return Messages(SplitLines(text));
    }
    std::vector<std::wstring> MainMessages() { return LogMessages(L"main00000001.log"); }
    std::vector<std::wstring> RotationMessages(int number) {
        WCHAR name[64];
        wsprintfW(name, L"RotationThread%08d.log", number);
        return LogMessages(name);
    }

    // Polls the main log until `count` lines start with `prefix`.
    bool WaitForMainLines(const std::wstring& prefix, size_t count, DWORD ms) {
        DWORD start = GetTickCount();
        for (;;) {
            if (Count(MainMessages(), prefix) >= count) return true;
            if (GetTickCount() - start > ms) return false;
            Sleep(50);
        }
    }

    std::vector<CallRecord> FeatureReports(int sensor, size_t count, DWORD ms = 10000) {
        std::vector<CallRecord> reports;
        EXPECT_TRUE(WaitForFeatureReports(bench_.get(), sensor, count, ms, &reports))
            << "feature reports seen: " << reports.size();
        return reports;
    }

    void PrintLogs() {
        for (const auto& name : ListFiles(LogFolderUnder(tempDir_))) {
            std::wstring text;
            ReadUtf16File(LogPath(name), &text);
            printf("---- %s\n%s\n", Narrow(name).c_str(), Narrow(text).c_str());
        }
    }

    BenchPtr bench_;
    std::wstring tempDir_;
    ScopedTempFolder* tempFolder_ = nullptr;
    ChildProcess program_;
    HWND window_ = nullptr;
};

TEST_F(SensorCycle, PresentAtStartTurnsWithTheSensorAndStopsInOrder) {
    int sensor = AddSensor();
    ASSERT_GE(sensor, 0);
    StartProgram();

    std::vector<CallRecord> reports = FeatureReports(sensor, 1);
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ((std::vector<BYTE>{0x01, 0x02, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00}), reports[0].data);

    // A quarter turn: the next feature report carries the new side's byte.
    // The query handle's duplicate is a client too; it never reads.
    ASSERT_GE(SendOrientation(bench_.get(), sensor, 0x04), 1);
    reports = FeatureReports(sensor, 2);
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(0x02, reports[1].data[3]);
    // The same side again: no change, the same byte.
    ASSERT_GE(SendOrientation(bench_.get(), sensor, 0x04), 1);
    reports = FeatureReports(sensor, 3);
    ASSERT_EQ(3u, reports.size());
    EXPECT_EQ(0x02, reports[2].data[3]);

    CloseProgram();

    std::vector<std::wstring> main = MainMessages();
    size_t setUp = Find(main, L"Setting up hid device");
    ASSERT_NE(std::wstring::npos, setUp);
    EXPECT_TRUE(StartsWith(main[setUp + 1], L"Inspecting device path \\\\.\\pipe\\")) << Narrow(main[setUp + 1]);
    ExpectRunAt(main, setUp + 2, kSuccessfulSetUp);
    EXPECT_EQ(L"Loading accelerators", main[setUp + 2 + kSuccessfulSetUp.size()]);
    EXPECT_EQ(std::wstring::npos, Find(main, L"Error:"));
    ExpectRunAt(main, Find(main, L"Window is about to be destroyed"),
                {L"Window is about to be destroyed", L"Signalling rotation stop event",
                 L"Waiting for rotation thread", L"Rotation thread has terminated",
                 L"Removing window properties", L"Window will now be destroyed",
                 L"Cleaning up device data", L"End of logfile"});
    EXPECT_EQ(L"End of logfile", main.back());

    std::vector<std::wstring> rotation = RotationMessages(1);
    ASSERT_GE(rotation.size(), 3u);
    EXPECT_EQ(1u, Count(rotation, L"New display orientation is 90 degrees"));
    EXPECT_EQ(L"Device has been read", rotation[rotation.size() - 3]);
    EXPECT_TRUE(StartsWith(rotation[rotation.size() - 2], L"Error: Rotation thread has failed. 1223 (0x000004c7) "))
        << Narrow(rotation[rotation.size() - 2]);
    EXPECT_EQ(L"End of logfile", rotation.back());
}

TEST_F(SensorCycle, AbsentAtStartThenPluggedInThenUnpluggedAndBackAgain) {
    InterfaceConfig config;
    config.present = false;
    int sensor = AddSensor(config, kServeNone);
    ASSERT_GE(sensor, 0);
    StartProgram();
    ASSERT_TRUE(WaitForMainLines(L"Setting up hid device from timer", 1, 10000));

    ASSERT_TRUE(Plug(bench_.get(), sensor));
    FeatureReports(sensor, 1);
    ASSERT_TRUE(WaitForMainLines(L"Successfully set up hid device", 2, 10000));

    // Unplugged while running: the thread ends with the broken pipe, the
    // record is released, and the retries start again.
    ASSERT_TRUE(Unplug(bench_.get(), sensor));
    ASSERT_TRUE(WaitForMainLines(L"Initializing timer", 1, 10000));
    size_t ticksBefore = Count(MainMessages(), L"Setting up hid device from timer");
    ASSERT_TRUE(WaitForMainLines(L"Setting up hid device from timer", ticksBefore + 1, 10000));

    ASSERT_TRUE(Plug(bench_.get(), sensor));
    FeatureReports(sensor, 2);
    ASSERT_TRUE(WaitForMainLines(L"Successfully set up hid device", 4, 10000));
    // Running again: the timer is gone, so no further ticks come.
    size_t ticks = Count(MainMessages(), L"Setting up hid device from timer");
    Sleep(2500);
    EXPECT_EQ(ticks, Count(MainMessages(), L"Setting up hid device from timer"));
    CloseProgram();

    std::vector<std::wstring> main = MainMessages();
    size_t first = Find(main, L"Setting up hid device");
    ASSERT_NE(std::wstring::npos, first);
    EXPECT_TRUE(StartsWith(main[first + 1], L"Error: Failed to setup hid device 259 (0x00000103) "))
        << Narrow(main[first + 1]);
    EXPECT_EQ(L"Loading accelerators", main[first + 2]);

    // The tick that found it: set-up lines, then the timer's own success line.
    size_t found = Find(main, L"Found the device");
    ASSERT_NE(std::wstring::npos, found);
    ExpectRunAt(main, found, kSuccessfulSetUp);
    EXPECT_EQ(L"Successfully set up hid device", main[found + kSuccessfulSetUp.size()]);

    size_t stopped = Find(main, L"Rotation thread has been stopped");
    ExpectRunAt(main, stopped, {L"Rotation thread has been stopped", L"Cleaning up device data",
                                L"Initializing timer", L"Setting up hid device from timer"});
    EXPECT_TRUE(StartsWith(main[stopped + 4], L"Error: Failed to set up hid device 259 (0x00000103) "))
        << Narrow(main[stopped + 4]);

    std::vector<std::wstring> firstRun = RotationMessages(1);
    ASSERT_GE(firstRun.size(), 2u);
    EXPECT_TRUE(StartsWith(firstRun[firstRun.size() - 2], L"Error: Rotation thread has failed. 109 (0x0000006d) "))
        << Narrow(firstRun[firstRun.size() - 2]);
    EXPECT_EQ(L"End of logfile", firstRun.back());
    std::vector<std::wstring> secondRun = RotationMessages(2);
    ASSERT_FALSE(secondRun.empty());
    EXPECT_TRUE(StartsWith(secondRun[secondRun.size() - 2], L"Error: Rotation thread has failed. 1223 "));
}

// One row per way discovery or set-up can fail or choose: what the main log
// shows between "Setting up hid device" and "Loading accelerators".
struct SetUpCase {
    const char* label;
    void (*arrange)(Bench* bench, std::vector<int>* interfaces);
    std::vector<std::wstring> lines;  // prefixes, in order; "*" matches one line of any text
};

InterfaceConfig Sensor(const wchar_t* tail = L"mi_00&col02#sensor") {
    InterfaceConfig config;
    config.pipe = UniquePipeName(tail);
    return config;
}

void AddOne(Bench* bench, std::vector<int>* interfaces, const InterfaceConfig& config, ServeMode mode = kServeFull) {
    interfaces->push_back(AddInterface(bench, config, mode));
}

const std::vector<std::wstring> kInspectFound = {L"Inspecting device path", L"Found the device",
                                                 L"Device handle duplicated", L"Read handle opened successfully"};

std::vector<std::wstring> Join(std::vector<std::wstring> a, const std::vector<std::wstring>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(SensorCycle, EveryFailureOfDiscoveryAndSetUpIsLoggedWithItsCode) {
    const SetUpCase cases[] = {
        {"read open refused",
         [](Bench* b, std::vector<int>* i) { AddOne(b, i, Sensor(), kServeQueryOnly); },
         {L"Inspecting device path", L"Found the device", L"Device handle duplicated",
          L"Successfully set up hid device", L"Error: Failed to setup hid device 5 (0x00000005) "}},
        {"preparsed data refused",
         [](Bench* b, std::vector<int>* i) { InterfaceConfig c = Sensor(); c.preparsedOk = false; AddOne(b, i, c); },
         Join(kInspectFound, {L"Successfully set up hid device",
                              L"Error: Failed to setup hid device 2147549183 (0x8000ffff) "})},
        {"capabilities error status",
         [](Bench* b, std::vector<int>* i) { InterfaceConfig c = Sensor(); c.capsStatus = 0xC0110001; AddOne(b, i, c); },
         Join(kInspectFound, {L"Hid device capabilities result is 0xc0110001", L"Freeing preparsed data",
                              L"Successfully set up hid device",
                              L"Error: Failed to setup hid device 3222339585 (0xc0110001) "})},
        {"input reports of 0 bytes",
         [](Bench* b, std::vector<int>* i) { InterfaceConfig c = Sensor(); c.inputReportLength = 0; AddOne(b, i, c); },
         Join(kInspectFound, {L"*", L"*", L"*", L"Successfully set up hid device", L"Flushing hid queue",
                              L"Error: Failed to setup hid device 2147549183 (0x8000ffff) "})},
        {"input reports of 1 byte",
         [](Bench* b, std::vector<int>* i) { InterfaceConfig c = Sensor(); c.inputReportLength = 1; AddOne(b, i, c); },
         Join(kInspectFound, {L"*", L"*", L"*", L"Successfully set up hid device", L"Flushing hid queue",
                              L"Error: Failed to setup hid device 2147549183 (0x8000ffff) "})},
        {"input reports of 2 bytes are enough",
         [](Bench* b, std::vector<int>* i) { InterfaceConfig c = Sensor(); c.inputReportLength = 2; AddOne(b, i, c); },
         Join(kInspectFound, {L"*", L"*", L"*", L"Successfully set up hid device", L"Flushing hid queue",
                              L"Input report byte length is 2", L"Input report buffer allocated", L"*", L"*", L"*",
                              L"Rotation thread resumed"})},
        {"input reports of 64 bytes",
         [](Bench* b, std::vector<int>* i) { InterfaceConfig c = Sensor(); c.inputReportLength = 64; AddOne(b, i, c); },
         Join(kInspectFound, {L"*", L"*", L"*", L"*", L"*", L"Input report byte length is 64"})},
        {"upper-case path",
         [](Bench* b, std::vector<int>* i) { InterfaceConfig c = Sensor(); c.pathCase = kPathUpper; AddOne(b, i, c); },
         Join(kInspectFound, {L"*", L"*", L"*", L"Successfully set up hid device"})},
        {"path of exactly 32 characters is not the sensor",
         [](Bench* b, std::vector<int>* i) { AddOne(b, i, Sensor(L"mi_00&")); },
         {L"Inspecting device path", L"Error: Failed to setup hid device 259 (0x00000103) "}},
        {"other IDs are not even inspected",
         [](Bench* b, std::vector<int>* i) { InterfaceConfig c = Sensor(); c.productId = 0xFF01; AddOne(b, i, c); },
         {L"Error: Failed to setup hid device 259 (0x00000103) "}},
        {"several collections: only col02 is opened",
         [](Bench* b, std::vector<int>* i) {
             AddOne(b, i, Sensor(L"mi_00&col01#a"));
             AddOne(b, i, Sensor(L"mi_01&col02#b"));
             AddOne(b, i, Sensor(L"mi_00&col02#c"));
         },
         Join({L"Inspecting device path", L"Inspecting device path"},
              Join(kInspectFound, {L"*", L"*", L"*", L"Successfully set up hid device"}))},
        {"two sensors: the first one is used and the second not looked at",
         [](Bench* b, std::vector<int>* i) {
             AddOne(b, i, Sensor(L"mi_00&col02#first"));
             AddOne(b, i, Sensor(L"mi_00&col02#second"));
         },
         Join(kInspectFound, {L"*", L"*", L"*", L"Successfully set up hid device", L"Flushing hid queue"})},
        {"two sensors: when the first fails to open, the second is not tried",
         [](Bench* b, std::vector<int>* i) {
             AddOne(b, i, Sensor(L"mi_00&col02#first"), kServeQueryOnly);
             AddOne(b, i, Sensor(L"mi_00&col02#second"));
         },
         {L"Inspecting device path", L"Found the device", L"Device handle duplicated",
          L"Successfully set up hid device", L"Error: Failed to setup hid device 5 (0x00000005) "}},
    };
    for (const SetUpCase& c : cases) {
        SCOPED_TRACE(c.label);
        bench_ = CreateBench(ModuleDir() + L"VELATRIX.EXE");
        ASSERT_TRUE(bench_);
        std::vector<int> interfaces;
        c.arrange(bench_.get(), &interfaces);
        for (int index : interfaces) ASSERT_GE(index, 0);

        ChildProcess program;
        ASSERT_TRUE(program.Start(BenchExePath(bench_.get())));
        HWND window = program.FindWindowOf(kClass, 20000);
        ASSERT_NE(nullptr, window);
        PostMessageW(window, WM_CLOSE, 0, 0);
        DWORD exitCode = 0xDEADBEEF;
        ASSERT_TRUE(program.Wait(10000, &exitCode));
        EXPECT_EQ(0u, exitCode);

        std::vector<std::wstring> main = MainMessages();
        size_t at = Find(main, L"Setting up hid device");
        ASSERT_NE(std::wstring::npos, at);
        size_t end = Find(main, L"Loading accelerators", at);
        ASSERT_NE(std::wstring::npos, end);
        // A code without system text ends its line with the fallback text's
        // own CR LF, which leaves an empty line behind it.
        std::vector<std::wstring> got;
        for (size_t i = at + 1; i < end; ++i) {
            if (!main[i].empty()) got.push_back(main[i]);
        }
        ASSERT_GE(got.size(), c.lines.size());
        for (size_t i = 0; i < c.lines.size(); ++i) {
            if (c.lines[i] == L"*") continue;
            EXPECT_TRUE(StartsWith(got[i], c.lines[i])) << "line " << i << ": " << Narrow(got[i]);
        }
        if (c.lines.back().find(L"Error:") == 0 || c.lines.back() == L"Rotation thread resumed") {
            EXPECT_EQ(c.lines.size(), got.size()) << "lines after the expected ones";
        }
        if (interfaces.size() == 2 && c.lines.size() > 5 && c.lines[5] == L"*") {
            // The first sensor runs; the second never gets a feature report.
            std::vector<CallRecord> reports;
            EXPECT_TRUE(WaitForFeatureReports(bench_.get(), interfaces[0], 1, 5000, &reports));
            EXPECT_TRUE(CallsOn(bench_.get(), interfaces[1], kCallFeature).empty());
        }
        // The next case starts with a fresh log folder.
        RemoveTree(LogFolderUnder(tempDir_));
    }
}

struct ProcessFigures {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
};

// Wine 8 answers 0 to GetProcessHandleCount and leaves PrivateUsage at 0 for
// another process, so the figures come from the system process list and the
// pagefile usage.
ProcessFigures Measure(const ChildProcess& program) {
    ProcessFigures figures;
    EXPECT_TRUE(bench::ProcessHandleCount(program.Id(), &figures.handles));
    bool fromPagefile = false;
    EXPECT_TRUE(bench::ProcessPrivateBytes(program.Handle(), &figures.privateBytes, &fromPagefile));
    EXPECT_GT(figures.handles, 0u);
    EXPECT_GT(figures.privateBytes, 0u);
    return figures;
}

// A kiosk runs for months: failed retries that leave handles and buffers
// behind, and plug/unplug cycles, must not make the process grow.
TEST_F(SensorCycle, RetriesAndPlugCyclesDoNotGrowTheProcess) {
    InterfaceConfig config = Sensor();
    config.inputReportLength = 1;  // fails after both handles are open and the queue flushed
    int sensor = AddInterface(bench_.get(), config);
    ASSERT_GE(sensor, 0);
    StartProgram();
    ASSERT_TRUE(WaitForMainLines(L"Setting up hid device from timer", 3, 15000));
    ProcessFigures warmRetries = Measure(program_);
    ASSERT_TRUE(WaitForMainLines(L"Setting up hid device from timer", 11, 20000));
    ProcessFigures afterRetries = Measure(program_);

    config = InterfaceSettings(bench_.get(), sensor);
    config.inputReportLength = 8;
    ASSERT_TRUE(UpdateInterface(bench_.get(), sensor, config));
    FeatureReports(sensor, 1);
    ProcessFigures warmCycles;
    for (size_t cycle = 0; cycle < 4; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_TRUE(Unplug(bench_.get(), sensor));
        ASSERT_TRUE(WaitForMainLines(L"Initializing timer", cycle + 1, 10000));
        ASSERT_TRUE(Plug(bench_.get(), sensor));
        ASSERT_TRUE(WaitForMainLines(L"Rotation thread resumed", cycle + 2, 10000));
        if (cycle == 0) warmCycles = Measure(program_);
    }
    ProcessFigures afterCycles = Measure(program_);
    CloseProgram();

    // A leak of one handle per attempt would show as 8 or more.
    EXPECT_LE(afterRetries.handles, warmRetries.handles + 4) << warmRetries.handles << " -> " << afterRetries.handles;
    EXPECT_LE(afterRetries.privateBytes, warmRetries.privateBytes + 512 * 1024)
        << warmRetries.privateBytes << " -> " << afterRetries.privateBytes;
    // Wine reports the handle table's size, which grows 64 entries at a time,
    // so the whole run is compared with its start as well.
    EXPECT_LE(afterCycles.handles, warmCycles.handles + 4) << warmCycles.handles << " -> " << afterCycles.handles;
    EXPECT_LE(afterCycles.handles, warmRetries.handles + 4) << warmRetries.handles << " -> " << afterCycles.handles;
    EXPECT_LE(afterCycles.privateBytes, warmCycles.privateBytes + 512 * 1024)
        << warmCycles.privateBytes << " -> " << afterCycles.privateBytes;
    // Each failed attempt left state behind, so each next attempt released it first.
    EXPECT_GE(Count(MainMessages(), L"Cleaning up device data"), 8u);
}

}  // namespace
