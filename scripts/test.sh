#!/usr/bin/env bash
# Builds Corvane and runs every test (unit, integration against the simulated box on loopback, peer checks).
# Arguments go to the configure step (CI: -DCORVANE_BENCH=OFF, as it builds the benchmarks optimised).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset dev "$@" >/dev/null
cmake --build --preset dev
# Each test runs once: one that fails under load is a fault to mend, not to retry. The tests run in a
# temporary folder of their own, which they must leave empty: anything left there was written after the
# test that owned it had ended.
tests_tmp=$(mktemp -d)
trap 'rm -rf "$tests_tmp"' EXIT
TMPDIR="$tests_tmp" ctest --preset dev
left=$(cd "$tests_tmp" && find . -mindepth 1 -maxdepth 3 | sort | head -40)
if [ -n "$left" ]; then
  echo "The tests left these in the temporary folder:"
  echo "$left"
  exit 1
fi
