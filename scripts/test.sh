#!/usr/bin/env bash
# Builds Corvane and runs every test (unit, integration against the simulated box on loopback, peer checks).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset dev >/dev/null
cmake --build --preset dev
ctest --preset dev
