#!/usr/bin/env bash
# Builds Corvane from this checkout and installs it into build/install/Corvane inside it, so that the app
# can update itself from a source folder. Output: "==> " steps, the build's "[n/total]" counters, and a
# last line "Built: <install folder>".
set -euo pipefail
source="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$source/build/self-update"
out="$source/build/install/Corvane"

echo "==> Compiling Corvane $(tr -d '[:space:]' < "$source/VERSION")"
cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=OFF -DCORVANE_BENCH=OFF \
  -DCorvaneSourceDir="$source" >/dev/null
cmake --build "$build"

echo "==> Assembling"
staged="$out.new"
rm -rf "$staged"
cmake --install "$build" --prefix "$staged" >/dev/null
if [ ! -x "$staged/bin/corvane" ] || [ ! -f "$staged/share/corvane/app-info.json" ]; then
  echo "The build did not produce bin/corvane and share/corvane/app-info.json." >&2
  exit 1
fi
rm -rf "$out"
mv "$staged" "$out"
echo "Built: $out"
