// Runs the rotation thread for real: a named pipe stands for the sensor, a
// message-only window for the main window, and its own log is read back.
#include "orientation/rotation_thread.h"

#include "log/logfile.h"
#include "sensor/device_data.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using testsupport::LogFolderUnder;
using testsupport::ListFiles;

const WORD kReportLength = 9;
const BYTE kSentinel = 0xEE;
const DWORD kTimeoutMs = 10000;
const DWORD kUnexpected = (DWORD)E_UNEXPECTED;

class RotationThreadTest : public testing::Test {
protected:
    void SetUp() override {
        InitIdle(&data_);
        tempDir_ = testsupport::MakeFreshDir(L"rotation");
        ASSERT_FALSE(tempDir_.empty());
        tempFolder_.reset(new testsupport::ScopedTempFolder(tempDir_));
        savedTlsIndex_ = g_logTlsIndex;
        savedKeepCount_ = g_rotationLogKeepCount;
        g_logTlsIndex = TlsAlloc();
        ASSERT_NE(TLS_OUT_OF_INDEXES, g_logTlsIndex);
        g_rotationLogKeepCount = 10;

        // Byte mode, one whole report per write and per read: each read gets
        // exactly one report, as from the HID driver.
        static LONG counter = 0;
        WCHAR name[96];
        wsprintfW(name, L"\\\\.\\pipe\\velatrix-rotation-%lu-%ld", GetCurrentProcessId(),
                  InterlockedIncrement(&counter));
        server_ = CreateNamedPipeW(name, PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096,
                                   0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, server_);

        data_.hReadDevice = CreateFileW(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                        nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, data_.hReadDevice);
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), data_.hReadDevice, GetCurrentProcess(),
                                    &data_.hHidDevice, 0, FALSE, DUPLICATE_SAME_ACCESS));
        data_.hStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        data_.hReadEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(nullptr, data_.hStopEvent);
        ASSERT_NE(nullptr, data_.hReadEvent);
        data_.caps.InputReportByteLength = kReportLength;
        data_.pInputReport = static_cast<BYTE*>(LocalAlloc(LPTR, kReportLength));
        ASSERT_NE(nullptr, data_.pInputReport);
        memset(data_.pInputReport, kSentinel, kReportLength);
        data_.hWnd = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, data_.hWnd);
    }

    void TearDown() override {
        if (thread_) {
            SetEvent(data_.hStopEvent);
            WaitForSingleObject(thread_, kTimeoutMs);
            CloseHandle(thread_);
        }
        CloseServer();
        if (data_.hHidDevice != INVALID_HANDLE_VALUE) CloseHandle(data_.hHidDevice);
        if (data_.hReadDevice != INVALID_HANDLE_VALUE) CloseHandle(data_.hReadDevice);
        if (data_.hStopEvent) CloseHandle(data_.hStopEvent);
        if (data_.hReadEvent) CloseHandle(data_.hReadEvent);
        if (data_.pInputReport) LocalFree(data_.pInputReport);
        if (data_.hWnd) DestroyWindow(data_.hWnd);
        if (g_logTlsIndex != TLS_OUT_OF_INDEXES) TlsFree(g_logTlsIndex);
        g_logTlsIndex = savedTlsIndex_;
        g_rotationLogKeepCount = savedKeepCount_;
        tempFolder_.reset();
        testsupport::RemoveTree(tempDir_);
    }

    static void InitIdle(DeviceData* data) {
        ZeroMemory(data, sizeof *data);
        data->hHidDevice = INVALID_HANDLE_VALUE;
        data->hReadDevice = INVALID_HANDLE_VALUE;
    }

    void StartThread() {
        thread_ = CreateThread(nullptr, 0, RotationThread, &data_, CREATE_SUSPENDED, nullptr);
        ASSERT_NE(nullptr, thread_);
        ResumeThread(thread_);
    }

    // One input report: report ID, the orientation byte, then bytes the
    // thread must not look at.
    void SendReport(BYTE orientationByte) {
        BYTE report[kReportLength];
        memset(report, 0x3C, sizeof report);
        report[0] = 0x00;
        report[1] = orientationByte;
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(server_, report, sizeof report, &written, nullptr));
        ASSERT_EQ(sizeof report, written);
    }

    // Closing the server end looks like an unplug to the reader.
    void CloseServer() {
        if (server_ != INVALID_HANDLE_VALUE) CloseHandle(server_);
        server_ = INVALID_HANDLE_VALUE;
    }

    std::wstring LogFolder() const { return LogFolderUnder(tempDir_); }

    // The complete lines of one log file from the thread's first line on;
    // the header before it belongs to the log opening.
    std::vector<std::wstring> ThreadLines(const std::wstring& fileName = L"RotationThread00000001.log") const {
        std::wstring text;
        if (!testsupport::ReadUtf16File(LogFolder() + L"\\" + fileName, &text)) return {};
        size_t end = text.rfind(L"\r\n");
        text = end == std::wstring::npos ? std::wstring() : text.substr(0, end + 2);
        std::vector<std::wstring> messages = testsupport::Messages(testsupport::SplitLines(text));
        for (size_t i = 0; i < messages.size(); ++i) {
            if (messages[i] == L"Initial display device enumeration") {
                return std::vector<std::wstring>(messages.begin() + i, messages.end());
            }
        }
        return {};
    }

    static size_t Count(const std::vector<std::wstring>& lines, const wchar_t* message) {
        size_t n = 0;
        for (const auto& line : lines) n += line == message;
        return n;
    }

    // Waits until the thread has started its `passes`-th read; the thread
    // writes the line just before the read.
    void WaitForReads(size_t passes) {
        DWORD start = GetTickCount();
        while (Count(ThreadLines(), L"Next device read") < passes) {
            ASSERT_LT(GetTickCount() - start, kTimeoutMs) << "thread did not reach read " << passes;
            ASSERT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(thread_, 5)) << "thread ended early";
        }
    }

    // The thread has ended with `result` and posted exactly one stop message
    // carrying it.
    void ExpectEnded(DWORD result) {
        ASSERT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(thread_, kTimeoutMs));
        DWORD exitCode = 0;
        ASSERT_TRUE(GetExitCodeThread(thread_, &exitCode));
        EXPECT_EQ(result, exitCode);
        MSG msg;
        ASSERT_TRUE(PeekMessageW(&msg, data_.hWnd, WM_ROTATION_STOPPED, WM_ROTATION_STOPPED, PM_REMOVE));
        EXPECT_EQ((WPARAM)result, msg.wParam);
        EXPECT_EQ((LPARAM)0, msg.lParam);
        EXPECT_FALSE(PeekMessageW(&msg, data_.hWnd, 0, 0, PM_REMOVE)) << "more than one message posted";
        CloseHandle(thread_);
        thread_ = nullptr;
    }

    static std::wstring Feature(const wchar_t* hex) { return std::wstring(L"Setting feature byte to ") + hex; }
    static std::wstring NewOrientation(DWORD degrees) {
        return L"New display orientation is " + std::to_wstring(degrees) + L" degrees";
    }
    static std::vector<std::wstring> Start() {
        return {L"Initial display device enumeration", L"Initial display settings enumeration",
                L"Initial display orientation is 0 degrees"};
    }
    static void Append(std::vector<std::wstring>* lines, std::vector<std::wstring> more) {
        lines->insert(lines->end(), more.begin(), more.end());
    }
    static void AppendPass(std::vector<std::wstring>* lines, const wchar_t* featureHex) {
        Append(lines, {Feature(featureHex), L"Next device read", L"Device has been read"});
    }

    // The thread's lines end with the error line for `result` and the log's end.
    static void ExpectEnding(const std::vector<std::wstring>& lines, DWORD result) {
        ASSERT_GE(lines.size(), 2u);
        WCHAR prefix[96];
        wsprintfW(prefix, L"Error: Rotation thread has failed. %lu (0x%08x) ", result, result);
        EXPECT_EQ(0u, lines[lines.size() - 2].find(prefix)) << testsupport::Narrow(lines[lines.size() - 2]);
        EXPECT_EQ(L"End of logfile", lines.back());
    }

    // Everything but the error line, which ExpectEnding checks.
    static void ExpectLines(const std::vector<std::wstring>& expected, std::vector<std::wstring> lines) {
        ASSERT_GE(lines.size(), 2u);
        lines.erase(lines.end() - 2);
        std::vector<std::wstring> want = expected;
        want.push_back(L"End of logfile");
        EXPECT_EQ(want, lines);
    }

    // True when a report written now reaches no buffer but a fresh read of
    // our own: nothing of the thread is still reading from the sensor.
    void ExpectNoReadLeft() {
        SendReport(0x20);
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event;
        BYTE report[kReportLength] = {};
        DWORD got = 0;
        BOOL done = ReadFile(data_.hReadDevice, report, kReportLength, &got, &overlapped);
        if (!done && GetLastError() == ERROR_IO_PENDING) {
            if (WaitForSingleObject(event, 2000) != WAIT_OBJECT_0) CancelIoEx(data_.hReadDevice, &overlapped);
            done = GetOverlappedResult(data_.hReadDevice, &overlapped, &got, TRUE);
        }
        CloseHandle(event);
        EXPECT_TRUE(done) << "report went elsewhere";
        EXPECT_EQ(kReportLength, got);
        EXPECT_EQ(0x20, report[1]);
        EXPECT_NE(0x20, data_.pInputReport[1]) << "a read of the ended thread filled the buffer";
    }

    DeviceData data_;  // test thread writes, only while no rotation thread runs
    HANDLE server_ = INVALID_HANDLE_VALUE;
    HANDLE thread_ = nullptr;
    std::wstring tempDir_;
    std::unique_ptr<testsupport::ScopedTempFolder> tempFolder_;
    DWORD savedTlsIndex_ = TLS_OUT_OF_INDEXES;
    DWORD savedKeepCount_ = 0;
};

