// The hidden main window: owns the retry timer, receives the rotation
// thread's end message and runs the orderly stop when destroyed.
#pragma once

#include <windows.h>

#include "sensor/device_data.h"

extern const WCHAR MAIN_WINDOW_CLASS[];
extern const WCHAR MAIN_WINDOW_TITLE[];
extern const WCHAR DEVICE_DATA_PROPERTY[];

const UINT_PTR RETRY_TIMER_ID = 100;
const UINT RETRY_TIMER_PERIOD_MS = 1000;

void RegisterMainWindowClass(HINSTANCE hInstance);
BOOL InitInstance(HINSTANCE hInstance, DeviceData* deviceData);
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
