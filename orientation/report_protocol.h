// What passes between the program and the orientation sensor: the feature
// report out, the input report in, and the tables between them. No platform calls.
#pragma once

#include <windows.h>

const DWORD FEATURE_REPORT_LENGTH = 8;

struct OrientationMask {
    DWORD mask;
    DWORD orientationIndex;
    DWORD displayOrientation;
};

extern const DWORD OrientationDegrees[4];
extern const BYTE FeatureByteTable[4];
extern const OrientationMask OrientationMaskTable[4];

void BuildFeatureReport(DWORD orientationIndex, BYTE report[FEATURE_REPORT_LENGTH]);
// The matching table entry, or NULL when the report names no orientation.
const OrientationMask* DecodeOrientationReport(const BYTE* report);
