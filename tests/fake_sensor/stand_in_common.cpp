// Shared run-time of the stand-in DLLs. The control file is re-read whenever
// the test may have changed it, and kept otherwise, so the simulated calls
// cost the program little more than real ones and timings stay the program's.
#include "tests/fake_sensor/stand_in_common.h"

#include <cstddef>
#include <vector>

namespace standin {

namespace {

HMODULE g_module = nullptr;  // written once by DllMain before any export runs

// The last configuration read, and the generation counter it belongs to.
struct ControlCache {
    bool valid = false;
    LONG generation = 0;
    fakesensor::ControlConfig config;
    std::wstring mappingName;              // the counter's mapping, as named by the file
    HANDLE mapping = nullptr;
    const volatile LONG* counter = nullptr;  // written by the test process
};
SRWLOCK g_controlLock = SRWLOCK_INIT;
ControlCache g_control;  // any thread, under g_controlLock

// The record file stays open for appending, the event open for setting.
// Appending only keeps lines of different processes from overwriting each
// other; the lock keeps a process's own lines whole.
SRWLOCK g_recordLock = SRWLOCK_INIT;
HANDLE g_recordFile = INVALID_HANDLE_VALUE;  // any thread, under g_recordLock
HANDLE g_recordEvent = nullptr;              // any thread, under g_recordLock
std::wstring g_recordEventName;              // any thread, under g_recordLock

// Names of the pipe handles seen, newest last, so a call on a handle whose
// pipe the test has closed still finds its interface. A handle value the
// program has closed and reused is named afresh by its next successful query.
constexpr size_t kRememberedHandles = 64;
struct HandleName {
    HANDLE handle;
    std::wstring fileName;
};
SRWLOCK g_namesLock = SRWLOCK_INIT;
std::vector<HandleName> g_names;  // any thread, under g_namesLock

void RememberHandleName(HANDLE handle, const std::wstring& fileName) {
    AcquireSRWLockExclusive(&g_namesLock);
    for (size_t i = 0; i < g_names.size(); ++i) {
        if (g_names[i].handle == handle) {
            g_names.erase(g_names.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    if (g_names.size() == kRememberedHandles) g_names.erase(g_names.begin());
    g_names.push_back({handle, fileName});
    ReleaseSRWLockExclusive(&g_namesLock);
}

bool RecallHandleName(HANDLE handle, std::wstring* fileName) {
    AcquireSRWLockShared(&g_namesLock);
    bool found = false;
    for (const HandleName& item : g_names) {
        if (item.handle == handle) {
            *fileName = item.fileName;
            found = true;
        }
    }
    ReleaseSRWLockShared(&g_namesLock);
    return found;
}

bool ReadWholeFile(const std::wstring& path, std::string* text) {
    // The control library replaces the file by renaming a new one over it;
    // a reader that meets the short moment of the swap tries again.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 200; ++attempt) {
        file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) break;
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
        Sleep(1);
    }
    if (file == INVALID_HANDLE_VALUE) return false;
    text->clear();
    bool ok = false;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size) && size.QuadPart < (1 << 24)) {
        text->resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        ok = text->empty() || (ReadFile(file, &(*text)[0], static_cast<DWORD>(text->size()), &got, nullptr) &&
                               got == text->size());
    }
    CloseHandle(file);
    return ok;
}

// Caller holds g_controlLock exclusively.
void OpenCounter(const std::wstring& name) {
    if (g_control.counter) UnmapViewOfFile(const_cast<LONG*>(g_control.counter));
    if (g_control.mapping) CloseHandle(g_control.mapping);
    g_control.counter = nullptr;
    g_control.mapping = nullptr;
    g_control.mappingName = name;
    if (name.empty()) return;
    g_control.mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
    if (!g_control.mapping) return;
    g_control.counter = static_cast<const volatile LONG*>(MapViewOfFile(g_control.mapping, FILE_MAP_READ, 0, 0, sizeof(LONG)));
}

}  // namespace

void SetModule(HMODULE module) { g_module = module; }

