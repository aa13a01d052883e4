// Measures handles and memory of one process across 1,000 failed sensor
// set-ups made back to back through SetupHidDevice, one failure switch after another.
#include <stdio.h>

#include "tests/bench/attempt_runner.h"
#include "tests/bench/bench_common.h"

int main() {
    const int perCase = static_cast<int>((1000 + bench::FAILURE_CASE_COUNT - 1) / bench::FAILURE_CASE_COUNT);
    bench::LeakSeries series;
    std::string error;
    if (!bench::RunLeakSeries(perCase, 5, 0, &series, &error)) {
        fprintf(stderr, "leak_bench: %s\n", error.c_str());
        bench::PrintRow("5. Leaks, 1,000 failed set-ups in-process", "not measured: " + error, "no growth", false,
                        "-");
        return 1;
    }
    const bench::Resources& b = series.baseline;
    const bench::Resources& f = series.final;
    long long handleGrowth = static_cast<long long>(f.handles) - b.handles;
    long long blockGrowth = static_cast<long long>(f.heapBlocks) - static_cast<long long>(b.heapBlocks);
    long long byteGrowth = static_cast<long long>(f.heapBytes) - static_cast<long long>(b.heapBytes);
    long long privateGrowth = static_cast<long long>(f.privateBytes) - static_cast<long long>(b.privateBytes);
    std::string mismatches;
    for (const std::string& m : series.mismatches) mismatches += "; unexpected result: " + m;
    bench::PrintRow(
        bench::Format("5. Leaks, %d failed set-ups in-process (%zu failure switches)", series.attempts,
                      bench::FAILURE_CASE_COUNT),
        bench::Format("handles %lu -> %lu (%+lld); heap %llu -> %llu blocks (%+lld), %+lld bytes; private bytes "
                      "%+lld KiB; %.0f us per attempt",
                      b.handles, f.handles, handleGrowth, b.heapBlocks, f.heapBlocks, blockGrowth, byteGrowth,
                      privateGrowth / 1024, series.meanAttemptUs),
        "no growth after warm-up",
        series.mismatches.empty() && handleGrowth <= 0 && blockGrowth <= 0 && byteGrowth <= 0 &&
            privateGrowth <= 64 * 1024,
        std::string("setup_attempts.exe beside the stand-in DLLs calls SetupHidDevice on one record; warm-up of 5 "
                    "attempts per switch, then ") +
            bench::Format("%d per switch", perCase) +
            "; handles from the system process list (Wine answers 0 to GetProcessHandleCount), heap by HeapWalk, "
            "private bytes from " +
            (series.privateFromPagefile ? "PagefileUsage (Wine leaves PrivateUsage 0)" : "PrivateUsage") +
            "; every switch gave its own result: " + (series.mismatches.empty() ? "yes" : "NO" + mismatches) +
            bench::Format(" (%d of the attempts found the simulated pipe busy instead, which fails too)",
                          series.otherResults));
    return 0;
}
