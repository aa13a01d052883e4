// The constant tables of the sensor protocol and the two pure operations on
// them; kept free of platform calls so they can be checked on their own.
#include "orientation/report_protocol.h"

const DWORD OrientationDegrees[4] = {0, 90, 180, 270};

// Indexed by orientation index; the sensor's own numbering of the four sides.
const BYTE FeatureByteTable[4] = {0x00, 0x02, 0x03, 0x01};

// Scan order matters: with several bits set, the earliest entry wins.
const OrientationMask OrientationMaskTable[4] = {
    {0x04, 1, DMDO_90},
    {0x08, 3, DMDO_270},
    {0x10, 0, DMDO_DEFAULT},
    {0x20, 2, DMDO_180},
};

void BuildFeatureReport(DWORD orientationIndex, BYTE report[FEATURE_REPORT_LENGTH]) {
    report[0] = 0x01;  // report ID
    report[1] = 0x02;
    report[2] = 0x11;
    report[3] = orientationIndex < 4 ? FeatureByteTable[orientationIndex] : 0x00;
    report[4] = 0x00;
    report[5] = 0x00;
    report[6] = 0x00;
    report[7] = 0x00;
}

const OrientationMask* DecodeOrientationReport(const BYTE* report) {
    DWORD orientationByte = report[1];
    // Two combined codes the sensor sends stand for a side the plain scan
    // would get wrong; one rule each, not chained.
    if (orientationByte == 0x0A) {
        orientationByte = 0x10;
    } else if (orientationByte == 0x14) {
        orientationByte = 0x20;
    }
    for (const OrientationMask& entry : OrientationMaskTable) {
        if ((entry.mask & 0xFF & orientationByte) != 0) return &entry;
    }
    return nullptr;
}
