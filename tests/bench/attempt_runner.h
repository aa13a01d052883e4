// Drives setup_attempts.exe beside the simulated sensor through every failure
// the sensor can be switched to, and reports that process's resources before and after.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace bench {

struct Resources {
    DWORD handles = 0;
    unsigned long long heapBytes = 0;
    unsigned long long heapBlocks = 0;
    unsigned long long privateBytes = 0;
};

// One way for the set-up to fail, as the simulated sensor is switched for it.
struct FailureCase {
    const char* name;
    DWORD classDevsError, enumError, detailError;  // walk switches
    int listed;              // 0: no interface listed, 1: the sensor's, 2: one with another path
    int serveMode;           // fakesensor::ServeMode of the sensor's pipe
    WORD vendorId;
    bool attributesOk, preparsedOk;
    DWORD capsStatus;
    USHORT inputReportLength;
    DWORD expected;          // what SetupHidDevice is to return
};

extern const FailureCase FAILURE_CASES[];
extern const size_t FAILURE_CASE_COUNT;

struct LeakSeries {
    int attempts = 0;           // measured attempts, warm-up not counted
    Resources baseline;         // after the warm-up round
    Resources final;            // after the last attempt
    Resources peak;             // largest of each figure seen after any case
    double meanAttemptUs = 0;   // mean duration of one attempt
    bool privateFromPagefile = true;
    int otherResults = 0;       // attempts that failed otherwise than their switch asks
    std::vector<std::string> mismatches;  // cases where no attempt gave the expected result
};

// A warm-up round of `warmupPerCase` attempts per case, then `perCase`
// attempts of every case in turn, all in one process, back to back or
// `pauseMs` apart. False with `error` when the series could not be run at all.
bool RunLeakSeries(int perCase, int warmupPerCase, DWORD pauseMs, LeakSeries* series, std::string* error);

}  // namespace bench
