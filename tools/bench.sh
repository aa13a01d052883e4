#!/bin/sh
# The benchmark (make bench): runs the real program and the log and set-up code
# under Wine against the simulated sensor and prints one Markdown table.
# Usage: sh tools/bench.sh <test-build-dir>    (progress goes to stderr)
set -u
BUILD="${1:?usage: $0 <test-build-dir>}"
BUILD=$(cd "$BUILD" && pwd)
RUN="$BUILD/wine-run.sh"
BIN="$BUILD/bin"

for program in VELATRIX.EXE log_bench.exe leak_bench.exe program_bench.exe setup_attempts.exe; do
    if [ ! -f "$BIN/$program" ]; then
        echo "bench: $BIN/$program is missing; build the test build first (make test-build)" >&2
        exit 1
    fi
done
for dll in hid.dll setupapi.dll; do
    if [ ! -f "$BUILD/fake_sensor/$dll" ]; then
        echo "bench: the simulated sensor's $dll is missing in $BUILD/fake_sensor" >&2
        exit 1
    fi
done

export WINEDEBUG=-all
# The stand-in DLLs beside the program copies replace Wine's own; this must be
# in the Unix environment of the whole Wine process tree.
export WINEDLLOVERRIDES="hid,setupapi=n,b"

case "$(grep -m1 '^CMAKE_TOOLCHAIN_FILE' "$BUILD/CMakeCache.txt" 2>/dev/null)" in
    *x86_64*) build_note="64-bit test build (x86_64 under 64-bit Wine) of the same sources as the 32-bit product" ;;
    *)        build_note="32-bit build (i686), as the product" ;;
esac

started=$(date +%s)
echo "## Benchmark run"
echo
echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "- Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)"
echo "- Wine: $("$RUN" --version 2>/dev/null | head -n1)"
echo "- Build: $build_note, $BUILD"
echo "- Load average at start: $(cut -d' ' -f1-3 /proc/loadavg) (the figures are only as quiet as the machine)"
echo
echo "| Figure | Result | Limit | Met | How measured |"
echo "|---|---|---|---|---|"

failed=""
step() {
    name="$1"; shift
    echo "bench: $name ..." >&2
    t0=$(date +%s)
    if ! "$RUN" "$@"; then failed="$failed $name"; fi
    echo "bench: $name took $(( $(date +%s) - t0 )) s" >&2
}

step idle      "$BIN/program_bench.exe" idle
step reaction  "$BIN/program_bench.exe" reaction
step flood     "$BIN/program_bench.exe" flood 60
step log       "$BIN/log_bench.exe"
step leak      "$BIN/leak_bench.exe"
step plug      "$BIN/program_bench.exe" plug
step startup   "$BIN/program_bench.exe" startup

echo
echo "Total time: $(( $(date +%s) - started )) s; load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)."
if [ -n "$failed" ]; then
    echo "bench: these measurements could not be made:$failed" >&2
    exit 1
fi
exit 0
