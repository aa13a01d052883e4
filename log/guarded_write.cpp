// A log line whose arguments may be unreadable (probed values of the header),
// written inside the structured-exception guard.
#include "log/exception_guard.h"
#include "log/logfile.h"

namespace {

struct GuardedLine {
    DWORD tlsIndex;
    LPCWSTR format;
    va_list* args;
};

// 0 when the line was written, else the writer's last error.
DWORD WriteLine(void* context) {
    GuardedLine* line = static_cast<GuardedLine*>(context);
    return LogfileWriteV(0, *line->args, line->tlsIndex, 0, line->format) ? 0 : GetLastError();
}

}  // namespace

BOOL LogfileWriteGuarded(DWORD tlsIndex, LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    GuardedLine line = {tlsIndex, format, &args};
    BOOL raised = FALSE;
    // Without a guard the line is not written unguarded: the outcome is then
    // the failure to set one up.
    DWORD outcome = RunExceptionGuarded(WriteLine, &line, &raised);
    va_end(args);
    if (outcome == 0) return 1;
    SetLastError(outcome);
    return 0;
}