// A quarter turn, then a stop while the next read waits: the thread's whole
// life as the main window sees it.
TEST_F(RotationThreadTest, ChangeThenStop) {
    StartThread();
    WaitForReads(1);
    SendReport(0x04);
    WaitForReads(2);
    SetEvent(data_.hStopEvent);
    ExpectEnded(ERROR_CANCELLED);

    std::vector<std::wstring> expected = Start();
    AppendPass(&expected, L"00");
    Append(&expected, {NewOrientation(90), L"New display orientation has been set"});
    AppendPass(&expected, L"02");
    std::vector<std::wstring> lines = ThreadLines();
    ExpectLines(expected, lines);
    ExpectEnding(lines, ERROR_CANCELLED);
    EXPECT_EQ((std::vector<std::wstring>{L"RotationThread00000001.log"}),
              ListFiles(LogFolder(), L"RotationThread*.log"));
}

// A report already waiting when the read starts completes the read at once;
// the thread must treat it exactly like one that arrives later.
TEST_F(RotationThreadTest, ReportThatCompletesTheReadAtOnce) {
    SendReport(0x04);
    StartThread();
    WaitForReads(2);
    SetEvent(data_.hStopEvent);
    ExpectEnded(ERROR_CANCELLED);

    std::vector<std::wstring> expected = Start();
    AppendPass(&expected, L"00");
    Append(&expected, {NewOrientation(90), L"New display orientation has been set"});
    AppendPass(&expected, L"02");
    ExpectLines(expected, ThreadLines());
}

