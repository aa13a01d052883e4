// Test-side control of the simulated orientation sensor: a fresh folder with the
// program and the stand-in DLLs, the pipes that play the devices, and what the program sent them.
#pragma once

// How a test uses it:
//
//   CMake:  velatrix_add_test(my_test SOURCES ...)
//           velatrix_use_fake_sensor(my_test)   # links this library, builds the
//                                               # stand-ins, sets WINEDLLOVERRIDES
//   The Wine process tree must have WINEDLLOVERRIDES=hid,setupapi=n,b in its
//   UNIX environment (a Wine parent cannot hand it to a child through the
//   Windows environment block); velatrix_use_fake_sensor puts it into the
//   CTest environment. Without it the program gets Wine's own DLLs.
//
//   BenchPtr bench = CreateBench(testsupport::ModuleDir() + L"VELATRIX.EXE");
//   InterfaceConfig sensor;                        // VID 1770, PID FF00, 8-byte reports
//   sensor.pipe = UniquePipeName(L"mi_00&col02#sensor");
//   int id = AddInterface(bench.get(), sensor);    // listed and served
//   child.Start(BenchExePath(bench.get()));        // the copy beside the stand-ins
//   WaitForFeatureReports(bench.get(), id, 1, 10000, &reports);  // it reads now
//   ULONGLONG sent; SendOrientation(bench.get(), id, 0x04, &sent);
//   WaitForFeatureReports(bench.get(), id, 2, 5000, &reports);
//   double us = QpcMicroseconds(sent, reports[1].qpc);           // reaction time
//   Unplug(bench.get(), id);  ...  Plug(bench.get(), id);
//   CallsOn(bench.get(), -1, kCallClassDevs)       // one record per walk (retries)
//   SendReports(bench.get(), id, reports, 1000)    // 1,000 reports a second
//   ... end the program, then let the bench go.
//
// Folder layout (BenchFolder): hid.dll, setupapi.dll, the program's copy,
// fake_sensor.cfg (control file, rewritten by every change here) and
// fake_sensor.rec (call record appended by the stand-ins); see fake_config.h.
//
// Each interface's pipe is served by a thread of its own. Every client open
// uses one pipe instance; two idle instances are kept listening. An input
// report goes to every connected client (each HID handle has its own queue);
// a client whose earlier report is still unread by a full pipe buffer (64 KiB)
// misses it, which GetPipeStats counts. HidD_FlushQueue is recorded but does
// not drop queued reports, so send reports after the program's first feature
// report. The functions may be called from several test threads.

#include "tests/fake_sensor/fake_config.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace fakesensor {

struct Bench;
void DestroyBench(Bench* bench);
struct BenchDeleter {
    void operator()(Bench* bench) const { DestroyBench(bench); }
};
// Destroying the bench stops all pipes (as an unplug would look) and removes
// its folder; end the program first.
using BenchPtr = std::unique_ptr<Bench, BenchDeleter>;

// Folder of the built stand-in DLLs: VELATRIX_FAKE_SENSOR_DIR from the
// environment if set, else the build's own.
std::wstring StandInDir();

// A fresh folder with the stand-ins, an empty control file and, when
// `exePath` is given, a copy of that program. Null on failure.
BenchPtr CreateBench(const std::wstring& exePath = std::wstring());
std::wstring BenchFolder(const Bench* bench);   // ends with a backslash
std::wstring BenchExePath(const Bench* bench);  // empty without a program

// 17 characters unique to this process and call, then `tail`: as an
// interface path "\\.\pipe\" + this puts the tail's first character at 26,
// e.g. UniquePipeName(L"mi_00&col02#x") has "mi_00" at 26 and "col02" at 32.
std::wstring UniquePipeName(const std::wstring& tail);

enum ServeMode {
    kServeNone,       // no pipe: every open fails with ERROR_FILE_NOT_FOUND
    kServeFull,       // opens succeed, reads get the input reports
    kServeQueryOnly,  // opens with access 0 succeed, GENERIC_READ ones fail with ERROR_ACCESS_DENIED
};

