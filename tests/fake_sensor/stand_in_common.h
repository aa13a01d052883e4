// Pieces both stand-in DLLs need: finding their control file, naming the pipe
// behind a handle, appending call records, and passing unsimulated exports on.
#pragma once

#include "tests/fake_sensor/fake_config.h"

#include <windows.h>

#include <cstddef>
#include <string>

namespace standin {

// Called from DllMain: remembers the stand-in's module, whose folder holds the
// control file and the call record.
void SetModule(HMODULE module);
std::wstring ModuleFolder();

// The system's own DLL, loaded by its full system32 path so the loader gives
// the built-in one and never this stand-in again.
HMODULE LoadSystemDll(const wchar_t* fileName);

// The control file's configuration: read afresh when `fresh` is set or its
// generation counter has moved, else the last one read. A missing file, or
// one that cannot be read or parsed, is an empty configuration.
void LoadControl(fakesensor::ControlConfig* config, bool fresh);

// Index of the configured interface whose pipe the handle is open on, or -1.
// Once the test has closed the server end, the system no longer names the
// pipe; such a handle is known from an earlier call, and *broken is set.
int FindHandleInterface(HANDLE handle, const fakesensor::ControlConfig& config, bool* broken);

ULONGLONG QpcNow();

// Appends one line to the call record and sets the configured event. Keeps
// the caller's last error.
void AppendRecord(const fakesensor::ControlConfig& config, ULONGLONG qpc, const char* call,
                  DWORD result, const std::wstring& pipe, const void* data, size_t size);

// Closes what the record and the cache keep open (DLL unload).
void ReleaseHandles();

// Exports passed on to the system DLL jump through a slot that holds the
// system's entry point. Slots start at ForwardMissing, which ends the process
// plainly instead of running off into nothing.
using ForwardTarget = void (*)();
struct ForwardEntry {
    const char* name;
    ForwardTarget* slot;
};
extern "C" void ForwardMissing();
void ResolveForwards(HMODULE system, const ForwardEntry* entries, size_t count);

// DllMain's process attach of a stand-in: remembers the module, loads the
// system DLL by its system32 path and resolves the passed-on exports. Returns
// the system DLL (null when it could not be loaded).
HMODULE AttachStandIn(HINSTANCE instance, const wchar_t* systemFileName, const ForwardEntry* entries,
                      size_t count);
// DllMain's process detach: releases the handles only when the DLL is unloaded
// while the process goes on (`reserved` null), not at process exit.
void DetachStandIn(LPVOID reserved);

}  // namespace standin

// One jump thunk per passed-on export, named exactly like it (so the .def
// file exports it undecorated on both architectures), jumping through
// g_forward_<name>. It takes the name as a string literal so that header
// macros such as InstallHinfSection -> InstallHinfSectionW never rename it.
#if defined(__x86_64__)
#define STANDIN_FORWARD_THUNK(text)                                                   \
    __asm__(".text\n.globl " text "\n.def " text "; .scl 2; .type 32; .endef\n" text \
            ":\n\tjmp *g_forward_" text "(%rip)\n");
#elif defined(__i386__)
#define STANDIN_FORWARD_THUNK(text)                                                       \
    __asm__(".text\n.globl _" text "\n.def _" text "; .scl 2; .type 32; .endef\n_" text \
            ":\n\tjmp *_g_forward_" text "\n");
#else
#error "stand-in forwarding thunks exist for x86 and x86-64 only"
#endif
