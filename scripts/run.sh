#!/usr/bin/env bash
# Sets everything up, builds zxflash (dev preset) and runs it in this terminal on its embedded
# demo package, on the simulated PC. Arguments go to zxflash (for example /debug).
#   scripts/run.sh [/debug]
# The Debug log goes to $ZX_DEBUG_LOG (default: $TMPDIR/zxflash-debug.log), never to the screen.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset dev >/dev/null
cmake --build --preset dev --target zxflash -- -j"$(nproc)"
exec build/dev/host/posix/zxflash "$@"
