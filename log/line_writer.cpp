// Writes one line into the calling thread's log and ends a log; every piece
// is its own synchronous write, so a line is on disk when the call returns.
#include "log/logfile.h"

#include "log/line_layout.h"

// Written once by the main thread (wWinMain) before any other thread exists.
DWORD g_logTlsIndex = TLS_OUT_OF_INDEXES;

static LogfileContext* CurrentLog(DWORD tlsIndex) {
    return static_cast<LogfileContext*>(TlsGetValue(tlsIndex));
}

static BOOL WritePiece(HANDLE file, LPCWSTR text, DWORD chars) {
    DWORD written = 0;
    return WriteFile(file, text, chars * sizeof(WCHAR), &written, NULL);
}

static DWORD Length(LPCWSTR text) {
    return static_cast<DWORD>(lstrlenW(text));
}

static void TruncateToHeader(const LogfileContext* log) {
    // A zero high part makes the offset unsigned, as headerEnd is.
    LONG high = 0;
    SetFilePointer(log->file, static_cast<LONG>(log->headerEnd), &high, FILE_BEGIN);
    SetEndOfFile(log->file);
}

BOOL LogfileWriteV(DWORD errorCode, va_list args, DWORD tlsIndex, BYTE flags, LPCWSTR format) {
    LogfileContext* log = CurrentLog(tlsIndex);
    if (log == NULL) {
        SetLastError(LOGFILE_E_NOT_OPEN);
        return FALSE;
    }

    // The message is formatted before the size test, so a message that does
    // not fit (or an argument that faults) leaves the file as it was instead
    // of cut back without its marker.
    WCHAR message[LOGFILE_MESSAGE_CHARS];
    DWORD formatted = LogfileFormatV(message, LOGFILE_MESSAGE_CHARS, format, args);
    if (formatted != 0) {
        SetLastError(formatted);
        return FALSE;
    }

    DWORD position = SetFilePointer(log->file, 0, NULL, FILE_CURRENT);
    bool truncated = LogfileNeedsTruncation(position, log->sizeLimit);
    if (truncated) TruncateToHeader(log);

    SYSTEMTIME now;
    GetLocalTime(&now);
    WCHAR timestamp[LOGFILE_TIMESTAMP_CHARS];
    LogfileFormatTimestamp(now, timestamp, LOGFILE_TIMESTAMP_CHARS);
    DWORD timestampChars = Length(timestamp);

    BOOL ok = WritePiece(log->file, timestamp, timestampChars);
    if (truncated) {
        WritePiece(log->file, LOGFILE_TRUNCATION_MARKER, Length(LOGFILE_TRUNCATION_MARKER));
        WritePiece(log->file, timestamp, timestampChars);
    }
    for (DWORD i = 0; i < log->indent; ++i) WritePiece(log->file, L" ", 1);

    bool errorLine = (flags & LOGFILE_FLAG_ERROR) != 0;
    if (errorLine) {
        if (!ok) return FALSE;
        ok = WritePiece(log->file, LOGFILE_ERROR_PREFIX, Length(LOGFILE_ERROR_PREFIX));
    }
    if (!ok) return FALSE;
    ok = WritePiece(log->file, message, Length(message));

    if (errorLine) {
        if (!ok) return FALSE;
        LPWSTR text = GetSystemErrorText(errorCode, LANGIDFROMLCID(GetThreadLocale()));
        // The message has been written, so its buffer takes the suffix.
        DWORD suffixResult = LogfileFormatErrorSuffix(errorCode, text, message, LOGFILE_MESSAGE_CHARS);
        if (text != LOGFILE_NO_ERROR_TEXT) LocalFree(text);
        if (suffixResult == 0) ok = WritePiece(log->file, message, Length(message));
    }

    if (ok) ok = WritePiece(log->file, LOGFILE_LINE_END, Length(LOGFILE_LINE_END));
    return ok;
}

BOOL LogfileWrite(DWORD tlsIndex, LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    BOOL result = LogfileWriteV(0, args, tlsIndex, 0, format);
    va_end(args);
    return result;
}

BOOL LogfileWriteError(DWORD tlsIndex, DWORD errorCode, LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    BOOL result = LogfileWriteV(errorCode, args, tlsIndex, LOGFILE_FLAG_ERROR, format);
    va_end(args);
    return result;
}

BOOL LogfileHandleWrite(LogfileHandle* handle, LPCWSTR format, ...) {
    if (handle == NULL) {
        SetLastError(LOGFILE_E_NOT_OPEN);
        return FALSE;
    }
    va_list args;
    va_start(args, format);
    BOOL result = LogfileWriteV(0, args, handle->tlsIndex, 0, format);
    va_end(args);
    return result;
}

BOOL LogfileEnd(LogfileHandle* handle) {
    if (handle == NULL || !handle->started) {
        SetLastError(LOGFILE_E_NOT_OPEN);
        return FALSE;
    }
    // Cleared first, so a second call fails whatever happens below.
    handle->started = FALSE;

    LogfileContext* log = CurrentLog(handle->tlsIndex);
    if (log == NULL) {
        SetLastError(LOGFILE_E_NOT_OPEN);
        return FALSE;
    }
    LogfileWrite(handle->tlsIndex, LOGFILE_END_LINE);

    TlsSetValue(handle->tlsIndex, NULL);
    CloseHandle(log->file);
    LocalFree(log->pathCopy);
    LocalFree(log);
    return TRUE;
}
