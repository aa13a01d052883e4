// Texts and pure layout rules of a log line; no system calls, so the layout
// and the formatting limits can be checked without a file.
#include "log/line_layout.h"

#include <stdio.h>
#include <wchar.h>

#include "log/logfile.h"

const WCHAR LOGFILE_TIMESTAMP_FORMAT[] = L"%.2lu/%.2lu/%.4lu %.2lu:%.2lu:%.2lu.%.3lu: ";
const WCHAR LOGFILE_TRUNCATION_MARKER[] =
    L">>>>>>>>>>>>>>> Logfile truncation <<<<<<<<<<<<<<<<\r\n";
const WCHAR LOGFILE_ERROR_PREFIX[] = L"Error: ";
const WCHAR LOGFILE_ERROR_SUFFIX_FORMAT[] = L" %lu (0x%.8x) %s";
const WCHAR LOGFILE_LINE_END[] = L"\r\n";
const WCHAR LOGFILE_END_LINE[] = L"End of logfile";

bool LogfileFormatFits(int printed, size_t cchMax) {
    return printed >= 0 && static_cast<size_t>(printed) <= cchMax;
}

DWORD LogfileFormatV(LPWSTR buffer, size_t cch, LPCWSTR format, va_list args) {
    if (buffer == NULL || cch == 0) return LOGFILE_E_INSUFFICIENT_BUFFER;
    if (format == NULL) format = L"";
    // _vsnwprintf is msvcrt's own (never redirected by __USE_MINGW_ANSI_STDIO),
    // so %s is wide and %S narrow. It leaves the buffer unterminated when the
    // output fills it exactly, hence the explicit terminator.
    size_t cchMax = cch - 1;
    int printed = _vsnwprintf(buffer, cchMax, format, args);
    buffer[cchMax] = L'\0';
    if (!LogfileFormatFits(printed, cchMax)) return LOGFILE_E_INSUFFICIENT_BUFFER;
    buffer[printed] = L'\0';
    return 0;
}

DWORD LogfileFormat(LPWSTR buffer, size_t cch, LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    DWORD result = LogfileFormatV(buffer, cch, format, args);
    va_end(args);
    return result;
}

DWORD LogfileFormatTimestamp(const SYSTEMTIME& time, LPWSTR buffer, size_t cch) {
    return LogfileFormat(buffer, cch, LOGFILE_TIMESTAMP_FORMAT,
                         static_cast<unsigned long>(time.wMonth),
                         static_cast<unsigned long>(time.wDay),
                         static_cast<unsigned long>(time.wYear),
                         static_cast<unsigned long>(time.wHour),
                         static_cast<unsigned long>(time.wMinute),
                         static_cast<unsigned long>(time.wSecond),
                         static_cast<unsigned long>(time.wMilliseconds));
}

DWORD LogfileFormatErrorSuffix(DWORD code, LPCWSTR text, LPWSTR buffer, size_t cch) {
    return LogfileFormat(buffer, cch, LOGFILE_ERROR_SUFFIX_FORMAT,
                         static_cast<unsigned long>(code), static_cast<unsigned int>(code),
                         text != NULL ? text : L"");
}

bool LogfileNeedsTruncation(DWORD position, DWORD sizeLimit) {
    return position > sizeLimit;
}

void LogfileTrimLineEnd(LPWSTR text) {
    if (text == NULL) return;
    size_t length = wcslen(text);
    if (length >= 2 && text[length - 2] == L'\r' && text[length - 1] == L'\n') {
        text[length - 2] = L'\0';
    }
}
