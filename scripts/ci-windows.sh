#!/usr/bin/env bash
# CI for the Windows builds: sets up the cross toolchains, Wine and minizip, builds the host
# demo package (dev preset), builds both Windows presets, checks that the programs import
# system DLLs only, and runs the Wine tests of the x86_64 build: the smoke test of the program
# and the conformance tests of the profile reader and the wide formatter (tests/conformance).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="$(nproc)"
scripts/setup.sh --windows

echo "== host build of the demo package (dev)"
cmake --preset dev >/dev/null
cmake --build --preset dev --target zx_demo_package -- -j"$jobs"

for preset in win32 win64; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -- -j"$jobs"
    # The build itself fails when the program imports a DLL that Windows does not ship.
    echo "imports of build/$preset/app/zxflash.exe:"
    sed 's/^/    /' "build/$preset/app/zxflash.exe.imports.txt"
done

echo "== Wine smoke and conformance tests (win64)"
ctest --preset win64
