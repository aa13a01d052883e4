// Helper program of the fake sensor tests: imports hid.dll and setupapi.dll by
// name as the product does, walks the HID interfaces the same way, and writes what it saw.
//
// Output, probe_result.txt beside the program, one fact per line:
//   hid <module>  setupapi <module>       modules that serve the imported calls
//   display <0|1> <0|1>                   EnumDisplayDevicesW, EnumDisplaySettingsW
//   forwarded <0|1>                       a passed-on setupapi call worked
//   interface <path> <vid> <pid>          every listed interface that opened
//   caps <status> <input length>          the sensor (mi_00 at 26, col02 at 32)
//   report <hex>                          the first input report read from it
//   done
#include "sensor/hid_api.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string g_output;

void Line(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    g_output += buffer;
    g_output += "\r\n";
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::wstring ModuleOf(const void* address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module)) {
        return L"?";
    }
    WCHAR path[MAX_PATH];
    DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, n);
}

// A call to an import not declared dllimport goes through a stub in the
// program, "jmp *slot" (FF 25); the slot holds what the loader bound.
const void* ImportTarget(const void* function) {
    const BYTE* code = static_cast<const BYTE*>(function);
    if (code[0] != 0xFF || code[1] != 0x25) return function;
    INT32 operand;
    std::memcpy(&operand, code + 2, sizeof operand);
#if defined(__x86_64__)
    const BYTE* slot = code + 6 + operand;  // relative to the next instruction
#else
    const BYTE* slot = reinterpret_cast<const BYTE*>(static_cast<UINT_PTR>(static_cast<UINT32>(operand)));
#endif
    const void* target = nullptr;
    std::memcpy(&target, slot, sizeof target);
    return target;
}

bool IsSensorPath(const WCHAR* path) {
    return lstrlenW(path) >= 37 && CompareStringOrdinal(path + 26, 5, L"mi_00", 5, TRUE) == CSTR_EQUAL &&
           CompareStringOrdinal(path + 32, 5, L"col02", 5, TRUE) == CSTR_EQUAL;
}

void ReadSensor(const WCHAR* path, HANDLE query) {
    HANDLE device = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), query, GetCurrentProcess(), &device, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        Line("duplicate-failed %lu", GetLastError());
        return;
    }
    HANDLE reader = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    HIDP_CAPS caps = {};
    if (reader != INVALID_HANDLE_VALUE && HidD_GetPreparsedData(device, &preparsed)) {
        NTSTATUS status = HidP_GetCaps(preparsed, &caps);
        HidD_FreePreparsedData(preparsed);
        Line("caps %08lx %u", static_cast<unsigned long>(status), caps.InputReportByteLength);
        HidD_FlushQueue(device);
        BYTE feature[8] = {0x01, 0x02, 0x11, 0x00, 0, 0, 0, 0};
        HidD_SetFeature(device, feature, sizeof feature);
        BYTE report[64] = {};
        DWORD length = caps.InputReportByteLength < sizeof report ? caps.InputReportByteLength : sizeof report;
        OVERLAPPED io = {};
        io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD got = 0;
        if (ReadFile(reader, report, length, nullptr, &io) || GetLastError() == ERROR_IO_PENDING) {
            if (WaitForSingleObject(io.hEvent, 20000) != WAIT_OBJECT_0) CancelIoEx(reader, &io);
            if (GetOverlappedResult(reader, &io, &got, TRUE)) {
                std::string hex;
                for (DWORD i = 0; i < got; ++i) {
                    char two[3];
                    std::snprintf(two, sizeof two, "%02x", report[i]);
                    hex += two;
                }
                Line("report %s", hex.c_str());
            } else {
                Line("read-failed %lu", GetLastError());
            }
        }
        CloseHandle(io.hEvent);
    } else {
        Line("open-failed %lu", GetLastError());
    }
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
    CloseHandle(device);
}

void Walk() {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO set = SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        Line("classdevs-failed %lu", GetLastError());
        return;
    }
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    bool sensorSeen = false;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &data); ++index) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
        auto* detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(LocalAlloc(LPTR, size));
        if (!detail) break;
        detail->cbSize = sizeof *detail;
        if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr)) {
            HANDLE query = CreateFileW(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
            if (query != INVALID_HANDLE_VALUE) {
                HIDD_ATTRIBUTES attributes = {};
                attributes.Size = sizeof attributes;
                HidD_GetAttributes(query, &attributes);
                Line("interface %s %04x %04x", Narrow(detail->DevicePath).c_str(), attributes.VendorID,
                     attributes.ProductID);
                if (!sensorSeen && IsSensorPath(detail->DevicePath)) {
                    sensorSeen = true;
                    ReadSensor(detail->DevicePath, query);
                }
                CloseHandle(query);
            }
        }
        LocalFree(detail);
    }
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

int wmain() {
    Line("hid %s", Narrow(ModuleOf(ImportTarget(reinterpret_cast<const void*>(&HidD_GetAttributes)))).c_str());
    Line("setupapi %s", Narrow(ModuleOf(ImportTarget(reinterpret_cast<const void*>(&SetupDiGetClassDevsW)))).c_str());

    // Wine's user32 uses setupapi for the display devices, through the stand-in.
    DISPLAY_DEVICEW display = {};
    display.cb = sizeof display;
    BOOL displayOk = EnumDisplayDevicesW(nullptr, 0, &display, 0);
    DEVMODEW mode = {};
    mode.dmSize = sizeof mode;
    BOOL modeOk = displayOk && EnumDisplaySettingsW(display.DeviceName, ENUM_CURRENT_SETTINGS, &mode);
    Line("display %d %d", displayOk ? 1 : 0, modeOk ? 1 : 0);

    HDEVINFO own = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    Line("forwarded %d", own != INVALID_HANDLE_VALUE && SetupDiDestroyDeviceInfoList(own) ? 1 : 0);

    Walk();
    Line("done");

    WCHAR path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring out(path, n);
    out = out.substr(0, out.find_last_of(L'\\') + 1) + L"probe_result.txt";
    HANDLE file = CreateFileW(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    WriteFile(file, g_output.data(), static_cast<DWORD>(g_output.size()), &written, nullptr);
    CloseHandle(file);
    return 0;
}