// Reports that name the side already held, or none at all, change nothing and
// write no line; the next feature report carries the same byte.
TEST_F(RotationThreadTest, ReportsThatChangeNothing) {
    struct Case { BYTE orientationByte; const char* why; };
    const Case cases[] = {
        {0x10, "names the current side"},
        {0x0A, "combined code for the current side"},
        {0x30, "current side wins the scan"},
        {0x00, "no bits"},
        {0xC3, "none of the four bits"},
    };
    StartThread();
    WaitForReads(1);
    size_t passes = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        SendReport(c.orientationByte);
        WaitForReads(++passes);
    }
    SetEvent(data_.hStopEvent);
    ExpectEnded(ERROR_CANCELLED);

    std::vector<std::wstring> expected = Start();
    for (size_t i = 0; i < passes; ++i) AppendPass(&expected, L"00");
    ExpectLines(expected, ThreadLines());
}

// This display refuses 90, 180 and 270 degrees: the side still counts as
// changed, is not tried again while the sensor keeps naming it, and the
// feature report follows the new side.
TEST_F(RotationThreadTest, RefusedDisplayChangeStillCounts) {
    struct Step { BYTE orientationByte; int newDegrees; const wchar_t* nextFeature; };
    const Step steps[] = {
        {0x04, 90, L"02"},   // refused by the display
        {0x04, -1, L"02"},   // same side again: no new attempt
        {0x0C, -1, L"02"},   // still 90 by scan order
        {0x14, 180, L"03"},  // combined code for 180
        {0x08, 270, L"01"},
        {0x0A, 0, L"00"},    // accepted by the display
        {0x10, -1, L"00"},
    };
    StartThread();
    WaitForReads(1);
    std::vector<std::wstring> expected = Start();
    Append(&expected, {Feature(L"00"), L"Next device read"});
    size_t passes = 1;
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << "byte 0x" << std::hex << (int)step.orientationByte);
        SendReport(step.orientationByte);
        WaitForReads(++passes);
        expected.push_back(L"Device has been read");
        if (step.newDegrees >= 0) {
            Append(&expected, {NewOrientation((DWORD)step.newDegrees), L"New display orientation has been set"});
        }
        Append(&expected, {Feature(step.nextFeature), L"Next device read"});
    }
    SetEvent(data_.hStopEvent);
    ExpectEnded(ERROR_CANCELLED);
    expected.push_back(L"Device has been read");
    ExpectLines(expected, ThreadLines());
}

