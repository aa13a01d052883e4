// Finds the orientation sensor among the present HID interfaces and opens it.
#pragma once

#include "sensor/device_data.h"

typedef DWORD (*InspectDeviceCallback)(LPCWSTR path, HANDLE queryHandle, void* context);

DWORD FindHidDevice(InspectDeviceCallback inspect, void* context);
DWORD InspectDevicePath(LPCWSTR path, HANDLE queryHandle, void* deviceData);
