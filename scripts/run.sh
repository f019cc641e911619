#!/usr/bin/env bash
# Sets everything up, builds what the README names (zxflash, zxsim, zxpkg and the two demo
# packages, dev preset) and runs zxflash in this terminal on its embedded demo package, on the
# simulated PC. Arguments go to zxflash (for example /debug). Each step says what it does.
#   scripts/run.sh [/debug]
# The Debug log goes to $ZX_DEBUG_LOG (default: $TMPDIR/zxflash-debug.log), never to the screen.
# ZX_SIM_STATE=FILE keeps the simulated drives' firmware between runs; ZX_SIM_SPEED=X runs the
# simulated PC's clock X times faster.
set -euo pipefail
cd "$(dirname "$0")/.."
say() { echo "run.sh: $*"; }
say "checking the Debian packages the build needs (scripts/setup.sh; it installs what is missing)"
scripts/setup.sh
say "configuring the dev build in build/dev (cmake --preset dev)"
cmake --preset dev >/dev/null
say "building zxflash, zxsim, zxpkg and the demo packages (the first build takes a few minutes)"
cmake --build --preset dev --target zxflash zxsim zxpkg zx_demo_package zx_sata_demo_package \
    -- -j"$(nproc)"
say "starting build/dev/host/posix/zxflash $*"
exec build/dev/host/posix/zxflash "$@"
