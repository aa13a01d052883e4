// Makes sensor set-up attempts in its own process, on command, so the leak
// bench and guard can watch this process's handles and memory across them.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "log/logfile.h"
#include "sensor/device_data.h"
#include "sensor/setup.h"
#include "tests/bench/bench_common.h"

// Lines on standard input, one reply line each on standard output:
//   attempt <n> <expected> [<pause ms>]   n set-up attempts on the one
//                 record, back to back or with a pause between them
//                 -> "ok <last result> <mean us per attempt> <resources> <attempts giving expected>"
//   measure       -> "ok 0 0 <resources> 0"
//   quit          releases the record, ends the log, exits
// <resources> is "<handles> <heap bytes> <heap blocks> <private bytes>".
// The process is meant to sit beside the simulated sensor's DLLs.

namespace {

bool ReadLine(HANDLE input, char* line, size_t size) {
    size_t used = 0;
    for (;;) {
        char c = 0;
        DWORD got = 0;
        if (!ReadFile(input, &c, 1, &got, nullptr) || got == 0) return false;
        if (c == '\n') break;
        if (c != '\r' && used + 1 < size) line[used++] = c;
    }
    line[used] = '\0';
    return true;
}

void Reply(HANDLE output, DWORD result, double meanUs, unsigned matched) {
    DWORD handles = 0;
    bench::ProcessHandleCount(GetCurrentProcessId(), &handles);
    SIZE_T heapBlocks = 0;
    SIZE_T heapBytes = bench::HeapBytesInUse(&heapBlocks);
    SIZE_T privateBytes = 0;
    bool fromPagefile = false;
    bench::ProcessPrivateBytes(GetCurrentProcess(), &privateBytes, &fromPagefile);
    char line[256];
    int n = snprintf(line, sizeof line, "ok %lu %.1f %lu %llu %llu %llu %u\n", result, meanUs, handles,
                     static_cast<unsigned long long>(heapBytes), static_cast<unsigned long long>(heapBlocks),
                     static_cast<unsigned long long>(privateBytes), matched);
    DWORD written = 0;
    WriteFile(output, line, static_cast<DWORD>(n), &written, nullptr);
}

}  // namespace

int main() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DeviceData deviceData;
    InitDeviceData(&deviceData);

    // The main thread's log, as in the program, so the log lines of every
    // attempt are part of what is measured.
    g_logTlsIndex = TlsAlloc();
    if (g_logTlsIndex == TLS_OUT_OF_INDEXES) return 1;
    LogfileHandle mainLog(g_logTlsIndex, &g_mainLogKeepCount, L"main");

    char line[128];
    while (ReadLine(input, line, sizeof line)) {
        unsigned count = 0;
        unsigned long expected = 0;
        unsigned pauseMs = 0;
        if (sscanf(line, "attempt %u %lu %u", &count, &expected, &pauseMs) >= 2) {
            DWORD result = 0;
            unsigned matched = 0;
            double spent = 0;
            for (unsigned i = 0; i < count; ++i) {
                if (pauseMs && i > 0) Sleep(pauseMs);
                double start = bench::NowUs();
                result = SetupHidDevice(&deviceData);
                spent += bench::NowUs() - start;
                if (result == expected) ++matched;
            }
            double mean = count ? spent / count : 0;
            Reply(output, result, mean, matched);
        } else if (strcmp(line, "measure") == 0) {
            Reply(output, 0, 0, 0);
        } else if (strcmp(line, "quit") == 0) {
            break;
        } else {
            DWORD written = 0;
            WriteFile(output, "error\n", 6, &written, nullptr);
        }
    }
    CleanupDeviceData(&deviceData);
    LogfileEnd(&mainLog);
    return 0;
}
