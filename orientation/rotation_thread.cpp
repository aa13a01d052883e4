// The rotation thread: tells the sensor the display's orientation, waits for
// its next input report, and turns the display when the sensor names another side.
#include "orientation/rotation_thread.h"

#include "log/logfile.h"
#include "orientation/display_orientation.h"
#include "orientation/report_protocol.h"
#include "sensor/device_data.h"

// A read left pending could complete into this frame's OVERLAPPED after the
// procedure has returned (the thread's end, or the main thread closing the
// handle, comes later) and into a buffer about to be freed; so it is
// cancelled and awaited while the OVERLAPPED is still in scope.
static void CancelPendingRead(HANDLE readDevice, OVERLAPPED* overlapped) {
    DWORD transferred = 0;
    CancelIoEx(readDevice, overlapped);
    GetOverlappedResult(readDevice, overlapped, &transferred, TRUE);
}

DWORD WINAPI RotationThread(LPVOID parameter) {
    DeviceData* deviceData = static_cast<DeviceData*>(parameter);
    LogfileHandle log(g_logTlsIndex, &g_rotationLogKeepCount, L"RotationThread");
    DWORD result = 0;
    DWORD currentOrientation = 0;

    BYTE featureReport[FEATURE_REPORT_LENGTH];
    BuildFeatureReport(currentOrientation, featureReport);

    DISPLAY_DEVICEW displayDevice;
    ZeroMemory(&displayDevice, sizeof displayDevice);
    displayDevice.cb = sizeof displayDevice;
    DEVMODEW mode;
    ZeroMemory(&mode, sizeof mode);
    mode.dmSize = sizeof mode;
    mode.dmDriverExtra = 0;

    LogfileHandleWrite(&log, L"Initial display device enumeration");
    if (!EnumDisplayDevicesW(nullptr, 0, &displayDevice, 0)) {
        result = (DWORD)E_UNEXPECTED;
    } else {
        LogfileHandleWrite(&log, L"Initial display settings enumeration");
        if (!EnumDisplaySettingsW(displayDevice.DeviceName, ENUM_CURRENT_SETTINGS, &mode)) {
            // Not documented to set a last error; the result must never be 0.
            result = GetLastError();
            if (result == 0) result = (DWORD)E_UNEXPECTED;
        } else if (mode.dmDisplayOrientation > DMDO_270) {
            result = (DWORD)E_UNEXPECTED;
        } else {
            currentOrientation = mode.dmDisplayOrientation;
            LogfileHandleWrite(&log, L"Initial display orientation is %lu degrees",
                               OrientationDegrees[currentOrientation]);
        }
    }

    OVERLAPPED overlapped;
    DWORD bytesRead = 0;
    bool readStarted = false;
    while (result == 0) {
        BuildFeatureReport(currentOrientation, featureReport);
        LogfileHandleWrite(&log, L"Setting feature byte to %.2x", (unsigned)featureReport[3]);
        // A sensor that misses one feature report still gets the next one.
        HidD_SetFeature(deviceData->hHidDevice, featureReport, FEATURE_REPORT_LENGTH);

        LogfileHandleWrite(&log, L"Next device read");
        ZeroMemory(&overlapped, sizeof overlapped);
        overlapped.hEvent = deviceData->hReadEvent;
        bytesRead = 0;
        readStarted = false;
        if (ReadFile(deviceData->hReadDevice, deviceData->pInputReport,
                     deviceData->caps.InputReportByteLength, &bytesRead, &overlapped)) {
            // Completed at once: it has signalled the read event all the same.
            readStarted = true;
        } else {
            DWORD error = GetLastError();
            if (error == ERROR_IO_PENDING) {
                readStarted = true;
            } else {
                result = error;
            }
        }

        if (result == 0) {
            HANDLE waitHandles[2] = {deviceData->hStopEvent, deviceData->hReadEvent};
            // Stop comes first so it wins over a report that arrived with it.
            DWORD wait = WaitForMultipleObjects(2, waitHandles, FALSE, INFINITE);
            if (wait == WAIT_OBJECT_0) {
                result = ERROR_CANCELLED;
            } else if (wait == WAIT_OBJECT_0 + 1) {
                readStarted = false;  // the read event means the read is over
            } else if (wait == WAIT_FAILED) {
                result = GetLastError();
                if (result == 0) result = (DWORD)E_UNEXPECTED;
            } else {
                result = (DWORD)E_UNEXPECTED;
            }
        }
        LogfileHandleWrite(&log, L"Device has been read");
        if (result != 0) break;

        // The read's own status is not asked for: a failed read leaves the
        // previous report, which names the current side or none.
        const OrientationMask* match = DecodeOrientationReport(deviceData->pInputReport);
        if (match == nullptr || match->orientationIndex == currentOrientation) continue;

        // Updated before the change is tried, so a side the display refuses
        // is not tried again while the sensor keeps naming it.
        currentOrientation = match->orientationIndex;
        LogfileHandleWrite(&log, L"New display orientation is %lu degrees",
                           OrientationDegrees[currentOrientation]);
        SetDisplayOrientation(match->displayOrientation);
        LogfileHandleWrite(&log, L"New display orientation has been set");
    }
    if (readStarted) CancelPendingRead(deviceData->hReadDevice, &overlapped);

    LogfileWriteError(g_logTlsIndex, result, L"Rotation thread has failed.");
    PostMessageW(deviceData->hWnd, WM_ROTATION_STOPPED, (WPARAM)result, 0);
    if (log.started) LogfileEnd(&log);
    return result;
}
