#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a fixed number of inputs (default 100000), or
# for at most a number of seconds each (default 60), whichever ends first.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-100000}
seconds=${2:-60}
cmake --preset fuzz >/dev/null
# Only the fuzz targets (and what they link) are built with clang's instrumentation.
mapfile -t targets < <(ninja -C build/fuzz -t targets all | grep -oE '^fuzz/fuzz_[a-z_]+:' | tr -d ':' | xargs -n1 basename | sort -u)
cmake --build --preset fuzz --target "${targets[@]}"
for f in build/fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus=fuzz/corpus/${name#fuzz_}
  mkdir -p build/fuzz/work/$name
  echo "fuzzing $name ($runs inputs)"
  dict=fuzz/${name#fuzz_}.dict
  "$f" -runs="$runs" -max_total_time="$seconds" -max_len=8192 $( [ -f "$dict" ] && echo "-dict=$dict" ) \
    build/fuzz/work/$name $( [ -d "$corpus" ] && echo "$corpus" ) 2>&1 | tail -n 2
done
