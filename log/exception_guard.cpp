// A vectored handler stands in for __try/__except: on the guarding thread only,
// it records the code and resumes the thread at a recovery point saved with
// __builtin_setjmp, on a small stack of its own.
#include "log/exception_guard.h"

namespace {

// One guard in progress; lives on the guarding thread's stack, found through
// the guard slot. Only the guarding thread touches it, its vectored handler
// included (the handler runs on the thread that raised the exception).
struct GuardFrame {
    void* recovery[5];           // __builtin_setjmp buffer, written by the guarding thread
    volatile LONG armed;         // guarding thread sets it around the call; its handler clears it
    volatile DWORD code;         // the caught exception's code, written by the handler
    GuardFrame* previous;        // guard of an outer call on the same thread, if any
#if defined(__i386__)
    void* exceptionList;         // FS:[0] at guard entry; frames pushed below it die with the recovery
#endif
    // The handler resumes the thread here rather than below the faulting
    // frames, so the recovery works even after a stack overflow.
    BYTE recoveryStack[1024];
};

// Slot of the current thread's GuardFrame; allocated once by the first
// guarded call (through g_guardSlotOnce) and never freed.
DWORD g_guardSlot = TLS_OUT_OF_INDEXES;
INIT_ONCE g_guardSlotOnce = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK AllocGuardSlot(PINIT_ONCE, PVOID, PVOID*) {
    g_guardSlot = TlsAlloc();
    return g_guardSlot != TLS_OUT_OF_INDEXES;
}

#if defined(__i386__)
// FS:[0], the head of the thread's chain of exception registration records.
// Plain asm: NtCurrentTeb() trips GCC's array-bounds check when optimised.
void* ReadExceptionList() {
    void* head;
    __asm__ __volatile__("movl %%fs:0, %0" : "=r"(head));
    return head;
}

void WriteExceptionList(void* head) {
    __asm__ __volatile__("movl %0, %%fs:0" : : "r"(head) : "memory");
}
#endif

DWORD ErrorOrNoMemory(DWORD error) { return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY; }

}  // namespace

// Entered with a fresh stack pointer by the handler's modified context; it
// leaves the abandoned frames behind by jumping to the recovery point. Not
// static, so the compiler keeps the plain calling convention on x86.
extern "C" __attribute__((noinline, noreturn, used)) void __cdecl ExceptionGuardRecover(void* frame) {
    __builtin_longjmp(static_cast<GuardFrame*>(frame)->recovery, 1);
}

static LONG CALLBACK GuardHandler(EXCEPTION_POINTERS* info) {
    // Any thread's exception comes through here while a guard exists; leave
    // theirs, and their last error, untouched.
    DWORD savedError = GetLastError();
    GuardFrame* frame = static_cast<GuardFrame*>(TlsGetValue(g_guardSlot));
    SetLastError(savedError);
    if (frame == NULL || !frame->armed) return EXCEPTION_CONTINUE_SEARCH;

    frame->armed = 0;
    frame->code = info->ExceptionRecord->ExceptionCode;
    if (info->ExceptionRecord->ExceptionFlags & EXCEPTION_NONCONTINUABLE) {
        // The system would refuse to resume this one: leave from here.
        ExceptionGuardRecover(frame);
    }

    CONTEXT* context = info->ContextRecord;
    ULONG_PTR top = reinterpret_cast<ULONG_PTR>(frame->recoveryStack + sizeof frame->recoveryStack);
    top &= ~static_cast<ULONG_PTR>(15);
#if defined(__x86_64__)
    // As after a call: return address at RSP, RSP + 8 aligned, shadow space above.
    ULONG_PTR sp = top - 56;
    *reinterpret_cast<ULONG_PTR*>(sp) = 0;
    context->Rsp = sp;
    context->Rcx = reinterpret_cast<ULONG_PTR>(frame);
    context->Rip = reinterpret_cast<ULONG_PTR>(&ExceptionGuardRecover);
#elif defined(__i386__)
    // cdecl: return address at ESP, the argument above it.
    ULONG_PTR sp = top - 20;
    reinterpret_cast<ULONG_PTR*>(sp)[0] = 0;
    reinterpret_cast<ULONG_PTR*>(sp)[1] = reinterpret_cast<ULONG_PTR>(frame);
    context->Esp = sp;
    context->Eip = reinterpret_cast<ULONG_PTR>(&ExceptionGuardRecover);
#else
#error "exception guard: no recovery for this processor"
#endif
    context->EFlags &= ~0x400u;  // direction flag clear, as the calling convention expects
    return EXCEPTION_CONTINUE_EXECUTION;
}

static __attribute__((noinline)) DWORD RunArmed(GuardFrame* frame, GuardedProc proc, void* context,
                                                BOOL* raised) {
    if (__builtin_setjmp(frame->recovery) != 0) {
#if defined(__i386__)
        WriteExceptionList(frame->exceptionList);
#endif
        *raised = TRUE;
        return frame->code;
    }
    frame->armed = 1;
    DWORD result = proc(context);
    frame->armed = 0;
    return result;
}

DWORD RunExceptionGuarded(GuardedProc proc, void* context, BOOL* raised) {
    *raised = FALSE;
    if (!InitOnceExecuteOnce(&g_guardSlotOnce, AllocGuardSlot, NULL, NULL)) {
        return ErrorOrNoMemory(GetLastError());
    }

    GuardFrame frame;
    frame.armed = 0;
    frame.code = 0;
    frame.previous = static_cast<GuardFrame*>(TlsGetValue(g_guardSlot));
#if defined(__i386__)
    frame.exceptionList = ReadExceptionList();
#endif
    if (!TlsSetValue(g_guardSlot, &frame)) return ErrorOrNoMemory(GetLastError());
    PVOID handler = AddVectoredExceptionHandler(1, GuardHandler);
    if (handler == NULL) {
        TlsSetValue(g_guardSlot, frame.previous);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    DWORD result = RunArmed(&frame, proc, context, raised);

    // Keep the caller's view of the last error across the release.
    DWORD error = GetLastError();
    RemoveVectoredExceptionHandler(handler);
    TlsSetValue(g_guardSlot, frame.previous);
    SetLastError(error);
    return result;
}
