// The header block of every new log file: process, machine, operating system,
// user and Wine, with the probes it needs.
#pragma once

#include <windows.h>

// Writes the header lines into the calling thread's log (slot `tlsIndex`);
// results of the writes are ignored.
void WriteEnvironmentReport(DWORD tlsIndex);

// The computer name in `format` in a zero-filled local-heap string (release
// with LocalFree), or null with the last error set.
LPWSTR AllocComputerName(COMPUTER_NAME_FORMAT format);

// Nonzero when the process runs under WOW64; 0 otherwise or when unknown.
BOOL IsRunningUnderWow64();

// TRUE with *flag 1 or 0 as kernel32.dll exports wine_get_unix_file_name or
// not; FALSE (flag untouched) when the test could not be made.
BOOL HasWineUnixFileNameExport(DWORD* flag);

// Wine's version text as ntdll.dll's wine_get_version returns it (not copied),
// or null with the last error set.
const char* GetWineVersionText();

// Calls a procedure that takes nothing and returns a narrow text, catching
// every exception it raises. Returns 0 with *text set, or the exception code.
DWORD CallTextProcGuarded(FARPROC proc, const char** text);
