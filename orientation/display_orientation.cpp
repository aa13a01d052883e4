// Applies a display orientation to display device 0; the editing of the mode
// is kept apart from the platform calls so it can be checked with tables.
#include "orientation/display_orientation.h"

void FitModeToOrientation(DWORD orientation, DWORD* width, DWORD* height) {
    bool landscape = orientation == DMDO_DEFAULT || orientation == DMDO_180;
    bool swap = landscape ? *height > *width : *height < *width;
    if (swap) {
        DWORD width0 = *width;
        *width = *height;
        *height = width0;
    }
}

void PrepareOrientationMode(DWORD orientation, DEVMODEW* mode) {
    // Every field the query reported goes back unchanged, so the rest of the
    // mode (depth, frequency, position) stays as it is.
    mode->dmFields |= DM_DISPLAYORIENTATION;
    mode->dmDisplayOrientation = orientation;
    FitModeToOrientation(orientation, &mode->dmPelsWidth, &mode->dmPelsHeight);
}

DWORD SetDisplayOrientation(DWORD orientation) {
    DISPLAY_DEVICEW displayDevice;
    ZeroMemory(&displayDevice, sizeof displayDevice);
    displayDevice.cb = sizeof displayDevice;
    if (!EnumDisplayDevicesW(nullptr, 0, &displayDevice, 0)) return (DWORD)E_UNEXPECTED;

    DEVMODEW mode;
    ZeroMemory(&mode, sizeof mode);
    mode.dmSize = sizeof mode;
    mode.dmDriverExtra = 0;  // no room for driver-private data
    if (!EnumDisplaySettingsW(displayDevice.DeviceName, ENUM_CURRENT_SETTINGS, &mode)) {
        // The query is not documented to set a last error; a stale 0 must
        // not read as success.
        DWORD error = GetLastError();
        return error != 0 ? error : (DWORD)E_UNEXPECTED;
    }

    PrepareOrientationMode(orientation, &mode);
    // CDS_RESET alone: applied even when equal to the current mode, and not
    // written to the registry.
    LONG change = ChangeDisplaySettingsExW(displayDevice.DeviceName, &mode, nullptr, CDS_RESET, nullptr);
    return change == DISP_CHANGE_SUCCESSFUL ? 0 : (DWORD)E_UNEXPECTED;
}
