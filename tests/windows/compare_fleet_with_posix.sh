#!/usr/bin/env bash
# The unattended run twice on the default simulated PC: the POSIX zxflash of the host build and
# the win64-sim zxflash.exe under Wine, each `/silent /report R.json` on a fresh state file.
# Both must end with the same exit code and write the same report, less the times and the step
# durations; the Windows program must create no window (Wine's +win channel names every
# CreateWindowEx, each line led by its process id; the desktop process that Wine starts for the
# program's first user32 call, explorer, traces its own windows into the same log).
#
#   compare_fleet_with_posix.sh EXE ZXSIM OUTDIR
set -euo pipefail

if [ "$#" -ne 3 ]; then
    echo "usage: $0 EXE ZXSIM OUTDIR" >&2
    exit 2
fi
exe="$(realpath "$1")"
zxflash="$(realpath "$(dirname "$2")/../../host/posix/zxflash")"
outdir="$(mkdir -p "$3" && realpath "$3")"

fail() {
    echo "compare-fleet: FAIL: $*" >&2
    exit 1
}
# shellcheck source=../../scripts/wine-session.sh
. "$(dirname "$0")/../../scripts/wine-session.sh"
trap wine_session_stop EXIT
command -v jq >/dev/null || fail "jq is missing (scripts/setup.sh --windows)"
[ -x "$zxflash" ] || fail "no POSIX zxflash at $zxflash (build the dev preset first)"
wine_session_start "$exe"

rm -rf "$outdir/posix" "$outdir/wine"
mkdir -p "$outdir/posix" "$outdir/wine"

set +e
(cd "$outdir/posix" && ZX_SIM_STATE="$outdir/posix/state.json" ZX_SIM_SPEED=100 \
    XDG_STATE_HOME="$outdir/posix" "$zxflash" /silent /report R.json 2>err.txt)
posix_status=$?
(cd "$outdir/wine" && WINEDEBUG=+pid,trace+win ZX_SIM_STATE="$(winepath -w "$outdir/wine/state.json")" \
    ZX_SIM_OUTPUT="$(winepath -w "$outdir/wine/out.txt")" \
    timeout 600 "${wine_session_wine[@]}" "$exe" /silent /report R.json /log run.log \
    >"$outdir/wine/wine.log" 2>&1)
wine_status=$?
set -e

[ "$posix_status" = 204 ] || fail "the POSIX run exited $posix_status, not 204 (3020)"
grep -qx "zxflash: exit code 3020" "$outdir/posix/err.txt" || fail "the POSIX run did not say 3020"
grep -qx "exit code: 3020" "$outdir/wine/out.txt" ||
    fail "the Windows program did not end with 3020 (status $wine_status, $outdir/wine/out.txt)"
[ -s "$outdir/wine/R.json" ] || fail "the Windows program wrote no report ($outdir/wine/wine.log)"
# The program's process traces first: it is the one that starts the desktop process, if any.
program_pid="$(grep -m1 -oE '^[0-9a-f]{4}:[0-9a-f]{4}:trace:' "$outdir/wine/wine.log" | cut -d: -f1)"
[ -n "$program_pid" ] || fail "Wine traced nothing of the program ($outdir/wine/wine.log)"
if grep -q "^$program_pid:[0-9a-f]*:trace:win:WIN_CreateWindowEx" "$outdir/wine/wine.log"; then
    fail "the Windows program created a window: $(grep -m1 "^$program_pid:.*CreateWindowEx" \
        "$outdir/wine/wine.log")"
fi

# The same report, less what differs by nature: the times, the durations and the version text.
normal='del(.started, .ended, .program.version) | .disks[].steps[].ms = 0'
jq -S "$normal" "$outdir/posix/R.json" >"$outdir/posix.normal.json"
jq -S "$normal" "$outdir/wine/R.json" >"$outdir/wine.normal.json"
if ! diff -u "$outdir/posix.normal.json" "$outdir/wine.normal.json" >"$outdir/report.diff"; then
    fail "the reports differ ($outdir/report.diff): $(sed -n 3,12p "$outdir/report.diff")"
fi
echo "compare-fleet: the same exit code (3020) and report on Linux and under Wine"
