// Clock, statistics, table rows and import patching for the benchmark
// programs; plain Win32 so the figures mean the same under Wine and Windows.
#include "tests/bench/bench_common.h"

#include <psapi.h>
#include <winternl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cmath>

namespace bench {

double NowUs() {
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    if (rank == 0) rank = 1;
    if (rank > values.size()) rank = values.size();
    return values[rank - 1];
}

double Mean(const std::vector<double>& values) {
    if (values.empty()) return 0;
    double sum = 0;
    for (double v : values) sum += v;
    return sum / static_cast<double>(values.size());
}

std::string Format(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

void PrintRow(const std::string& item, const std::string& figure, const std::string& limit, bool met,
              const std::string& how) {
    printf("| %s | %s | %s | %s | %s |\n", item.c_str(), figure.c_str(), limit.c_str(), met ? "yes" : "**NO**",
           how.c_str());
    fflush(stdout);
}

void PrintInfoRow(const std::string& item, const std::string& figure, const std::string& how) {
    printf("| %s | %s | (no limit) | - | %s |\n", item.c_str(), figure.c_str(), how.c_str());
    fflush(stdout);
}

bool PatchImport(const char* dll, const char* function, void* replacement, void** original) {
    BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return false;
    auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
    for (; desc->Name != 0; ++desc) {
        if (_stricmp(reinterpret_cast<const char*>(base + desc->Name), dll) != 0) continue;
        if (desc->OriginalFirstThunk == 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            DWORD oldProtect = 0;
            if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &oldProtect)) {
                return false;
            }
            if (original) *original = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, oldProtect, &oldProtect);
            return true;
        }
    }
    return false;
}

static double FileTimeMs(const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 10000.0;
}

double ProcessCpuMs(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return -1;
    return FileTimeMs(kernel) + FileTimeMs(user);
}

// The whole of a small /proc file (they report size 0, so read until the end).
static bool ReadProcFile(const std::wstring& path, std::string* text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    text->clear();
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text->append(buffer, got);
    CloseHandle(file);
    return !text->empty();
}

DWORD UnixPidByCommandLine(const std::string& text) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(L"Z:\\proc\\*", &entry);
    if (search == INVALID_HANDLE_VALUE) return 0;
    DWORD found = 0;
    do {
        if (entry.cFileName[0] < L'0' || entry.cFileName[0] > L'9') continue;
        std::string commandLine;
        if (!ReadProcFile(std::wstring(L"Z:\\proc\\") + entry.cFileName + L"\\cmdline", &commandLine)) continue;
        if (commandLine.find(text) != std::string::npos) {
            found = static_cast<DWORD>(_wtoi(entry.cFileName));
            break;
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

// utime and stime are fields 14 and 15; the name in field 2 may hold spaces,
// so fields are counted from its closing parenthesis. `name` gets field 2.
static long long CpuTicksOfStat(const std::string& stat, std::string* name) {
    size_t open = stat.find('(');
    size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return -1;
    if (name) *name = stat.substr(open + 1, close - open - 1);
    std::vector<std::string> fields;  // fields[0] is field 3 (the state)
    size_t pos = close + 1;
    while (pos < stat.size() && fields.size() < 13) {
        while (pos < stat.size() && stat[pos] == ' ') ++pos;
        size_t end = stat.find(' ', pos);
        if (end == std::string::npos) end = stat.size();
        if (end > pos) fields.push_back(stat.substr(pos, end - pos));
        pos = end;
    }
    if (fields.size() < 13) return -1;
    return atoll(fields[11].c_str()) + atoll(fields[12].c_str());
}

long long UnixCpuTicks(DWORD unixPid) {
    std::string stat;
    if (!ReadProcFile(L"Z:\\proc\\" + std::to_wstring(unixPid) + L"\\stat", &stat)) return -1;
    return CpuTicksOfStat(stat, nullptr);
}

long long ServerCpuTicks() {
    std::string stat, name;
    if (!ReadProcFile(L"Z:\\proc\\self\\stat", &stat)) return -1;
    long long ticks = CpuTicksOfStat(stat, &name);
    return name.compare(0, 10, "wineserver") == 0 ? ticks : -1;
}

bool ProcessHandleCount(DWORD processId, DWORD* handles) {
    typedef NTSTATUS(NTAPI * QueryProc)(ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<QueryProc>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return false;
    std::vector<BYTE> buffer(1 << 20);
    ULONG needed = 0;
    const ULONG SYSTEM_PROCESS_INFORMATION_CLASS = 5;
    for (int attempt = 0; attempt < 4; ++attempt) {
        NTSTATUS status = query(SYSTEM_PROCESS_INFORMATION_CLASS, buffer.data(), static_cast<ULONG>(buffer.size()),
                                &needed);
        if (status == 0) break;
        if (attempt == 3) return false;
        buffer.resize(buffer.size() * 2 + needed);
    }
    BYTE* p = buffer.data();
    for (;;) {
        auto* info = reinterpret_cast<SYSTEM_PROCESS_INFORMATION*>(p);
        if (static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(info->UniqueProcessId)) == processId) {
            *handles = info->HandleCount;
            return true;
        }
        if (info->NextEntryOffset == 0) return false;
        p += info->NextEntryOffset;
    }
}

bool ProcessPrivateBytes(HANDLE process, SIZE_T* bytes, bool* fromPagefile) {
    PROCESS_MEMORY_COUNTERS_EX counters;
    ZeroMemory(&counters, sizeof counters);
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters)) {
        return false;
    }
    *fromPagefile = counters.PrivateUsage == 0;
    *bytes = *fromPagefile ? counters.PagefileUsage : counters.PrivateUsage;
    return true;
}

SIZE_T HeapBytesInUse(SIZE_T* blocks) {
    HANDLE heap = GetProcessHeap();
    SIZE_T total = 0;
    SIZE_T count = 0;
    if (!HeapLock(heap)) return 0;
    PROCESS_HEAP_ENTRY entry;
    ZeroMemory(&entry, sizeof entry);
    while (HeapWalk(heap, &entry)) {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
            total += entry.cbData;
            ++count;
        }
    }
    HeapUnlock(heap);
    if (blocks) *blocks = count;
    return total;
}

}  // namespace bench
