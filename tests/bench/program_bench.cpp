// Runs the real VELATRIX.EXE against the simulated sensor and measures its idle
// cost, reaction time, report flood, plug/unplug leaks and start-up.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "orientation/display_orientation.h"
#include "tests/bench/bench_common.h"
#include "tests/fake_sensor/fake_sensor_control.h"
#include "tests/support/test_support.h"

// Usage: program_bench.exe idle|reaction|flood|plug|startup
// Prints Markdown rows of the result table on standard output and progress
// on standard error. Needs WINEDLLOVERRIDES=hid,setupapi=n,b in the Unix
// environment, as the simulated sensor does.

namespace {

using bench::Format;
using fakesensor::CallRecord;

const wchar_t MAIN_WINDOW_CLASS[] = L"DemQelseineKELTOAnwendungLiebeLeute";
const long long TICK_MS = 10;  // Linux reports utime and stime in 1/100 s

void Progress(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fprintf(stderr, "program_bench: ");
    vfprintf(stderr, format, args);
    fprintf(stderr, "\n");
    va_end(args);
}

// The call record of a bench folder, read on from where the last read ended.
struct RecordTail {
    std::wstring path;
    fakesensor::CallRecordReader reader;
    std::vector<CallRecord> records;
    size_t next = 0;  // first record not yet taken by NextRecord
    HANDLE event = nullptr;
};

void OpenTail(fakesensor::Bench* bench, RecordTail* tail) {
    std::wstring folder = fakesensor::BenchFolder(bench);
    tail->path = folder + fakesensor::kRecordFileName;
    std::string text;
    fakesensor::ControlConfig config;
    if (testsupport::ReadFileBytes(folder + fakesensor::kControlFileName, &text)) {
        fakesensor::ParseControlConfig(text, &config);
    }
    // The stand-ins set this event after every record line.
    if (!config.eventName.empty()) tail->event = OpenEventW(SYNCHRONIZE, FALSE, config.eventName.c_str());
}

void CloseTail(RecordTail* tail) {
    if (tail->event) CloseHandle(tail->event);
    tail->event = nullptr;
}

void ReadTail(RecordTail* tail) {
    fakesensor::ReadNewCallRecords(tail->path, &tail->reader, &tail->records);
}

// The next record of `call` (on `pipe`, unless empty) after those already
// taken; false when none comes within `timeoutMs`.
bool NextRecord(RecordTail* tail, const char* call, const std::wstring& pipe, DWORD timeoutMs, CallRecord* found) {
    ULONGLONG start = GetTickCount64();
    for (;;) {
        while (tail->next < tail->records.size()) {
            const CallRecord& record = tail->records[tail->next++];
            if (record.call == call && (pipe.empty() || record.pipe == pipe)) {
                *found = record;
                return true;
            }
        }
        ULONGLONG elapsed = GetTickCount64() - start;
        if (elapsed >= timeoutMs) return false;
        if (tail->event) {
            WaitForSingleObject(tail->event, static_cast<DWORD>(std::min<ULONGLONG>(timeoutMs - elapsed, 10)));
        } else {
            Sleep(1);
        }
        ReadTail(tail);
    }
}

size_t CountRecords(const RecordTail& tail, const char* call) {
    size_t count = 0;
    for (const CallRecord& record : tail.records) {
        if (record.call == call) ++count;
    }
    return count;
}

// One run of the program in a bench folder of its own, with its logs in a
// temporary folder of its own.
struct ProgramRun {
    fakesensor::BenchPtr bench;
    int sensor = -1;
    std::wstring pipe;  // the sensor's pipe name as the record spells it
    std::wstring logDir;
    testsupport::ChildProcess child;
    ULONGLONG startQpc = 0;
    ULONGLONG startLocalMs = 0;  // local time just before the start, in ms
    DWORD unixPid = 0;
    RecordTail tail;
};

ULONGLONG LocalTimeMs(const SYSTEMTIME& time) {
    FILETIME asFileTime;
    SystemTimeToFileTime(&time, &asFileTime);
    ULARGE_INTEGER value;
    value.LowPart = asFileTime.dwLowDateTime;
    value.HighPart = asFileTime.dwHighDateTime;
    return value.QuadPart / 10000;
}

bool StartProgram(ProgramRun* run, bool withSensor, std::string* error) {
    std::wstring exe = testsupport::ModuleDir() + L"VELATRIX.EXE";
    run->bench = fakesensor::CreateBench(exe);
    if (!run->bench) {
        *error = "cannot make a bench folder with the stand-in DLLs and VELATRIX.EXE";
        return false;
    }
    if (withSensor) {
        fakesensor::InterfaceConfig sensor;
        sensor.pipe = fakesensor::UniquePipeName(L"mi_00&col02#bench");
        run->sensor = fakesensor::AddInterface(run->bench.get(), sensor);
        if (run->sensor < 0) {
            *error = "cannot add the simulated sensor";
            return false;
        }
        run->pipe = sensor.pipe;
    }
    std::wstring temp = fakesensor::BenchFolder(run->bench.get()) + L"temp";
    CreateDirectoryW(temp.c_str(), nullptr);
    run->logDir = testsupport::LogFolderUnder(temp);
    OpenTail(run->bench.get(), &run->tail);

    std::wstring path = fakesensor::BenchExePath(run->bench.get());
    bool started;
    {
        testsupport::ScopedTempFolder redirect(temp);
        SYSTEMTIME now;
        GetLocalTime(&now);
        run->startLocalMs = LocalTimeMs(now);
        run->startQpc = fakesensor::QpcNow();
        started = run->child.Start(path);
    }
    if (!started) {
        *error = "cannot start VELATRIX.EXE";
        return false;
    }
    // Wine gives the Unix process the Windows command line, which holds the
    // bench folder's unique path.
    std::string narrowPath = testsupport::Narrow(path);
    for (int i = 0; i < 200 && run->unixPid == 0; ++i) {
        run->unixPid = bench::UnixPidByCommandLine(narrowPath);
        if (run->unixPid == 0) Sleep(10);
    }
    if (run->unixPid == 0) Progress("warning: Unix process of VELATRIX.EXE not found");
    return true;
}

// Ends the program as the system would, with WM_CLOSE to its hidden window.
bool StopProgram(ProgramRun* run) {
    DWORD exitCode = 1;
    HWND window = run->child.FindWindowOf(MAIN_WINDOW_CLASS, 5000);
    if (window) PostMessageW(window, WM_CLOSE, 0, 0);
    bool ended = run->child.Wait(15000, &exitCode);
    if (!ended) TerminateProcess(run->child.Handle(), 1);
    CloseTail(&run->tail);
    return ended && exitCode == 0;
}

// Newest log of `name` in the run's log folder (the numbers sort as text).
std::wstring NewestLog(const ProgramRun& run, const wchar_t* name) {
    std::vector<std::wstring> files = testsupport::ListFiles(run.logDir, (std::wstring(name) + L"*.log").c_str());
    return files.empty() ? std::wstring() : run.logDir + L"\\" + files.back();
}

std::vector<std::wstring> LogLines(const std::wstring& path) {
    std::wstring text;
    if (path.empty() || !testsupport::ReadUtf16File(path, &text)) return {};
    return testsupport::SplitLines(text);
}

size_t CountMessages(const std::vector<std::wstring>& lines, const std::wstring& prefix) {
    size_t count = 0;
    for (const std::wstring& line : lines) {
        if (testsupport::HasTimestamp(line) && testsupport::Message(line).compare(0, prefix.size(), prefix) == 0) {
            ++count;
        }
    }
    return count;
}

// Local time of a line's "MM/DD/YYYY HH:MM:SS.mmm: " timestamp, in ms.
bool LineTimeMs(const std::wstring& line, ULONGLONG* ms) {
    SYSTEMTIME time = {};
    unsigned month, day, year, hour, minute, second, milli;
    if (swscanf(line.c_str(), L"%u/%u/%u %u:%u:%u.%u", &month, &day, &year, &hour, &minute, &second, &milli) != 7) {
        return false;
    }
    time.wMonth = static_cast<WORD>(month);
    time.wDay = static_cast<WORD>(day);
    time.wYear = static_cast<WORD>(year);
    time.wHour = static_cast<WORD>(hour);
    time.wMinute = static_cast<WORD>(minute);
    time.wSecond = static_cast<WORD>(second);
    time.wMilliseconds = static_cast<WORD>(milli);
    *ms = LocalTimeMs(time);
    return true;
}

LONGLONG FileSizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

struct CpuSample {
    long long ticks = -1;        // the program's Unix process
    long long serverTicks = -1;  // the prefix's wineserver
    double reportedMs = -1;      // GetProcessTimes on the child
};

CpuSample SampleCpu(const ProgramRun& run) {
    CpuSample sample;
    sample.ticks = run.unixPid ? bench::UnixCpuTicks(run.unixPid) : -1;
    sample.serverTicks = bench::ServerCpuTicks();
    sample.reportedMs = bench::ProcessCpuMs(run.child.Handle());
    return sample;
}

std::string ServerNote(const CpuSample& a, const CpuSample& b) {
    if (a.serverTicks < 0 || b.serverTicks < 0) return "wineserver not measured";
    return Format("for context, the prefix's wineserver (which serves every process there, Wine's own services "
                  "too) used %lld ms",
                  (b.serverTicks - a.serverTicks) * TICK_MS);
}

// 1. Idle cost: 30 s with the sensor present and no reports, and 30 s without a sensor.
int RunIdle() {
    const DWORD windowMs = 30000;
    std::string error;
    {
        Progress("idle: Running (sensor present, no reports), 30 s");
        ProgramRun run;
        if (!StartProgram(&run, true, &error)) {
            Progress("%s", error.c_str());
            return 1;
        }
        CallRecord first;
        bool running = NextRecord(&run.tail, fakesensor::kCallFeature, run.pipe, 15000, &first);
        Sleep(2000);
        std::wstring rotationLog = NewestLog(run, L"RotationThread");
        LONGLONG logBefore = FileSizeOf(rotationLog);
        ReadTail(&run.tail);
        size_t featuresBefore = CountRecords(run.tail, fakesensor::kCallFeature);
        CpuSample a = SampleCpu(run);
        Sleep(windowMs);
        CpuSample b = SampleCpu(run);
        ReadTail(&run.tail);
        size_t featuresAfter = CountRecords(run.tail, fakesensor::kCallFeature);
        LONGLONG logAfter = FileSizeOf(rotationLog);
        StopProgram(&run);
        long long cpuMs = (b.ticks - a.ticks) * TICK_MS;
        bool measured = running && a.ticks >= 0 && b.ticks >= 0;
        bench::PrintRow("1. Idle cost, Running (sensor present, no reports), 30 s",
                        measured ? Format("%lld ms CPU (%.3f%%); %zu feature reports, rotation log %+lld bytes",
                                          cpuMs, cpuMs * 100.0 / windowMs, featuresAfter - featuresBefore,
                                          logAfter - logBefore)
                                 : std::string("not measured (no set-up or no Unix process)"),
                        "no CPU beyond noise (at most 2 ticks of 10 ms), no wake-up: no feature report, no log line",
                        measured && cpuMs <= 2 * TICK_MS && featuresAfter == featuresBefore && logAfter == logBefore,
                        Format("utime+stime of the program's Unix process (Z:\\proc\\<pid>\\stat) over the window; "
                               "GetProcessTimes on the child says %.0f ms, but Wine 8 does not update it for "
                               "another process; %s",
                               b.reportedMs - a.reportedMs, ServerNote(a, b).c_str()));
    }
    {
        Progress("idle: Waiting (no sensor), 30 s");
        ProgramRun run;
        if (!StartProgram(&run, false, &error)) {
            Progress("%s", error.c_str());
            return 1;
        }
        Sleep(2500);
        std::wstring mainLog = NewestLog(run, L"main");
        ReadTail(&run.tail);
        size_t walksBefore = CountRecords(run.tail, "classdevs");
        std::vector<std::wstring> linesBefore = LogLines(mainLog);
        CpuSample a = SampleCpu(run);
        Sleep(windowMs);
        CpuSample b = SampleCpu(run);
        ReadTail(&run.tail);
        size_t walks = CountRecords(run.tail, "classdevs") - walksBefore;
        std::vector<std::wstring> linesAfter = LogLines(mainLog);
        StopProgram(&run);
        size_t lines = linesAfter.size() - linesBefore.size();
        size_t ticks = CountMessages(linesAfter, L"Setting up hid device from timer") -
                       CountMessages(linesBefore, L"Setting up hid device from timer");
        long long cpuMs = (b.ticks - a.ticks) * TICK_MS;
        bool measured = a.ticks >= 0 && b.ticks >= 0;
        bench::PrintRow("1. Idle cost, Waiting (no sensor), 30 s",
                        measured ? Format("%lld ms CPU (%.3f%%) for %zu walks, %.1f ms per walk; %zu log lines",
                                          cpuMs, cpuMs * 100.0 / windowMs, walks, walks ? double(cpuMs) / walks : 0.0,
                                          lines)
                                 : std::string("not measured (no Unix process)"),
                        "one discovery walk a second (30 +/- 1) and nothing in between: 2 main log lines per tick",
                        measured && walks >= 29 && walks <= 31 && ticks == walks && lines == 2 * walks,
                        Format("as above; walks counted by the stand-in setupapi (SetupDiGetClassDevsW calls), "
                               "ticks by \"Setting up hid device from timer\" lines (%zu); GetProcessTimes says "
                               "%.0f ms; %s",
                               ticks, b.reportedMs - a.reportedMs, ServerNote(a, b).c_str()));
    }
    return 0;
}

struct ReactionSeries {
    std::vector<double> first, second, all;  // microseconds; first/second by target orientation
    int missing = 0, wrongByte = 0;
};

// `count` reports after `warmup` unmeasured ones, alternating between the
// orientation bytes `a` and `b`, one at a time: each is a change.
void MeasureReactions(ProgramRun* run, BYTE a, BYTE featureA, BYTE b, BYTE featureB, int warmup, int count,
                      ReactionSeries* series) {
    CallRecord record;
    for (int i = 0; i < warmup + count; ++i) {
        bool first = i % 2 == 0;
        ULONGLONG sent = 0;
        fakesensor::SendOrientation(run->bench.get(), run->sensor, first ? a : b, &sent);
        if (!NextRecord(&run->tail, fakesensor::kCallFeature, run->pipe, 5000, &record)) {
            ++series->missing;
            return;
        }
        // The feature report after a change carries the new orientation.
        BYTE expected = first ? featureA : featureB;
        if (record.data.size() < 4 || record.data[3] != expected) ++series->wrongByte;
        if (i < warmup) continue;
        double us = fakesensor::QpcMicroseconds(sent, record.qpc);
        (first ? series->first : series->second).push_back(us);
        series->all.push_back(us);
    }
}

std::string Ms(const std::vector<double>& us) {
    return Format("median %.2f ms, p99 %.2f ms", bench::Percentile(us, 50) / 1000, bench::Percentile(us, 99) / 1000);
}

// 2. Reaction time: a report that names a new orientation to the next feature report.
int RunReaction() {
    const int warmup = 20, measured = 1000, accepted = 200;
    Progress("reaction: %d reports between 90 and 270 degrees, %d between 0 and 90", warmup + measured,
             warmup + accepted);
    std::string error;
    ProgramRun run;
    if (!StartProgram(&run, true, &error)) {
        Progress("%s", error.c_str());
        return 1;
    }
    CallRecord record;
    if (!NextRecord(&run.tail, fakesensor::kCallFeature, run.pipe, 15000, &record)) {
        StopProgram(&run);
        bench::PrintRow("2. Reaction time", "not measured: no set-up", "-", false, "-");
        return 1;
    }
    Sleep(500);
    // 0x04 names 90 degrees (feature byte 0x02), 0x08 270 (0x01), 0x10 0 (0x00).
    ReactionSeries refused, mixed;
    MeasureReactions(&run, 0x04, 0x02, 0x08, 0x01, warmup, measured, &refused);
    MeasureReactions(&run, 0x10, 0x00, 0x04, 0x02, warmup, accepted, &mixed);
    Sleep(200);
    ReadTail(&run.tail);
    size_t extra = 0;
    for (size_t i = run.tail.next; i < run.tail.records.size(); ++i) {
        if (run.tail.records[i].call == fakesensor::kCallFeature) ++extra;
    }
    StopProgram(&run);
    bool ok = refused.missing == 0 && refused.wrongByte == 0 && mixed.missing == 0 && mixed.wrongByte == 0 &&
              extra == 0 && refused.all.size() == static_cast<size_t>(measured);
    const std::string how =
        "QueryPerformanceCounter just before the pipe write to the entry of the stand-in's HidD_SetFeature; one "
        "report at a time, each naming a new orientation; ";
    bench::PrintRow(Format("2. Reaction time, input report to next feature report (%zu reports, 90 <-> 270)",
                           refused.all.size()),
                    Ms(refused.all),
                    "exactly one feature report per input report, carrying the new orientation (no time limit set)",
                    ok,
                    how + "Wine answers DISP_CHANGE_BADMODE for 90/180/270, so every display call here fails fast" +
                        Format("; %d missing, %d wrong feature bytes, %zu extra", refused.missing + mixed.missing,
                               refused.wrongByte + mixed.wrongByte, extra));
    bench::PrintInfoRow(Format("2. Reaction time, with accepted display changes (%zu reports, 0 <-> 90)",
                               mixed.all.size()),
                        "to 0 degrees (Wine applies it): " + Ms(mixed.first) + "; to 90 (refused): " + Ms(mixed.second),
                        how + "shows the cost of a display change Wine carries out");
    return 0;
}

// The first `count` bytes of a file that another process writes.
bool ReadFilePrefix(const std::wstring& path, size_t count, std::string* bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bytes->assign(count, '\0');
    DWORD got = 0;
    BOOL ok = ReadFile(file, &(*bytes)[0], static_cast<DWORD>(count), &got, nullptr);
    CloseHandle(file);
    bytes->resize(got);
    return ok != FALSE;
}

struct FloodResult {
    int sent = 0;
    double sendSeconds = 0;
    long long maxBacklog = 0;
    long long growth = 0;        // largest backlog of the last 10 s minus that of the first 10 s
    long long unanswered = 0;    // reports without a feature report 10 s after the last one
    double drainMs = 0;
    double processedPerSecond = 0;
    LONGLONG maxSize = 0;
    DWORD limit = 0;
    size_t longestLine = 0;
    int truncations = 0, headerChecks = 0, headerBad = 0;
    size_t headerBytes = 0;
    size_t markers = 0;
    bool markerAfterHeader = false, headerIntactAtEnd = false;
};

// `rate` reports a second for `seconds`, alternating the orientation bytes
// `a` and `b` (the same byte twice: one change, then none), while the
// rotation log's size and header are watched.
bool Flood(int rate, int seconds, BYTE a, BYTE b, FloodResult* result, std::string* error) {
    ProgramRun run;
    if (!StartProgram(&run, true, error)) return false;
    CallRecord record;
    if (!NextRecord(&run.tail, fakesensor::kCallFeature, run.pipe, 15000, &record)) {
        StopProgram(&run);
        *error = "no set-up";
        return false;
    }
    Sleep(1000);
    std::wstring logPath = NewestLog(run, L"RotationThread");
    std::string initial;
    std::wstring text;
    testsupport::ReadFileBytes(logPath, &initial);
    testsupport::ReadUtf16File(logPath, &text);
    // The header is everything before the thread's first own line.
    size_t firstLine = text.find(L"Initial display device enumeration");
    if (firstLine == std::wstring::npos || firstLine < 25) {
        StopProgram(&run);
        *error = "no rotation log";
        return false;
    }
    result->headerBytes = 2 + (firstLine - 25) * 2;
    const std::string header = initial.substr(0, result->headerBytes);

    DWORD limit = 0x40000;
    DWORD size = sizeof limit;
    RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\tamzo", L"LogfileLength", RRF_RT_REG_DWORD, nullptr, &limit, &size);
    result->limit = limit < result->headerBytes ? static_cast<DWORD>(result->headerBytes) : limit;

    ReadTail(&run.tail);
    const size_t featuresAtStart = CountRecords(run.tail, fakesensor::kCallFeature);
    auto answered = [&]() {
        ReadTail(&run.tail);
        return static_cast<long long>(CountRecords(run.tail, fakesensor::kCallFeature) - featuresAtStart);
    };
    const int total = rate * seconds;
    std::vector<long long> backlogPerSecond;
    LONGLONG lastSize = FileSizeOf(logPath);
    double start = bench::NowUs();
    double nextCheck = start;
    while (result->sent < total) {
        double now = bench::NowUs();
        int due = std::min(total, static_cast<int>((now - start) * rate / 1e6) + 1);
        for (; result->sent < due; ++result->sent) {
            fakesensor::SendOrientation(run.bench.get(), run.sensor, result->sent % 2 == 0 ? a : b);
        }
        LONGLONG fileSize = FileSizeOf(logPath);
        if (fileSize >= 0) {
            if (fileSize < lastSize) ++result->truncations;
            lastSize = fileSize;
            result->maxSize = std::max(result->maxSize, fileSize);
        }
        if (now >= nextCheck) {
            nextCheck += 50000;
            std::string bytes;
            if (ReadFilePrefix(logPath, header.size(), &bytes)) {
                ++result->headerChecks;
                if (bytes != header) ++result->headerBad;
            }
            long long backlog = result->sent - answered();
            result->maxBacklog = std::max(result->maxBacklog, backlog);
            size_t second = static_cast<size_t>((now - start) / 1e6);
            if (backlogPerSecond.size() <= second) backlogPerSecond.resize(second + 1, -1);
            backlogPerSecond[second] = std::max(backlogPerSecond[second], backlog);
        }
        Sleep(1);
    }
    result->sendSeconds = (bench::NowUs() - start) / 1e6;
    long long answeredWhenSent = answered();
    result->processedPerSecond = answeredWhenSent / result->sendSeconds;
    // Every report is answered by one feature report, before its next read.
    double drainStart = bench::NowUs();
    for (;;) {
        result->unanswered = result->sent - answered();
        if (result->unanswered <= 0 || bench::NowUs() - drainStart > 10e6) break;
        Sleep(5);
    }
    result->drainMs = (bench::NowUs() - drainStart) / 1000;
    std::string finalBytes;
    testsupport::ReadFileBytes(logPath, &finalBytes);
    StopProgram(&run);
    result->maxSize = std::max(result->maxSize, static_cast<LONGLONG>(finalBytes.size()));

    std::string perSecond;
    for (long long backlog : backlogPerSecond) perSecond += " " + std::to_string(backlog);
    Progress("flood: largest backlog in each second:%s", perSecond.c_str());
    if (backlogPerSecond.size() >= 20) {
        result->growth = *std::max_element(backlogPerSecond.end() - 10, backlogPerSecond.end()) -
                         *std::max_element(backlogPerSecond.begin(), backlogPerSecond.begin() + 10);
    }

    result->headerIntactAtEnd = finalBytes.compare(0, header.size(), header) == 0;
    // After a truncation the line behind the header starts with its timestamp and the marker.
    const std::wstring marker = L">>>>>>>>>>>>>>> Logfile truncation <<<<<<<<<<<<<<<<\r\n";
    std::string markerBytes(reinterpret_cast<const char*>(marker.data()), marker.size() * sizeof(wchar_t));
    result->markerAfterHeader = result->truncations == 0 ||
                                finalBytes.compare(header.size() + 50, markerBytes.size(), markerBytes) == 0;
    std::wstring finalText(reinterpret_cast<const wchar_t*>(finalBytes.data() + 2), (finalBytes.size() - 2) / 2);
    for (const std::wstring& line : testsupport::SplitLines(finalText)) {
        if (line.find(L"Logfile truncation") != std::wstring::npos) ++result->markers;
        result->longestLine = std::max(result->longestLine, (line.size() + 2) * sizeof(wchar_t));
    }
    return true;
}

// What one display change costs here, called in this process: the part of
// a report's handling that the program cannot leave out.
std::vector<double> DisplayCallUs(DWORD orientation, int count) {
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        double start = bench::NowUs();
        SetDisplayOrientation(orientation);
        times.push_back(bench::NowUs() - start);
    }
    return times;
}

