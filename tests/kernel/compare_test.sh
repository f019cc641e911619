#!/usr/bin/env bash
# zx-nvme-compare on small literal logs: what it accepts and the first difference it names.
#   tests/kernel/compare_test.sh COMPARE
set -uo pipefail
compare="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
# A command line of the given fields (opcode, cdw10, dir, len, data, status) on the drive side;
# the backend's lines add ctrl and origin.
cmd() {
    printf '"opcode":%s,"nsid":4294967295,"cdw10":%s,"cdw11":0,"cdw12":0,"cdw13":0,"cdw14":0,"cdw15":0,"dir":"%s","len":%s,"data":"%s","status":%s' "$@"
}
unlock=$(cmd 252 0 none 0 "" 0)
read4=$(cmd 254 1 from_device 4 a1b2c3d4 0)
write4=$(cmd 253 1 to_device 4 01020304 0)
# expect NAME EXIT TEXT: the run with the files as they are exits EXIT and prints TEXT.
expect() {
    out=$("$compare" --sim "$work/sim" --drive D1 --backend "$work/backend" --ctrl nvme1 \
        --target "$work/target" --foreign nvme0)
    code=$?
    if [ "$code" != "$2" ] || ! grep -qxF -- "$3" <<<"$out"; then
        echo "FAIL $1: exit $code, printed:"; echo "$out"; failed=1
    fi
}
setup() {
    printf '{"drive":"D1",%s}\n{"drive":"D2",%s}\n{"drive":"D1",%s}\n{"drive":"D1",%s}\n' \
        "$unlock" "$write4" "$read4" "$write4" >"$work/sim"
    printf '{"ctrl":"nvme1","origin":"program",%s}\n{"ctrl":"nvme1","origin":"platform",%s}\n{"ctrl":"nvme1","origin":"program",%s}\n{"ctrl":"nvme1","origin":"program",%s}\n{"ctrl":"nvme0","origin":"program",%s}\n' \
        "$unlock" "$(cmd 2 67043333 from_device 4 00000000 0)" "$read4" "$write4" \
        "$(cmd 6 1 from_device 4 00000000 0)" >"$work/backend"
    printf '{%s}\n{%s}\n{%s}\n{%s}\n{%s}\n{%s}\n' "$(cmd 24 0 none 0 "" 0)" "$unlock" \
        "$(cmd 2 67043333 from_device 4 00000000 0)" "$read4" "$(cmd 6 1 from_device 4 00000000 0)" \
        "$write4" >"$work/target"
}
setup
expect same 0 "the drive received all 4 commands the backend sent, in order, and 2 of the kernel's own"
setup
sed -i '3s/a1b2c3d4/a1b2c3d5/' "$work/sim"
expect data 1 "DIFFERENT: command 2 (opcode 0xFE nsid 0xFFFFFFFF cdw10 0x1 cdw11 0x0 cdw12 0x0 cdw13 0x0 cdw14 0x0 cdw15 0x0 from_device 4 bytes, status 0x0): data byte 3: d5 against d4"
setup
sed -i '4d' "$work/backend"
expect missing 1 "DIFFERENT: command 3 on the simulated PC (opcode 0xFD nsid 0xFFFFFFFF cdw10 0x1 cdw11 0x0 cdw12 0x0 cdw13 0x0 cdw14 0x0 cdw15 0x0 to_device 4 bytes, status 0x0) has none through the kernel"
setup
sed -i '6s/01020304/01020305/' "$work/target"
expect carried 1 "DIFFERENT: the drive received opcode 0xFD nsid 0xFFFFFFFF cdw10 0x1 cdw11 0x0 cdw12 0x0 cdw13 0x0 cdw14 0x0 cdw15 0x0 to_device 4 bytes, status 0x0, which the backend did not send"
setup
printf '{"ctrl":"nvme0","origin":"program",%s}\n' "$write4" >>"$work/backend"
expect foreign 1 "DIFFERENT: the foreign controller nvme0 got opcode 0xFD nsid 0xFFFFFFFF cdw10 0x1 cdw11 0x0 cdw12 0x0 cdw13 0x0 cdw14 0x0 cdw15 0x0 to_device 4 bytes, status 0x0"
exit $failed
