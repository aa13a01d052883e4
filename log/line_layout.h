// Layout of one log line (timestamp, marker, suffix) and the bounded
// formatting it is built with, kept apart from the file writes so it can be tested directly.
#pragma once

#include <windows.h>
#include <stdarg.h>
#include <stddef.h>

// Character counts of the writer's buffers, terminator included.
const size_t LOGFILE_MESSAGE_CHARS = 512;
const size_t LOGFILE_TIMESTAMP_CHARS = 72;

extern const WCHAR LOGFILE_TIMESTAMP_FORMAT[];
extern const WCHAR LOGFILE_TRUNCATION_MARKER[];
extern const WCHAR LOGFILE_ERROR_PREFIX[];
extern const WCHAR LOGFILE_ERROR_SUFFIX_FORMAT[];
extern const WCHAR LOGFILE_LINE_END[];
extern const WCHAR LOGFILE_END_LINE[];

// Whether a _vsnwprintf result fits a buffer of `cchMax` characters plus the
// terminator: a negative result (cut or bad format) or more than `cchMax` do not.
bool LogfileFormatFits(int printed, size_t cchMax);

// Bounded wide formatting with the results of StringCchVPrintfW: 0 when the
// output (at most cch - 1 characters) fits, else LOGFILE_E_INSUFFICIENT_BUFFER
// with the output cut to cch - 1 characters. Always NUL-terminates when cch > 0.
// %s takes a wide string and %S a narrow one, as in the Microsoft run-time library.
DWORD LogfileFormatV(LPWSTR buffer, size_t cch, LPCWSTR format, va_list args);
DWORD LogfileFormat(LPWSTR buffer, size_t cch, LPCWSTR format, ...);

// "MM/DD/YYYY HH:MM:SS.mmm: " of `time` into `buffer`; the formatting result.
DWORD LogfileFormatTimestamp(const SYSTEMTIME& time, LPWSTR buffer, size_t cch);

// " <code> (0x<code, 8 hex digits>) <text>" into `buffer`; a null text counts
// as empty. The formatting result: a suffix that does not fit is not to be written.
DWORD LogfileFormatErrorSuffix(DWORD code, LPCWSTR text, LPWSTR buffer, size_t cch);

// The size test made before a line: only a position past the limit truncates.
bool LogfileNeedsTruncation(DWORD position, DWORD sizeLimit);

// Ends `text` before one trailing CR LF pair, in place; other endings stay.
void LogfileTrimLineEnd(LPWSTR text);
