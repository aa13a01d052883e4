// A quick guard against leaks in the sensor set-up: failed attempts through
// every failure switch of the simulated sensor must not add handles or heap blocks.
#include <gtest/gtest.h>

#include "tests/bench/attempt_runner.h"

namespace {

// 15 attempts of each of the 13 cases after a warm-up round: one handle or
// one heap block left per attempt would add about 200. The bounds leave room
// for what Wine itself keeps (caches filled on first use). A short pause
// between attempts lets the simulated pipe put up its next listening
// instance, so every switch is reached.
TEST(SetupLeakGuard, FailedAttemptsAddNoHandlesOrHeapBlocks) {
    bench::LeakSeries series;
    std::string error;
    ASSERT_TRUE(bench::RunLeakSeries(15, 2, 2, &series, &error)) << error;
    EXPECT_GE(series.attempts, 195);
    for (const std::string& mismatch : series.mismatches) ADD_FAILURE() << "switch not reached: " << mismatch;
    EXPECT_LE(series.otherResults, series.attempts / 4) << "attempts that found the simulated pipe busy";

    EXPECT_LE(series.final.handles, series.baseline.handles + 3)
        << "handles " << series.baseline.handles << " -> " << series.final.handles;
    EXPECT_LE(series.final.heapBlocks, series.baseline.heapBlocks + 20)
        << "heap blocks " << series.baseline.heapBlocks << " -> " << series.final.heapBlocks;
    EXPECT_LE(series.final.heapBytes, series.baseline.heapBytes + 16384)
        << "heap bytes " << series.baseline.heapBytes << " -> " << series.final.heapBytes;
}

}  // namespace
