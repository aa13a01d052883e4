// The interface path test of the sensor, with ASCII-only case folding so the
// result never depends on the user's locale.
#include "sensor/path_match.h"

static WCHAR FoldAscii(WCHAR c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<WCHAR>(c - L'A' + L'a') : c;
}

// Compares at most five characters; a terminator in `text` is a mismatch,
// so nothing past the end of the path is read.
static BOOL MatchesFive(LPCWSTR text, LPCWSTR lowerExpected) {
    for (int i = 0; i < 5; ++i) {
        if (FoldAscii(text[i]) != lowerExpected[i]) return FALSE;
    }
    return TRUE;
}

BOOL IsSensorInterfacePath(LPCWSTR path) {
    int length = 0;
    while (path[length] != L'\0') ++length;
    if (length < SENSOR_PATH_MIN_LENGTH) return FALSE;
    if (!MatchesFive(path + SENSOR_COLLECTION_POSITION, L"col02")) return FALSE;
    if (!MatchesFive(path + SENSOR_INTERFACE_POSITION, L"mi_00")) return FALSE;
    return TRUE;
}
