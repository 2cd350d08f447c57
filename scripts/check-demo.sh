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

# The main window as a person sees it while pairing (the box held still for the picture); kept in
# $CORVANE_KEEP_SCREENSHOTS when set.
shots=${CORVANE_KEEP_SCREENSHOTS:-$home}
window_shot() { ffmpeg -loglevel error -y -f x11grab -window_id "$main" -i "$DISPLAY" -frames:v 1 "$shots/$1"; }
for _ in $(seq 6000); do grep -q "status: pairing" "$log" 2>/dev/null && break; sleep 0.01; done
boxsim=$(pgrep -P "$demo" -x corvane-boxsim) || fail "no pairing"
kill -STOP "$boxsim"
main=$(xdotool search --onlyvisible --name '^Corvane$' | head -n1) || true
sleep 0.5
grep -q "engine: paired with the box" "$log" && { kill -CONT "$boxsim"; fail "pairing ended before its picture"; }
[ -n "$main" ] && window_shot main-pairing.png || { kill -CONT "$boxsim"; fail "no main window"; }
kill -CONT "$boxsim"
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

# The main window, raised over the stream, now says Windows is open.
xdotool windowraise "$main"
sleep 0.5
window_shot main-open.png
cmp -s "$shots/main-pairing.png" "$shots/main-open.png" && fail "the main window did not change"

# The demo box offers no update of its software: the app has none to show (it once offered the versions the
# box already had).
offers=$(curl -s --max-time 5 http://127.0.0.2:47800/v1/updates |
  python3 -c 'import json, sys; print(len(json.load(sys.stdin)["available"]))') || fail "the box did not list its updates"
[ "$offers" = 0 ] || fail "the demo box offers $offers updates"

# A file sent from Windows lands in the demo's own Downloads, never the user's.
note="demo-note-$$.txt"
echo "send $note" >"$home/box-input"
for _ in $(seq 300); do [ -f "$home/Downloads/$note" ] && break; sleep 0.1; done
[ -f "$home/Downloads/$note" ] || fail "a file sent from the box did not reach the demo's Downloads"
real_downloads=$(HOME="$HOME" XDG_CONFIG_HOME= xdg-user-dir DOWNLOAD 2>/dev/null || echo "$HOME/Downloads")
[ -e "$real_downloads/$note" ] && fail "a file sent from the box went to $real_downloads"

# Quitting ends the stream with its log line and exits cleanly; the script ends the simulated box.
# Only the app the demo script runs (its child): never another one on this machine.
app=$(pgrep -P "$demo" -x corvane) || fail "the app is not running"
kill -TERM "$app"
status=0
wait "$demo" || status=$?
demo=
[ "$status" -eq 0 ] || fail "the app exited with $status"
grep -q "Corvane quitting: closing the engine window" "$log" || fail "no quit line"
grep -q "session: stopped" "$log" || fail "the session was not stopped"
ps -o args= -p "$boxsim" | grep -q "corvane-boxsim --address 127.0.0.2" && fail "the simulated box still runs"
echo "demo check passed"
