#!/usr/bin/env bash
# Runs a conformance program and compares its output, line by line, with the answers recorded
# from Windows, naming the first line that differs.
#
#   compare.sh [--wine] [--deviations FILE] [--record] EXPECTED -- PROGRAM [ARGUMENT...]
#
# --wine          PROGRAM is a Windows program: run it under Wine (64-bit prefix in
#                 .cache/wine-x86_64 of the source tree, or $ZX_WINEPREFIX; made when missing).
# --deviations F  before comparing, replace each line that F lists after "wine: " by the line
#                 after the "windows: " that follows it: the places where Wine's answer and the
#                 Windows documentation disagree (F says why, in its comments).
# --record        write the (replaced) output to EXPECTED instead of comparing.
set -euo pipefail

root="$(cd "$(dirname "$0")/../.." && pwd)"
wine=0
record=0
deviations=""
while [ "$#" -gt 0 ]; do
    case "$1" in
        --wine) wine=1 ;;
        --record) record=1 ;;
        --deviations) deviations="$2"; shift ;;
        --) shift; break ;;
        *) break ;;
    esac
    shift
done
if [ "$#" -lt 3 ] || [ "$2" != "--" ]; then
    echo "usage: $0 [--wine] [--deviations FILE] [--record] EXPECTED -- PROGRAM [ARGUMENT...]" >&2
    exit 2
fi
expected="$1"
shift 2

fail() {
    echo "compare: FAIL: $*" >&2
    exit 1
}

work="$(mktemp -d "${TMPDIR:-/tmp}/zxconformance.XXXXXX")"
trap 'rm -rf "$work"' EXIT
got="$work/got.txt"

if [ "$wine" = 1 ]; then
    command -v wine >/dev/null || fail "wine is missing (scripts/setup.sh --windows)"
    export WINEPREFIX="${ZX_WINEPREFIX:-$root/.cache/wine-x86_64}"
    export WINEARCH=win64
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree=;mshtml="
    unset DISPLAY WAYLAND_DISPLAY # console programs: no window is ever opened
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "compare: creating the Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        wine wineboot --init >"$work/wineboot.log" 2>&1 ||
            fail "wineboot failed: $(tail -n 5 "$work/wineboot.log")"
        wineserver -w
    fi
    wine "$@" >"$got" 2>"$work/stderr.txt" || fail "$* under Wine failed: $(head -c 2000 "$work/stderr.txt")"
else
    "$@" >"$got" 2>"$work/stderr.txt" || fail "$* failed: $(head -c 2000 "$work/stderr.txt")"
fi

if [ -n "$deviations" ]; then
    awk -v deviations="$deviations" '
        BEGIN {
            while ((getline line < deviations) > 0) {
                if (substr(line, 1, 6) == "wine: ") {
                    wineLine = substr(line, 7)
                } else if (substr(line, 1, 10) == "recorded: ") {
                    answer[wineLine] = substr(line, 11)
                    listed[wineLine] = 1
                }
            }
        }
        ($0 in answer) { seen[$0] = 1; print answer[$0]; next }
        { print }
        END {
            for (l in listed) {
                if (!(l in seen)) {
                    print "compare: note: Wine no longer gives this listed line: " l > "/dev/stderr"
                }
            }
        }
    ' "$got" >"$work/replaced.txt"
    mv "$work/replaced.txt" "$got"
fi

if [ "$record" = 1 ]; then
    cp "$got" "$expected"
    echo "compare: recorded $(wc -l <"$got") lines into $expected"
    exit 0
fi

[ -f "$expected" ] || fail "no recorded answers at $expected"
awk '
    NR == FNR { want[FNR] = $0; wantCount = FNR; next }
    {
        gotCount = FNR
        if (FNR > wantCount) {
            print "line " FNR ": not expected (the recorded answers end at line " wantCount ")"
            print "  got:      " $0
            failed = 1
            exit 1
        }
        if ($0 != want[FNR]) {
            print "first difference at line " FNR ":"
            print "  expected: " want[FNR]
            print "  got:      " $0
            failed = 1
            exit 1
        }
    }
    END {
        if (!failed && gotCount < wantCount) {
            print "line " gotCount + 1 ": missing (the program stopped after " gotCount " lines)"
            print "  expected: " want[gotCount + 1]
            exit 1
        }
    }
' "$expected" "$got" || fail "$(basename "$1") differs from $expected"
echo "compare: $(wc -l <"$got") lines as recorded in $(basename "$expected")"
