// Writes the environment report that opens every log file, so each log says
// which process, machine, system, user and Wine version it came from.
#define SECURITY_WIN32
#include "log/environment_report.h"

#include <security.h>

#include "log/exception_guard.h"
#include "log/logfile.h"

namespace {

typedef const char*(__cdecl* TextProc)();

struct TextProcCall {
    FARPROC proc;
    const char* text;
};

DWORD CallTextProc(void* context) {
    TextProcCall* call = static_cast<TextProcCall*>(context);
    call->text = reinterpret_cast<TextProc>(reinterpret_cast<void*>(call->proc))();
    return 0;
}

}  // namespace

DWORD CallTextProcGuarded(FARPROC proc, const char** text) {
    if (!proc || !text) return ERROR_INVALID_PARAMETER;
    *text = nullptr;
    TextProcCall call = {proc, nullptr};
    BOOL raised = FALSE;
    DWORD code = RunExceptionGuarded(CallTextProc, &call, &raised);
    if (code == 0) *text = call.text;
    return code;
}

LPWSTR AllocComputerName(COMPUTER_NAME_FORMAT format) {
    DWORD length = 4;
    LPWSTR buffer = nullptr;
    for (;;) {
        if (buffer) LocalFree(buffer);
        // The size the system reports back is not trusted: grow by a fixed step.
        length += 20;
        buffer = (LPWSTR)LocalAlloc(LMEM_ZEROINIT, (SIZE_T)length * sizeof(WCHAR));
        if (!buffer) return nullptr;
        DWORD size = length;
        if (GetComputerNameExW(format, buffer, &size)) return buffer;
        DWORD error = GetLastError();
        if (error != ERROR_MORE_DATA) {
            LocalFree(buffer);
            SetLastError(error);
            return nullptr;
        }
    }
}

BOOL IsRunningUnderWow64() {
    typedef BOOL(WINAPI * IsWow64ProcessProc)(HANDLE, PBOOL);
    BOOL result = 0;
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    if (!kernel) return 0;
    IsWow64ProcessProc isWow64 =
        (IsWow64ProcessProc)(void*)GetProcAddress(kernel, "IsWow64Process");
    if (isWow64 && !isWow64(GetCurrentProcess(), &result)) return 0;
    return result;
}

BOOL HasWineUnixFileNameExport(DWORD* flag) {
    if (!flag) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HMODULE kernel = LoadLibraryW(L"kernel32.dll");
    if (!kernel) return FALSE;
    *flag = GetProcAddress(kernel, "wine_get_unix_file_name") ? 1 : 0;
    FreeLibrary(kernel);
    return TRUE;
}

const char* GetWineVersionText() {
    HMODULE ntdll = LoadLibraryW(L"ntdll.dll");
    if (!ntdll) return nullptr;
    const char* text = nullptr;
    DWORD error = 0;
    FARPROC proc = GetProcAddress(ntdll, "wine_get_version");
    if (!proc) {
        error = ERROR_CALL_NOT_IMPLEMENTED;
    } else {
        error = CallTextProcGuarded(proc, &text);
        if (error == 0 && !text) error = ERROR_EMPTY;
    }
    // Every way out passes here: the guarded call catches what the export raises.
    // ntdll is never unmapped, so the text stays readable after the release.
    FreeLibrary(ntdll);
    if (error != 0) {
        SetLastError(error);
        return nullptr;
    }
    return text;
}

static void WriteComputerNameLine(DWORD tlsIndex, LPCWSTR format, COMPUTER_NAME_FORMAT which) {
    LPWSTR name = AllocComputerName(which);
    LogfileWrite(tlsIndex, format, name ? name : L"N/A");
    if (name) LocalFree(name);
}

static void WriteUserNameLine(DWORD tlsIndex) {
    ULONG length = 0;
    GetUserNameExW(NameSamCompatible, nullptr, &length);
    // Twice the room the text needs, and never a size that wraps around.
    if (length == 0 || length > 0x3FFFFFFF) return;
    LPWSTR buffer = (LPWSTR)LocalAlloc(LMEM_ZEROINIT, (SIZE_T)length * 4);
    if (!buffer) return;
    BOOLEAN got = GetUserNameExW(NameSamCompatible, buffer, &length);
    if ((BYTE)got) LogfileWrite(tlsIndex, L"User name is %s", buffer);
    LocalFree(buffer);
}

void WriteEnvironmentReport(DWORD tlsIndex) {
    LPCWSTR commandLine = GetCommandLineW();
    LogfileWrite(tlsIndex, L"Command line: %s", commandLine ? commandLine : L"N/A");
    LogfileWrite(tlsIndex, L"");
    LogfileWrite(tlsIndex, L"PID: %lu TID: %lu", GetCurrentProcessId(), GetCurrentThreadId());

    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session)) {
        LogfileWrite(tlsIndex, L"Terminal Session ID: %lu", session);
    }

    WriteComputerNameLine(tlsIndex, L"Computer NetBios name: %s", ComputerNameNetBIOS);
    WriteComputerNameLine(tlsIndex, L"Computer DNS FQDN name: %s", ComputerNameDnsFullyQualified);

    OSVERSIONINFOEXW version;
    ZeroMemory(&version, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (GetVersionExW((OSVERSIONINFOW*)&version)) {
        LogfileWrite(tlsIndex, L"OS Version is %lu.%lu.%lu", version.dwMajorVersion,
                     version.dwMinorVersion, version.dwBuildNumber);
        LogfileWrite(tlsIndex, L"Service Pack %lu.%lu", (DWORD)version.wServicePackMajor,
                     (DWORD)version.wServicePackMinor);
        LogfileWrite(tlsIndex, L"Platform Id is %lu, SuiteMask is 0x%.4x, Product type is 0x%.2x",
                     version.dwPlatformId, (unsigned)version.wSuiteMask,
                     (unsigned)version.wProductType);
    }

    LogfileWrite(tlsIndex, L"This binary has been compiled for x86 and is running %s",
                 IsRunningUnderWow64() ? L"under WOW64" : L"on x86");

    WriteUserNameLine(tlsIndex);

    DWORD underWine = 0;
    const char* wineVersion = GetWineVersionText();
    if (wineVersion) {
        // The text lives in ntdll; a fault while reading it only loses this line.
        LogfileWriteGuarded(tlsIndex, L"Process is running under Wine version %S", wineVersion);
    } else if (HasWineUnixFileNameExport(&underWine) && underWine) {
        LogfileWrite(tlsIndex, L"Process is running under Wine");
    } else {
        LogfileWrite(tlsIndex, L"Process is not running under Wine");
    }

    LogfileWrite(tlsIndex, L"");
    LogfileWrite(tlsIndex, L"------------------------------------------");
    LogfileWrite(tlsIndex, L"------------------------------------------");
    LogfileWrite(tlsIndex, L"");
}
