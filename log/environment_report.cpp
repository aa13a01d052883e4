// Writes the environment report that opens every log file, so each log says
// which process, machine, system, user and Wine version it came from.
#define SECURITY_WIN32
#include "log/environment_report.h"

#include <security.h>

#include "log/logfile.h"

namespace {

// One guarded call in progress; lives on the calling thread's stack and is
// found through the guard slot. Only that thread touches it (its vectored
// handler runs on the thread that raised the exception).
struct TextProcGuard {
    void* recovery[5];        // __builtin_setjmp buffer, written by the calling thread
    volatile LONG armed;      // set by the calling thread around the call, cleared by its handler
    volatile DWORD code;      // the caught exception's code, written by the handler
    TextProcGuard* previous;  // guard of an outer call on the same thread, if any
#if defined(__i386__)
    void* exceptionList;      // FS:[0] at entry; frames pushed below it die with the recovery
#endif
    // The thread resumes on this stack, not below the faulting frames, so even
    // a stack overflow can be recovered from.
    BYTE recoveryStack[1024];
};

// Slot of the current thread's guard; allocated once, never freed.
DWORD g_textProcGuardSlot = TLS_OUT_OF_INDEXES;
INIT_ONCE g_textProcGuardOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK AllocTextProcGuardSlot(PINIT_ONCE, PVOID, PVOID*) {
    g_textProcGuardSlot = TlsAlloc();
    return g_textProcGuardSlot != TLS_OUT_OF_INDEXES;
}

typedef const char*(__cdecl* TextProc)();

}  // namespace

// Entered on the recovery stack through the handler's modified context; jumps
// back to the guard. Not static, so x86 keeps the plain cdecl convention.
extern "C" __attribute__((noinline, noreturn, used)) void __cdecl TextProcGuardRecover(void* guard) {
    __builtin_longjmp(static_cast<TextProcGuard*>(guard)->recovery, 1);
}

static LONG CALLBACK TextProcGuardHandler(EXCEPTION_POINTERS* info) {
    // Every thread's exceptions pass here while a guard exists; leave theirs,
    // and their last error, alone.
    DWORD savedError = GetLastError();
    TextProcGuard* guard = static_cast<TextProcGuard*>(TlsGetValue(g_textProcGuardSlot));
    SetLastError(savedError);
    if (!guard || !guard->armed) return EXCEPTION_CONTINUE_SEARCH;

    guard->armed = 0;
    guard->code = info->ExceptionRecord->ExceptionCode;
    if (info->ExceptionRecord->ExceptionFlags & EXCEPTION_NONCONTINUABLE) {
        // The system would refuse to resume this one: leave from here.
        TextProcGuardRecover(guard);
    }

    CONTEXT* context = info->ContextRecord;
    ULONG_PTR top = reinterpret_cast<ULONG_PTR>(guard->recoveryStack + sizeof guard->recoveryStack);
    top &= ~static_cast<ULONG_PTR>(15);
#if defined(__x86_64__)
    // As after a call: return address at RSP, RSP + 8 aligned, shadow space above.
    ULONG_PTR sp = top - 56;
    *reinterpret_cast<ULONG_PTR*>(sp) = 0;
    context->Rsp = sp;
    context->Rcx = reinterpret_cast<ULONG_PTR>(guard);
    context->Rip = reinterpret_cast<ULONG_PTR>(&TextProcGuardRecover);
#elif defined(__i386__)
    // cdecl: return address at ESP, the argument above it.
    ULONG_PTR sp = top - 20;
    reinterpret_cast<ULONG_PTR*>(sp)[0] = 0;
    reinterpret_cast<ULONG_PTR*>(sp)[1] = reinterpret_cast<ULONG_PTR>(guard);
    context->Esp = sp;
    context->Eip = reinterpret_cast<ULONG_PTR>(&TextProcGuardRecover);
#else
#error "guarded call: no recovery for this processor"
#endif
    context->EFlags &= ~0x400u;  // direction flag clear, as the calling convention expects
    return EXCEPTION_CONTINUE_EXECUTION;
}

static __attribute__((noinline)) DWORD RunTextProc(TextProcGuard* guard, FARPROC proc,
                                                   const char** text) {
    if (__builtin_setjmp(guard->recovery) != 0) {
#if defined(__i386__)
        reinterpret_cast<NT_TIB*>(NtCurrentTeb())->ExceptionList =
            static_cast<struct _EXCEPTION_REGISTRATION_RECORD*>(guard->exceptionList);
#endif
        *text = nullptr;
        return guard->code;
    }
    guard->armed = 1;
    const char* result = reinterpret_cast<TextProc>(reinterpret_cast<void*>(proc))();
    guard->armed = 0;
    *text = result;
    return 0;
}

DWORD CallTextProcGuarded(FARPROC proc, const char** text) {
    if (!proc || !text) return ERROR_INVALID_PARAMETER;
    *text = nullptr;
    if (!InitOnceExecuteOnce(&g_textProcGuardOnce, AllocTextProcGuardSlot, nullptr, nullptr)) {
        // Without a guard the procedure is not called at all.
        DWORD error = GetLastError();
        return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
    }
    TextProcGuard guard;
    guard.armed = 0;
    guard.code = 0;
    guard.previous = static_cast<TextProcGuard*>(TlsGetValue(g_textProcGuardSlot));
#if defined(__i386__)
    guard.exceptionList = reinterpret_cast<NT_TIB*>(NtCurrentTeb())->ExceptionList;
#endif
    if (!TlsSetValue(g_textProcGuardSlot, &guard)) {
        DWORD error = GetLastError();
        return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
    }
    PVOID handler = AddVectoredExceptionHandler(1, TextProcGuardHandler);
    if (!handler) {
        TlsSetValue(g_textProcGuardSlot, guard.previous);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    DWORD code = RunTextProc(&guard, proc, text);
    RemoveVectoredExceptionHandler(handler);
    TlsSetValue(g_textProcGuardSlot, guard.previous);
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
