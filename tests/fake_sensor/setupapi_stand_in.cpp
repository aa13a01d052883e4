// Stand-in setupapi.dll for the tests: lists the HID interfaces of the control
// file and passes every other call (Wine's user32 and gdi32 use some) to the system setupapi.dll.
#include "tests/fake_sensor/stand_in_common.h"

#include <windows.h>

// The definitions below are this DLL's exports, not imports.
#define _SETUPAPI_
#include <setupapi.h>

#include <cstddef>
#include <vector>

using fakesensor::ControlConfig;

// Slots and thunks of the exports passed on unchanged.
extern "C" {
#define FORWARD(name) standin::ForwardTarget g_forward_##name = &standin::ForwardMissing;
#include "tests/fake_sensor/setupapi_forwards.inc"
#undef FORWARD
}
#define FORWARD(name) STANDIN_FORWARD_THUNK(#name)
#include "tests/fake_sensor/setupapi_forwards.inc"
#undef FORWARD

namespace {

const standin::ForwardEntry kForwards[] = {
#define FORWARD(name) {#name, &g_forward_##name},
#include "tests/fake_sensor/setupapi_forwards.inc"
#undef FORWARD
};

const GUID kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

using GetClassDevsFn = HDEVINFO(WINAPI*)(const GUID*, PCWSTR, HWND, DWORD);
using EnumInterfacesFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                       PSP_DEVICE_INTERFACE_DATA);
using GetDetailFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_W,
                                  DWORD, PDWORD, PSP_DEVINFO_DATA);
using DestroyFn = BOOL(WINAPI*)(HDEVINFO);

struct SystemSetupApi {
    GetClassDevsFn getClassDevs;
    EnumInterfacesFn enumInterfaces;
    GetDetailFn getDetail;
    DestroyFn destroy;
};
SystemSetupApi g_system = {};  // written by DllMain only

template <typename Fn>
Fn SystemEntry(HMODULE system, const char* name) {
    return system ? reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(system, name)))
                  : nullptr;
}

// A simulated device information set: the interface paths listed when it
// was made, and the failure switches of that moment.
struct FakeSet {
    std::vector<std::wstring> paths;
    DWORD enumError;
    DWORD detailError;
};

// Live simulated sets, so a handle of the system's is never taken for one.
SRWLOCK g_setsLock = SRWLOCK_INIT;
std::vector<FakeSet*> g_sets;  // any thread, under g_setsLock

