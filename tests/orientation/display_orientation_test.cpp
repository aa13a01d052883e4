// Checks how a display mode is fitted to an orientation, and the setter
// against the real display of the test machine.
#include "orientation/display_orientation.h"

#include <gtest/gtest.h>

namespace {

struct FitCase {
    DWORD orientation;
    DWORD width, height;
    DWORD fittedWidth, fittedHeight;
};

const FitCase kFitCases[] = {
    {DMDO_90, 1024, 768, 768, 1024},
    {DMDO_270, 1024, 768, 768, 1024},
    {DMDO_90, 768, 1024, 768, 1024},
    {DMDO_270, 768, 1024, 768, 1024},
    {DMDO_DEFAULT, 768, 1024, 1024, 768},
    {DMDO_180, 768, 1024, 1024, 768},
    {DMDO_DEFAULT, 1024, 768, 1024, 768},
    {DMDO_180, 1024, 768, 1024, 768},
    {DMDO_DEFAULT, 800, 800, 800, 800},
    {DMDO_90, 800, 800, 800, 800},
    {DMDO_180, 800, 800, 800, 800},
    {DMDO_270, 800, 800, 800, 800},
    // Unsigned comparison: a huge value is large, not negative.
    {DMDO_90, 0x80000000u, 1, 1, 0x80000000u},
    {DMDO_DEFAULT, 1, 0xFFFFFFFFu, 0xFFFFFFFFu, 1},
    {DMDO_DEFAULT, 0, 0, 0, 0},
    // Values other than the four count as portrait.
    {4, 1024, 768, 768, 1024},
    {0xFFFFFFFFu, 768, 1024, 768, 1024},
};

TEST(DisplayOrientationTest, FitSwapsOnlyWhereTheShapeDisagrees) {
    for (const FitCase& c : kFitCases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " orientation " << c.orientation);
        DWORD width = c.width, height = c.height;
        FitModeToOrientation(c.orientation, &width, &height);
        EXPECT_EQ(c.fittedWidth, width);
        EXPECT_EQ(c.fittedHeight, height);
    }
}

TEST(DisplayOrientationTest, PrepareAddsOrientationAndKeepsTheRestOfTheMode) {
    for (const FitCase& c : kFitCases) {
        if (c.orientation > DMDO_270) continue;
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " orientation " << c.orientation);
        DEVMODEW mode;
        memset(&mode, 0x5A, sizeof mode);
        mode.dmSize = sizeof mode;
        mode.dmDriverExtra = 0;
        mode.dmFields = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT | DM_DISPLAYFREQUENCY | DM_POSITION;
        mode.dmPelsWidth = c.width;
        mode.dmPelsHeight = c.height;
        mode.dmDisplayOrientation = c.orientation == DMDO_DEFAULT ? DMDO_180 : DMDO_DEFAULT;
        DEVMODEW expected = mode;
        expected.dmFields |= DM_DISPLAYORIENTATION;
        expected.dmDisplayOrientation = c.orientation;
        expected.dmPelsWidth = c.fittedWidth;
        expected.dmPelsHeight = c.fittedHeight;

        PrepareOrientationMode(c.orientation, &mode);

        EXPECT_EQ(expected.dmFields, mode.dmFields);
        EXPECT_EQ(c.orientation, mode.dmDisplayOrientation);
        EXPECT_EQ(c.fittedWidth, mode.dmPelsWidth);
        EXPECT_EQ(c.fittedHeight, mode.dmPelsHeight);
        EXPECT_EQ(0, memcmp(&expected, &mode, sizeof mode)) << "another member of the mode changed";
    }
}

bool CurrentMode(DEVMODEW* mode) {
    DISPLAY_DEVICEW device = {};
    device.cb = sizeof device;
    if (!EnumDisplayDevicesW(nullptr, 0, &device, 0)) return false;
    ZeroMemory(mode, sizeof *mode);
    mode->dmSize = sizeof *mode;
    return EnumDisplaySettingsW(device.DeviceName, ENUM_CURRENT_SETTINGS, mode) != FALSE;
}

// This machine's display keeps its default orientation and accepts only that
// one; every other orientation is refused, which must come back as a failure.
TEST(DisplayOrientationTest, SetterReportsWhatTheSystemAnswered) {
    DEVMODEW before;
    ASSERT_TRUE(CurrentMode(&before));
    ASSERT_EQ((DWORD)DMDO_DEFAULT, before.dmDisplayOrientation);

    struct Case { DWORD orientation; DWORD result; };
    const Case cases[] = {
        {DMDO_DEFAULT, 0},
        {DMDO_90, (DWORD)E_UNEXPECTED},
        {DMDO_180, (DWORD)E_UNEXPECTED},
        {DMDO_270, (DWORD)E_UNEXPECTED},
        {DMDO_DEFAULT, 0},  // equal to the current one: applied again
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "orientation " << c.orientation);
        EXPECT_EQ(c.result, SetDisplayOrientation(c.orientation));

        DEVMODEW after;
        ASSERT_TRUE(CurrentMode(&after));
        EXPECT_EQ(before.dmPelsWidth, after.dmPelsWidth);
        EXPECT_EQ(before.dmPelsHeight, after.dmPelsHeight);
        EXPECT_EQ(before.dmBitsPerPel, after.dmBitsPerPel);
        EXPECT_EQ((DWORD)DMDO_DEFAULT, after.dmDisplayOrientation);
    }
}

}  // namespace
