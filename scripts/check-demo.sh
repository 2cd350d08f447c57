#!/usr/bin/env bash
# Runs the README's run command on a virtual display and checks what a user would see: the app pairs
# with the simulated box with no typing, shows the box's moving picture, and on SIGTERM closes the stream
# window, logs it and exits 0, ending the simulated box with it.
set -euo pipefail
cd "$(dirname "$0")/.."
home=$(mktemp -d)
log="$home/state/Corvane/Corvane.log"
cleanup() {
  [ -n "${demo:-}" ] && kill "$demo" 2>/dev/null || true
  [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$home"
}
trap cleanup EXIT
fail() { echo "demo check: $*" >&2; [ -f "$log" ] && tail -n 40 "$log" >&2; exit 1; }

Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$home/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 100); do [ -s "$home/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$home/display")"
export SDL_AUDIODRIVER=dummy

CORVANE_DEMO_HOME="$home" bash scripts/run-demo.sh >"$home/demo.out" 2>&1 &
demo=$!
for _ in $(seq 600); do
  grep -q "video: first non-black frame shown" "$log" 2>/dev/null && break
  kill -0 "$demo" 2>/dev/null || fail "the app ended early: $(tail -n 5 "$home/demo.out")"
  sleep 0.2
done
grep -q "video: first non-black frame shown" "$log" || fail "no picture within two minutes"
grep -q "status: pairing" "$log" || fail "no pairing"
grep -q "engine: paired with the box" "$log" || fail "pairing did not finish"

# Two pictures a second apart: the box's picture moves and is not black.
shot() { ffmpeg -loglevel error -y -f x11grab -video_size 1920x1080 -i "$DISPLAY" -frames:v 1 "$1"; }
brightness() {
  ffmpeg -loglevel error -i "$1" -vf signalstats,metadata=print:key=lavfi.signalstats.YAVG:file=- -f null - |
    sed -n 's/.*YAVG=\([0-9.]*\).*/\1/p' | head -n1
}
shot "$home/a.png"
sleep 1
shot "$home/b.png"
cmp -s "$home/a.png" "$home/b.png" && fail "the picture does not move"
awk -v y="$(brightness "$home/a.png")" 'BEGIN { exit !(y > 10) }' || fail "the screen is black"

# Quitting ends the stream with its log line and exits cleanly; the script ends the simulated box.
kill -TERM "$(pgrep -x corvane)"
status=0
wait "$demo" || status=$?
demo=
[ "$status" -eq 0 ] || fail "the app exited with $status"
grep -q "Corvane quitting: closing the engine window" "$log" || fail "no quit line"
grep -q "session: stopped" "$log" || fail "the session was not stopped"
pgrep -f "corvane-boxsim --address 127.0.0.2" >/dev/null && fail "the simulated box still runs"
echo "demo check passed"