// Runs with the set's lock held shared; false when `set` is not simulated.
template <typename Body>
bool WithFakeSet(HDEVINFO set, Body body) {
    AcquireSRWLockShared(&g_setsLock);
    FakeSet* found = nullptr;
    for (FakeSet* item : g_sets) {
        if (item == set) found = item;
    }
    if (found) body(*found);
    ReleaseSRWLockShared(&g_setsLock);
    return found != nullptr;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags) {
    bool simulated = classGuid && IsEqualGUID(*classGuid, kHidGuid) && !enumerator &&
                     (flags & DIGCF_DEVICEINTERFACE) && !(flags & DIGCF_ALLCLASSES);
    if (!simulated) {
        if (g_system.getClassDevs) return g_system.getClassDevs(classGuid, enumerator, parent, flags);
        SetLastError(ERROR_PROC_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    ULONGLONG qpc = standin::QpcNow();
    DWORD savedError = GetLastError();
    ControlConfig config;
    standin::LoadControl(&config, true);  // every walk sees the file as it is now
    if (config.classDevsError != 0) {
        standin::AppendRecord(config, qpc, fakesensor::kCallClassDevs, 0, L"-", nullptr, 0);
        SetLastError(config.classDevsError);
        return INVALID_HANDLE_VALUE;
    }
    FakeSet* set = new FakeSet;
    set->enumError = config.enumError;
    set->detailError = config.detailError;
    for (const fakesensor::InterfaceConfig& item : config.interfaces) {
        if (item.present || !(flags & DIGCF_PRESENT)) set->paths.push_back(fakesensor::InterfacePath(item));
    }
    AcquireSRWLockExclusive(&g_setsLock);
    g_sets.push_back(set);
    ReleaseSRWLockExclusive(&g_setsLock);
    standin::AppendRecord(config, qpc, fakesensor::kCallClassDevs, 1, L"-", nullptr, 0);
    SetLastError(savedError);
    return set;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, const GUID* guid,
                                        DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
    DWORD error = ERROR_SUCCESS;
    bool simulated = WithFakeSet(set, [&](const FakeSet& fake) {
        if (fake.enumError != 0) error = fake.enumError;
        else if (!guid || !IsEqualGUID(*guid, kHidGuid) || deviceInfo) error = ERROR_NO_MORE_ITEMS;
        else if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) error = ERROR_INVALID_USER_BUFFER;
        else if (index >= fake.paths.size()) error = ERROR_NO_MORE_ITEMS;
        if (error != ERROR_SUCCESS) return;
        data->InterfaceClassGuid = kHidGuid;
        data->Flags = SPINT_ACTIVE;
        data->Reserved = index + 1;  // names the interface for the detail query
    });
    if (!simulated) {
        if (g_system.enumInterfaces) return g_system.enumInterfaces(set, deviceInfo, guid, index, data);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                             PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo) {
    DWORD error = ERROR_SUCCESS;
    bool simulated = WithFakeSet(set, [&](const FakeSet& fake) {
        if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
            data->Reserved > fake.paths.size()) {
            error = ERROR_INVALID_PARAMETER;
            return;
        }
        if ((!detail && detailSize != 0) ||
            (detail && (detailSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ||
                        detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)))) {
            error = ERROR_INVALID_USER_BUFFER;
            return;
        }
        const std::wstring& path = fake.paths[data->Reserved - 1];
        DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                          (path.size() + 1) * sizeof(WCHAR));
        if (requiredSize) *requiredSize = needed;
        if (detailSize < needed) {
            error = ERROR_INSUFFICIENT_BUFFER;
            return;
        }
        if (fake.detailError != 0) {
            error = fake.detailError;
            return;
        }
        if (deviceInfo && deviceInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
            error = ERROR_INVALID_USER_BUFFER;
            return;
        }
        CopyMemory(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
        if (deviceInfo) {
            deviceInfo->ClassGuid = kHidGuid;
            deviceInfo->DevInst = static_cast<DWORD>(data->Reserved);
            deviceInfo->Reserved = 0;
        }
    });
    if (!simulated) {
        if (g_system.getDetail) return g_system.getDetail(set, data, detail, detailSize, requiredSize, deviceInfo);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    ULONGLONG qpc = standin::QpcNow();
    FakeSet* found = nullptr;
    AcquireSRWLockExclusive(&g_setsLock);
    for (size_t i = 0; i < g_sets.size(); ++i) {
        if (g_sets[i] == set) {
            found = g_sets[i];
            g_sets.erase(g_sets.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    ReleaseSRWLockExclusive(&g_setsLock);
    if (!found) {
        if (g_system.destroy) return g_system.destroy(set);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete found;
    ControlConfig config;
    standin::LoadControl(&config, false);
    standin::AppendRecord(config, qpc, fakesensor::kCallDestroy, 1, L"-", nullptr, 0);
    return TRUE;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        HMODULE system =
            standin::AttachStandIn(instance, L"setupapi.dll", kForwards, sizeof kForwards / sizeof kForwards[0]);
        g_system.getClassDevs = SystemEntry<GetClassDevsFn>(system, "SetupDiGetClassDevsW");
        g_system.enumInterfaces = SystemEntry<EnumInterfacesFn>(system, "SetupDiEnumDeviceInterfaces");
        g_system.getDetail = SystemEntry<GetDetailFn>(system, "SetupDiGetDeviceInterfaceDetailW");
        g_system.destroy = SystemEntry<DestroyFn>(system, "SetupDiDestroyDeviceInfoList");
    } else if (reason == DLL_PROCESS_DETACH) {
        standin::DetachStandIn(reserved);
    }
    return TRUE;
}

}  // extern "C"
