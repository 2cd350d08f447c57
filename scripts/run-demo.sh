#!/usr/bin/env bash
# Builds Corvane and runs it on the simulated box at 127.0.0.2. The app gets folders of its own under
# $CORVANE_DEMO_HOME (default build/demo): config/, data/, state/ (the log is state/Corvane/Corvane.log),
# runtime/, and Downloads/ and Desktop/ for what it receives and saves, so a real setup is never touched.
# Lines written to box-input there act as the user at the box (see corvane-boxsim's header), e.g.
#   echo "send notes.txt" > build/demo/box-input
# Quitting the app ends the simulated box too. $CORVANE_BOXSIM_OPTIONS goes to the box as further options
# (e.g. "--still --first-frame 1": a still picture numbered from 1; "--offer agent=0.4.0": an update).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset dev >/dev/null
cmake --build --preset dev --target corvane corvane-boxsim

home=${CORVANE_DEMO_HOME:-build/demo}
mkdir -p "$home/config" "$home/data" "$home/state" "$home/runtime" "$home/Downloads" "$home/Desktop"
chmod 700 "$home/runtime"
home=$(cd "$home" && pwd)
# Received files and saved reports go to the demo's own Downloads and Desktop, not the user's.
cat >"$home/config/user-dirs.dirs" <<EOF
XDG_DOWNLOAD_DIR="$home/Downloads"
XDG_DESKTOP_DIR="$home/Desktop"
EOF

# The box reads its commands from a pipe this script holds open, so it never sees the input end.
rm -f "$home/box-input"
mkfifo "$home/box-input"
exec 3<>"$home/box-input"
# shellcheck disable=SC2086 # the options are words
build/dev/boxsim/corvane-boxsim --address 127.0.0.2 ${CORVANE_BOXSIM_OPTIONS:-} <"$home/box-input" >"$home/boxsim.log" 2>&1 &
box=$!
trap 'kill "$box" 2>/dev/null || true; wait "$box" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  grep -q '^ready' "$home/boxsim.log" 2>/dev/null && break
  kill -0 "$box" 2>/dev/null || { cat "$home/boxsim.log" >&2; exit 1; }
  sleep 0.1
done

status=0
XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_STATE_HOME="$home/state" \
  XDG_RUNTIME_DIR="$home/runtime" CORVANE_BOX_ADDRESS=127.0.0.2 \
  build/dev/app/corvane "$@" || status=$?
exit "$status"