// 3. Report flood: 1,000 reports a second for 60 s, alternating 90 and 270
// degrees, so every report is a change whose display call Wine refuses; then
// 20 s of reports that name the orientation already held, for comparison.
int RunFlood(int seconds) {
    const int rate = 1000;
    Progress("flood: %d reports a second for %d s, alternating 90 and 270 degrees", rate, seconds);
    FloodResult r;
    std::string error;
    if (!Flood(rate, seconds, 0x04, 0x08, &r, &error)) {
        bench::PrintRow("3. Report flood", "not measured: " + error, "-", false, "-");
        return 1;
    }
    bool keptUp = r.unanswered <= 0 && r.growth <= rate / 20;
    bench::PrintRow(Format("3. Report flood, %d reports/s for %d s, each a change (90 <-> 270)", rate, seconds),
                    Format("program answered %.0f reports/s; backlog at most %lld reports (last 10 s vs first 10 s: "
                           "%+lld); %s",
                           r.processedPerSecond, r.maxBacklog, r.growth,
                           r.unanswered <= 0 ? Format("drained %.0f ms after the last report", r.drainMs).c_str()
                                             : Format("%lld reports never answered (dropped by the full pipe)",
                                                      r.unanswered).c_str()),
                    "keeps up: no growing backlog; every report answered by one feature report",
                    keptUp,
                    Format("%d sent in %.1f s; backlog = reports written to the pipe minus feature reports recorded "
                           "by the stand-in hid.dll (one per read), sampled every 50 ms",
                           r.sent, r.sendSeconds));
    bench::PrintRow("3. Report flood, rotation log size",
                    Format("largest size seen %lld bytes; limit %lu + longest line %zu = %llu; %d truncations seen",
                           r.maxSize, r.limit, r.longestLine,
                           static_cast<unsigned long long>(r.limit + r.longestLine), r.truncations),
                    "never above the size limit plus one line",
                    r.maxSize <= static_cast<LONGLONG>(r.limit + r.longestLine) && r.truncations > 0,
                    "file size sampled about every millisecond with GetFileAttributesExW during the flood");
    bench::PrintRow("3. Report flood, header after truncations",
                    Format("header (%zu bytes) intact in %d of %d checks and at the end: %s; marker right after it: "
                           "%s; %zu marker line in the final file",
                           r.headerBytes, r.headerChecks - r.headerBad, r.headerChecks,
                           r.headerIntactAtEnd ? "yes" : "NO", r.markerAfterHeader ? "yes" : "NO", r.markers),
                    "every truncation leaves the header intact",
                    r.headerBad == 0 && r.headerIntactAtEnd && r.markerAfterHeader && r.markers <= 1,
                    "the file's first bytes compared with its header every 50 ms while flooding");

    std::vector<double> refused = DisplayCallUs(DMDO_90, 300);
    std::vector<double> accepted = DisplayCallUs(DMDO_DEFAULT, 50);
    bench::PrintInfoRow("3. Report flood, cause: one SetDisplayOrientation call",
                        Format("to 90 degrees (refused): median %.2f ms, p99 %.2f ms; to 0 degrees (applied): median "
                               "%.2f ms, p99 %.2f ms",
                               bench::Percentile(refused, 50) / 1000, bench::Percentile(refused, 99) / 1000,
                               bench::Percentile(accepted, 50) / 1000, bench::Percentile(accepted, 99) / 1000),
                        "the product's SetDisplayOrientation called in the bench process (EnumDisplayDevicesW, "
                        "EnumDisplaySettingsW, ChangeDisplaySettingsExW under Wine's null display driver)");

    const int quietSeconds = std::min(seconds, 20);
    Progress("flood: %d reports a second for %d s, naming the orientation held", rate, quietSeconds);
    FloodResult q;
    if (!Flood(rate, quietSeconds, 0x04, 0x04, &q, &error)) {
        bench::PrintRow("3. Report flood, no changes", "not measured: " + error, "-", false, "-");
        return 1;
    }
    bench::PrintRow(Format("3. Report flood, %d reports/s for %d s, no change after the first", rate, quietSeconds),
                    Format("program answered %.0f reports/s; backlog at most %lld reports; %s", q.processedPerSecond,
                           q.maxBacklog,
                           q.unanswered <= 0 ? Format("drained %.0f ms after the last report", q.drainMs).c_str()
                                             : Format("%lld reports never answered", q.unanswered).c_str()),
                    "keeps up: no growing backlog; every report answered by one feature report",
                    q.unanswered <= 0 && q.maxBacklog <= rate / 10,
                    "as above; shows the read loop's own cost without display calls");
    return 0;
}

