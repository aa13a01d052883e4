// Brings the sensor from not open to open with the rotation thread running;
// the main thread calls it at start and on every retry tick.
#include "sensor/setup.h"

#include <errno.h>
#include <process.h>
#include <stdlib.h>

#include "log/logfile.h"
#include "orientation/rotation_thread.h"
#include "sensor/discovery.h"

const USHORT MIN_INPUT_REPORT_LENGTH = 2;  // the orientation byte sits at offset 1

static BOOL HoldsAnything(const DeviceData* deviceData) {
    return deviceData->hHidDevice != INVALID_HANDLE_VALUE || deviceData->hReadDevice != INVALID_HANDLE_VALUE ||
           deviceData->hStopEvent != NULL || deviceData->hReadEvent != NULL ||
           deviceData->hRotationThread != NULL || deviceData->pInputReport != NULL;
}

static unsigned __stdcall RotationThreadStart(void* deviceData) {
    return RotationThread(deviceData);
}

// A thread whose resumption failed never ran a line of ours; it is ended here
// so that no later wait (retry, stop message, shutdown) can block on it.
static void DiscardSuspendedThread(DeviceData* deviceData) {
    TerminateThread(deviceData->hRotationThread, ERROR_CANCELLED);
    WaitForSingleObject(deviceData->hRotationThread, INFINITE);
    CloseHandle(deviceData->hRotationThread);
    deviceData->hRotationThread = NULL;
}

DWORD SetupHidDevice(DeviceData* deviceData) {
    // A failed attempt leaves what it had made in the record; release it
    // first so nothing leaks across the once-a-second retries.
    if (HoldsAnything(deviceData)) CleanupDeviceData(deviceData);

    DWORD result = FindHidDevice(InspectDevicePath, deviceData);
    if (result != 0) return result;
    LogfileWrite(g_logTlsIndex, L"Successfully set up hid device");
    if (deviceData->dwOpenStatus != 0) return deviceData->dwOpenStatus;

    LogfileWrite(g_logTlsIndex, L"Flushing hid queue");
    HidD_FlushQueue(deviceData->hHidDevice);

    USHORT reportLength = deviceData->caps.InputReportByteLength;
    if (reportLength < MIN_INPUT_REPORT_LENGTH) return static_cast<DWORD>(E_UNEXPECTED);
    LogfileWrite(g_logTlsIndex, L"Input report byte length is %lu", static_cast<DWORD>(reportLength));

    deviceData->pInputReport = static_cast<BYTE*>(LocalAlloc(LMEM_ZEROINIT, reportLength));
    if (deviceData->pInputReport == NULL) return GetLastError();
    LogfileWrite(g_logTlsIndex, L"Input report buffer allocated");

    deviceData->hReadEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (deviceData->hReadEvent == NULL) return GetLastError();
    LogfileWrite(g_logTlsIndex, L"Read event created");

    deviceData->hStopEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (deviceData->hStopEvent == NULL) return GetLastError();
    LogfileWrite(g_logTlsIndex, L"Rotation stop event created");

    _doserrno = 0;
    deviceData->hRotationThread = reinterpret_cast<HANDLE>(
        _beginthreadex(NULL, 0, RotationThreadStart, deviceData, CREATE_SUSPENDED, NULL));
    if (deviceData->hRotationThread == NULL) {
        // The run-time library records the system's code; a failure of its
        // own (no memory for its thread data) has none, and must not read as success.
        DWORD error = static_cast<DWORD>(_doserrno);
        if (error == 0) error = static_cast<DWORD>(E_UNEXPECTED);
        SetLastError(error);
        return GetLastError();
    }
    LogfileWrite(g_logTlsIndex, L"Rotation thread created");

    if (ResumeThread(deviceData->hRotationThread) == static_cast<DWORD>(-1)) {
        DWORD error = GetLastError();
        DiscardSuspendedThread(deviceData);
        return error;
    }
    LogfileWrite(g_logTlsIndex, L"Rotation thread resumed");
    return 0;
}
