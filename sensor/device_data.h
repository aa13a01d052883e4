// The one record of the sensor connection, shared by the main thread and the
// rotation thread without a lock (see the notes on each field).
#pragma once

#include "sensor/hid_api.h"

// Posted by the rotation thread to the main window as its last act:
// wParam = its result code (never 0), lParam = 0.
const UINT WM_ROTATION_STOPPED = WM_APP;

// Fields are written by the main thread only, and only while no rotation
// thread runs; the rotation thread reads them and fills pInputReport's bytes.
struct DeviceData {
    HANDLE hHidDevice;        // main thread; INVALID_HANDLE_VALUE when none
    HANDLE hReadDevice;       // main thread; INVALID_HANDLE_VALUE when none
    DWORD dwOpenStatus;       // main thread (discovery)
    HANDLE hStopEvent;        // main thread; NULL when none
    HANDLE hReadEvent;        // main thread; NULL when none
    HANDLE hRotationThread;   // main thread; NULL when none
    BYTE* pInputReport;       // main thread allocates; rotation thread fills bytes
    HWND hWnd;                // main thread, once
    HIDP_CAPS caps;           // main thread (discovery)
};

void InitDeviceData(DeviceData* deviceData);
void CleanupDeviceData(DeviceData* deviceData);