// The thread blocks in its wait without a time-out and leaves only for the
// stop; the read it leaves pending is ended before it goes, so no later
// report can land in the buffer or in the ended thread's stack.
TEST_F(RotationThreadTest, StopWhileWaiting) {
    StartThread();
    WaitForReads(1);
    // Idle for a while: a thread that polled would start more passes.
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(thread_, 300));
    EXPECT_EQ(1u, Count(ThreadLines(), L"Next device read"));
    SetEvent(data_.hStopEvent);
    ExpectEnded(ERROR_CANCELLED);

    std::vector<std::wstring> expected = Start();
    AppendPass(&expected, L"00");
    std::vector<std::wstring> lines = ThreadLines();
    ExpectLines(expected, lines);
    ExpectEnding(lines, ERROR_CANCELLED);
    ExpectNoReadLeft();
}

// Runs the thread procedure on the calling thread, far below the caller's
// frames, so that a read it wrongly left pending can only write into stack
// nobody uses.
__attribute__((noinline)) DWORD RunBelowCaller(DeviceData* data) {
    volatile BYTE padding[64 * 1024];
    padding[0] = 0;
    padding[sizeof padding - 1] = 0;
    return RotationThread(data);
}

// The end of a thread cancels its reads on some systems but not the end of
// the procedure: run on a thread that lives on, the procedure must still
// leave no read behind once it has returned.
TEST_F(RotationThreadTest, ProcedureLeavesNoReadBehind) {
    SetEvent(data_.hStopEvent);
    EXPECT_EQ((DWORD)ERROR_CANCELLED, RunBelowCaller(&data_));
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, data_.hWnd, WM_ROTATION_STOPPED, WM_ROTATION_STOPPED, PM_REMOVE));
    EXPECT_EQ((WPARAM)ERROR_CANCELLED, msg.wParam);
    ExpectNoReadLeft();
    EXPECT_EQ(nullptr, TlsGetValue(g_logTlsIndex)) << "log left open";
}

