// Measures what one log line and one log opening cost, in time and in system
// calls, with the product's log code linked in and its kernel32 imports counted.
#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "log/line_layout.h"
#include "log/logfile.h"
#include "tests/bench/bench_common.h"
#include "tests/support/test_support.h"

namespace {

// Counters of the patched imports; main thread only (the bench has one thread).
struct CallCounts {
    LONG writeFile, setFilePointer, setEndOfFile, localAlloc, localFree, heapAlloc, formatMessage;
    LONG findFirst, findNext, createFile, deleteFile, getFileTime;
};
CallCounts g_counts;

decltype(&WriteFile) g_realWriteFile;
decltype(&SetFilePointer) g_realSetFilePointer;
decltype(&SetEndOfFile) g_realSetEndOfFile;
decltype(&LocalAlloc) g_realLocalAlloc;
decltype(&LocalFree) g_realLocalFree;
decltype(&HeapAlloc) g_realHeapAlloc;
decltype(&FormatMessageW) g_realFormatMessageW;
decltype(&FindFirstFileW) g_realFindFirstFileW;
decltype(&FindNextFileW) g_realFindNextFileW;
decltype(&CreateFileW) g_realCreateFileW;
decltype(&DeleteFileW) g_realDeleteFileW;
decltype(&GetFileTime) g_realGetFileTime;

BOOL WINAPI CountWriteFile(HANDLE f, LPCVOID b, DWORD n, LPDWORD w, LPOVERLAPPED o) {
    ++g_counts.writeFile;
    return g_realWriteFile(f, b, n, w, o);
}
DWORD WINAPI CountSetFilePointer(HANDLE f, LONG d, PLONG h, DWORD m) {
    ++g_counts.setFilePointer;
    return g_realSetFilePointer(f, d, h, m);
}
BOOL WINAPI CountSetEndOfFile(HANDLE f) {
    ++g_counts.setEndOfFile;
    return g_realSetEndOfFile(f);
}
HLOCAL WINAPI CountLocalAlloc(UINT flags, SIZE_T bytes) {
    ++g_counts.localAlloc;
    return g_realLocalAlloc(flags, bytes);
}
HLOCAL WINAPI CountLocalFree(HLOCAL memory) {
    ++g_counts.localFree;
    return g_realLocalFree(memory);
}
LPVOID WINAPI CountHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    ++g_counts.heapAlloc;
    return g_realHeapAlloc(heap, flags, bytes);
}
DWORD WINAPI CountFormatMessageW(DWORD f, LPCVOID s, DWORD id, DWORD lang, LPWSTR b, DWORD n, va_list* a) {
    ++g_counts.formatMessage;
    return g_realFormatMessageW(f, s, id, lang, b, n, a);
}
HANDLE WINAPI CountFindFirstFileW(LPCWSTR p, LPWIN32_FIND_DATAW d) {
    ++g_counts.findFirst;
    return g_realFindFirstFileW(p, d);
}
BOOL WINAPI CountFindNextFileW(HANDLE h, LPWIN32_FIND_DATAW d) {
    ++g_counts.findNext;
    return g_realFindNextFileW(h, d);
}
HANDLE WINAPI CountCreateFileW(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD c, DWORD f,
                               HANDLE t) {
    ++g_counts.createFile;
    return g_realCreateFileW(p, a, s, sa, c, f, t);
}
BOOL WINAPI CountDeleteFileW(LPCWSTR p) {
    ++g_counts.deleteFile;
    return g_realDeleteFileW(p);
}
BOOL WINAPI CountGetFileTime(HANDLE f, LPFILETIME c, LPFILETIME a, LPFILETIME w) {
    ++g_counts.getFileTime;
    return g_realGetFileTime(f, c, a, w);
}

// A function this program does not import is not called by the code under
// measurement either, so its count stays 0 rightly.
template <typename F>
bool Patch(const char* name, F replacement, F* original) {
    void* previous = nullptr;
    if (!bench::PatchImport("kernel32.dll", name, reinterpret_cast<void*>(replacement), &previous)) {
        return false;
    }
    *original = reinterpret_cast<F>(previous);
    return true;
}

