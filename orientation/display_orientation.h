// Turns display device 0 to one of the four orientations, with width and
// height made to agree, without storing the mode in the registry.
#pragma once

#include <windows.h>

// 0 on success, E_UNEXPECTED when there is no display device 0 or the system
// refuses the mode, else the error of the current-settings query.
DWORD SetDisplayOrientation(DWORD orientation);
// Swaps *width and *height when they disagree with the orientation's shape:
// 0 and 2 landscape, anything else portrait; a square is never swapped.
void FitModeToOrientation(DWORD orientation, DWORD* width, DWORD* height);
// Edits the current mode so that handing it back changes only the orientation
// and, where needed, width and height.
void PrepareOrientationMode(DWORD orientation, DEVMODEW* mode);
