// `make demo`: drives the real VELATRIX.EXE through its whole cycle against the
// simulated sensor and prints what the program wrote, so a newcomer sees it at work.
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "tests/fake_sensor/fake_sensor_control.h"
#include "tests/support/test_support.h"

using namespace fakesensor;
using namespace testsupport;

namespace {

const wchar_t kClass[] = L"DemQelseineKELTOAnwendungLiebeLeute";

void Say(const char* text) {
    printf("== %s\n", text);
    fflush(stdout);
}

size_t CountLines(const std::wstring& logPath, const std::wstring& prefix) {
    std::wstring text;
    if (!ReadUtf16File(logPath, &text)) return 0;
    size_t n = 0;
    for (const auto& m : Messages(SplitLines(text))) n += m.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return n;
}

bool WaitForLines(const std::wstring& logPath, const std::wstring& prefix, size_t count, DWORD ms) {
    DWORD start = GetTickCount();
    while (CountLines(logPath, prefix) < count) {
        if (GetTickCount() - start > ms) return false;
        Sleep(50);
    }
    return true;
}

bool Turn(Bench* bench, int sensor, BYTE orientationByte, const char* name) {
    size_t before = CallsOn(bench, sensor, kCallFeature).size();
    printf("== sensor reports %s (orientation byte %02x)\n", name, orientationByte);
    if (SendOrientation(bench, sensor, orientationByte) < 1) return false;
    std::vector<CallRecord> reports;
    if (!WaitForFeatureReports(bench, sensor, before + 1, 10000, &reports)) return false;
    const std::vector<BYTE>& data = reports.back().data;
    printf("   next feature report from the program:");
    for (BYTE b : data) printf(" %02x", b);
    printf("\n");
    return true;
}

int Fail(const char* what) {
    printf("== demo failed: %s\n", what);
    return 1;
}

}  // namespace

int main() {
    std::wstring exe = ModuleDir() + L"VELATRIX.EXE";
    BenchPtr bench = CreateBench(exe);
    if (!bench) return Fail("no folder for the program and the simulated sensor");
    std::wstring tempDir = MakeFreshDir(L"demo");
    ScopedTempFolder tempFolder(tempDir);  // the program inherits TMP: its logs land here
    std::wstring logs = LogFolderUnder(tempDir);
    std::wstring mainLog = logs + L"\\main00000001.log";

    InterfaceConfig config;
    config.pipe = UniquePipeName(L"mi_00&col02#demo");
    config.present = false;
    int sensor = AddInterface(bench.get(), config, kServeNone);
    if (sensor < 0) return Fail("cannot make the simulated sensor");

    Say("starting VELATRIX.EXE with the sensor unplugged");
    ChildProcess program;
    if (!program.Start(BenchExePath(bench.get()))) return Fail("cannot start the program");
    HWND window = program.FindWindowOf(kClass, 20000);
    if (!window) return Fail("no hidden window");
    if (!WaitForLines(mainLog, L"Setting up hid device from timer", 1, 10000)) return Fail("no retry");

    Say("plugging the sensor in");
    Plug(bench.get(), sensor);
    std::vector<CallRecord> reports;
    if (!WaitForFeatureReports(bench.get(), sensor, 1, 10000, &reports)) return Fail("sensor not found");
    Say("found: the program reads the sensor");

    if (!Turn(bench.get(), sensor, 0x04, "90 degrees") || !Turn(bench.get(), sensor, 0x20, "180 degrees") ||
        !Turn(bench.get(), sensor, 0x08, "270 degrees") || !Turn(bench.get(), sensor, 0x10, "0 degrees")) {
        return Fail("no feature report after a turn");
    }

    Say("unplugging the sensor");
    Unplug(bench.get(), sensor);
    if (!WaitForLines(mainLog, L"Initializing timer", 1, 10000)) return Fail("the loss was not noticed");
    if (!WaitForLines(mainLog, L"Setting up hid device from timer", 3, 10000)) return Fail("no retry");
    Say("plugging it back in");
    Plug(bench.get(), sensor);
    if (!WaitForLines(mainLog, L"Rotation thread resumed", 2, 10000)) return Fail("not found again");

    Say("closing the program with WM_CLOSE");
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD exitCode = 0xDEADBEEF;
    if (!program.Wait(10000, &exitCode)) return Fail("the program did not end");
    printf("== exit code: %lu\n", exitCode);

    // The main log first, then each run of the rotation thread.
    std::vector<std::wstring> names = ListFiles(logs, L"main*.log");
    for (const auto& name : ListFiles(logs, L"RotationThread*.log")) names.push_back(name);
    for (const auto& name : names) {
        std::wstring text;
        ReadUtf16File(logs + L"\\" + name, &text);
        printf("\n==== %s ====\n", Narrow(name).c_str());
        for (const auto& line : SplitLines(text)) printf("%s\n", Narrow(line).c_str());
    }
    bench.reset();
    RemoveTree(tempDir);
    return exitCode == 0 ? 0 : 1;
}
