// Checks the sensor protocol tables and operations against the report layouts
// the sensor understands, case by case.
#include "orientation/report_protocol.h"

#include <gtest/gtest.h>

namespace {

TEST(ReportProtocolTest, TablesMatchTheSensorsNumbering) {
    const DWORD degrees[4] = {0, 90, 180, 270};
    const BYTE featureBytes[4] = {0x00, 0x02, 0x03, 0x01};
    for (DWORD index = 0; index < 4; ++index) {
        SCOPED_TRACE(index);
        EXPECT_EQ(degrees[index], OrientationDegrees[index]);
        EXPECT_EQ(featureBytes[index], FeatureByteTable[index]);
    }
    struct Row { DWORD mask, orientationIndex, displayOrientation; };
    const Row scanOrder[4] = {
        {0x04, 1, DMDO_90}, {0x08, 3, DMDO_270}, {0x10, 0, DMDO_DEFAULT}, {0x20, 2, DMDO_180}};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(scanOrder[i].mask, OrientationMaskTable[i].mask);
        EXPECT_EQ(scanOrder[i].orientationIndex, OrientationMaskTable[i].orientationIndex);
        EXPECT_EQ(scanOrder[i].displayOrientation, OrientationMaskTable[i].displayOrientation);
    }
}

TEST(ReportProtocolTest, FeatureReportCarriesTheFeatureByteOfTheIndex) {
    struct Case { DWORD index; BYTE featureByte; };
    const Case cases[] = {{0, 0x00}, {1, 0x02}, {2, 0x03}, {3, 0x01}, {4, 0x00}, {0xFFFFFFFF, 0x00}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "index " << c.index);
        BYTE report[FEATURE_REPORT_LENGTH + 2];
        memset(report, 0xCC, sizeof report);
        BuildFeatureReport(c.index, report);
        const BYTE expected[FEATURE_REPORT_LENGTH + 2] = {0x01, 0x02, 0x11, c.featureByte, 0, 0, 0, 0,
                                                          0xCC, 0xCC};
        EXPECT_EQ(0, memcmp(expected, report, sizeof report));
    }
}

TEST(ReportProtocolTest, DecodeTakesTheFirstMatchingEntryInScanOrder) {
    const int none = -1;
    struct Case { BYTE orientationByte; int orientationIndex; const char* why; };
    const Case cases[] = {
        {0x04, 1, "single bit 90"},
        {0x08, 3, "single bit 270"},
        {0x10, 0, "single bit 0"},
        {0x20, 2, "single bit 180"},
        {0x0A, 0, "0x0A normalised to 0x10"},
        {0x14, 2, "0x14 normalised to 0x20"},
        {0x0C, 1, "0x04 before 0x08"},
        {0x18, 3, "0x08 before 0x10"},
        {0x30, 0, "0x10 before 0x20"},
        {0x3C, 1, "all bits"},
        {0x0E, 1, "0x0A plus a bit is not normalised"},
        {0x16, 1, "0x14 plus a bit is not normalised"},
        {0x06, 1, "extra low bit ignored"},
        {0xFF, 1, "every bit"},
        {0x00, none, "no bits"},
        {0x01, none, "bit 0"},
        {0x02, none, "bit 1"},
        {0x03, none, "low bits"},
        {0x40, none, "bit 6"},
        {0x80, none, "bit 7"},
        {0xC3, none, "all but the four"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "byte 0x" << std::hex << (int)c.orientationByte << ": " << c.why);
        const BYTE report[2] = {0x00, c.orientationByte};
        const OrientationMask* match = DecodeOrientationReport(report);
        if (c.orientationIndex == none) {
            EXPECT_EQ(nullptr, match);
            continue;
        }
        ASSERT_NE(nullptr, match);
        EXPECT_EQ((DWORD)c.orientationIndex, match->orientationIndex);
        EXPECT_EQ(match->orientationIndex, match->displayOrientation);
        // The result is the table's own entry, not a copy.
        EXPECT_GE(match, &OrientationMaskTable[0]);
        EXPECT_LE(match, &OrientationMaskTable[3]);
    }
}

TEST(ReportProtocolTest, DecodeLooksOnlyAtTheOrientationByte) {
    struct Case { BYTE bytes[6]; int orientationIndex; };
    const Case cases[] = {
        {{0xFF, 0x04, 0x08, 0x10, 0x20, 0xFF}, 1},
        {{0x04, 0x00, 0x04, 0x04, 0x04, 0x04}, -1},
        {{0x20, 0x10, 0x00, 0x00, 0x00, 0x00}, 0},
        {{0x10, 0x0A, 0x14, 0x00, 0x00, 0x00}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "offset 1 = 0x" << std::hex << (int)c.bytes[1]);
        const OrientationMask* match = DecodeOrientationReport(c.bytes);
        if (c.orientationIndex < 0) {
            EXPECT_EQ(nullptr, match);
        } else {
            ASSERT_NE(nullptr, match);
            EXPECT_EQ((DWORD)c.orientationIndex, match->orientationIndex);
        }
    }
}

}  // namespace
