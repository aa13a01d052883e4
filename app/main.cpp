// Process entry of the hidden-window program: prepares the sensor record and
// the main log, creates the hidden window and runs the message loop.
#include <windows.h>

#include "app/main_window.h"
#include "log/logfile.h"
#include "res/resource.h"
#include "sensor/device_data.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int) {
    DeviceData deviceData;
    InitDeviceData(&deviceData);

    g_logTlsIndex = TlsAlloc();
    if (g_logTlsIndex == TLS_OUT_OF_INDEXES) return static_cast<int>(GetLastError());

    LogfileHandle mainLog(g_logTlsIndex);
    mainLog.started = LogfileStart(g_logTlsIndex, &g_mainLogKeepCount, L"main");

    LogfileHandleWrite(&mainLog, L"Setting process shutdown parameters");
    // Shut down after ordinary applications, without a retry prompt.
    SetProcessShutdownParameters(0x100, SHUTDOWN_NORETRY);

    LogfileHandleWrite(&mainLog, L"Registering class");
    RegisterMainWindowClass(hInstance);

    LogfileHandleWrite(&mainLog, L"Initializing instance");
    if (!InitInstance(hInstance, &deviceData)) {
        if (mainLog.started) LogfileEnd(&mainLog);
        return 0;
    }

    LogfileHandleWrite(&mainLog, L"Loading accelerators");
    HACCEL accelerators = LoadAcceleratorsW(hInstance, MAKEINTRESOURCEW(IDC_VELATRIX));

    MSG msg = {};
    while (GetMessageW(&msg, NULL, 0, 0) > 0) {
        if (!TranslateAcceleratorW(msg.hwnd, accelerators, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    CleanupDeviceData(&deviceData);
    LogfileEnd(&mainLog);
    TlsFree(g_logTlsIndex);
    return static_cast<int>(msg.wParam);
}
