#!/usr/bin/env bash
# Counts aborts and the X connection's complaints while the stream window opens, on a machine kept busy: 4 (BUSY) busy loops run in processes
# of their own throughout, then
#  (a) bench_stream_window_openings opens and closes the app's stream window, each time with a live picture
#      from a simulated box on a loopback address, until OPENS windows (500) showed pictures, in processes of
#      25 windows each, PARALLEL (4) processes at a time, each on its own virtual display;
#  (b) the window tests' binary runs its SidewaysIntegrationTest suite SIDEWAYS (300) times, PARALLEL at a
#      time.
# A run aborted when it died of a signal. A run complained when its output has any line of Xlib's or xcb's,
# of GLX's (Qt's and the GL driver's lines about it among them) or of Qt's about an X error: "Xlib:", "[xcb]",
# "XIO:", "X Error", "XCB error", "GLX", "glx:" - two threads using one X connection show as "Extra reply
# data" (an abort) or "sequence lost" (a warning the process goes on from).
#
#   scripts/stream-window-aborts.sh [BUILD_DIR]     (build/dev when not given; OPENS, SIDEWAYS, PARALLEL
#                                                    and BUSY from the environment)
#
# Output: one line per aborted, complaining or failed run (with its first complaint), then the totals:
#   openings: W windows opened with a picture in P processes; A aborted, C complained (L lines), F failed
#   sideways: R runs; A aborted, C complained (L lines), F failed
# "failed" is a run that ended on its own without success (a test failure, a window that showed nothing);
# the logs of those runs are kept in the folder named on the last line. Every busy loop and child ends with
# the script, however it ends. Exit status 1 when a round of openings opened no window (nothing ever
# would), else 0.
set -euo pipefail

if [[ "${1:-}" == --one ]]; then
    # One run: $2 = openings|sideways, $3 = index, $4 = build dir, $5 = log folder.
    kind=$2 index=$3 build=$4 logs=$5
    log="$logs/$kind-$index.log"
    status=0
    if [[ $kind == openings ]]; then
        "$build/bench/bench_stream_window_openings" 25 >"$log" 2>&1 || status=$?
    else
        "$build/tests/test_app_window_integration" --gtest_filter='SidewaysIntegrationTest.*' >"$log" 2>&1 || status=$?
    fi
    echo "$status" >"$log.rc"
    exit 0
fi

build=$(realpath "${1:-build/dev}")
opens=${OPENS:-500}
sideways=${SIDEWAYS:-300}
parallel=${PARALLEL:-4}
busy=${BUSY:-4}
for binary in bench/bench_stream_window_openings tests/test_app_window_integration; do
    [[ -x "$build/$binary" ]] || { echo "no $build/$binary: build it first" >&2; exit 2; }
done

logs=$(mktemp -d "${TMPDIR:-/tmp}/stream-window-aborts.XXXXXX")
busyPids=()
cleanup() {
    for pid in "${busyPids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM
for ((i = 0; i < busy; i++)); do
    sh -c 'while :; do :; done' &
    busyPids+=($!)
done

# Runs `count` runs of `kind` numbered from `first`, PARALLEL at a time.
runBatch() {
    local kind=$1 first=$2 count=$3
    seq "$first" $((first + count - 1)) | xargs -P "$parallel" -I{} "$0" --one "$kind" {} "$build" "$logs"
}

# Any line of Xlib's or xcb's about the X connection, of GLX's (or of Qt's and the GL driver's about it),
# or Qt's about an X error.
complaints='Xlib:|\[xcb\]|XIO:|X Error|XCB error|GLX|glx:'

# How a run ended: aborted (a signal), complained (of the X connection), failed or ok.
outcome() {
    local log=$1 kind rc
    kind=$(basename "$log" | cut -d- -f1)
    rc=$(cat "$log.rc")
    if ((rc > 128)); then
        echo aborted
    elif grep -Eq "$complaints" "$log"; then
        echo complained
    elif ((rc != 0)) || { [[ $kind == openings ]] && { ! grep -q '^done ' "$log" || grep -q '^no picture\|^failed ' "$log"; }; }; then
        echo failed
    else
        echo ok
    fi
}

# Tallies the runs of `kind`: sets runs, aborted, complained, lines (of complaint, aborted runs' too),
# failed and (openings) opened.
tally() {
    local kind=$1 log
    aborted=0 complained=0 lines=0 failed=0 opened=0 runs=0
    for log in "$logs/$kind"-*.log; do
        [[ -e $log ]] || continue
        runs=$((runs + 1))
        [[ $kind == openings ]] && opened=$((opened + $(grep -c '^opened ' "$log" || true)))
        lines=$((lines + $(grep -Ec "$complaints" "$log" || true)))
        case $(outcome "$log") in
        aborted) aborted=$((aborted + 1)) ;;
        complained) complained=$((complained + 1)) ;;
        failed) failed=$((failed + 1)) ;;
        esac
    done
}

# (a) Until OPENS windows showed a picture (an aborted process opened fewer than its 25).
# A round that opened no window ends the script: no window would ever open.
next=1
before=-1
while :; do
    tally openings
    ((opened < opens && opened > before)) || break
    before=$opened
    want=$(((opens - opened + 24) / 25))
    runBatch openings "$next" "$want"
    next=$((next + want))
done
openingRuns=$runs
openingsLine="openings: $opened windows opened with a picture in $openingRuns processes; $aborted aborted, $complained complained ($lines lines), $failed failed"
status=0
if ((opened < opens)); then
    status=1
    openingsLine="$openingsLine; stopped: the last round opened no window"
fi

# (b)
((status != 0)) || runBatch sideways 1 "$sideways"
tally sideways
sidewaysLine="sideways: $runs runs; $aborted aborted, $complained complained ($lines lines), $failed failed"

for log in "$logs"/*.log; do
    [[ -e $log ]] || continue
    [[ $(outcome "$log") == ok ]] && { rm -f "$log" "$log.rc"; continue; }
    echo "$(basename "$log" .log): exit $(cat "$log.rc")$(grep -m1 -E "$complaints" "$log" | sed 's/^/, /')"
done
echo "$openingsLine"
echo "$sidewaysLine"
echo "logs of aborted, complaining and failed runs: $logs"
exit "$status"
