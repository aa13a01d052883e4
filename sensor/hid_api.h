// The HID class driver and device installation headers of mingw-w64 lack
// C linkage guards; include them only through this file.
#pragma once

#include <windows.h>

extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
#include <setupapi.h>