// Waits until a line with `message` appears in the log after byte `mark`
// (or anywhere behind the header once the file was cut back below it).
bool WaitForLogLine(const std::wstring& path, LONGLONG mark, const std::wstring& message, DWORD timeoutMs) {
    ULONGLONG start = GetTickCount64();
    for (;;) {
        std::string bytes;
        if (testsupport::ReadFileBytes(path, &bytes) && bytes.size() >= 2) {
            size_t from = static_cast<LONGLONG>(bytes.size()) >= mark ? static_cast<size_t>(mark) : 2;
            from &= ~static_cast<size_t>(1);
            std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + from), (bytes.size() - from) / 2);
            if (text.find(message) != std::wstring::npos) return true;
        }
        if (GetTickCount64() - start >= timeoutMs) return false;
        Sleep(10);
    }
}

struct ResourceSample {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
};

// 5. Plug/unplug cycles of the real program, each paced by its one-second retry.
int RunPlug() {
    const int cycles = 60, warmup = 10;
    Progress("plug: %d unplug/plug cycles", cycles);
    std::string error;
    ProgramRun run;
    if (!StartProgram(&run, true, &error)) {
        Progress("%s", error.c_str());
        return 1;
    }
    CallRecord record;
    bool ok = NextRecord(&run.tail, fakesensor::kCallFeature, run.pipe, 15000, &record);
    std::vector<ResourceSample> samples;
    std::vector<double> cycleMs;
    bool fromPagefile = true;
    std::wstring mainLog = NewestLog(run, L"main");
    for (int c = 1; ok && c <= cycles; ++c) {
        double begin = bench::NowUs();
        LONGLONG mark = FileSizeOf(mainLog);
        fakesensor::Unplug(run.bench.get(), run.sensor);
        // Plugged back only once the program has released the sensor and
        // started its retry timer, so the set-up that follows is a retry.
        ok = WaitForLogLine(mainLog, mark, L"Initializing timer", 5000);
        ReadTail(&run.tail);
        run.tail.next = run.tail.records.size();
        ok = ok && fakesensor::Plug(run.bench.get(), run.sensor);
        ok = ok && NextRecord(&run.tail, fakesensor::kCallFeature, run.pipe, 5000, &record);
        if (!ok) break;
        cycleMs.push_back((bench::NowUs() - begin) / 1000);
        Sleep(100);
        ResourceSample sample;
        bench::ProcessHandleCount(run.child.Id(), &sample.handles);
        bench::ProcessPrivateBytes(run.child.Handle(), &sample.privateBytes, &fromPagefile);
        samples.push_back(sample);
    }
    size_t rotationLogs = testsupport::ListFiles(run.logDir, L"RotationThread*.log").size();
    StopProgram(&run);
    if (!ok || samples.size() < static_cast<size_t>(cycles)) {
        bench::PrintRow("5. Leaks, plug/unplug cycles", Format("stopped after %zu cycles", samples.size()),
                        "no growth after warm-up", false, "-");
        return 1;
    }
    const ResourceSample& base = samples[warmup - 1];
    const ResourceSample& last = samples.back();
    DWORD maxHandles = 0;
    SIZE_T maxPrivate = 0;
    for (size_t i = warmup; i < samples.size(); ++i) {
        maxHandles = std::max(maxHandles, samples[i].handles);
        maxPrivate = std::max(maxPrivate, samples[i].privateBytes);
    }
    long long privateGrowth = static_cast<long long>(last.privateBytes) - static_cast<long long>(base.privateBytes);
    SIZE_T minPrivate = base.privateBytes;
    for (size_t i = warmup; i < samples.size(); ++i) minPrivate = std::min(minPrivate, samples[i].privateBytes);
    // The counter moves in whole pages; one page over the measured cycles is
    // its resolution, not a trend.
    const long long page = 4096;
    bench::PrintRow(Format("5. Leaks, %d plug/unplug cycles of VELATRIX.EXE", cycles),
                    Format("cycle %d -> %d: handles %lu -> %lu (max %lu); private bytes %llu -> %llu KiB (%+lld "
                           "KiB; range %llu..%llu KiB); cycle median %.0f ms; %zu rotation logs kept",
                           warmup, cycles, base.handles, last.handles, maxHandles,
                           static_cast<unsigned long long>(base.privateBytes / 1024),
                           static_cast<unsigned long long>(last.privateBytes / 1024), privateGrowth / 1024,
                           static_cast<unsigned long long>(minPrivate / 1024),
                           static_cast<unsigned long long>(maxPrivate / 1024), bench::Percentile(cycleMs, 50),
                           rotationLogs),
                    "no growth after warm-up (10 cycles): handles equal, private bytes within one page; at most 11 "
                    "rotation logs",
                    last.handles <= base.handles && maxHandles <= base.handles && privateGrowth <= page &&
                        rotationLogs <= 11,
                    std::string("unplug (pipe closed, the read fails with ERROR_BROKEN_PIPE), wait for "
                                "\"Initializing timer\", plug, wait for the first feature report after the retry; "
                                "handles from the system process list, private bytes from ") +
                        (fromPagefile ? "PagefileUsage (Wine leaves PrivateUsage 0)" : "PrivateUsage") +
                        ", sampled 100 ms after each set-up");
    return 0;
}

