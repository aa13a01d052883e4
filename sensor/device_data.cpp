// Idle values and release of the one sensor record; only the main thread
// calls these, and only once the rotation thread has left its read loop.
#include "sensor/device_data.h"

#include "log/logfile.h"

void InitDeviceData(DeviceData* deviceData) {
    ZeroMemory(deviceData, sizeof *deviceData);
    deviceData->hHidDevice = INVALID_HANDLE_VALUE;
    deviceData->hReadDevice = INVALID_HANDLE_VALUE;
}

void CleanupDeviceData(DeviceData* deviceData) {
    LogfileWrite(g_logTlsIndex, L"Cleaning up device data");

    if (deviceData->hHidDevice != INVALID_HANDLE_VALUE) CloseHandle(deviceData->hHidDevice);
    if (deviceData->hReadDevice != INVALID_HANDLE_VALUE) CloseHandle(deviceData->hReadDevice);
    if (deviceData->hStopEvent != NULL) {
        SetEvent(deviceData->hStopEvent);
        CloseHandle(deviceData->hStopEvent);
    }
    if (deviceData->hReadEvent != NULL) CloseHandle(deviceData->hReadEvent);
    if (deviceData->hRotationThread != NULL) {
        WaitForSingleObject(deviceData->hRotationThread, INFINITE);
        CloseHandle(deviceData->hRotationThread);
    }
    if (deviceData->pInputReport != NULL) {
        LocalFree(deviceData->pInputReport);
        deviceData->pInputReport = NULL;
    }

    deviceData->hReadEvent = NULL;
    deviceData->hStopEvent = NULL;
    deviceData->hRotationThread = NULL;
    deviceData->hReadDevice = INVALID_HANDLE_VALUE;
    deviceData->hHidDevice = INVALID_HANDLE_VALUE;
}
