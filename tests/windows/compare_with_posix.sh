#!/usr/bin/env bash
# Runs the same script on the simulated PC twice, through `zxsim run` on Linux and through the
# win64-sim zxflash.exe under Wine (the real dialog, worked by the script driver), and compares
# the two: the printed screens and message boxes line by line, and the request traces thread by
# thread, line by line and field by field, leaving out "tid" and "seq" (thread numbering and the
# order across threads) and the DataBuffer pointer inside "in" of the pass-through requests (an
# address of the running process). The first
# difference fails the test and is named.
#
#   compare_with_posix.sh EXE ZXSIM OUTDIR SCRIPT_WORDS...
#
# e.g. compare_with_posix.sh zxflash.exe zxsim out --select 1 --answer yes --answer cancel
# ZXSIM_OPTIONS adds options for zxsim run alone (--package ZIP for the package that the
# program given carries). COMPARE_SCENARIO names a scenario file for both runs (else the
# embedded default scenario).
# Under Wine the clock runs at real speed, and so does zxsim run here (--speed 1): how many
# rescans the device-change timer makes around a disk's reset depends on the clock's speed. The outputs,
# traces and the wall time of both runs are left in OUTDIR, and in OUTDIR/shots the screenshots
# the program asked for: each message box before its answer, the dialog mid-update.
set -euo pipefail

if [ "$#" -lt 3 ]; then
    echo "usage: $0 EXE ZXSIM OUTDIR SCRIPT_WORDS..." >&2
    exit 2
fi
exe="$(realpath "$1")"
zxsim="$(realpath "$2")"
outdir="$(mkdir -p "$3" && realpath "$3")"
shift 3
words=("$@")

fail() {
    echo "compare: FAIL: $*" >&2
    exit 1
}
# shellcheck source=../../scripts/wine-session.sh
. "$(dirname "$0")/../../scripts/wine-session.sh"
trap wine_session_stop EXIT
command -v jq >/dev/null || fail "jq is missing (scripts/setup.sh --windows)"
[ -x "$zxsim" ] || fail "no zxsim at $zxsim (build the dev preset first)"
[ -f "$exe" ] || fail "no program at $exe"
wine_session_start "$exe" import

scenario_options=()
wine_scenario=""
if [ -n "${COMPARE_SCENARIO:-}" ]; then
    [ -f "$COMPARE_SCENARIO" ] || fail "no scenario at $COMPARE_SCENARIO"
    scenario_options=(--scenario "$COMPARE_SCENARIO")
    wine_scenario="$(winepath -w "$COMPARE_SCENARIO")"
fi

rm -f "$outdir"/posix.txt "$outdir"/wine.txt "$outdir"/posix.jsonl "$outdir"/wine.jsonl

now_ms() { date +%s%3N; }

start="$(now_ms)"
set +e
# shellcheck disable=SC2086 # the options are words
"$zxsim" run --speed 1 ${ZXSIM_OPTIONS:-} "${scenario_options[@]}" "${words[@]}" --trace "$outdir/posix.jsonl" >"$outdir/posix.txt" 2>"$outdir/posix.err"
posix_status=$?
set -e
posix_ms=$(($(now_ms) - start))

