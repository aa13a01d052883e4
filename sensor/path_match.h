// The interface path test of the sensor: interface 0, top-level collection 2.
// No platform calls, so it is tested with a table of paths.
#pragma once

#include <windows.h>

const int SENSOR_PATH_MIN_LENGTH = 32;
const int SENSOR_INTERFACE_POSITION = 26;   // "mi_00"
const int SENSOR_COLLECTION_POSITION = 32;  // "col02"

BOOL IsSensorInterfacePath(LPCWSTR path);
