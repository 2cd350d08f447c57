#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a fixed number of inputs (default 100000).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-100000}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for f in build/fuzz/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus=fuzz/corpus/${name#fuzz_}
  mkdir -p build/fuzz/work/$name
  echo "fuzzing $name ($runs inputs)"
  dict=fuzz/${name#fuzz_}.dict
  "$f" -runs="$runs" -max_total_time=60 -max_len=8192 $( [ -f "$dict" ] && echo "-dict=$dict" ) \
    build/fuzz/work/$name $( [ -d "$corpus" ] && echo "$corpus" ) 2>&1 | tail -n 2
done
