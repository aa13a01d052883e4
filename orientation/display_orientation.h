// Turns display device 0 to one of the four orientations, with width and
// height made to agree, without storing the mode in the registry.
#pragma once

#include <windows.h>

DWORD SetDisplayOrientation(DWORD orientation);
// Swaps *width and *height when they disagree with the orientation's shape.
void FitModeToOrientation(DWORD orientation, DWORD* width, DWORD* height);
