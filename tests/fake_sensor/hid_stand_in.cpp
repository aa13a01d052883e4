// Stand-in hid.dll for the tests: answers the HID calls of the program for the
// pipes the control file lists, and passes everything else to the system hid.dll.
#include "tests/fake_sensor/stand_in_common.h"

#include <windows.h>

extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <cstring>

using fakesensor::ControlConfig;
using fakesensor::InterfaceConfig;

// Slots and thunks of the exports passed on unchanged.
extern "C" {
#define FORWARD(name) standin::ForwardTarget g_forward_##name = &standin::ForwardMissing;
#include "tests/fake_sensor/hid_forwards.inc"
#undef FORWARD
}
#define FORWARD(name) STANDIN_FORWARD_THUNK(#name)
#include "tests/fake_sensor/hid_forwards.inc"
#undef FORWARD

namespace {

const standin::ForwardEntry kForwards[] = {
#define FORWARD(name) {#name, &g_forward_##name},
#include "tests/fake_sensor/hid_forwards.inc"
#undef FORWARD
};

// The simulated calls fall back to the system's for handles and data that
// are not the simulation's (set once by DllMain).
using GetAttributesFn = BOOLEAN(NTAPI*)(HANDLE, PHIDD_ATTRIBUTES);
using GetPreparsedDataFn = BOOLEAN(NTAPI*)(HANDLE, PHIDP_PREPARSED_DATA*);
using FreePreparsedDataFn = BOOLEAN(NTAPI*)(PHIDP_PREPARSED_DATA);
using GetCapsFn = NTSTATUS(NTAPI*)(PHIDP_PREPARSED_DATA, PHIDP_CAPS);
using FlushQueueFn = BOOLEAN(NTAPI*)(HANDLE);
using SetFeatureFn = BOOLEAN(NTAPI*)(HANDLE, PVOID, ULONG);

struct SystemHid {
    GetAttributesFn getAttributes;
    GetPreparsedDataFn getPreparsedData;
    FreePreparsedDataFn freePreparsedData;
    GetCapsFn getCaps;
    FlushQueueFn flushQueue;
    SetFeatureFn setFeature;
};
SystemHid g_system = {};  // written by DllMain only

template <typename Fn>
Fn SystemEntry(HMODULE system, const char* name) {
    return system ? reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(system, name)))
                  : nullptr;
}

// Simulated preparsed data: a snapshot of the capabilities taken when it was
// handed out, marked so the calls can tell it from the system's.
constexpr char kPreparsedMagic[8] = {'V', 'l', 'x', 'F', 'a', 'k', 'e', '\0'};
struct FakePreparsed {
    char magic[8];
    DWORD capsStatus;
    HIDP_CAPS caps;
    WCHAR pipe[260];
};

FakePreparsed* AsFake(PHIDP_PREPARSED_DATA data) {
    if (!data) return nullptr;
    FakePreparsed* fake = reinterpret_cast<FakePreparsed*>(data);
    return std::memcmp(fake->magic, kPreparsedMagic, sizeof kPreparsedMagic) == 0 ? fake : nullptr;
}

// The outcome of a simulated call: refused calls fail with ERROR_GEN_FAILURE,
// calls on an unplugged interface or a handle whose pipe was closed with
// ERROR_DEVICE_NOT_CONNECTED.
bool Connected(const InterfaceConfig& item, bool broken) { return item.present && !broken; }

BOOLEAN Finish(const InterfaceConfig& item, bool broken, bool switchOk, DWORD savedError) {
    if (!Connected(item, broken)) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    if (!switchOk) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    SetLastError(savedError);
    return TRUE;
}

// One simulated call on a device handle: the control file as it stands now
// and which of its interfaces the handle belongs to.
struct HandleCall {
    ULONGLONG qpc;
    DWORD savedError;
    ControlConfig config;
    bool broken;
    int index;
};

// False when the handle is none of the simulated interfaces' (the call then
// goes to the system DLL).
bool BeginHandleCall(HANDLE device, HandleCall* call) {
    call->qpc = standin::QpcNow();
    call->savedError = GetLastError();
    standin::LoadControl(&call->config, false);
    call->broken = false;
    call->index = standin::FindHandleInterface(device, call->config, &call->broken);
    return call->index >= 0;
}

}  // namespace