// Adds an interface at the end of the enumeration order. Its pipe is served
// as `mode` says; whether it is listed follows config.present. Returns its
// index for the other calls, or -1.
int AddInterface(Bench* bench, const InterfaceConfig& config, ServeMode mode = kServeFull);
// Plug: serve fully, then list it. Unplug: unlist it (its HidD_ calls then
// fail), then close every pipe instance, so a pending read of the program
// completes and its next ReadFile fails with ERROR_BROKEN_PIPE.
bool Plug(Bench* bench, int index);
bool Unplug(Bench* bench, int index);
// Closes every instance and serves anew in `mode`.
bool SetServeMode(Bench* bench, int index, ServeMode mode);
// New switches, IDs, lengths or presence for the interface; its pipe name stays.
bool UpdateInterface(Bench* bench, int index, const InterfaceConfig& config);
InterfaceConfig InterfaceSettings(const Bench* bench, int index);
// Failure switches of the walk itself (0 = works); see fake_config.h.
bool SetWalkSwitches(Bench* bench, DWORD classDevsError, DWORD enumError, DWORD detailError);

// Writes `size` bytes to every connected client of the interface. Returns the
// number of clients written to (0 when none is connected), or -1 on failure.
// `sentQpc` gets QueryPerformanceCounter taken just before the first write.
// Real HID reads return whole reports, and the program's reads are of
// InputReportByteLength bytes: send reports of exactly that length.
int SendReport(Bench* bench, int index, const void* bytes, size_t size, ULONGLONG* sentQpc = nullptr);
// Floods and paced series: the interface's thread sends the reports one
// after the other without a round trip to the caller per report, report i at
// `intervalUs` * i after the first (0: as fast as it can). It sleeps in 1 ms
// steps, so single gaps are uneven by up to about a millisecond, but the rate
// is the one asked for (1000: 1,000 reports a second). *sentQpcs (optional)
// gets each report's send time. Returns how many reports reached at least
// one client, or -1.
int SendReports(Bench* bench, int index, const std::vector<std::vector<BYTE>>& reports, DWORD intervalUs,
                std::vector<ULONGLONG>* sentQpcs = nullptr);
// An input report of the interface's input length (at least 2): report ID
// kInputReportId, the orientation byte at offset 1, zeros after it.
constexpr BYTE kInputReportId = 0x01;
int SendOrientation(Bench* bench, int index, BYTE orientationByte, ULONGLONG* sentQpc = nullptr);

struct PipeStats {
    int connected = 0;            // client handles open now (a pipe instance each)
    ULONGLONG accepted = 0;       // client opens since the interface was added
    ULONGLONG reportsWritten = 0; // report copies handed to clients
    ULONGLONG reportsMissed = 0;  // copies a client missed because its buffer was full
};
PipeStats GetPipeStats(Bench* bench, int index);
// Polls until `count` clients are connected; false on time-out.
bool WaitForConnected(Bench* bench, int index, int count, DWORD timeoutMs);

// Every call recorded so far, in order.
std::vector<CallRecord> CallRecords(Bench* bench);
// The recorded calls named `call` on the interface (index < 0: on any pipe,
// and the walk's "classdevs" / "destroy").
std::vector<CallRecord> CallsOn(Bench* bench, int index, const char* call);
// Waits until at least `count` such calls are recorded; *calls gets them all
// (also on time-out, then false).
bool WaitForCalls(Bench* bench, int index, const char* call, size_t count, DWORD timeoutMs,
                  std::vector<CallRecord>* calls);
inline bool WaitForFeatureReports(Bench* bench, int index, size_t count, DWORD timeoutMs,
                                  std::vector<CallRecord>* reports) {
    return WaitForCalls(bench, index, kCallFeature, count, timeoutMs, reports);
}

ULONGLONG QpcNow();
// Microseconds from one QueryPerformanceCounter value to a later one.
double QpcMicroseconds(ULONGLONG from, ULONGLONG to);

}  // namespace fakesensor