// True when every function the log writer and opening are known to call is counted.
bool PatchAll() {
    Patch("HeapAlloc", &CountHeapAlloc, &g_realHeapAlloc);
    bool ok = Patch("WriteFile", &CountWriteFile, &g_realWriteFile);
    ok = Patch("SetFilePointer", &CountSetFilePointer, &g_realSetFilePointer) && ok;
    ok = Patch("SetEndOfFile", &CountSetEndOfFile, &g_realSetEndOfFile) && ok;
    ok = Patch("LocalAlloc", &CountLocalAlloc, &g_realLocalAlloc) && ok;
    ok = Patch("LocalFree", &CountLocalFree, &g_realLocalFree) && ok;
    ok = Patch("FormatMessageW", &CountFormatMessageW, &g_realFormatMessageW) && ok;
    ok = Patch("FindFirstFileW", &CountFindFirstFileW, &g_realFindFirstFileW) && ok;
    ok = Patch("FindNextFileW", &CountFindNextFileW, &g_realFindNextFileW) && ok;
    ok = Patch("CreateFileW", &CountCreateFileW, &g_realCreateFileW) && ok;
    ok = Patch("DeleteFileW", &CountDeleteFileW, &g_realDeleteFileW) && ok;
    ok = Patch("GetFileTime", &CountGetFileTime, &g_realGetFileTime) && ok;
    return ok;
}

LogfileContext* CurrentLog() {
    return static_cast<LogfileContext*>(TlsGetValue(g_logTlsIndex));
}

LONGLONG FileSize(HANDLE file) {
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    return size.QuadPart;
}

enum LineKind { PLAIN, ERROR_LINE };

// The lines the rotation thread writes most: a formatted plain line, and its
// final error line (with a system text for 1223).
const wchar_t PLAIN_FORMAT[] = L"Setting feature byte to %.2x";
const wchar_t ERROR_FORMAT[] = L"Rotation thread has failed.";
const DWORD ERROR_CODE = ERROR_CANCELLED;

void WriteOne(LineKind kind) {
    if (kind == PLAIN) {
        LogfileWrite(g_logTlsIndex, PLAIN_FORMAT, 2u);
    } else {
        LogfileWriteError(g_logTlsIndex, ERROR_CODE, ERROR_FORMAT);
    }
}

// Bytes of one line of `kind`, from the layout: timestamp, ["Error: "],
// message, [suffix], CR LF; plus marker and second timestamp when it truncates.
LONGLONG ExpectedLineBytes(LineKind kind, bool truncating) {
    LONGLONG chars = 25 + lstrlenW(L"Setting feature byte to 02") + 2;
    if (kind == ERROR_LINE) {
        LPWSTR text = GetSystemErrorText(ERROR_CODE, LANGIDFROMLCID(GetThreadLocale()));
        WCHAR suffix[LOGFILE_MESSAGE_CHARS];
        LogfileFormatErrorSuffix(ERROR_CODE, text, suffix, LOGFILE_MESSAGE_CHARS);
        if (text != LOGFILE_NO_ERROR_TEXT) LocalFree(text);
        chars = 25 + 7 + lstrlenW(ERROR_FORMAT) + lstrlenW(suffix) + 2;
    }
    if (truncating) chars += lstrlenW(LOGFILE_TRUNCATION_MARKER) + 25;
    return chars * 2;
}

struct LineFigures {
    double medianUs, p99Us;
    double writes, positions, ends, heapAllocs, localFrees, formats;  // per line
    bool sizeOk;
};

// Times `count` lines one by one, then counts the calls of another `count`
// lines and checks the file grew by exactly the layout's bytes.
LineFigures MeasureLines(LineKind kind, bool truncating, int count, bool patched) {
    LineFigures figures = {};
    LogfileContext* log = CurrentLog();
    log->sizeLimit = truncating ? log->headerEnd : 0x7FFFFFFF;
    // One line puts the position past the limit, so every later line truncates.
    WriteOne(kind);

    std::vector<double> times;
    times.reserve(count);
    for (int i = 0; i < count; ++i) {
        double start = bench::NowUs();
        WriteOne(kind);
        times.push_back(bench::NowUs() - start);
    }
    figures.medianUs = bench::Percentile(times, 50);
    figures.p99Us = bench::Percentile(times, 99);
    if (!patched) return figures;

    LONGLONG before = FileSize(log->file);
    ZeroMemory(&g_counts, sizeof g_counts);
    for (int i = 0; i < count; ++i) WriteOne(kind);
    CallCounts counted = g_counts;
    LONGLONG after = FileSize(log->file);
    // A truncating line cuts the file back to the header and writes one line.
    figures.sizeOk = truncating ? after - log->headerEnd == ExpectedLineBytes(kind, true)
                                : after - before == count * ExpectedLineBytes(kind, false);
    double n = count;
    figures.writes = counted.writeFile / n;
    figures.positions = counted.setFilePointer / n;
    figures.ends = counted.setEndOfFile / n;
    figures.heapAllocs = (counted.localAlloc + counted.heapAlloc) / n;
    figures.localFrees = counted.localFree / n;
    figures.formats = counted.formatMessage / n;
    return figures;
}

