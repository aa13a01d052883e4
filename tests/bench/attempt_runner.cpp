// Runs the set-up attempt process beside the stand-in DLLs, switching the
// simulated sensor from one failure to the next between batches of attempts.
#include "tests/bench/attempt_runner.h"

#include <stdio.h>

#include <algorithm>

#include "tests/bench/bench_common.h"
#include "tests/fake_sensor/fake_sensor_control.h"
#include "tests/support/test_support.h"

namespace bench {

using fakesensor::kServeFull;
using fakesensor::kServeNone;
using fakesensor::kServeQueryOnly;

const DWORD NO_SENSOR = ERROR_NO_MORE_ITEMS;
const DWORD UNEXPECTED = static_cast<DWORD>(E_UNEXPECTED);
const DWORD GOOD_CAPS = fakesensor::kHidpStatusSuccess;
const DWORD BAD_CAPS = 0xC0110001;  // HIDP_STATUS_INVALID_PREPARSED_DATA

const FailureCase FAILURE_CASES[] = {
    // name                          classdevs enum detail listed serve         vid     attr   prep   caps       in  expected
    {"no sensor listed",                   0,    0,    0,    0, kServeFull,      0x1770, true,  true,  GOOD_CAPS, 8, NO_SENSOR},
    {"class list refused",                 5,    0,    0,    1, kServeFull,      0x1770, true,  true,  GOOD_CAPS, 8, 5},
    {"enumeration fails",                 31,    0,    0,    1, kServeFull,      0x1770, true,  true,  GOOD_CAPS, 8, 31},
    {"interface detail fails",             0,    0, 1167,    1, kServeFull,      0x1770, true,  true,  GOOD_CAPS, 8, 1167},
    {"listed, but does not open",          0,    0,    0,    1, kServeNone,      0x1770, true,  true,  GOOD_CAPS, 8, NO_SENSOR},
    {"other vendor ID",                    0,    0,    0,    1, kServeFull,      0x1234, true,  true,  GOOD_CAPS, 8, NO_SENSOR},
    {"attributes refused",                 0,    0,    0,    1, kServeFull,      0x1770, false, true,  GOOD_CAPS, 8, NO_SENSOR},
    {"another interface path",             0,    0,    0,    2, kServeFull,      0x1770, true,  true,  GOOD_CAPS, 8, NO_SENSOR},
    {"read open refused",                  0,    0,    0,    1, kServeQueryOnly, 0x1770, true,  true,  GOOD_CAPS, 8, ERROR_ACCESS_DENIED},
    {"preparsed data refused",             0,    0,    0,    1, kServeFull,      0x1770, true,  false, GOOD_CAPS, 8, UNEXPECTED},
    {"capabilities refused",               0,    0,    0,    1, kServeFull,      0x1770, true,  true,  BAD_CAPS,  8, BAD_CAPS},
    {"1-byte input reports",               0,    0,    0,    1, kServeFull,      0x1770, true,  true,  GOOD_CAPS, 1, UNEXPECTED},
    {"0-byte input reports",               0,    0,    0,    1, kServeFull,      0x1770, true,  true,  GOOD_CAPS, 0, UNEXPECTED},
};
const size_t FAILURE_CASE_COUNT = sizeof FAILURE_CASES / sizeof FAILURE_CASES[0];

namespace {

// The attempt process and the parent's ends of its standard input and output.
struct AttemptProcess {
    PROCESS_INFORMATION info = {};
    HANDLE toChild = nullptr;
    HANDLE fromChild = nullptr;
};

bool StartAttemptProcess(const std::wstring& exe, const std::wstring& tempDir, AttemptProcess* process) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE childIn = nullptr, childOut = nullptr;
    if (!CreatePipe(&childIn, &process->toChild, &inherit, 0)) return false;
    if (!CreatePipe(&process->fromChild, &childOut, &inherit, 0)) {
        CloseHandle(childIn);
        return false;
    }
    SetHandleInformation(process->toChild, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(process->fromChild, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring commandLine = L"\"" + exe + L"\"";
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    BOOL started;
    {
        // The process's main log goes into the bench's own folder.
        testsupport::ScopedTempFolder redirect(tempDir);
        started = CreateProcessW(exe.c_str(), buffer.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                 &process->info);
    }
    CloseHandle(childIn);
    CloseHandle(childOut);
    return started != FALSE;
}

void StopAttemptProcess(AttemptProcess* process) {
    if (process->toChild) {
        DWORD written = 0;
        WriteFile(process->toChild, "quit\n", 5, &written, nullptr);
        CloseHandle(process->toChild);
    }
    if (process->info.hProcess) {
        if (WaitForSingleObject(process->info.hProcess, 10000) != WAIT_OBJECT_0) {
            TerminateProcess(process->info.hProcess, 1);
        }
        CloseHandle(process->info.hProcess);
        CloseHandle(process->info.hThread);
    }
    if (process->fromChild) CloseHandle(process->fromChild);
    *process = AttemptProcess();
}

struct Reply {
    DWORD result = 0;
    double meanUs = 0;
    Resources resources;
    unsigned matched = 0;
};

bool Command(AttemptProcess* process, const std::string& line, Reply* reply) {
    std::string text = line + "\n";
    DWORD written = 0;
    if (!WriteFile(process->toChild, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) return false;
    std::string answer;
    for (;;) {
        char c = 0;
        DWORD got = 0;
        if (!ReadFile(process->fromChild, &c, 1, &got, nullptr) || got == 0) return false;
        if (c == '\n') break;
        answer.push_back(c);
    }
    unsigned long result = 0, handles = 0;
    double mean = 0;
    unsigned long long bytes = 0, blocks = 0, privateBytes = 0;
    unsigned matched = 0;
    if (sscanf(answer.c_str(), "ok %lu %lf %lu %llu %llu %llu %u", &result, &mean, &handles, &bytes, &blocks,
               &privateBytes, &matched) != 7) {
        return false;
    }
    reply->matched = matched;
    reply->result = result;
    reply->meanUs = mean;
    reply->resources.handles = handles;
    reply->resources.heapBytes = bytes;
    reply->resources.heapBlocks = blocks;
    reply->resources.privateBytes = privateBytes;
    return true;
}

bool ApplyCase(fakesensor::Bench* bench, int sensor, int other, const FailureCase& c) {
    bool ok = fakesensor::SetWalkSwitches(bench, c.classDevsError, c.enumError, c.detailError);
    fakesensor::InterfaceConfig config = fakesensor::InterfaceSettings(bench, sensor);
    config.present = c.listed == 1;
    config.vendorId = c.vendorId;
    config.attributesOk = c.attributesOk;
    config.preparsedOk = c.preparsedOk;
    config.capsStatus = c.capsStatus;
    config.inputReportLength = c.inputReportLength;
    ok = fakesensor::UpdateInterface(bench, sensor, config) && ok;
    fakesensor::InterfaceConfig otherConfig = fakesensor::InterfaceSettings(bench, other);
    otherConfig.present = c.listed == 2;
    ok = fakesensor::UpdateInterface(bench, other, otherConfig) && ok;
    if (fakesensor::InterfaceSettings(bench, sensor).pipe.empty()) return false;
    return fakesensor::SetServeMode(bench, sensor, static_cast<fakesensor::ServeMode>(c.serveMode)) && ok;
}

std::string Attempts(int count, const FailureCase& c, DWORD pauseMs) {
    return "attempt " + std::to_string(count) + " " + std::to_string(c.expected) + " " + std::to_string(pauseMs);
}

void TakePeak(const Resources& now, Resources* peak) {
    peak->handles = std::max(peak->handles, now.handles);
    peak->heapBytes = std::max(peak->heapBytes, now.heapBytes);
    peak->heapBlocks = std::max(peak->heapBlocks, now.heapBlocks);
    peak->privateBytes = std::max(peak->privateBytes, now.privateBytes);
}

}  // namespace

bool RunLeakSeries(int perCase, int warmupPerCase, DWORD pauseMs, LeakSeries* series, std::string* error) {
    *series = LeakSeries();
    fakesensor::BenchPtr bench = fakesensor::CreateBench(testsupport::ModuleDir() + L"setup_attempts.exe");
    if (!bench) {
        *error = "cannot make a folder with the stand-in DLLs and setup_attempts.exe";
        return false;
    }
    fakesensor::InterfaceConfig sensorConfig;
    sensorConfig.pipe = fakesensor::UniquePipeName(L"mi_00&col02#leak");
    int sensor = fakesensor::AddInterface(bench.get(), sensorConfig);
    fakesensor::InterfaceConfig otherConfig;
    otherConfig.pipe = fakesensor::UniquePipeName(L"mi_01&col01#other");
    otherConfig.present = false;
    int other = fakesensor::AddInterface(bench.get(), otherConfig);
    if (sensor < 0 || other < 0) {
        *error = "cannot add the simulated interfaces";
        return false;
    }
    std::wstring tempDir = fakesensor::BenchFolder(bench.get()) + L"temp";
    CreateDirectoryW(tempDir.c_str(), nullptr);

    AttemptProcess process;
    if (!StartAttemptProcess(fakesensor::BenchExePath(bench.get()), tempDir, &process)) {
        *error = "cannot start setup_attempts.exe";
        return false;
    }
    bool ok = true;
    Reply reply;
    for (size_t i = 0; ok && i < FAILURE_CASE_COUNT; ++i) {
        ok = ApplyCase(bench.get(), sensor, other, FAILURE_CASES[i]) &&
             Command(&process, Attempts(warmupPerCase, FAILURE_CASES[i], pauseMs), &reply);
    }
    ok = ok && Command(&process, "measure", &reply);
    series->baseline = reply.resources;
    series->peak = reply.resources;
    double totalUs = 0;
    for (size_t i = 0; ok && i < FAILURE_CASE_COUNT; ++i) {
        const FailureCase& c = FAILURE_CASES[i];
        ok = ApplyCase(bench.get(), sensor, other, c) && Command(&process, Attempts(perCase, c, pauseMs), &reply);
        if (!ok) break;
        // The simulated pipe keeps two listening instances and tops them up
        // from its own thread; an attempt that comes before that finds the
        // pipe busy (ERROR_PIPE_BUSY, or no sensor when the query open is the
        // one refused). Those attempts still fail and still count here; the
        // switch is taken to work when some attempts give its result.
        series->otherResults += perCase - static_cast<int>(reply.matched);
        if (reply.matched == 0) {
            char text[160];
            snprintf(text, sizeof text, "%s: %u of %d gave %lu (last result %lu)", c.name, reply.matched, perCase,
                     c.expected, reply.result);
            series->mismatches.push_back(text);
        }
        totalUs += reply.meanUs * perCase;
        series->attempts += perCase;
        TakePeak(reply.resources, &series->peak);
    }
    ok = ok && Command(&process, "measure", &reply);
    series->final = reply.resources;
    StopAttemptProcess(&process);
    if (!ok) {
        *error = "setup_attempts.exe did not answer (is WINEDLLOVERRIDES=hid,setupapi=n,b set?)";
        return false;
    }
    series->meanAttemptUs = series->attempts ? totalUs / series->attempts : 0;
    SIZE_T own = 0;
    ProcessPrivateBytes(GetCurrentProcess(), &own, &series->privateFromPagefile);
    return true;
}

}  // namespace bench