// Stop and report both there when the thread waits: the stop wins and the
// report is not decoded, although the read took it.
TEST_F(RotationThreadTest, StopWinsOverAReportThatArrivedWithIt) {
    SendReport(0x04);
    SetEvent(data_.hStopEvent);
    StartThread();
    ExpectEnded(ERROR_CANCELLED);

    std::vector<std::wstring> expected = Start();
    AppendPass(&expected, L"00");
    ExpectLines(expected, ThreadLines());
    DWORD available = 0xDEADBEEF;
    ASSERT_TRUE(PeekNamedPipe(data_.hReadDevice, nullptr, 0, nullptr, &available, nullptr));
    EXPECT_EQ(0u, available) << "the read did not take the report";
    ExpectNoReadLeft();
}

// A sensor gone before the read: the read fails at once and its error is the
// thread's result.
TEST_F(RotationThreadTest, ReadThatFailsAtOnce) {
    CloseServer();
    StartThread();
    ExpectEnded(ERROR_BROKEN_PIPE);

    std::vector<std::wstring> expected = Start();
    AppendPass(&expected, L"00");
    std::vector<std::wstring> lines = ThreadLines();
    ExpectLines(expected, lines);
    ExpectEnding(lines, ERROR_BROKEN_PIPE);
}

// A sensor unplugged while a read waits: that read completes with an error,
// the buffer still holds the last report (no change), and the next read
// fails at once.
TEST_F(RotationThreadTest, UnplugWhileWaiting) {
    StartThread();
    WaitForReads(1);
    SendReport(0x04);
    WaitForReads(2);
    CloseServer();
    ExpectEnded(ERROR_BROKEN_PIPE);

    std::vector<std::wstring> expected = Start();
    AppendPass(&expected, L"00");
    Append(&expected, {NewOrientation(90), L"New display orientation has been set"});
    AppendPass(&expected, L"02");
    AppendPass(&expected, L"02");
    std::vector<std::wstring> lines = ThreadLines();
    ExpectLines(expected, lines);
    ExpectEnding(lines, ERROR_BROKEN_PIPE);
}

// Every start of the thread opens a new numbered file of its own.
TEST_F(RotationThreadTest, EachStartWritesANewLogFile) {
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        ResetEvent(data_.hStopEvent);
        StartThread();
        SetEvent(data_.hStopEvent);
        ExpectEnded(ERROR_CANCELLED);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"RotationThread00000001.log", L"RotationThread00000002.log"}),
              ListFiles(LogFolder(), L"RotationThread*.log"));
    for (const wchar_t* name : {L"RotationThread00000001.log", L"RotationThread00000002.log"}) {
        SCOPED_TRACE(testsupport::Narrow(name));
        std::vector<std::wstring> expected = Start();
        AppendPass(&expected, L"00");
        std::vector<std::wstring> lines = ThreadLines(name);
        ExpectLines(expected, lines);
        ExpectEnding(lines, ERROR_CANCELLED);
    }
}

// Without a log the thread works the same: same results, same message, and
// no file anywhere.
TEST_F(RotationThreadTest, WithoutALog) {
    struct Case { const char* why; DWORD keepCount; bool noSlot; bool unplug; DWORD result; };
    const Case cases[] = {
        {"keep count 0, stopped", 0, false, false, ERROR_CANCELLED},
        {"no slot, stopped", 10, true, false, ERROR_CANCELLED},
        // Last: the sensor stays gone.
        {"keep count 0, unplugged after a report", 0, false, true, ERROR_BROKEN_PIPE},
    };
    const DWORD slot = g_logTlsIndex;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        g_rotationLogKeepCount = c.keepCount;
        g_logTlsIndex = c.noSlot ? TLS_OUT_OF_INDEXES : slot;
        ResetEvent(data_.hStopEvent);
        if (c.unplug) {
            SendReport(0x04);
            CloseServer();
        } else {
            SetEvent(data_.hStopEvent);
        }
        StartThread();
        ExpectEnded(c.result);
    }
    g_logTlsIndex = slot;
    EXPECT_TRUE(ListFiles(tempDir_).empty());
}

}  // namespace