# The screenshots the driver asks for (NAME.request) are taken of the whole X display while the
# program waits for NAME.png.
shots="$outdir/shots"
rm -rf "$shots"
mkdir -p "$shots"
take_requested_shots() {
    local request name
    for request in "$shots"/*.request; do
        [ -e "$request" ] || continue
        name="${request%.request}"
        import -window root "$name.part.png" 2>>"$outdir/shots.log" || true
        rm -f "$request"
        mv -f "$name.part.png" "$name.png" 2>/dev/null || touch "$name.png"
    done
}

start="$(now_ms)"
ZX_SIM_SCENARIO="$wine_scenario" ZX_SIM_SCRIPT="${words[*]}" ZX_SIM_OUTPUT="$(winepath -w "$outdir/wine.txt")" \
    ZX_SIM_TRACE="$(winepath -w "$outdir/wine.jsonl")" ZX_SIM_SHOTS="$(winepath -w "$shots")" \
    timeout 600 "${wine_session_wine[@]}" "$exe" >"$outdir/wine.log" 2>&1 &
wine_pid=$!
while kill -0 "$wine_pid" 2>/dev/null; do
    take_requested_shots
    sleep 0.05
done
set +e
wait "$wine_pid"
wine_status=$?
set -e
wine_ms=$(($(now_ms) - start))
echo "compare: ${words[*]}: zxsim run ${posix_ms} ms, Wine ${wine_ms} ms" | tee "$outdir/time.txt"

[ -s "$outdir/posix.txt" ] || fail "zxsim run printed nothing (exit $posix_status, $outdir/posix.err)"
[ -s "$outdir/wine.txt" ] || fail "the Windows program printed nothing (exit $wine_status, $outdir/wine.log)"

# The first line where two files differ, "(end)" past the end of the shorter one.
first_difference() {
    awk -v what="$3" '
        FILENAME == ARGV[1] { a[++na] = $0; next }
        { b[++nb] = $0 }
        END {
            n = na > nb ? na : nb
            for (i = 1; i <= n; i++) {
                if (i > na || i > nb || a[i] != b[i]) {
                    printf "%s differ at line %d\n  posix: %s\n  wine:  %s\n", what, i,
                           i <= na ? a[i] : "(end)", i <= nb ? b[i] : "(end)"
                    exit 1
                }
            }
        }' "$1" "$2"
}

first_difference "$outdir/posix.txt" "$outdir/wine.txt" "the outputs" || fail "see above"
[ "$posix_status" = "$wine_status" ] ||
    fail "exit status: zxsim run $posix_status, the Windows program $wine_status"

# The i686 program's pass-through requests moved into the x86_64 layouts that zxsim run's are in,
# so that both compare byte for byte (the other requests' structures are the same on both).
# SCSI_PASS_THROUGH_DIRECT is 44 bytes on i686 and 56 on x86_64, the request around it (the
# structure, a filler dword, 64 sense bytes) 112 and 128; ATA_PASS_THROUGH_DIRECT is 40 and 48.
# Both begin with the same 20 bytes; on x86_64 the pointer DataBuffer sits at 24 and is 8 bytes
# long (the i686 one, at 20, is 4 bytes: widened with zeros), and what follows it moves by 8: for
# SCSI SenseInfoOffset and Cdb, then 4 bytes that pad the structure to a multiple of 8, the filler
# and the sense bytes, then 4 more; for ATA the two task files. Length, SenseInfoOffset and the
# buffer lengths change only from the i686 values (44 or 40; 48; 112 or 40) to the x86_64 ones
# (56 or 48; 60; 128 or 48): any other value, or a request of another size, is marked as not the
# i686 one, a difference.
i686_as_x86_64='
    def moved($i686; $x86_64): if . == $i686 then $x86_64 else "not the i686 value \(.)" end;
    def head($i; $length32; $length64):
        ($i[0:4] | moved($length32; $length64)) + $i[4:40] + "00000000" + $i[40:48] + "00000000";
    if .ioctl == "IOCTL_SCSI_PASS_THROUGH_DIRECT" and (.in | type) == "string"
       and (.in | length) == 224 then
        .in = (.in as $i | head($i; "2c00"; "3800") + ($i[48:56] | moved("30000000"; "3c000000"))
               + $i[56:88] + "00000000" + $i[88:224] + "00000000")
        | .in_len |= moved(112; 128) | .out_len |= moved(112; 128)
        | .length |= moved(44; 56) | .sense_off |= moved(48; 60)
    elif .ioctl == "IOCTL_ATA_PASS_THROUGH_DIRECT" and (.in | type) == "string"
         and (.in | length) == 80 then
        .in = (.in as $i | head($i; "2800"; "3000") + $i[48:80])
        | .in_len |= moved(40; 48) | .out_len |= moved(40; 48) | .length |= moved(40; 48)
    elif .ioctl == "IOCTL_SCSI_PASS_THROUGH_DIRECT" or .ioctl == "IOCTL_ATA_PASS_THROUGH_DIRECT" then
        .in = "not an i686 request: \(.in)"
    else . end'

# The requests of each thread in their order, thread after thread (threads numbered as they
# first reached the simulated PC): how the worker's requests interleave with a rescan on the
# dialog's thread depends on timing, which differs between the two clocks. Each record without
# the fields that name threads, the global sequence or addresses of the process (x86_64 layouts:
# the DataBuffer pointer at bytes 24 to 31). The second argument, a jq filter, first brings each
# record into the x86_64 layouts.
normalise() {
    jq -s -c "map($2)"' | map(if (.ioctl == "IOCTL_SCSI_PASS_THROUGH_DIRECT" or .ioctl == "IOCTL_ATA_PASS_THROUGH_DIRECT")
                     and (.in | type) == "string" and (.in | length) >= 64
                  then .in = .in[0:48] + "<DataBuffer>" + .in[64:] else . end)
        | group_by(.tid) | .[] | .[] | del(.tid, .seq, .handle)' "$1"
}
wine_layout=.
if [ "$wine_session_arch" = win32 ]; then wine_layout="$i686_as_x86_64"; fi
normalise "$outdir/posix.jsonl" . >"$outdir/posix.normalised.jsonl" || fail "posix.jsonl is not JSON Lines"
normalise "$outdir/wine.jsonl" "$wine_layout" >"$outdir/wine.normalised.jsonl" ||
    fail "wine.jsonl is not JSON Lines"
[ -s "$outdir/posix.normalised.jsonl" ] || fail "the zxsim run trace is empty"
if ! first_difference "$outdir/posix.normalised.jsonl" "$outdir/wine.normalised.jsonl" \
        "the traces" >"$outdir/trace-difference.txt"; then
    cat "$outdir/trace-difference.txt" >&2
    line="$(sed -n 's/^the traces differ at line \([0-9]*\)$/\1/p' "$outdir/trace-difference.txt")"
    a="$(sed -n "${line}p" "$outdir/posix.normalised.jsonl")"
    b="$(sed -n "${line}p" "$outdir/wine.normalised.jsonl")"
    if [ -n "$a" ] && [ -n "$b" ]; then
        jq -rn --argjson a "$a" --argjson b "$b" '
            [($a | keys_unsorted) + ($b | keys_unsorted) | unique[] | select($a[.] != $b[.])]
            | if length == 0 then "  the same fields in another order"
              else "  fields: " + join(", ") end' >&2
    fi
    fail "the request traces differ"
fi
# Every screenshot the driver asked for was taken: a PNG file, not the empty stand-in left when
# the capture failed.
shot_count=0
for png in "$shots"/*.png; do
    [ -e "$png" ] || continue
    shot_count=$((shot_count + 1))
    [ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
        fail "the screenshot $png was not taken (see $outdir/shots.log)"
done
[ "$shot_count" -gt 0 ] || fail "the Windows program asked for no screenshot"
echo "compare: PASS: ${words[*]}: $(wc -l <"$outdir/wine.txt") output lines and" \
     "$(wc -l <"$outdir/wine.jsonl") requests the same, $shot_count screenshots"
