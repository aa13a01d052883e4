// Shared pieces of the benchmark programs: a clock, order statistics, the
// one Markdown row format all of them print, and call counting by import patching.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace bench {

// Microseconds since an arbitrary start, from the performance counter.
double NowUs();

// The p-th percentile (0..100) of `values` by nearest rank; 0 for no values.
double Percentile(std::vector<double> values, double p);
double Mean(const std::vector<double>& values);

// One row of the result table: | item | figure | limit | met | how measured |
void PrintRow(const std::string& item, const std::string& figure, const std::string& limit, bool met,
              const std::string& how);
// The same row for a figure that has no limit to meet.
void PrintInfoRow(const std::string& item, const std::string& figure, const std::string& how);
// printf into a std::string.
std::string Format(const char* format, ...);

// Replaces the entry of `function` (imported from `dll`) in this program's own
// import address table with `replacement`; the previous entry goes to
// `original`. Only calls made by code linked into this program are seen,
// which is exactly the statically linked product code under measurement.
bool PatchImport(const char* dll, const char* function, void* replacement, void** original);

// Process CPU time (kernel + user) in milliseconds as GetProcessTimes gives
// it; -1 when it cannot be read. Wine 8 does not keep this up to date for
// another process, so the bench reads the Unix process's own figure too.
double ProcessCpuMs(HANDLE process);

// The Unix process whose command line (as Wine sets it: the Windows command
// line) holds `text`, found under Z:\proc; 0 when none does.
DWORD UnixPidByCommandLine(const std::string& text);
// utime + stime of a Unix process in clock ticks from Z:\proc\<pid>\stat; -1 on failure.
long long UnixCpuTicks(DWORD unixPid);
// The same for the wineserver of this program's prefix: the server opens
// files for its clients, so Z:\proc\self names the server itself. -1 when
// what opens is not a wineserver.
long long ServerCpuTicks();

// Handle count of a process from the system process list (Wine 8 answers 0
// to GetProcessHandleCount); false when the process is not listed.
bool ProcessHandleCount(DWORD processId, DWORD* handles);
// Private bytes: PrivateUsage, or where Wine leaves that 0, PagefileUsage
// (Wine fills it from the Unix process's anonymous resident and swapped memory).
bool ProcessPrivateBytes(HANDLE process, SIZE_T* bytes, bool* fromPagefile);
// Bytes in use in the blocks of this process's default heap (LocalAlloc's
// heap); `blocks` (may be null) gets the number of blocks in use.
SIZE_T HeapBytesInUse(SIZE_T* blocks);

}  // namespace bench
