// Test side of the simulated sensor: serves each interface's pipe from a thread
// of its own and keeps the control file in step with what the test asked for.
#include "tests/fake_sensor/fake_sensor_control.h"

#include "tests/support/test_support.h"

#include <algorithm>
#include <cwchar>

#ifndef VELATRIX_FAKE_SENSOR_DIR
#define VELATRIX_FAKE_SENSOR_DIR ""
#endif

namespace fakesensor {

namespace {

constexpr DWORD kPipeBufferSize = 65536;
constexpr size_t kIdleInstances = 2;  // the program opens query and read handle back to back
constexpr size_t kMaxInstances = MAXIMUM_WAIT_OBJECTS - 1;  // one wait slot is the command event

// One server end of an interface's pipe, owned by the interface's thread.
struct PipeInstance {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    OVERLAPPED connectIo = {};
    OVERLAPPED watchIo = {};  // a read that ends when the client closes its last handle
    OVERLAPPED writeIo = {};
    bool connected = false;
    bool connectPending = false;
    bool watchPending = false;
    bool writePending = false;
    bool gone = false;  // to be closed at the next sweep
    BYTE watchBuffer[64] = {};
    std::vector<BYTE> writeBuffer;
};

enum CommandKind { kCommandServe, kCommandSend, kCommandSendMany, kCommandStats, kCommandStop };

struct ServedInterface {
    std::wstring pipePath;  // set before the thread starts, then read-only

    InterfaceConfig config;  // test threads, under Bench::lock

    // Command exchange: a test thread holds commandLock for the whole exchange,
    // writes the inputs, sets commandEvent; the interface thread writes the
    // outputs and sets doneEvent.
    CRITICAL_SECTION commandLock;
    HANDLE commandEvent = nullptr;
    HANDLE doneEvent = nullptr;
    CommandKind kind = kCommandStats;   // test thread
    ServeMode commandMode = kServeNone; // test thread
    const BYTE* sendBytes = nullptr;    // test thread
    size_t sendSize = 0;                // test thread
    const std::vector<std::vector<BYTE>>* sendMany = nullptr;  // test thread
    DWORD sendInterval = 0;             // test thread, microseconds
    int sendReceivers = 0;              // interface thread
    ULONGLONG sendQpc = 0;              // interface thread
    std::vector<ULONGLONG>* sendManyQpcs = nullptr;  // test thread names it, interface thread fills it
    int sendManyDelivered = 0;          // interface thread
    PipeStats statsOut;                 // interface thread
    bool commandOk = false;             // interface thread

    HANDLE thread = nullptr;