struct OpeningFigures {
    double medianMs;
    double maxMs;
    LONG findFirst, createFile, deleteFile;  // of one opening
    int filesAfter;
    bool opened;
};

std::wstring OldFileName(const std::wstring& folder, int number) {
    wchar_t name[64];
    swprintf(name, 64, L"\\RotationThread%.8d.log", number);
    return folder + name;
}

// Makes old files 1..count exist (older numbers written earlier) and nothing else.
void PrepareOldFiles(const std::wstring& folder, int count) {
    std::vector<std::wstring> present = testsupport::ListFiles(folder, L"RotationThread*.log");
    for (const std::wstring& name : present) {
        int number = _wtoi(name.c_str() + 14);
        if (number < 1 || number > count) DeleteFileW((folder + L"\\" + name).c_str());
    }
    FILETIME base;
    GetSystemTimeAsFileTime(&base);
    ULARGE_INTEGER start;
    start.LowPart = base.dwLowDateTime;
    start.HighPart = base.dwHighDateTime;
    start.QuadPart -= 10000000ULL * 3600 * 24;  // a day ago, one second apart
    for (int i = 1; i <= count; ++i) {
        HANDLE file = CreateFileW(OldFileName(folder, i).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        DWORD written = 0;
        WriteFile(file, "\xff\xfe", 2, &written, nullptr);
        ULARGE_INTEGER when;
        when.QuadPart = start.QuadPart + 10000000ULL * i;
        FILETIME time = {when.LowPart, when.HighPart};
        SetFileTime(file, nullptr, nullptr, &time);
        CloseHandle(file);
    }
}

OpeningFigures MeasureOpening(int oldFiles, DWORD keepCount, int repetitions, bool patched) {
    OpeningFigures figures = {};
    figures.opened = true;
    std::wstring temp = testsupport::MakeFreshDir(L"bench-opening");
    testsupport::ScopedTempFolder redirect(temp);
    std::wstring folder = testsupport::LogFolderUnder(temp);
    CreateDirectoryW((temp + L"\\QelSoft").c_str(), nullptr);
    CreateDirectoryW(folder.c_str(), nullptr);

    std::vector<double> times;
    for (int rep = 0; rep < repetitions; ++rep) {
        PrepareOldFiles(folder, oldFiles);
        DWORD keep = keepCount;
        ZeroMemory(&g_counts, sizeof g_counts);
        double start = bench::NowUs();
        BOOL opened = LogfileStart(g_logTlsIndex, &keep, L"RotationThread");
        double elapsed = bench::NowUs() - start;
        CallCounts counted = g_counts;
        times.push_back(elapsed / 1000.0);
        if (!opened) figures.opened = false;
        figures.filesAfter = static_cast<int>(testsupport::ListFiles(folder, L"RotationThread*.log").size());
        LogfileHandle handle(g_logTlsIndex);
        handle.started = opened;
        LogfileEnd(&handle);
        DeleteFileW(OldFileName(folder, oldFiles + 1).c_str());
        if (patched && rep == 0) {
            figures.findFirst = counted.findFirst;
            figures.createFile = counted.createFile;
            figures.deleteFile = counted.deleteFile;
        }
    }
    testsupport::RemoveTree(temp);
    figures.medianMs = bench::Percentile(times, 50);
    figures.maxMs = bench::Percentile(times, 100);
    return figures;
}

}  // namespace

