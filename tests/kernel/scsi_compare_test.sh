#!/usr/bin/env bash
# zx-scsi-compare on small literal logs: what it accepts and the first difference it names.
#   tests/kernel/scsi_compare_test.sh COMPARE
set -uo pipefail
compare="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
# Request fields: cdb, dir, len, data, status. The simulated PC's lines add the envelope, the
# backend's the device and its origin, the enclosure's nothing.
req() {
    printf '"cdb":"%s","dir":"%s","len":%s,"data":"%s","status":%s,"sense":""' "$@"
}
sim() { printf '{"disk":"S1","timeout":10,"sense_len":24,%s}\n' "$1"; }
backend() { printf '{"dev":"%s","disk":"%s","ioctl":"scsi","origin":"program","timeout":10,"sense_len":24,%s}\n' "${2:-sdc}" "${3:-S1}" "$1"; }
device() { printf '{"disk":"S1",%s}\n' "$1"; }
inquiry=$(req 12000000260000000000000000000000 in 4 00800602 0)
identify=$(req e6060001000000000000000000000000 in 4 5c1e5c1e 0)
command=$(req ea5a8000020000000000000000400000 out 4 11000000 0)
power=$(req ea5a0100000000000000000000000000 none 0 "" 0)
tur=$(req 000000000000 none 0 "" 0)
# expect NAME EXIT TEXT [OPTION...]: the run with the files as they are exits EXIT and prints TEXT.
expect() {
    local name=$1 code=$2 text=$3
    shift 3
    out=$("$compare" --sim "$work/sim" --disk S1 --backend "$work/backend" --device "$work/device" "$@")
    got=$?
    if [ "$got" != "$code" ] || ! grep -qxF -- "$text" <<<"$out"; then
        echo "FAIL $name: exit $got, printed:"
        echo "$out"
        failed=1
    fi
}
# Two listings (INQUIRY, Identify), the update's command, the power request; the kernel's TEST
# UNIT READY before them on the cable.
setup() {
    for w in sim backend; do
        for r in "$inquiry" "$identify" "$inquiry" "$identify" "$command" "$power"; do "$w" "$r"; done >"$work/$w"
    done
    { device "$tur"; for r in "$inquiry" "$identify" "$inquiry" "$identify" "$command" "$power"; do device "$r"; done; } >"$work/device"
}
setup
expect same 0 "the program sent the same 6 requests on the simulated PC and through the kernel, with 0 rescans of the disk only there and 0 only here"
setup
expect cable 0 "the enclosure received all 6 requests the backend sent, in order, and 1 of the kernel's own; the kernel refused 0 by itself"
setup
sed -i '5s/11000000/11000001/' "$work/backend"
expect data 1 "DIFFERENT: request 5 on the simulated PC, 5 through the kernel (CDB ea5a8000020000000000000000400000 out 4 bytes, status 0): data byte 3: 00 against 01"
setup
sed -i '6s/"timeout":10/"timeout":60/' "$work/backend"
expect timeout 1 "DIFFERENT: request 6 on the simulated PC, 6 through the kernel (CDB ea5a0100000000000000000000000000 none 0 bytes, status 0): timeout 10 against 60"
# A whole listing more through the kernel (the disk announced later) passes, and is counted.
setup
{ backend "$inquiry"; backend "$identify"; } >>"$work/backend"
{ device "$inquiry"; device "$identify"; } >>"$work/device"
expect rescan 0 "the program sent the same 6 requests on the simulated PC and through the kernel, with 0 rescans of the disk only there and 1 only here"
# Half a listing does not.
setup
backend "$inquiry" >>"$work/backend"
device "$inquiry" >>"$work/device"
expect half 1 "DIFFERENT: request 7 on the simulated PC, 7 through the kernel (CDB 12000000260000000000000000000000 in 4 bytes, status 0): none on the simulated PC"
setup
sed -i '5d' "$work/device"
expect lost 1 "DIFFERENT: the enclosure received CDB ea5a8000020000000000000000400000 out 4 bytes, status 0, which the backend did not send (next sent: CDB e6060001000000000000000000000000 in 4 bytes, status 0)"
setup
sed -i '7d' "$work/device"
expect unsent 1 "DIFFERENT: request 6 the backend sent (CDB ea5a0100000000000000000000000000 none 0 bytes, status 0) did not reach the enclosure as sent"
# The kernel refused the JMicron tunnel's CDB by itself: it never reached the enclosure.
setup
jmi=$(req a1800000020000000000000000000000 out 4 4e564d45 2)
{ backend "$inquiry"; backend "$jmi"; echo '{"dev":"sdc","blocked":"NO_ATA_1X"}'; } >"$work/backend"
{ device "$tur"; device "$inquiry"; } >"$work/device"
rm "$work/sim"
expect_blocked() {
    out=$("$compare" --disk S1 --backend "$work/backend" --device "$work/device" "$@")
    echo "$out"
}
out=$(expect_blocked --blocked)
grep -qxF "the enclosure received all 1 requests the backend sent, in order, and 1 of the kernel's own; the kernel refused 1 by itself" <<<"$out" ||
    { echo "FAIL blocked: $out"; failed=1; }
{ backend "$inquiry"; } >"$work/backend"
out=$(expect_blocked --blocked)
grep -qxF "DIFFERENT: the kernel refused none of the program's requests by itself" <<<"$out" ||
    { echo "FAIL not blocked: $out"; failed=1; }
# A foreign disk got a vendor write tunnelled as ATA PASS-THROUGH (12) with PIO data-out.
{ backend "$inquiry"; backend "$(req a10a06010800000040c20000 out 4 00000000 0)" sda Q1; } >"$work/backend"
out=$(expect_blocked --foreign sda,sdb)
grep -qxF "DIFFERENT: the foreign disk sda got CDB a10a06010800000040c20000 out 4 bytes, status 0" <<<"$out" ||
    { echo "FAIL foreign: $out"; failed=1; }
{ backend "$inquiry"; backend "$inquiry" sda Q1; } >"$work/backend"
out=$(expect_blocked --foreign sda,sdb)
grep -qxF "the foreign disks sda,sdb got no write (1 requests)" <<<"$out" ||
    { echo "FAIL foreign read: $out"; failed=1; }
[ $failed = 0 ] && echo "zx-scsi-compare: all cases as expected"
exit $failed