    // Interface thread only.
    ServeMode mode = kServeNone;
    std::vector<PipeInstance*> instances;
    PipeStats stats;
};

void ResetIo(OVERLAPPED* io) {
    HANDLE event = io->hEvent;
    ZeroMemory(io, sizeof *io);
    io->hEvent = event;
    ResetEvent(event);
}

void CloseInstance(PipeInstance* instance) {
    if (instance->pipe != INVALID_HANDLE_VALUE) {
        // All of an instance's I/O is issued by this thread, so CancelIo reaches
        // it; the OVERLAPPEDs must outlive the cancelled operations.
        CancelIo(instance->pipe);
        DWORD bytes = 0;
        if (instance->connectPending) GetOverlappedResult(instance->pipe, &instance->connectIo, &bytes, TRUE);
        if (instance->watchPending) GetOverlappedResult(instance->pipe, &instance->watchIo, &bytes, TRUE);
        if (instance->writePending) GetOverlappedResult(instance->pipe, &instance->writeIo, &bytes, TRUE);
        // Closing without DisconnectNamedPipe is what makes the client's reads
        // fail with ERROR_BROKEN_PIPE, as a removed device does.
        CloseHandle(instance->pipe);
    }
    if (instance->connectIo.hEvent) CloseHandle(instance->connectIo.hEvent);
    if (instance->watchIo.hEvent) CloseHandle(instance->watchIo.hEvent);
    if (instance->writeIo.hEvent) CloseHandle(instance->writeIo.hEvent);
    delete instance;
}

void StartWatch(PipeInstance* instance) {
    ResetIo(&instance->watchIo);
    if (ReadFile(instance->pipe, instance->watchBuffer, sizeof instance->watchBuffer, nullptr,
                 &instance->watchIo) ||
        GetLastError() == ERROR_IO_PENDING) {
        instance->watchPending = true;
    } else {
        instance->gone = true;
    }
}

void MarkConnected(ServedInterface* served, PipeInstance* instance) {
    instance->connected = true;
    ++served->stats.accepted;
    StartWatch(instance);
}

bool CreateInstance(ServedInterface* served) {
    DWORD access = (served->mode == kServeFull ? PIPE_ACCESS_DUPLEX : PIPE_ACCESS_INBOUND) | FILE_FLAG_OVERLAPPED;
    HANDLE pipe = CreateNamedPipeW(served->pipePath.c_str(), access, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                   PIPE_UNLIMITED_INSTANCES, kPipeBufferSize, kPipeBufferSize, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return false;
    PipeInstance* instance = new PipeInstance;
    instance->pipe = pipe;
    instance->connectIo.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    instance->watchIo.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    instance->writeIo.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!instance->connectIo.hEvent || !instance->watchIo.hEvent || !instance->writeIo.hEvent) {
        CloseInstance(instance);
        return false;
    }
    if (ConnectNamedPipe(pipe, &instance->connectIo)) {
        MarkConnected(served, instance);
    } else if (GetLastError() == ERROR_IO_PENDING) {
        instance->connectPending = true;
    } else if (GetLastError() == ERROR_PIPE_CONNECTED) {
        MarkConnected(served, instance);
    } else {
        CloseInstance(instance);
        return false;
    }
    served->instances.push_back(instance);
    return true;
}

size_t IdleInstances(const ServedInterface* served) {
    size_t idle = 0;
    for (const PipeInstance* instance : served->instances) {
        if (!instance->connected && !instance->gone) ++idle;
    }
    return idle;
}

void SweepGone(ServedInterface* served) {
    std::vector<PipeInstance*> kept;
    for (PipeInstance* instance : served->instances) {
        if (instance->gone) CloseInstance(instance);
        else kept.push_back(instance);
    }
    served->instances.swap(kept);
}

void TopUpListeners(ServedInterface* served) {
    if (served->mode == kServeNone) return;
    while (IdleInstances(served) < kIdleInstances && served->instances.size() < kMaxInstances) {
        if (!CreateInstance(served)) break;
    }
}

void CloseAllInstances(ServedInterface* served) {
    for (PipeInstance* instance : served->instances) CloseInstance(instance);
    served->instances.clear();
}

void HandleWake(ServedInterface* served, PipeInstance* instance) {
    DWORD bytes = 0;
    if (!instance->connected) {
        instance->connectPending = false;
        if (GetOverlappedResult(instance->pipe, &instance->connectIo, &bytes, FALSE) ||
            GetLastError() == ERROR_PIPE_CONNECTED) {
            MarkConnected(served, instance);
        } else {
            instance->gone = true;
        }
        return;
    }
    instance->watchPending = false;
    if (GetOverlappedResult(instance->pipe, &instance->watchIo, &bytes, FALSE)) {
        StartWatch(instance);  // the client wrote something; keep watching
    } else {
        instance->gone = true;  // the client closed its last handle
    }
}

// Adds the events of the instances' outstanding connects and watches after
// the `count` slots already filled; returns the new count.
DWORD CollectWaits(const ServedInterface* served, HANDLE* waits, PipeInstance** owners, DWORD count) {
    for (PipeInstance* instance : served->instances) {
        if (count == MAXIMUM_WAIT_OBJECTS) break;
        if (instance->connected ? instance->watchPending : instance->connectPending) {
            waits[count] = instance->connected ? instance->watchIo.hEvent : instance->connectIo.hEvent;
            owners[count++] = instance;
        }
    }
    return count;
}

// Writes one report to every connected client; returns how many got it.
int SendToClients(ServedInterface* served, const BYTE* bytes, size_t size, ULONGLONG* sentQpc) {
    int receivers = 0;
    *sentQpc = QpcNow();
    if (served->mode != kServeFull) return 0;
    for (PipeInstance* instance : served->instances) {
        if (!instance->connected || instance->gone) continue;
        if (instance->writePending) {
            if (!HasOverlappedIoCompleted(&instance->writeIo)) {
                ++served->stats.reportsMissed;
                continue;
            }
            DWORD written = 0;
            GetOverlappedResult(instance->pipe, &instance->writeIo, &written, FALSE);
            instance->writePending = false;
        }
        instance->writeBuffer.assign(bytes, bytes + size);
        ResetIo(&instance->writeIo);
        if (WriteFile(instance->pipe, instance->writeBuffer.data(), static_cast<DWORD>(size), nullptr,
                      &instance->writeIo)) {
            ++receivers;
            ++served->stats.reportsWritten;
        } else if (GetLastError() == ERROR_IO_PENDING) {
            instance->writePending = true;
            ++receivers;
            ++served->stats.reportsWritten;
        } else {
            instance->gone = true;
        }
    }
    SweepGone(served);
    TopUpListeners(served);
    return receivers;
}

// Takes in the connects and closes that completed while a command was
// waiting, so a send reaches a client that has just opened and the
// statistics count every open.
void TakeInCompletions(ServedInterface* served) {
    for (size_t round = 0; round < kMaxInstances; ++round) {
        HANDLE waits[MAXIMUM_WAIT_OBJECTS];
        PipeInstance* owners[MAXIMUM_WAIT_OBJECTS];
        DWORD count = CollectWaits(served, waits, owners, 0);
        if (count == 0) break;
        DWORD wait = WaitForMultipleObjects(count, waits, FALSE, 0);
        if (wait >= WAIT_OBJECT_0 + count) break;  // nothing more has completed
        HandleWake(served, owners[wait - WAIT_OBJECT_0]);
    }
    SweepGone(served);
    TopUpListeners(served);
}

// Runs the pending command; true when the thread is to end.
bool RunCommand(ServedInterface* served) {
    TakeInCompletions(served);
    served->commandOk = true;
    switch (served->kind) {
        case kCommandServe:
            CloseAllInstances(served);
            served->mode = served->commandMode;
            TopUpListeners(served);
            served->commandOk = served->mode == kServeNone || IdleInstances(served) > 0;
            return false;
        case kCommandSend:
            served->sendReceivers = SendToClients(served, served->sendBytes, served->sendSize, &served->sendQpc);
            return false;
        case kCommandSendMany: {
            // An absolute schedule: Sleep's coarse steps make single gaps
            // uneven, but the rate comes out as asked.
            LARGE_INTEGER frequency;
            QueryPerformanceFrequency(&frequency);
            const double ticksPerUs = static_cast<double>(frequency.QuadPart) / 1e6;
            const ULONGLONG millisecond = static_cast<ULONGLONG>(1000 * ticksPerUs);
            const ULONGLONG start = QpcNow();
            served->sendManyDelivered = 0;
            for (size_t i = 0; i < served->sendMany->size(); ++i) {
                if (i > 0) {
                    ULONGLONG due = start + static_cast<ULONGLONG>(static_cast<double>(i) * served->sendInterval * ticksPerUs);
                    for (ULONGLONG now = QpcNow(); now < due && due - now >= millisecond; now = QpcNow()) Sleep(1);
                    TakeInCompletions(served);
                }
                const std::vector<BYTE>& report = (*served->sendMany)[i];
                ULONGLONG sentQpc = 0;
                if (SendToClients(served, report.data(), report.size(), &sentQpc) > 0) ++served->sendManyDelivered;
                if (served->sendManyQpcs) served->sendManyQpcs->push_back(sentQpc);
            }
            return false;
        }
        case kCommandStats: {
            served->statsOut = served->stats;
            served->statsOut.connected = 0;
            for (const PipeInstance* instance : served->instances) {
                if (instance->connected && !instance->gone) ++served->statsOut.connected;
            }
            return false;
        }
        case kCommandStop:
            CloseAllInstances(served);
            return true;
    }
    return false;
}

DWORD WINAPI ServeThread(void* argument) {
    ServedInterface* served = static_cast<ServedInterface*>(argument);
    for (;;) {
        HANDLE waits[MAXIMUM_WAIT_OBJECTS];
        PipeInstance* owners[MAXIMUM_WAIT_OBJECTS];
        waits[0] = served->commandEvent;
        owners[0] = nullptr;
        DWORD count = CollectWaits(served, waits, owners, 1);
        DWORD wait = WaitForMultipleObjects(count, waits, FALSE, INFINITE);
        if (wait == WAIT_OBJECT_0) {
            bool stop = RunCommand(served);
            SetEvent(served->doneEvent);
            if (stop) return 0;
        } else if (wait > WAIT_OBJECT_0 && wait < WAIT_OBJECT_0 + count) {
            HandleWake(served, owners[wait - WAIT_OBJECT_0]);
            SweepGone(served);
            TopUpListeners(served);
        } else {
            Sleep(10);  // cannot happen with valid handles; never spin
        }
    }
}

// Runs one command on the interface's thread and waits for its outcome.
// The caller has set the inputs while holding commandLock. Not
// SignalObjectAndWait: under Wine 8 a completion of the caller's own
// overlapped I/O restarts it, and the restart sets commandEvent again.
void Exchange(ServedInterface* served) {
    SetEvent(served->commandEvent);
    WaitForSingleObject(served->doneEvent, INFINITE);
}

bool Serve(ServedInterface* served, ServeMode mode) {
    EnterCriticalSection(&served->commandLock);
    served->kind = kCommandServe;
    served->commandMode = mode;
    Exchange(served);
    bool ok = served->commandOk;
    LeaveCriticalSection(&served->commandLock);
    return ok;
}

void StopInterface(ServedInterface* served) {
    if (served->thread) {
        EnterCriticalSection(&served->commandLock);
        served->kind = kCommandStop;
        Exchange(served);
        LeaveCriticalSection(&served->commandLock);
        WaitForSingleObject(served->thread, INFINITE);
        CloseHandle(served->thread);
    }
    if (served->commandEvent) CloseHandle(served->commandEvent);
    if (served->doneEvent) CloseHandle(served->doneEvent);
    DeleteCriticalSection(&served->commandLock);
    delete served;
}

bool ValidPipeName(const std::wstring& name) {
    if (name.empty() || name.size() > 200) return false;
    for (wchar_t c : name) {
        if (c <= 0x20 || c >= 0x7F || c == L'\\') return false;
    }
    return true;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    CloseHandle(file);
    return ok;
}

std::wstring FileNameOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

struct Bench {
    std::wstring folder;      // set at creation, then read-only
    std::wstring exePath;     // set at creation, then read-only
    std::wstring eventName;   // set at creation, then read-only
    HANDLE recordEvent = nullptr;
    std::wstring generationName;  // set at creation, then read-only
    HANDLE generationMapping = nullptr;
    volatile LONG* generation = nullptr;  // test threads, interlocked, after each new control file

