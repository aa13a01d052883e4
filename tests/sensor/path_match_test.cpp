// The interface path test decides which HID interface is opened as the sensor;
// a wrong position or case rule opens the wrong collection or none.
#include <gtest/gtest.h>

#include "sensor/path_match.h"

namespace {

struct PathCase {
    const char* label;
    const wchar_t* path;
    BOOL isSensor;
};

TEST(SensorPath, MatchesInterfaceZeroCollectionTwoOnly) {
    const PathCase cases[] = {
        {"real-looking path", L"\\\\?\\hid#vid_1770&pid_ff00&mi_00&col02#7&2a3b&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030}", TRUE},
        {"upper-case texts", L"\\\\?\\HID#VID_1770&PID_FF00&MI_00&COL02#7&2A3B&0&0001#{4D1E55B2}", TRUE},
        {"mixed case", L"\\\\?\\hid#vid_1770&pid_ff00&Mi_00&cOl02#x", TRUE},
        {"collection 1", L"\\\\?\\hid#vid_1770&pid_ff00&mi_00&col01#7&2a3b&0&0000#{4d1e}", FALSE},
        {"interface 1", L"\\\\?\\hid#vid_1770&pid_ff00&mi_01&col02#7&2a3b&0&0001#{4d1e}", FALSE},
        {"texts swapped", L"\\\\?\\hid#vid_1770&pid_ff00&col02&mi_00#7&2a3b&0&0001#{4d1e}", FALSE},
        {"no collection part", L"\\\\?\\hid#vid_1770&pid_ff00&mi_00#7&2a3b&0&0001#{4d1e55b2}", FALSE},
        {"pipe stand-in", L"\\\\.\\pipe\\vid_1770&pid_ff00mi_00&col02#a", TRUE},
        {"exactly 37 characters", L"\\\\.\\pipe\\vid_1770&pid_ff00mi_00&col02", TRUE},
        {"exactly 36 characters", L"\\\\.\\pipe\\vid_1770&pid_ff00mi_00&col0", FALSE},
        {"exactly 32 characters", L"\\\\.\\pipe\\vid_1770&pid_ff00mi_00&", FALSE},
        {"31 characters", L"\\\\.\\pipe\\vid_1770&pid_ff00mi_00", FALSE},
        {"empty", L"", FALSE},
        // Only A-Z fold: a non-ASCII letter that folds to 'i' elsewhere must not match.
        {"non-ASCII capital", L"\\\\.\\pipe\\vid_1770&pid_ff00m\u0130_00&col02#a", FALSE},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.isSensor, IsSensorInterfacePath(c.path));
    }
}

TEST(SensorPath, NeverReadsPastTheTerminator) {
    // A 33-character path followed by bytes that would match: the test must
    // stop at the terminator and not see "col02" behind it.
    wchar_t buffer[64] = L"\\\\.\\pipe\\vid_1770&pid_ff00mi_00&c";
    buffer[33] = L'\0';
    wcscpy(buffer + 34, L"ol02");
    EXPECT_FALSE(IsSensorInterfacePath(buffer));
}

}  // namespace
