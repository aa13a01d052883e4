// Helpers shared by the test programs; plain Win32 so they behave the same
// under Wine and on Windows.
#include "tests/support/test_support.h"

#include <algorithm>

namespace testsupport {

std::wstring MakeFreshDir(const wchar_t* tag) {
    static LONG counter = 0;
    WCHAR temp[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH) return L"";
    std::wstring base = std::wstring(temp) + L"velatrix-tests";
    CreateDirectoryW(base.c_str(), nullptr);
    for (;;) {
        WCHAR name[64];
        wsprintfW(name, L"\\%s-%lu-%lu-%ld", tag, GetCurrentProcessId(), GetTickCount(),
                  InterlockedIncrement(&counter));
        std::wstring dir = base + name;
        if (CreateDirectoryW(dir.c_str(), nullptr)) return dir;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return L"";
    }
}

void RemoveTree(const std::wstring& dir) {
    if (dir.empty()) return;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring path = dir + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

static bool GetEnv(const wchar_t* name, std::wstring* value) {
    WCHAR buffer[32768];
    DWORD n = GetEnvironmentVariableW(name, buffer, 32768);
    if (n == 0 || n >= 32768) return false;
    *value = buffer;
    return true;
}

ScopedTempFolder::ScopedTempFolder(const std::wstring& dir) {
    hadTmp_ = GetEnv(L"TMP", &oldTmp_);
    hadTemp_ = GetEnv(L"TEMP", &oldTemp_);
    SetEnvironmentVariableW(L"TMP", dir.c_str());
    SetEnvironmentVariableW(L"TEMP", dir.c_str());
}

ScopedTempFolder::~ScopedTempFolder() {
    SetEnvironmentVariableW(L"TMP", hadTmp_ ? oldTmp_.c_str() : nullptr);
    SetEnvironmentVariableW(L"TEMP", hadTemp_ ? oldTemp_.c_str() : nullptr);
}

std::wstring LogFolderUnder(const std::wstring& tempDir) {
    std::wstring dir = tempDir;
    if (!dir.empty() && dir.back() == L'\\') dir.pop_back();
    return dir + L"\\QelSoft\\velatrix";
}

bool ReadFileBytes(const std::wstring& path, std::string* bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bytes->clear();
    char buffer[65536];
    DWORD got = 0;
    bool ok = true;
    for (;;) {
        if (!ReadFile(file, buffer, sizeof buffer, &got, nullptr)) { ok = false; break; }
        if (got == 0) break;
        bytes->append(buffer, got);
    }
    CloseHandle(file);
    return ok;
}

bool ReadUtf16File(const std::wstring& path, std::wstring* text, bool* bom) {
    std::string bytes;
    if (!ReadFileBytes(path, &bytes)) return false;
    size_t start = 0;
    bool hasBom = bytes.size() >= 2 && (unsigned char)bytes[0] == 0xFF && (unsigned char)bytes[1] == 0xFE;
    if (hasBom) start = 2;
    if (bom) *bom = hasBom;
    text->clear();
    for (size_t i = start; i + 1 < bytes.size(); i += 2) {
        text->push_back((wchar_t)((unsigned char)bytes[i] | ((unsigned char)bytes[i + 1] << 8)));
    }
    return true;
}

std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t pos = 0;
    for (;;) {
        size_t end = text.find(L"\r\n", pos);
        if (end == std::wstring::npos) {
            if (pos < text.size()) lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

bool HasTimestamp(const std::wstring& line) {
    // MM/DD/YYYY HH:MM:SS.mmm: (25 characters)
    static const wchar_t shape[] = L"00/00/0000 00:00:00.000: ";
    if (line.size() < 25) return false;
    for (size_t i = 0; i < 25; ++i) {
        if (shape[i] == L'0') {
            if (line[i] < L'0' || line[i] > L'9') return false;
        } else if (line[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

std::wstring Message(const std::wstring& line) {
    return HasTimestamp(line) ? line.substr(25) : line;
}

std::vector<std::wstring> Messages(const std::vector<std::wstring>& lines) {
    std::vector<std::wstring> out;
    for (const auto& line : lines) out.push_back(Message(line));
    return out;
}

std::vector<std::wstring> ListFiles(const std::wstring& dir, const wchar_t* pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\" + pattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

std::wstring ModuleDir() {
    WCHAR path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    size_t slash = dir.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L".\\" : dir.substr(0, slash + 1);
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n);
    return out;
}

ChildProcess::~ChildProcess() {
    if (process_.hProcess) {
        if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.hProcess, 0xDEAD);
            WaitForSingleObject(process_.hProcess, 5000);
        }
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
    }
}

bool ChildProcess::Start(const std::wstring& exePath, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + exePath + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    return CreateProcessW(exePath.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process_) != FALSE;
}

bool ChildProcess::Wait(DWORD ms, DWORD* exitCode) {
    if (!process_.hProcess) return false;
    if (WaitForSingleObject(process_.hProcess, ms) != WAIT_OBJECT_0) return false;
    if (exitCode) GetExitCodeProcess(process_.hProcess, exitCode);
    return true;
}

namespace {
struct WindowSearch {
    DWORD pid;
    const wchar_t* className;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != search->pid) return TRUE;
    WCHAR name[256];
    if (GetClassNameW(window, name, 256) && lstrcmpW(name, search->className) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}
}  // namespace

HWND ChildProcess::FindWindowOf(const wchar_t* className, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        WindowSearch search = {process_.dwProcessId, className, nullptr};
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) return search.found;
        if (GetTickCount() - start >= ms) return nullptr;
        if (WaitForSingleObject(process_.hProcess, 50) == WAIT_OBJECT_0) return nullptr;
    }
}


ScopedHklmValue::ScopedHklmValue(const std::wstring& subKey, const std::wstring& valueName)
    : subKey_(subKey), valueName_(valueName) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey_.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, valueName_.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        oldData_.resize(size);
        if (RegQueryValueExW(key, valueName_.c_str(), nullptr, &type,
                             oldData_.empty() ? nullptr : oldData_.data(), &size) == ERROR_SUCCESS) {
            hadValue_ = true;
            oldType_ = type;
            oldData_.resize(size);
        }
    }
    RegCloseKey(key);
}

static bool KeyExists(const std::wstring& subKey) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

static bool OpenForWrite(const std::wstring& subKey, std::vector<std::wstring>* created, HKEY* key) {
    // Note every level that does not exist yet, so the destructor removes it again.
    size_t pos = 0;
    for (;;) {
        size_t slash = subKey.find(L'\\', pos);
        std::wstring level = subKey.substr(0, slash);
        if (!KeyExists(level) &&
            std::find(created->begin(), created->end(), level) == created->end()) {
            created->push_back(level);
        }
        if (slash == std::wstring::npos) break;
        pos = slash + 1;
    }
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                           key, nullptr) == ERROR_SUCCESS;
}

bool ScopedHklmValue::Set(DWORD type, const void* data, DWORD size) {
    HKEY key;
    if (!OpenForWrite(subKey_, &createdKeys_, &key)) return false;
    bool ok = RegSetValueExW(key, valueName_.c_str(), 0, type, static_cast<const BYTE*>(data),
                             size) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

bool ScopedHklmValue::Remove() {
    HKEY key;
    if (!OpenForWrite(subKey_, &createdKeys_, &key)) return false;
    LONG status = RegDeleteValueW(key, valueName_.c_str());
    RegCloseKey(key);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

ScopedHklmValue::~ScopedHklmValue() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey_.c_str(), 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
        if (hadValue_) {
            RegSetValueExW(key, valueName_.c_str(), 0, oldType_,
                           oldData_.empty() ? nullptr : oldData_.data(), (DWORD)oldData_.size());
        } else {
            RegDeleteValueW(key, valueName_.c_str());
        }
        RegCloseKey(key);
    }
    for (auto it = createdKeys_.rbegin(); it != createdKeys_.rend(); ++it) {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, it->c_str());
    }
}

}  // namespace testsupport
