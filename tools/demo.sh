#!/bin/sh
# The main job: runs the real program under Wine for a few seconds, closes it
# with WM_CLOSE (Wine's taskkill) and shows its exit code and the logs it wrote.
set -e
BUILD="$1"
RUN="$BUILD/wine-run.sh"
EXE="$BUILD/bin/VELATRIX.EXE"

temp_win=$("$RUN" cmd /c echo %TEMP% | tr -d '\r')
logs=$("$RUN" winepath -u "$temp_win" | tr -d '\r')/QelSoft/velatrix
logs=$(printf "%s" "$logs" | sed 's|//*|/|g')
marker=$(mktemp)
trap 'rm -f "$marker"' EXIT
sleep 1

printf "== starting VELATRIX.EXE (logs in %s)\n" "$logs"
"$RUN" "$EXE" &
pid=$!
sleep 4
echo "== closing it with WM_CLOSE"
"$RUN" taskkill /im VELATRIX.EXE >/dev/null 2>&1 || true
rc=0; wait $pid || rc=$?
echo "== exit code: $rc"
for log in $(find "$logs" -name '*.log' -newer "$marker" 2>/dev/null | sort); do
    echo "== $(basename "$log")"
    iconv -f UTF-16 -t UTF-8 "$log" | tr -d '\r'
done
exit $rc