std::wstring ModuleFolder() {
    WCHAR path[MAX_PATH];
    DWORD n = GetModuleFileNameW(g_module, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::wstring();
    std::wstring folder(path, n);
    size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
}

HMODULE LoadSystemDll(const wchar_t* fileName) {
    WCHAR path[MAX_PATH];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    std::wstring full = std::wstring(path, n) + L"\\" + fileName;
    HMODULE system = LoadLibraryW(full.c_str());
    if (system && system == g_module) {  // never pass calls on to ourselves
        FreeLibrary(system);
        return nullptr;
    }
    return system;
}

void LoadControl(fakesensor::ControlConfig* config, bool fresh) {
    DWORD savedError = GetLastError();
    AcquireSRWLockExclusive(&g_controlLock);
    bool current = !fresh && g_control.valid && g_control.counter && *g_control.counter == g_control.generation;
    if (!current) {
        // The counter is taken before the file: a change made meanwhile moves
        // it again and is read by the next call.
        LONG generation = g_control.counter ? *g_control.counter : 0;
        std::string text;
        fakesensor::ControlConfig parsed;
        if (!ReadWholeFile(ModuleFolder() + fakesensor::kControlFileName, &text) ||
            !fakesensor::ParseControlConfig(text, &parsed)) {
            parsed = fakesensor::ControlConfig();
        }
        g_control.config = parsed;
        g_control.generation = generation;
        g_control.valid = true;
        if (parsed.generationName != g_control.mappingName) {
            OpenCounter(parsed.generationName);
            g_control.valid = false;  // no counter value belonged to this read
        }
    }
    *config = g_control.config;
    ReleaseSRWLockExclusive(&g_controlLock);
    SetLastError(savedError);
}

int FindHandleInterface(HANDLE handle, const fakesensor::ControlConfig& config, bool* broken) {
    *broken = false;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || config.interfaces.empty()) return -1;
    DWORD savedError = GetLastError();
    union {
        FILE_NAME_INFO info;
        BYTE bytes[sizeof(FILE_NAME_INFO) + 1024 * sizeof(WCHAR)];
    } name;
    ZeroMemory(&name, sizeof name);
    std::wstring fileName;
    if (GetFileInformationByHandleEx(handle, FileNameInfo, &name, sizeof name)) {
        fileName.assign(name.info.FileName, name.info.FileNameLength / sizeof(WCHAR));
        RememberHandleName(handle, fileName);
    } else if (GetLastError() == ERROR_PIPE_NOT_CONNECTED && RecallHandleName(handle, &fileName)) {
        *broken = true;
    }
    SetLastError(savedError);
    return fileName.empty() ? -1 : fakesensor::FindInterfaceByFileName(config, fileName);
}

ULONGLONG QpcNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<ULONGLONG>(now.QuadPart);
}

void AppendRecord(const fakesensor::ControlConfig& config, ULONGLONG qpc, const char* call, DWORD result,
                  const std::wstring& pipe, const void* data, size_t size) {
    DWORD savedError = GetLastError();
    fakesensor::CallRecord record;
    record.qpc = qpc;
    record.call = call;
    record.result = result;
    record.pipe = pipe;
    if (data) {
        const BYTE* bytes = static_cast<const BYTE*>(data);
        record.data.assign(bytes, bytes + size);
    }
    std::string line = fakesensor::FormatCallRecord(record);
    AcquireSRWLockExclusive(&g_recordLock);
    if (g_recordFile == INVALID_HANDLE_VALUE) {
        g_recordFile = CreateFileW((ModuleFolder() + fakesensor::kRecordFileName).c_str(), FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (g_recordFile != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(g_recordFile, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    if (config.eventName != g_recordEventName) {
        if (g_recordEvent) CloseHandle(g_recordEvent);
        g_recordEvent = config.eventName.empty() ? nullptr
                                                 : OpenEventW(EVENT_MODIFY_STATE, FALSE, config.eventName.c_str());
        g_recordEventName = config.eventName;
    }
    if (g_recordEvent) SetEvent(g_recordEvent);
    ReleaseSRWLockExclusive(&g_recordLock);
    SetLastError(savedError);
}

void ReleaseHandles() {
    AcquireSRWLockExclusive(&g_recordLock);
    if (g_recordFile != INVALID_HANDLE_VALUE) CloseHandle(g_recordFile);
    if (g_recordEvent) CloseHandle(g_recordEvent);
    g_recordFile = INVALID_HANDLE_VALUE;
    g_recordEvent = nullptr;
    g_recordEventName.clear();
    ReleaseSRWLockExclusive(&g_recordLock);
    AcquireSRWLockExclusive(&g_controlLock);
    OpenCounter(std::wstring());
    g_control.valid = false;
    ReleaseSRWLockExclusive(&g_controlLock);
}

extern "C" void ForwardMissing() {
    OutputDebugStringA("velatrix stand-in: export of the system DLL not found\n");
    TerminateProcess(GetCurrentProcess(), ERROR_PROC_NOT_FOUND);
}

void ResolveForwards(HMODULE system, const ForwardEntry* entries, size_t count) {
    if (!system) return;
    for (size_t i = 0; i < count; ++i) {
        FARPROC target = GetProcAddress(system, entries[i].name);
        if (target) *entries[i].slot = reinterpret_cast<ForwardTarget>(target);
    }
}

HMODULE AttachStandIn(HINSTANCE instance, const wchar_t* systemFileName, const ForwardEntry* entries,
                      size_t count) {
    SetModule(instance);
    DisableThreadLibraryCalls(instance);
    HMODULE system = LoadSystemDll(systemFileName);
    ResolveForwards(system, entries, count);
    return system;
}

void DetachStandIn(LPVOID reserved) {
    if (reserved == nullptr) ReleaseHandles();  // unloaded while the process goes on
}

}  // namespace standin
