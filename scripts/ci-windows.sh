#!/usr/bin/env bash
# CI for the Windows builds: sets up the cross toolchains, Wine (64-bit on the host, 32-bit in an
# i386 root) and minizip, builds the host demo package (dev preset), builds the four Windows
# presets, checks that the programs import system DLLs only and that the shipped ones hold nothing
# of the simulated PC, and runs the Wine tests: the smoke test of both shipped programs, the
# conformance tests of the profile reader and the wide formatter (tests/conformance, x86_64), and
# the runs of the win32-sim and win64-sim programs compared with zxsim run (tests/windows). The
# i686 programs run only where the kernel runs 32-bit x86 programs (scripts/runs-i386.sh);
# elsewhere their tests are named as not run. Each part prints its time.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="$(nproc)"
start=$SECONDS
part() {
    echo "== $* (at $((SECONDS - start)) s)"
}

part "setup"
scripts/setup.sh --windows

part "host build of the demo packages and zxsim (dev)"
cmake --preset dev >/dev/null
cmake --build --preset dev --target zx_demo_package zx_sata_demo_package zxsim -- -j"$jobs"

for preset in win32 win64 win32-sim win64-sim; do
    part "$preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -- -j"$jobs"
    # The build itself fails when the program imports a DLL that Windows does not ship, or
    # when a shipped program holds a symbol of the simulated PC (cmake/ZxCheckSimulator.cmake).
    case "$preset" in
        *-sim) program="build/$preset/host/windows-sim/zxflash.exe" ;;
        *) program="build/$preset/fleet/zxflash.exe" ;;
    esac
    echo "imports of $program:"
    sed 's/^/    /' "$program.imports.txt"
    echo "symbols of the simulated PC in $program: $(grep -c . "$program.simulator-symbols.txt" || true)"
done

part "Wine smoke and conformance tests (win64)"
ctest --preset win64

# The i686 programs run under 32-bit Wine where the kernel runs 32-bit x86 programs at all;
# elsewhere they are built (and their layouts asserted by the compiler) but cannot run.
runs_i386=yes
scripts/runs-i386.sh || runs_i386=no

if [ "$runs_i386" = yes ]; then
    part "32-bit Wine smoke test (win32)"
    ctest --preset win32
else
    part "NOT RUN: the win32 smoke test and the win32-sim comparisons (this machine's kernel does not run 32-bit x86 programs)"
fi

# The two sets of comparisons run side by side: each run waits on the programs' clocks, at real
# speed, with the processor mostly idle, and each set has a display, a Wine prefix and a
# wineserver of its own. The win32-sim set's report follows the win64-sim one.
part "the win64-sim program under Wine and the win32-sim one under 32-bit Wine, compared with zxsim run"
win32_sim_log="build/win32-sim/compare.log"
win32_sim_status=0
if [ "$runs_i386" = yes ]; then
    ctest --preset win32-sim -L windows >"$win32_sim_log" 2>&1 &
    win32_sim_pid=$!
fi
win64_sim_status=0
ctest --preset win64-sim -L windows || win64_sim_status=$?
if [ "$runs_i386" = yes ]; then
    wait "$win32_sim_pid" || win32_sim_status=$?
    echo "-- win32-sim ($win32_sim_log)"
    cat "$win32_sim_log"
fi
[ "$win64_sim_status" = 0 ] || { echo "ci-windows: the win64-sim comparisons failed" >&2; exit 1; }
[ "$win32_sim_status" = 0 ] || { echo "ci-windows: the win32-sim comparisons failed" >&2; exit 1; }

echo "== Windows builds and Wine tests passed in $((SECONDS - start)) s"
