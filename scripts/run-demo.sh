#!/usr/bin/env bash
# Builds Corvane and runs it on the simulated box at 127.0.0.2. The app gets folders of its own under
# $CORVANE_DEMO_HOME (default build/demo): config/, data/, state/ (the log is state/Corvane/Corvane.log)
# and runtime/, so a real setup is never touched. Quitting the app ends the simulated box too.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset dev >/dev/null
cmake --build --preset dev --target corvane corvane-boxsim

home=${CORVANE_DEMO_HOME:-build/demo}
mkdir -p "$home/config" "$home/data" "$home/state" "$home/runtime"
chmod 700 "$home/runtime"
home=$(cd "$home" && pwd)

build/dev/boxsim/corvane-boxsim --address 127.0.0.2 </dev/null >"$home/boxsim.log" 2>&1 &
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
