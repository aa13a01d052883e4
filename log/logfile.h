// Per-thread diagnostic log: every thread may own one UTF-16 log file, found
// through one process-wide TLS slot, so any code can log without a log object.
#pragma once

#include <windows.h>
#include <stdarg.h>

// Slot of the per-thread LogfileContext; TLS_OUT_OF_INDEXES until wWinMain
// allocates it. Written once by the main thread before any other thread exists.
extern DWORD g_logTlsIndex;

// Keep-count settings of the two logs (older files kept beside a new one).
// Main thread writes g_mainLogKeepCount, rotation thread g_rotationLogKeepCount,
// each at most once (when resolving LOGFILE_KEEP_FROM_REGISTRY).
extern DWORD g_mainLogKeepCount;
extern DWORD g_rotationLogKeepCount;

const DWORD LOGFILE_KEEP_FROM_REGISTRY = 0xFFFFFFFF;

// Last error of every log call made on a thread without an open log.
const DWORD LOGFILE_E_NOT_OPEN = 0x80040007;
// Last error of a line whose message (or any formatted piece) does not fit.
const DWORD LOGFILE_E_INSUFFICIENT_BUFFER = 0x8007007A;

const BYTE LOGFILE_FLAG_ERROR = 0x01;

// One open log; lives in its owning thread's TLS slot and is touched by that
// thread only.
struct LogfileContext {
    HANDLE file;
    DWORD indent;
    DWORD headerEnd;
    DWORD sizeLimit;
    LPWSTR pathCopy;
    DWORD pathCopyStatus;
};

BOOL LogfileStart(DWORD tlsIndex, DWORD* keepCount, LPCWSTR name);
BOOL LogfileEnd(struct LogfileHandle* handle);

// A thread's own log for the extent of a scope: it ends a started log when it
// leaves scope, unless LogfileEnd already did.
struct LogfileHandle {
    BOOL started;
    DWORD tlsIndex;

    // Not started yet; the owner sets `started` from its own LogfileStart.
    explicit LogfileHandle(DWORD slot) : started(FALSE), tlsIndex(slot) {}
    // Starts the thread's log unless there is no slot.
    LogfileHandle(DWORD slot, DWORD* keepCount, LPCWSTR name) : started(FALSE), tlsIndex(slot) {
        if (slot != TLS_OUT_OF_INDEXES) started = LogfileStart(slot, keepCount, name);
    }
    ~LogfileHandle() {
        if (started) LogfileEnd(this);
    }
    LogfileHandle(const LogfileHandle&) = delete;
    LogfileHandle& operator=(const LogfileHandle&) = delete;
};

BOOL LogfileWriteV(DWORD errorCode, va_list args, DWORD tlsIndex, BYTE flags, LPCWSTR format);
BOOL LogfileWrite(DWORD tlsIndex, LPCWSTR format, ...);
BOOL LogfileWriteError(DWORD tlsIndex, DWORD errorCode, LPCWSTR format, ...);
BOOL LogfileHandleWrite(LogfileHandle* handle, LPCWSTR format, ...);
BOOL LogfileWriteGuarded(DWORD tlsIndex, LPCWSTR format, ...);

// System text of an error code, or the constant fallback text; release a
// result that is not LOGFILE_NO_ERROR_TEXT with LocalFree.
extern const WCHAR LOGFILE_NO_ERROR_TEXT[];
LPWSTR GetSystemErrorText(DWORD code, WORD languageId);
