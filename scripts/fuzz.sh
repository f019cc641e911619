#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer)
# and runs every fuzz target for a bounded time on a small seed corpus made at run time.
#   scripts/fuzz.sh [seconds per target]     (default 20; or ZX_FUZZ_SECONDS)
# ZX_FUZZ_TARGETS="fuzz_identify ..." runs only the targets named.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-${ZX_FUZZ_SECONDS:-20}}"
targets=(${ZX_FUZZ_TARGETS:-fuzz_package_config fuzz_image fuzz_zip fuzz_scenario fuzz_check
    fuzz_vsc_blocks fuzz_identify})

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]}" zxpkg -- -j2
bin=build/fuzz
zxpkg="$bin/tools/zxpkg/zxpkg"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# The harnesses write only under TMPDIR: their sandboxes go into the work folder.
export TMPDIR="$work/tmp"
mkdir -p "$TMPDIR"

# Seeds: configuration files, small images of both checksum kinds, and archives (one made by
# zxpkg, one with names that try to leave the folder and a symbolic link).
mkdir -p "$work/seeds/config" "$work/seeds/image" "$work/seeds/zip" "$work/pkg"
cp resources/demo-package/ReflashInfo.ini "$work/seeds/config/demo.ini"
printf '[UPDATEINFO]\r\nTITLE=46 00 57 00\r\nBeforeMessage=a<BR>b<BR>c\r\nPowerCtrl=257\r\n' \
    > "$work/seeds/config/small.ini"
"$zxpkg" image -o "$work/seeds/image/crc32.fw" --regions 1-1,2-2,3-3 --seed 3
"$zxpkg" image -o "$work/seeds/image/crc32c.fw" --regions 1-1,2-2,3-3 --checksum crc32c \
    --version-parts 1,2,3,4 --seed 4
printf 'xxxx 1.2.3.4 yyyy' > "$work/seeds/image/dotted.bin"
cp resources/demo-package/ReflashInfo.ini "$work/pkg/"
"$zxpkg" image -o "$work/pkg/a.fw" --regions 1-1,2-2,3-3 --seed 5
"$zxpkg" build "$work/pkg" -o "$work/seeds/zip/package.zip"
command -v python3 >/dev/null && python3 - "$work/seeds/zip/unsafe.zip" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for name in ["ok.txt", "../up.txt", "..\\up2.txt", "/abs.txt", "C:/drive.txt", "sub/a.txt"]:
        z.writestr(name, "data " + name)
    link = zipfile.ZipInfo("link")
    link.create_system = 3
    link.external_attr = 0o120777 << 16
    z.writestr(link, "/etc/passwd")
PY

# Scenario seeds: the default scenario (as zxsim prints it would need the tool; a small one
# of each section type is enough to start from) and values at their limits.
mkdir -p "$work/seeds/scenario"
printf '[controller c]\nkind = nvme\nbus = 3\nlink = 3,4,3,4\n[disk a]\nkind = nvme\ndrive = 1\ncontroller = c\nvendor_id = 0x1E5C\nvsc = 1\nvsc_soc_id = 0x3C71\nvsc_nand_id = 9BC558713000\nfaults = slow:5@1*2,nvme_fail:0x10\n' \
    > "$work/seeds/scenario/nvme.txt"
printf '[disk u]\nkind = usb\ndrive = 2\nusb = 1/2/3\nbridge = asmedia\n[usbhub 1/2]\nusb_vid = 0x05E3\n[disk s]\nkind = sata\ndrive = 3\nvsc = ata\nata_dm_max = 0xFFFF\n' \
    > "$work/seeds/scenario/usb.txt"

# Device answers (tests/fuzz/fuzz_support.h): a control byte, then the bytes of the answer.
# Answers that keep the request's header and fill the data with 'Z' (the first byte of a valid
# Drive information block), one that fails, and answers short of the buffer.
mkdir -p "$work/seeds/device"
command -v python3 >/dev/null && python3 - "$work/seeds/device" <<'PY'
import os, sys
d = sys.argv[1]
for keep in (0, 18, 20, 40):
    answer = bytes([keep * 2]) + b"Z" * 4096
    open(os.path.join(d, "keep%d" % keep), "wb").write(bytes([0]) + answer * 3)
open(os.path.join(d, "fails"), "wb").write(bytes([2, 1, 1, 1]))
open(os.path.join(d, "short"), "wb").write(bytes([0, 0]) + b"\x01\x00\x00\x00" * 8)
PY

declare -A maxlen=([fuzz_package_config]=4096 [fuzz_image]=24576 [fuzz_zip]=16384
    [fuzz_scenario]=4096 [fuzz_check]=16384 [fuzz_vsc_blocks]=16384 [fuzz_identify]=32768)
declare -A seeds=([fuzz_package_config]=config [fuzz_image]=image [fuzz_zip]=zip
    [fuzz_scenario]=scenario [fuzz_check]=zip [fuzz_vsc_blocks]=device [fuzz_identify]=device)
status=0
for t in "${targets[@]}"; do
    echo "== $t (${seconds}s)"
    mkdir -p "$work/corpus/$t"
    if ! "$bin/tests/fuzz/$t" -max_total_time="$seconds" -max_len="${maxlen[$t]}" \
        -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus/$t" \
        "$work/seeds/${seeds[$t]}" 2>"$work/$t.log"; then
        tail -40 "$work/$t.log"
        mkdir -p build/fuzz-artifacts
        cp "$work"/crash-* "$work"/leak-* "$work"/timeout-* build/fuzz-artifacts/ 2>/dev/null || true
        status=1
    else
        grep -E 'stat::number_of_executed_units|Done' "$work/$t.log" | tail -2
    fi
    if [ -n "$(ls -A "$TMPDIR")" ]; then
        echo "$t left files under TMPDIR:"; ls -A "$TMPDIR"
        status=1
    fi
done
exit "$status"