// 6. Start-up: process start to the first set-up attempt and to the first feature report.
int RunStartup() {
    const int runs = 5;
    Progress("startup: %d starts", runs);
    std::vector<double> toWalk, toLine, toFeature;
    for (int r = 0; r < runs; ++r) {
        std::string error;
        ProgramRun run;
        if (!StartProgram(&run, true, &error)) {
            Progress("%s", error.c_str());
            return 1;
        }
        CallRecord walk, feature;
        bool gotWalk = NextRecord(&run.tail, "classdevs", L"", 15000, &walk);
        run.tail.next = 0;
        bool gotFeature = NextRecord(&run.tail, fakesensor::kCallFeature, run.pipe, 15000, &feature);
        Sleep(200);
        std::vector<std::wstring> lines = LogLines(NewestLog(run, L"main"));
        StopProgram(&run);
        if (gotWalk) toWalk.push_back(fakesensor::QpcMicroseconds(run.startQpc, walk.qpc) / 1000);
        if (gotFeature) toFeature.push_back(fakesensor::QpcMicroseconds(run.startQpc, feature.qpc) / 1000);
        for (const std::wstring& line : lines) {
            ULONGLONG ms = 0;
            if (testsupport::Message(line) == L"Setting up hid device" && LineTimeMs(line, &ms)) {
                toLine.push_back(static_cast<double>(static_cast<LONGLONG>(ms - run.startLocalMs)));
                break;
            }
        }
    }
    bool all = toWalk.size() == runs && toLine.size() == runs && toFeature.size() == runs;
    bench::PrintInfoRow(
        Format("6. Start-up to first set-up attempt (%d starts)", runs),
        Format("median %.0f ms (max %.0f) to the first walk; median %.0f ms (max %.0f) to \"Setting up hid device\"",
               bench::Percentile(toWalk, 50), bench::Percentile(toWalk, 100), bench::Percentile(toLine, 50),
               bench::Percentile(toLine, 100)),
        std::string("from just before CreateProcessW to the stand-in's first SetupDiGetClassDevsW (QPC) and to the "
                    "line's timestamp (local time, 1 ms); includes Wine's process start") +
            (all ? "" : "; SOME STARTS NOT MEASURED"));
    bench::PrintInfoRow(Format("6. Start-up to first feature report, sensor present (%d starts)", runs),
                        Format("median %.0f ms (max %.0f)", bench::Percentile(toFeature, 50),
                               bench::Percentile(toFeature, 100)),
                        "from just before CreateProcessW to the stand-in's first HidD_SetFeature (QPC)");
    return all ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: program_bench idle|reaction|flood|plug|startup\n");
        return 2;
    }
    std::string what = argv[1];
    if (what == "idle") return RunIdle();
    if (what == "reaction") return RunReaction();
    if (what == "flood") return RunFlood(argc > 2 ? atoi(argv[2]) : 60);
    if (what == "plug") return RunPlug();
    if (what == "startup") return RunStartup();
    fprintf(stderr, "program_bench: unknown measurement %s\n", what.c_str());
    return 2;
}
