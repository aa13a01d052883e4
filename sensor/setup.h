// Takes the record from no sensor open to sensor open and rotation thread running.
#pragma once

#include "sensor/device_data.h"

DWORD SetupHidDevice(DeviceData* deviceData);