extern "C" {

void NTAPI HidD_GetHidGuid(LPGUID hidGuid) {
    static const GUID kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    if (hidGuid) *hidGuid = kHidGuid;
}

BOOLEAN NTAPI HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
    HandleCall call;
    if (!BeginHandleCall(device, &call)) {
        if (g_system.getAttributes) return g_system.getAttributes(device, attributes);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const InterfaceConfig& item = call.config.interfaces[call.index];
    bool ok = Connected(item, call.broken) && item.attributesOk && attributes;
    if (ok) {
        attributes->Size = sizeof(HIDD_ATTRIBUTES);
        attributes->VendorID = item.vendorId;
        attributes->ProductID = item.productId;
        attributes->VersionNumber = item.versionNumber;
    }
    standin::AppendRecord(call.config, call.qpc, fakesensor::kCallAttributes, ok ? 1 : 0, item.pipe, nullptr, 0);
    return Finish(item, call.broken, item.attributesOk && attributes, call.savedError);
}

BOOLEAN NTAPI HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* preparsedData) {
    HandleCall call;
    if (!BeginHandleCall(device, &call)) {
        if (g_system.getPreparsedData) return g_system.getPreparsedData(device, preparsedData);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const InterfaceConfig& item = call.config.interfaces[call.index];
    FakePreparsed* fake = nullptr;
    if (Connected(item, call.broken) && item.preparsedOk && preparsedData) {
        fake = static_cast<FakePreparsed*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(FakePreparsed)));
    }
    if (fake) {
        std::memcpy(fake->magic, kPreparsedMagic, sizeof kPreparsedMagic);
        fake->capsStatus = item.capsStatus;
        fake->caps.Usage = item.usage;
        fake->caps.UsagePage = item.usagePage;
        fake->caps.InputReportByteLength = item.inputReportLength;
        fake->caps.OutputReportByteLength = item.outputReportLength;
        fake->caps.FeatureReportByteLength = item.featureReportLength;
        fake->caps.NumberLinkCollectionNodes = 1;
        lstrcpynW(fake->pipe, item.pipe.c_str(), 260);
        *preparsedData = reinterpret_cast<PHIDP_PREPARSED_DATA>(fake);
    }
    standin::AppendRecord(call.config, call.qpc, fakesensor::kCallPreparsed, fake ? 1 : 0, item.pipe, nullptr, 0);
    return Finish(item, call.broken, fake != nullptr, call.savedError);
}

BOOLEAN NTAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsedData) {
    ULONGLONG qpc = standin::QpcNow();
    FakePreparsed* fake = AsFake(preparsedData);
    if (!fake) {
        if (g_system.freePreparsedData) return g_system.freePreparsedData(preparsedData);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ControlConfig config;
    standin::LoadControl(&config, false);
    std::wstring pipe = fake->pipe;
    std::memset(fake->magic, 0, sizeof fake->magic);  // a second free goes to the system and fails
    HeapFree(GetProcessHeap(), 0, fake);
    standin::AppendRecord(config, qpc, fakesensor::kCallFree, 1, pipe, nullptr, 0);
    return TRUE;
}

NTSTATUS NTAPI HidP_GetCaps(PHIDP_PREPARSED_DATA preparsedData, PHIDP_CAPS capabilities) {
    ULONGLONG qpc = standin::QpcNow();
    FakePreparsed* fake = AsFake(preparsedData);
    if (!fake) {
        if (g_system.getCaps) return g_system.getCaps(preparsedData, capabilities);
        return static_cast<NTSTATUS>(HIDP_STATUS_INVALID_PREPARSED_DATA);
    }
    DWORD status = fake->capsStatus;
    if (status == fakesensor::kHidpStatusSuccess && capabilities) *capabilities = fake->caps;
    ControlConfig config;
    standin::LoadControl(&config, false);
    standin::AppendRecord(config, qpc, fakesensor::kCallCaps, status, fake->pipe, nullptr, 0);
    return static_cast<NTSTATUS>(status);
}

BOOLEAN NTAPI HidD_FlushQueue(HANDLE device) {
    HandleCall call;
    if (!BeginHandleCall(device, &call)) {
        if (g_system.flushQueue) return g_system.flushQueue(device);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const InterfaceConfig& item = call.config.interfaces[call.index];
    bool ok = Connected(item, call.broken) && item.flushOk;
    standin::AppendRecord(call.config, call.qpc, fakesensor::kCallFlush, ok ? 1 : 0, item.pipe, nullptr, 0);
    return Finish(item, call.broken, item.flushOk, call.savedError);
}

BOOLEAN NTAPI HidD_SetFeature(HANDLE device, PVOID reportBuffer, ULONG reportBufferLength) {
    HandleCall call;
    if (!BeginHandleCall(device, &call)) {
        if (g_system.setFeature) return g_system.setFeature(device, reportBuffer, reportBufferLength);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const InterfaceConfig& item = call.config.interfaces[call.index];
    bool ok = Connected(item, call.broken) && item.setFeatureOk && reportBuffer;
    standin::AppendRecord(call.config, call.qpc, fakesensor::kCallFeature, ok ? 1 : 0, item.pipe, reportBuffer,
                          reportBuffer ? reportBufferLength : 0);
    return Finish(item, call.broken, item.setFeatureOk && reportBuffer, call.savedError);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        HMODULE system = standin::AttachStandIn(instance, L"hid.dll", kForwards, sizeof kForwards / sizeof kForwards[0]);
        g_system.getAttributes = SystemEntry<GetAttributesFn>(system, "HidD_GetAttributes");
        g_system.getPreparsedData = SystemEntry<GetPreparsedDataFn>(system, "HidD_GetPreparsedData");
        g_system.freePreparsedData = SystemEntry<FreePreparsedDataFn>(system, "HidD_FreePreparsedData");
        g_system.getCaps = SystemEntry<GetCapsFn>(system, "HidP_GetCaps");
        g_system.flushQueue = SystemEntry<FlushQueueFn>(system, "HidD_FlushQueue");
        g_system.setFeature = SystemEntry<SetFeatureFn>(system, "HidD_SetFeature");
    } else if (reason == DLL_PROCESS_DETACH) {
        standin::DetachStandIn(reserved);
    }
    return TRUE;
}

}  // extern "C"