    mutable CRITICAL_SECTION lock;  // guards everything below; taken by any test thread
    DWORD classDevsError = 0;
    DWORD enumError = 0;
    DWORD detailError = 0;
    std::vector<ServedInterface*> interfaces;
    CallRecordReader recordReader;  // how far the record file has been read
    std::vector<CallRecord> records;
};

namespace {

// Caller holds bench->lock. The new file is renamed over the old one, so the
// stand-ins read either the old or the new configuration, never half of one.
bool WriteControlFile(Bench* bench) {
    ControlConfig config;
    config.eventName = bench->eventName;
    config.generationName = bench->generationName;
    config.classDevsError = bench->classDevsError;
    config.enumError = bench->enumError;
    config.detailError = bench->detailError;
    for (const ServedInterface* served : bench->interfaces) config.interfaces.push_back(served->config);
    std::wstring target = bench->folder + kControlFileName;
    std::wstring fresh = target + L".new";
    if (!WriteBytes(fresh, FormatControlConfig(config))) return false;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (MoveFileExW(fresh.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            if (bench->generation) InterlockedIncrement(bench->generation);  // the stand-ins read it anew
            return true;
        }
        Sleep(1);  // a stand-in is reading it right now
    }
    return false;
}

// Caller holds bench->lock.
void RefreshRecords(Bench* bench) {
    ReadNewCallRecords(bench->folder + kRecordFileName, &bench->recordReader, &bench->records);
}

ServedInterface* InterfaceAt(const Bench* bench, int index) {
    EnterCriticalSection(&bench->lock);
    ServedInterface* served = nullptr;
    if (index >= 0 && static_cast<size_t>(index) < bench->interfaces.size()) served = bench->interfaces[index];
    LeaveCriticalSection(&bench->lock);
    return served;
}

// Changes the interface's configuration and rewrites the control file.
template <typename Change>
bool ChangeConfig(Bench* bench, int index, Change change) {
    ServedInterface* served = InterfaceAt(bench, index);
    if (!served) return false;
    EnterCriticalSection(&bench->lock);
    change(&served->config);
    bool ok = WriteControlFile(bench);
    LeaveCriticalSection(&bench->lock);
    return ok;
}

}  // namespace

std::wstring StandInDir() {
    WCHAR fromEnvironment[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"VELATRIX_FAKE_SENSOR_DIR", fromEnvironment, MAX_PATH);
    std::wstring dir;
    if (n > 0 && n < MAX_PATH) {
        dir.assign(fromEnvironment, n);
    } else {
        for (const char* c = VELATRIX_FAKE_SENSOR_DIR; *c; ++c) dir.push_back(static_cast<wchar_t>(*c));
    }
    std::replace(dir.begin(), dir.end(), L'/', L'\\');
    if (!dir.empty() && dir.back() != L'\\') dir.push_back(L'\\');
    return dir;
}

void DestroyBench(Bench* bench) {
    if (!bench) return;
    for (ServedInterface* served : bench->interfaces) StopInterface(served);
    bench->interfaces.clear();
    if (bench->recordEvent) CloseHandle(bench->recordEvent);
    if (bench->generation) UnmapViewOfFile(const_cast<LONG*>(bench->generation));
    if (bench->generationMapping) CloseHandle(bench->generationMapping);
    if (!bench->folder.empty()) testsupport::RemoveTree(bench->folder.substr(0, bench->folder.size() - 1));
    DeleteCriticalSection(&bench->lock);
    delete bench;
}

BenchPtr CreateBench(const std::wstring& exePath) {
    static LONG serial = 0;
    BenchPtr bench(new Bench);
    InitializeCriticalSection(&bench->lock);
    std::wstring dir = testsupport::MakeFreshDir(L"fake-sensor");
    if (dir.empty()) return nullptr;
    bench->folder = dir + L"\\";
    std::wstring source = StandInDir();
    for (const wchar_t* dll : {L"hid.dll", L"setupapi.dll"}) {
        if (!CopyFileW((source + dll).c_str(), (bench->folder + dll).c_str(), FALSE)) return nullptr;
    }
    if (!exePath.empty()) {
        bench->exePath = bench->folder + FileNameOf(exePath);
        if (!CopyFileW(exePath.c_str(), bench->exePath.c_str(), FALSE)) return nullptr;
    }
    WCHAR name[96];
    swprintf(name, 96, L"Local\\velatrix-fake-sensor-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&serial));
    bench->eventName = name;
    bench->recordEvent = CreateEventW(nullptr, FALSE, FALSE, name);
    if (!bench->recordEvent) return nullptr;
    bench->generationName = bench->eventName + L"-generation";
    bench->generationMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                                  bench->generationName.c_str());
    if (!bench->generationMapping) return nullptr;
    bench->generation = static_cast<volatile LONG*>(MapViewOfFile(bench->generationMapping, FILE_MAP_WRITE, 0, 0, 0));
    if (!bench->generation) return nullptr;
    if (!WriteBytes(bench->folder + kRecordFileName, std::string())) return nullptr;
    EnterCriticalSection(&bench->lock);
    bool written = WriteControlFile(bench.get());
    LeaveCriticalSection(&bench->lock);
    if (!written) return nullptr;
    return bench;
}

std::wstring BenchFolder(const Bench* bench) { return bench->folder; }
std::wstring BenchExePath(const Bench* bench) { return bench->exePath; }

std::wstring UniquePipeName(const std::wstring& tail) {
    static LONG serial = 0;
    WCHAR head[32];
    swprintf(head, 32, L"vx%08lx-%06lx", GetCurrentProcessId(),
             static_cast<unsigned long>(InterlockedIncrement(&serial)) & 0xFFFFFFul);
    return head + tail;
}

int AddInterface(Bench* bench, const InterfaceConfig& config, ServeMode mode) {
    if (!ValidPipeName(config.pipe)) return -1;
    ServedInterface* served = new ServedInterface;
    InitializeCriticalSection(&served->commandLock);
    served->pipePath = kPipePrefix + config.pipe;
    served->config = config;
    served->commandEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    served->doneEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (served->commandEvent && served->doneEvent) {
        served->thread = CreateThread(nullptr, 0, ServeThread, served, 0, nullptr);
    }
    if (!served->thread || !Serve(served, mode)) {
        StopInterface(served);
        return -1;
    }
    EnterCriticalSection(&bench->lock);
    bench->interfaces.push_back(served);
    int index = static_cast<int>(bench->interfaces.size()) - 1;
    bool written = WriteControlFile(bench);
    LeaveCriticalSection(&bench->lock);
    return written ? index : -1;
}

bool Plug(Bench* bench, int index) {
    ServedInterface* served = InterfaceAt(bench, index);
    if (!served || !Serve(served, kServeFull)) return false;
    return ChangeConfig(bench, index, [](InterfaceConfig* config) { config->present = true; });
}

bool Unplug(Bench* bench, int index) {
    ServedInterface* served = InterfaceAt(bench, index);
    if (!served) return false;
    bool listed = ChangeConfig(bench, index, [](InterfaceConfig* config) { config->present = false; });
    return Serve(served, kServeNone) && listed;
}

bool SetServeMode(Bench* bench, int index, ServeMode mode) {
    ServedInterface* served = InterfaceAt(bench, index);
    return served && Serve(served, mode);
}

bool UpdateInterface(Bench* bench, int index, const InterfaceConfig& config) {
    return ChangeConfig(bench, index, [&config](InterfaceConfig* current) {
        std::wstring pipe = current->pipe;
        *current = config;
        current->pipe = pipe;
    });
}

InterfaceConfig InterfaceSettings(const Bench* bench, int index) {
    ServedInterface* served = InterfaceAt(bench, index);
    InterfaceConfig config;
    if (!served) return config;
    EnterCriticalSection(&bench->lock);
    config = served->config;
    LeaveCriticalSection(&bench->lock);
    return config;
}

bool SetWalkSwitches(Bench* bench, DWORD classDevsError, DWORD enumError, DWORD detailError) {
    EnterCriticalSection(&bench->lock);
    bench->classDevsError = classDevsError;
    bench->enumError = enumError;
    bench->detailError = detailError;
    bool ok = WriteControlFile(bench);
    LeaveCriticalSection(&bench->lock);
    return ok;
}

int SendReport(Bench* bench, int index, const void* bytes, size_t size, ULONGLONG* sentQpc) {
    ServedInterface* served = InterfaceAt(bench, index);
    if (!served || (!bytes && size != 0) || size > kPipeBufferSize) return -1;
    EnterCriticalSection(&served->commandLock);
    served->kind = kCommandSend;
    served->sendBytes = static_cast<const BYTE*>(bytes);
    served->sendSize = size;
    Exchange(served);
    int receivers = served->sendReceivers;
    if (sentQpc) *sentQpc = served->sendQpc;
    LeaveCriticalSection(&served->commandLock);
    return receivers;
}

int SendReports(Bench* bench, int index, const std::vector<std::vector<BYTE>>& reports, DWORD intervalUs,
                std::vector<ULONGLONG>* sentQpcs) {
    ServedInterface* served = InterfaceAt(bench, index);
    if (!served) return -1;
    for (const std::vector<BYTE>& report : reports) {
        if (report.size() > kPipeBufferSize) return -1;
    }
    if (sentQpcs) sentQpcs->clear();
    EnterCriticalSection(&served->commandLock);
    served->kind = kCommandSendMany;
    served->sendMany = &reports;
    served->sendInterval = intervalUs;
    served->sendManyQpcs = sentQpcs;
    Exchange(served);
    int delivered = served->sendManyDelivered;
    served->sendMany = nullptr;
    served->sendManyQpcs = nullptr;
    LeaveCriticalSection(&served->commandLock);
    return delivered;
}

int SendOrientation(Bench* bench, int index, BYTE orientationByte, ULONGLONG* sentQpc) {
    InterfaceConfig config = InterfaceSettings(bench, index);
    std::vector<BYTE> report(std::max<size_t>(config.inputReportLength, 2), 0);
    report[0] = kInputReportId;
    report[1] = orientationByte;
    return SendReport(bench, index, report.data(), report.size(), sentQpc);
}

PipeStats GetPipeStats(Bench* bench, int index) {
    ServedInterface* served = InterfaceAt(bench, index);
    PipeStats stats;
    if (!served) return stats;
    EnterCriticalSection(&served->commandLock);
    served->kind = kCommandStats;
    Exchange(served);
    stats = served->statsOut;
    LeaveCriticalSection(&served->commandLock);
    return stats;
}

bool WaitForConnected(Bench* bench, int index, int count, DWORD timeoutMs) {
    ULONGLONG start = GetTickCount64();
    for (;;) {
        if (GetPipeStats(bench, index).connected == count) return true;
        if (GetTickCount64() - start >= timeoutMs) return false;
        Sleep(5);
    }
}

std::vector<CallRecord> CallRecords(Bench* bench) {
    EnterCriticalSection(&bench->lock);
    RefreshRecords(bench);
    std::vector<CallRecord> records = bench->records;
    LeaveCriticalSection(&bench->lock);
    return records;
}

std::vector<CallRecord> CallsOn(Bench* bench, int index, const char* call) {
    std::wstring pipe;
    if (index >= 0) {
        ServedInterface* served = InterfaceAt(bench, index);
        if (!served) return {};
        pipe = served->pipePath.substr(wcslen(kPipePrefix));
    }
    std::vector<CallRecord> calls;
    EnterCriticalSection(&bench->lock);
    RefreshRecords(bench);
    for (const CallRecord& record : bench->records) {
        if (record.call == call && (index < 0 || record.pipe == pipe)) calls.push_back(record);
    }
    LeaveCriticalSection(&bench->lock);
    return calls;
}

bool WaitForCalls(Bench* bench, int index, const char* call, size_t count, DWORD timeoutMs,
                  std::vector<CallRecord>* calls) {
    ULONGLONG start = GetTickCount64();
    for (;;) {
        *calls = CallsOn(bench, index, call);
        if (calls->size() >= count) return true;
        ULONGLONG elapsed = GetTickCount64() - start;
        if (elapsed >= timeoutMs) return false;
        // The stand-ins set the event after each line; the cap covers a wake-up
        // taken by another waiting thread.
        WaitForSingleObject(bench->recordEvent, static_cast<DWORD>(std::min<ULONGLONG>(timeoutMs - elapsed, 20)));
    }
}

ULONGLONG QpcNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<ULONGLONG>(now.QuadPart);
}

double QpcMicroseconds(ULONGLONG from, ULONGLONG to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    double delta = to >= from ? static_cast<double>(to - from) : -static_cast<double>(from - to);
    return delta * 1e6 / static_cast<double>(frequency.QuadPart);
}

}  // namespace fakesensor
