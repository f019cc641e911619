#!/usr/bin/env bash
# Checks what the kernel test's phases left in OUT: each phase's outcome in the program, the
# revisions sysfs shows before and after, the message boxes against the simulated PC's run of the
# same phase, and the NVMe command sequences (zx-nvme-compare).
#   tests/kernel/check_kernel_test.sh OUT COMPARE PHASE...
set -uo pipefail
out="$1"
compare="$2"
shift 2
failed=0
bad() {
    echo "FAIL $phase: $*"
    failed=1
}
# expect_line FILE TEXT: FILE has the line TEXT.
expect_line() {
    grep -qxF -- "$2" "$out/$1" || bad "$1 lacks the line: $2"
}
# The outcomes: active (the package's closing message, the status line naming the new revision),
# failed before the commit (the piece refused, the old firmware), and not back (committed, the
# drive not answering).
ok_box='message box 2: caption "FW update tool", text "Update FW OK !\r\nShutdown System Now ?", icon information, buttons OK,Cancel, answer Cancel'
ok_status='status: "Update finished: ZELTARIX ZX5016 1TB runs firmware 041k020C."'
fail_box='message box 2: caption "FW update tool", text "Update FW Fail !\r\n\r\nThe drive did not take the firmware download (the piece at byte 8192 of 2527232). The drive still runs its old firmware 041k0207.", icon warning, buttons OK, answer OK'
gone_box='message box 2: caption "FW update tool", text "The new firmware 041k020C was committed to ZELTARIX ZX5016 1TB, but the drive did not come back after its reset. Do not write to it: unplug its enclosure and plug it in again, or shut the PC down and start it again, then run this program again to check the drive.", icon warning, buttons OK, answer OK'
for phase in "$@"; do
    for f in ctrl exit before after run backend.log target.log sim.log sim.run; do
        [ -f "$out/$phase.$f" ] || bad "no $phase.$f"
    done
    [ $failed = 0 ] || continue
    ctrl=$(cat "$out/$phase.ctrl")
    # zxsim run ends a failed update with status 1: the piece refused, the drive not back.
    case $phase in
    update) expect_line "$phase.exit" 0 ;;
    refused | gone) expect_line "$phase.exit" 1 ;;
    esac
    expect_line "$phase.before" "nvme0 7.2.22  "
    expect_line "$phase.before" "$ctrl 041k0207"
    expect_line "$phase.after" "nvme0 7.2.22  "
    case $phase in
    update)
        # The list holds the ZELTARIX drive, not QEMU's.
        expect_line "$phase.run" 'list: enabled, 1 entries, selection 0'
        expect_line "$phase.run" 'entry 0: "ZELTARIX ZX5016 1TB (RAW)", data 1'
        expect_line "$phase.run" 'firmware: "041k020C"'
        expect_line "$phase.run" "$ok_box"
        expect_line "$phase.run" "$ok_status"
        expect_line "$phase.after" "$ctrl 041k020C live"
        ;;
    refused)
        expect_line "$phase.run" "$fail_box"
        expect_line "$phase.after" "$ctrl 041k0207 live"
        ;;
    gone)
        expect_line "$phase.run" "$gone_box"
        grep -q "^$ctrl .* live$" "$out/$phase.after" && bad "the controller came back"
        ;;
    esac
    # The same message boxes as on the simulated PC.
    if ! diff <(grep '^message box' "$out/$phase.sim.run") <(grep '^message box' "$out/$phase.run") \
        >"$out/$phase.boxes.diff"; then
        bad "the message boxes differ from the simulated PC's: $(head -5 "$out/$phase.boxes.diff")"
    fi
    echo "== $phase: $(cat "$out/$phase.time" 2>/dev/null)"
    "$compare" --sim "$out/$phase.sim.log" --drive ZX5016A0000000000001 \
        --backend "$out/$phase.backend.log" --ctrl "$ctrl" --target "$out/$phase.target.log" \
        --foreign nvme0 || bad "the command sequences differ"
done
[ $failed = 0 ] && echo "all $# kernel phases as expected"
exit $failed
