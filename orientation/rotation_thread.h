// The rotation thread: reads the sensor's input reports and turns the display.
#pragma once

#include <windows.h>

// Thread procedure; parameter is the main thread's DeviceData.
DWORD WINAPI RotationThread(LPVOID deviceData);