int main() {
    g_logTlsIndex = TlsAlloc();
    if (g_logTlsIndex == TLS_OUT_OF_INDEXES) return 1;
    bool patched = PatchAll();
    if (!patched) fprintf(stderr, "log_bench: some imports could not be patched; call counts left out\n");

    std::wstring temp = testsupport::MakeFreshDir(L"bench-lines");
    LineFigures plain = {}, error = {}, truncating = {};
    {
        testsupport::ScopedTempFolder redirect(temp);
        DWORD keep = 10;
        if (!LogfileStart(g_logTlsIndex, &keep, L"bench")) {
            fprintf(stderr, "log_bench: LogfileStart failed (%lu)\n", GetLastError());
            return 1;
        }
        const int lines = 20000;
        for (int i = 0; i < 500; ++i) WriteOne(PLAIN);  // warm-up
        plain = MeasureLines(PLAIN, false, lines, patched);
        error = MeasureLines(ERROR_LINE, false, lines / 4, patched);
        truncating = MeasureLines(PLAIN, true, lines / 4, patched);
        LogfileHandle handle(g_logTlsIndex);
        handle.started = TRUE;
        LogfileEnd(&handle);
    }
    testsupport::RemoveTree(temp);

    const std::string lineHow =
        "in-process with the product's log code; each line timed (QueryPerformanceCounter); calls counted through "
        "this program's patched kernel32 import entries; the file grew by exactly the layout's bytes: ";
    bench::PrintRow("4. Log line, plain (\"Setting feature byte to %.2x\")",
                    bench::Format("%.1f us median, %.1f us p99; %.0f WriteFile + %.0f SetFilePointer, %.0f heap "
                                  "allocations per line",
                                  plain.medianUs, plain.p99Us, plain.writes, plain.positions, plain.heapAllocs),
                    "one WriteFile per piece (3 pieces: timestamp, message, CR LF), one position read, no heap "
                    "allocation",
                    patched && plain.writes == 3 && plain.positions == 1 && plain.heapAllocs == 0 && plain.sizeOk,
                    lineHow + (plain.sizeOk ? "yes" : "NO") + bench::Format(" (20,000 lines)"));
    bench::PrintRow("4. Log line, error (code 1223)",
                    bench::Format("%.1f us median, %.1f us p99; %.0f WriteFile + %.0f SetFilePointer per line, "
                                  "%.0f FormatMessageW, %.0f LocalFree, %.0f heap allocations by the writer",
                                  error.medianUs, error.p99Us, error.writes, error.positions, error.formats,
                                  error.localFrees, error.heapAllocs),
                    "5 pieces (timestamp, \"Error: \", message, suffix, CR LF), one position read, only the system "
                    "text allocated (and freed)",
                    patched && error.writes == 5 && error.positions == 1 && error.heapAllocs == 0 &&
                        error.localFrees == 1 && error.sizeOk,
                    lineHow + (error.sizeOk ? "yes" : "NO") + " (5,000 lines)");
    bench::PrintRow("4. Log line, plain, truncating the file",
                    bench::Format("%.1f us median, %.1f us p99; %.0f WriteFile + %.0f SetFilePointer + %.0f "
                                  "SetEndOfFile per line",
                                  truncating.medianUs, truncating.p99Us, truncating.writes, truncating.positions,
                                  truncating.ends),
                    "5 pieces (timestamp, marker, timestamp, message, CR LF), position read + seek to header end, "
                    "one SetEndOfFile",
                    patched && truncating.writes == 5 && truncating.positions == 2 && truncating.ends == 1 &&
                        truncating.sizeOk,
                    "size limit set to the header end so every line truncates; file is header + one line "
                    "afterwards: " +
                        std::string(truncating.sizeOk ? "yes" : "NO") + " (5,000 lines)");

    struct OpeningCase {
        const char* label;
        int oldFiles;
        DWORD keep;
        int repetitions;
    };
    const OpeningCase cases[] = {
        {"4. Log opening, 10 old files (keep 10, none deleted)", 10, 10, 20},
        {"4. Log opening, 1,000 old files (keep 1,000, none deleted)", 1000, 1000, 5},
        {"4. Log opening, 1,000 old files (keep 10, 990 deleted)", 1000, 10, 3},
    };
    for (const OpeningCase& c : cases) {
        OpeningFigures f = MeasureOpening(c.oldFiles, c.keep, c.repetitions, patched);
        int expectedAfter = (c.oldFiles > static_cast<int>(c.keep) ? static_cast<int>(c.keep) : c.oldFiles) + 1;
        bench::PrintRow(c.label,
                        bench::Format("%.1f ms median (max %.1f ms of %d); %ld directory search, %ld CreateFileW, "
                                      "%ld DeleteFileW",
                                      f.medianMs, f.maxMs, c.repetitions, f.findFirst, f.createFile, f.deleteFile),
                        "one directory search per opening serving numbering and retention; keep count + 1 files "
                        "remain",
                        patched && f.opened && f.findFirst == 1 && f.filesAfter == expectedAfter,
                        bench::Format("LogfileStart timed in-process (header included) in a fresh temporary folder "
                                      "holding the old files; %d files remained",
                                      f.filesAfter));
    }
    TlsFree(g_logTlsIndex);
    return 0;
}
