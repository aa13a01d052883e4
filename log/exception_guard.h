// A structured-exception guard for code that may touch unreadable memory
// (probed values of the log header). GCC has no __try, so this stands in.
#pragma once

#include <windows.h>

typedef DWORD (*GuardedProc)(void* context);

// Runs proc(context) so that any exception it raises on this thread ends it
// at once. Returns proc's result, or the exception code with *raised TRUE.
// When no guard can be set up, proc is not called and the result is that
// failure's error code (never 0).
DWORD RunExceptionGuarded(GuardedProc proc, void* context, BOOL* raised);
