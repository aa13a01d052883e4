// Walks the present HID interfaces for the orientation sensor and opens the
// one whose IDs and interface path are the sensor's.
#include "sensor/discovery.h"

#include "log/logfile.h"
#include "sensor/path_match.h"

const USHORT SENSOR_VENDOR_ID = 0x1770;
const USHORT SENSOR_PRODUCT_ID = 0xFF00;
// Recorded when the HID class driver refuses the preparsed data.
const DWORD OPEN_STATUS_NO_PREPARSED_DATA = static_cast<DWORD>(E_UNEXPECTED);

DWORD FindHidDevice(InspectDeviceCallback inspect, void* context) {
    if (inspect == NULL) return ERROR_INVALID_PARAMETER;

    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);

    DWORD result = 0;
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail = NULL;
    HANDLE queryHandle = INVALID_HANDLE_VALUE;
    HDEVINFO set = SetupDiGetClassDevsW(&hidGuid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        result = GetLastError();
    } else {
        SP_DEVICE_INTERFACE_DATA interfaceData;
        ZeroMemory(&interfaceData, sizeof interfaceData);
        interfaceData.cbSize = sizeof interfaceData;
        DWORD index = 0;
        BOOL more = SetupDiEnumDeviceInterfaces(set, NULL, &hidGuid, index, &interfaceData);
        if (!more) result = GetLastError();
        while (more) {
            // The size query is expected to fail with ERROR_INSUFFICIENT_BUFFER.
            DWORD required = 0;
            SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, NULL, 0, &required, NULL);
            // Too small a block could not even hold cbSize; the detail query
            // below then fails with the system's own error.
            DWORD blockSize = required;
            if (blockSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
                blockSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            }
            detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(LocalAlloc(LMEM_ZEROINIT, blockSize));
            if (detail == NULL) {
                result = GetLastError();
                break;
            }
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (!SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, blockSize, NULL, NULL)) {
                result = GetLastError();
                break;
            }

            queryHandle = CreateFileW(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                      OPEN_EXISTING, 0, NULL);
            if (queryHandle != INVALID_HANDLE_VALUE) {
                HIDD_ATTRIBUTES attributes;
                ZeroMemory(&attributes, sizeof attributes);
                attributes.Size = sizeof attributes;
                // A failed query leaves both IDs at 0, which never match.
                HidD_GetAttributes(queryHandle, &attributes);
                if (attributes.VendorID == SENSOR_VENDOR_ID && attributes.ProductID == SENSOR_PRODUCT_ID &&
                    inspect(detail->DevicePath, queryHandle, context) == 0) {
                    break;  // result stays 0; the clean-up closes the query handle
                }
                CloseHandle(queryHandle);
                queryHandle = INVALID_HANDLE_VALUE;
            }

            ++index;
            LocalFree(detail);
            detail = NULL;
            more = SetupDiEnumDeviceInterfaces(set, NULL, &hidGuid, index, &interfaceData);
            if (!more) result = GetLastError();
        }
    }

    if (detail != NULL) LocalFree(detail);
    if (queryHandle != INVALID_HANDLE_VALUE) CloseHandle(queryHandle);
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    return result;
}

DWORD InspectDevicePath(LPCWSTR path, HANDLE queryHandle, void* context) {
    DeviceData* deviceData = static_cast<DeviceData*>(context);
    LogfileWrite(g_logTlsIndex, L"Inspecting device path %s", path);
    if (!IsSensorInterfacePath(path)) return 1;
    LogfileWrite(g_logTlsIndex, L"Found the device");

    DWORD status = 0;
    HANDLE duplicate = NULL;
    HANDLE readHandle = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(GetCurrentProcess(), queryHandle, GetCurrentProcess(), &duplicate, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        status = GetLastError();
        duplicate = NULL;
    } else {
        LogfileWrite(g_logTlsIndex, L"Device handle duplicated");
        readHandle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, NULL);
        if (readHandle == INVALID_HANDLE_VALUE) {
            status = GetLastError();
        } else {
            LogfileWrite(g_logTlsIndex, L"Read handle opened successfully");
            PHIDP_PREPARSED_DATA preparsed = NULL;
            if (!HidD_GetPreparsedData(duplicate, &preparsed)) {
                status = OPEN_STATUS_NO_PREPARSED_DATA;
            } else {
                HIDP_CAPS caps;
                ZeroMemory(&caps, sizeof caps);
                status = static_cast<DWORD>(HidP_GetCaps(preparsed, &caps));
                LogfileWrite(g_logTlsIndex, L"Hid device capabilities result is 0x%.8x", status);
                if (status == static_cast<DWORD>(HIDP_STATUS_SUCCESS)) {
                    deviceData->caps = caps;
                    LogfileWrite(g_logTlsIndex, L"Device capabilites determined successfully");
                    status = 0;
                }
                LogfileWrite(g_logTlsIndex, L"Freeing preparsed data");
                HidD_FreePreparsedData(preparsed);
            }
        }
    }

    if (status == 0) {
        // Both handles now belong to the record.
        deviceData->hHidDevice = duplicate;
        deviceData->hReadDevice = readHandle;
        deviceData->dwOpenStatus = 0;
        return 0;
    }
    if (readHandle != INVALID_HANDLE_VALUE) CloseHandle(readHandle);
    if (duplicate != NULL) CloseHandle(duplicate);
    deviceData->dwOpenStatus = status;
    return 0;
}
