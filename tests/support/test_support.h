// Helpers shared by the test programs: fresh folders, the temporary folder
// redirected per test, UTF-16 log files read back, child processes.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

namespace testsupport {

// A new empty folder under the real temporary folder; removed with RemoveTree.
std::wstring MakeFreshDir(const wchar_t* tag);
void RemoveTree(const std::wstring& dir);

// Points GetTempPathW of this process at `dir` (TMP and TEMP) until destroyed.
class ScopedTempFolder {
public:
    explicit ScopedTempFolder(const std::wstring& dir);
    ~ScopedTempFolder();
    ScopedTempFolder(const ScopedTempFolder&) = delete;
    ScopedTempFolder& operator=(const ScopedTempFolder&) = delete;
private:
    std::wstring oldTmp_, oldTemp_;
    bool hadTmp_, hadTemp_;
};

// The log folder under a temporary folder: <temp>\QelSoft\velatrix.
std::wstring LogFolderUnder(const std::wstring& tempDir);

bool ReadFileBytes(const std::wstring& path, std::string* bytes);
// Reads a UTF-16LE file; `bom` receives whether it starts with FF FE (which is
// not part of `text`).
bool ReadUtf16File(const std::wstring& path, std::wstring* text, bool* bom = nullptr);
// Splits on CR LF; a final piece without CR LF is kept as the last element.
std::vector<std::wstring> SplitLines(const std::wstring& text);
// True when `line` starts with "MM/DD/YYYY HH:MM:SS.mmm: ".
bool HasTimestamp(const std::wstring& line);
// The line without its 25-character timestamp (the line itself if it has none).
std::wstring Message(const std::wstring& line);
std::vector<std::wstring> Messages(const std::vector<std::wstring>& lines);

// Names (without folder) of the files in `dir` that match `pattern`, sorted.
std::vector<std::wstring> ListFiles(const std::wstring& dir, const wchar_t* pattern = L"*");

// Folder of the running test program, with a trailing backslash.
std::wstring ModuleDir();

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

// A child process started with CreateProcessW; killed at destruction if still running.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Start(const std::wstring& exePath, const std::wstring& arguments = L"");
    // Waits up to `ms`; true when the process ended, with its exit code.
    bool Wait(DWORD ms, DWORD* exitCode);
    // The top-level window of the process with this class, polled up to `ms`.
    HWND FindWindowOf(const wchar_t* className, DWORD ms);
    HANDLE Handle() const { return process_.hProcess; }
    DWORD Id() const { return process_.dwProcessId; }
private:
    PROCESS_INFORMATION process_ = {};
};


// One value under HKEY_LOCAL_MACHINE, changed by a test and put back as it was
// (value and any keys the test had to create) when destroyed.
class ScopedHklmValue {
public:
    ScopedHklmValue(const std::wstring& subKey, const std::wstring& valueName);
    ~ScopedHklmValue();
    ScopedHklmValue(const ScopedHklmValue&) = delete;
    ScopedHklmValue& operator=(const ScopedHklmValue&) = delete;

    bool Set(DWORD type, const void* data, DWORD size);
    bool SetDword(DWORD value) { return Set(REG_DWORD, &value, sizeof value); }
    // Removes the value (the key stays, or is created empty).
    bool Remove();
private:
    std::wstring subKey_, valueName_;
    bool hadValue_ = false;
    DWORD oldType_ = 0;
    std::vector<BYTE> oldData_;
    std::vector<std::wstring> createdKeys_;  // deepest last
};

}  // namespace testsupport
