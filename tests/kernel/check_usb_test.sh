#!/usr/bin/env bash
# Checks what the USB kernel test's phases left in OUT: each phase's list and outcome in the
# program, the message boxes against the simulated PC's run of the same phase, the SCSI request
# sequences (zx-scsi-compare), the Realtek drive's new firmware once it was plugged in again, and
# the kernel's refusal under the NO_ATA_1X quirk said as such.
#   tests/kernel/check_usb_test.sh OUT COMPARE PHASE...
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
# no_line FILE PATTERN: FILE has no line matching PATTERN.
no_line() {
    ! grep -q -- "$2" "$out/$1" || bad "$1 has a line $2: $(grep -m1 -- "$2" "$out/$1")"
}
ok_box='message box 2: caption "FW update tool", text "Update FW OK !\r\nShutdown System Now ?", icon information, buttons OK,Cancel, answer Cancel'
sata_box='message box 2: caption "SATA FW update tool", text "Update FW OK !\r\nShutdown System Now ?", icon information, buttons OK,Cancel, answer Cancel'
pending_box='message box 2: caption "FW update tool", text "The new firmware 041k020C is installed on ZELTARIX ZX5016 1TB and starts after its enclosure is unplugged and plugged in again. Until then the drive runs 041k0207.", icon information, buttons OK, answer OK'
blocked='notice: the kernel blocks ATA PASS-THROUGH commands (A1h, 85h) to the USB device 152d:0583'
[ -f "$out/foreign" ] || { echo "FAIL: no list of QEMU's disks"; exit 1; }
foreign=$(cat "$out/foreign")
for phase in "$@"; do
    missing=0
    for f in exit run backend.log device.log sim.run; do
        [ -f "$out/$phase.$f" ] || { bad "no $phase.$f"; missing=1; }
    done
    [ $missing = 0 ] || continue
    expect_line "$phase.exit" 0
    serial=
    case $phase in
    asmedia)
        serial=ZX5016D0000000000004
        expect_line "$phase.run" 'entry 0: "ZELTARIX ZX5016 1TB (RAW)", data 0'
        expect_line "$phase.run" 'interface: "ASMedia Bridge NVME to USB-3"'
        expect_line "$phase.run" "$ok_box"
        expect_line "$phase.run" 'status: "Update finished: ZELTARIX ZX5016 1TB runs firmware 041k020C."'
        ;;
    jmicron)
        serial=ZX5012E0000000000005
        expect_line "$phase.run" 'entry 0: "ZELTARIX ZX5012 512GB (RAW)", data 0'
        expect_line "$phase.run" "$ok_box"
        expect_line "$phase.run" 'status: "Update finished: ZELTARIX ZX5012 512GB runs firmware 041k020D."'
        ;;
    realtek)
        serial=ZX5016F0000000000006
        expect_line "$phase.run" 'entry 0: "ZELTARIX ZX5016 1TB (RAW)", data 0'
        expect_line "$phase.run" "$pending_box"
        expect_line "$phase.run" 'status: "Firmware 041k020C installed; it starts after its enclosure is unplugged and plugged in again."'
        # Plugged in again, the drive runs the new firmware.
        expect_line "$phase.after.run" 'firmware: "041k020C"'
        ;;
    sata)
        serial=ZX3000H0000000000010
        # QEMU's AHCI disk answered IDENTIFY DEVICE through the ATA pass-through (libata's SAT):
        # GOOD, and the registers the backend gives back: status 50h (DRDY, DSC), no error.
        ahci=$(awk '/^foreign sd[a-z]*: ATA /{sub(":", "", $2); print $2; exit}' "$out/init.log")
        grep '"ioctl":"ata"' "$out/$phase.backend.log" | grep -F "\"dev\":\"$ahci\"" |
            grep -F '"cdb":"85080e0000000100000000000040ec00"' | grep -F '"status":0,' |
            grep -qF '"tf":"00000000000000000000000000005000"' ||
            bad "QEMU's AHCI disk ($ahci) did not answer IDENTIFY DEVICE through the ATA pass-through"
        expect_line "$phase.run" 'entry 0: "ZELTARIX ZX3000 SATA 960GB (RAW)", data 1'
        expect_line "$phase.run" "$sata_box"
        expect_line "$phase.run" 'status: "Update finished: ZELTARIX ZX3000 SATA 960GB runs firmware 051s0108."'
        ;;
    quirk)
        # The kernel keeps the JMicron tunnel from the bridge: the disk is not listed, no
        # message box speaks of a drive failure, and the notice says why.
        expect_line "$phase.run" 'list: enabled, 0 entries, selection none'
        no_line "$phase.run" '^message box'
        grep -q -F -- "$blocked" "$out/$phase.run" || bad "$phase.run lacks the notice: $blocked"
        ;;
    esac
    # Every list holds the enclosure alone: QEMU's disks are no ZELTARIX drives.
    no_line "$phase.run" '^entry 1:'
    if [ "$phase" = quirk ]; then
        "$compare" --disk ZX5012E0000000000005 --backend "$out/$phase.backend.log" \
            --device "$out/$phase.device.log" --blocked --foreign "$foreign" ||
            bad "the kernel's refusal is not as expected"
        continue
    fi
    # The same message boxes as on the simulated PC.
    if ! diff <(grep '^message box' "$out/$phase.sim.run") <(grep '^message box' "$out/$phase.run") \
        >"$out/$phase.boxes.diff"; then
        bad "the message boxes differ from the simulated PC's: $(head -5 "$out/$phase.boxes.diff")"
    fi
    echo "== $phase: $(cat "$out/$phase.time" 2>/dev/null)"
    # The Realtek enclosure also met the listing after it was plugged in again.
    later=()
    [ -f "$out/$phase.after.backend.log" ] && later=(--later "$out/$phase.after.backend.log")
    "$compare" --sim "$out/$phase.sim.log" --disk "$serial" --backend "$out/$phase.backend.log" \
        "${later[@]}" --device "$out/$phase.device.log" --foreign "$foreign" ||
        bad "the request sequences differ"
done
[ $failed = 0 ] && echo "all $# USB kernel phases as expected"
exit $failed
