#!/usr/bin/env bash
# CI for the Windows builds: sets up the cross toolchains, Wine and minizip, builds the host
# demo package (dev preset), builds both Windows presets, checks that the programs import
# system DLLs only and that the shipped ones hold nothing of the simulated PC, and runs the Wine
# tests of the x86_64 builds: the smoke test of the program, the conformance tests of the
# profile reader and the wide formatter (tests/conformance), and the win64-sim program's runs
# compared with zxsim run (tests/windows).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="$(nproc)"
scripts/setup.sh --windows

echo "== host build of the demo packages and zxsim (dev)"
cmake --preset dev >/dev/null
cmake --build --preset dev --target zx_demo_package zx_sata_demo_package zxsim -- -j"$jobs"

for preset in win32 win64 win64-sim; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -- -j"$jobs"
    # The build itself fails when the program imports a DLL that Windows does not ship, or
    # when a shipped program holds a symbol of the simulated PC (cmake/ZxCheckSimulator.cmake).
    program="build/$preset/app/zxflash.exe"
    [ "$preset" != win64-sim ] || program="build/$preset/host/windows-sim/zxflash.exe"
    echo "imports of $program:"
    sed 's/^/    /' "$program.imports.txt"
    echo "symbols of the simulated PC in $program: $(grep -c . "$program.simulator-symbols.txt" || true)"
done

echo "== Wine smoke and conformance tests (win64)"
ctest --preset win64

echo "== the win64-sim program under Wine compared with zxsim run"
ctest --preset win64-sim -L windows
