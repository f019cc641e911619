#!/usr/bin/env bash
# Sets everything up, builds the dev preset and runs every test.
#   scripts/test.sh [preset]     (default: dev)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-dev}"
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -- -j"$(nproc)"
ctest --preset "$preset" -j"$(nproc)"
