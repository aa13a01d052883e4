// The hidden main window and its procedure: every action of the main thread
// after start-up arrives here as a message.
#include "app/main_window.h"

#include "log/logfile.h"
#include "res/resource.h"
#include "sensor/setup.h"

const WCHAR MAIN_WINDOW_CLASS[] = L"DemQelseineKELTOAnwendungLiebeLeute";
const WCHAR MAIN_WINDOW_TITLE[] = L"Kelto!";
const WCHAR DEVICE_DATA_PROPERTY[] = L"DeviceDataProperty";

void RegisterMainWindowClass(HINSTANCE hInstance) {
    WNDCLASSEXW windowClass;
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWndProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = hInstance;
    windowClass.hIcon = LoadIconW(hInstance, MAKEINTRESOURCEW(IDI_VELATRIX));
    windowClass.hCursor = LoadCursorW(NULL, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = NULL;
    windowClass.lpszClassName = MAIN_WINDOW_CLASS;
    windowClass.hIconSm = LoadIconW(hInstance, MAKEINTRESOURCEW(IDI_SMALL));
    // A failed registration shows up as the failure of window creation.
    RegisterClassExW(&windowClass);
}

BOOL InitInstance(HINSTANCE hInstance, DeviceData* deviceData) {
    HWND window = CreateWindowExW(0, MAIN_WINDOW_CLASS, MAIN_WINDOW_TITLE, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, NULL, NULL, hInstance, NULL);
    if (window == NULL) {
        DWORD error = GetLastError();
        LogfileWriteError(g_logTlsIndex, error, L"Failed to create main window");
        // Nothing is open in the record yet, so there is nothing to release.
        LogfileWrite(g_logTlsIndex, L"Cleaning up device data");
        return FALSE;
    }

    LogfileWrite(g_logTlsIndex, L"Setting device data window property");
    SetPropW(window, DEVICE_DATA_PROPERTY, deviceData);
    deviceData->hWnd = window;

    LogfileWrite(g_logTlsIndex, L"Setting up hid device");
    DWORD result = SetupHidDevice(deviceData);
    if (result != 0) {
        LogfileWriteError(g_logTlsIndex, result, L"Failed to setup hid device");
        SetTimer(window, RETRY_TIMER_ID, RETRY_TIMER_PERIOD_MS, NULL);
    }

    ShowWindow(window, SW_HIDE);
    UpdateWindow(window);
    return TRUE;
}

static void OnDestroy(HWND window, DeviceData* deviceData) {
    LogfileWrite(g_logTlsIndex, L"Window is about to be destroyed");
    if (deviceData != NULL) {
        if (deviceData->hStopEvent != NULL) {
            LogfileWrite(g_logTlsIndex, L"Signalling rotation stop event");
            SetEvent(deviceData->hStopEvent);
        }
        if (deviceData->hRotationThread != NULL) {
            LogfileWrite(g_logTlsIndex, L"Waiting for rotation thread");
            WaitForSingleObject(deviceData->hRotationThread, INFINITE);
            LogfileWrite(g_logTlsIndex, L"Rotation thread has terminated");
        }
        LogfileWrite(g_logTlsIndex, L"Removing window properties");
        RemovePropW(window, DEVICE_DATA_PROPERTY);
        LogfileWrite(g_logTlsIndex, L"Window will now be destroyed");
    }
    PostQuitMessage(0);
}

static void OnRetryTimer(HWND window, DeviceData* deviceData) {
    LogfileWrite(g_logTlsIndex, L"Setting up hid device from timer");
    DWORD result = SetupHidDevice(deviceData);
    if (result == 0) {
        LogfileWrite(g_logTlsIndex, L"Successfully set up hid device");
        KillTimer(window, RETRY_TIMER_ID);
    } else {
        LogfileWriteError(g_logTlsIndex, result, L"Failed to set up hid device");
    }
}

static void OnRotationStopped(HWND window, DeviceData* deviceData) {
    LogfileWrite(g_logTlsIndex, L"Rotation thread has been stopped");
    CleanupDeviceData(deviceData);
    LogfileWrite(g_logTlsIndex, L"Initializing timer");
    SetTimer(window, RETRY_TIMER_ID, RETRY_TIMER_PERIOD_MS, NULL);
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DeviceData* deviceData = static_cast<DeviceData*>(GetPropW(window, DEVICE_DATA_PROPERTY));
    switch (message) {
    case WM_DESTROY:
        OnDestroy(window, deviceData);
        return 0;
    case WM_TIMER:
        if (deviceData != NULL && wParam == RETRY_TIMER_ID) OnRetryTimer(window, deviceData);
        return 0;
    case WM_ROTATION_STOPPED:
        // Without the property there is no record to release.
        if (deviceData != NULL) OnRotationStopped(window, deviceData);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}
