#!/usr/bin/env bash
# The USB kernel test: boots Debian's kernel under QEMU (TCG) with a busybox initramfs, attaches
# the ASMedia, JMicron and Realtek NVMe enclosures and the USB-SATA enclosure of the default
# scenario one at a time to the kernel's vhci-hcd as USB mass-storage devices
# (zx-usbip-device), and updates each with the program on the Linux backend through the kernel's
# usb-storage, sd and sg drivers, beside QEMU's AHCI and usb-storage disks; then the JMicron one
# again under usb-storage's NO_ATA_1X quirk. Each phase is compared with the same run on the
# simulated PC. Fails (never skips) when QEMU, busybox or the kernel cannot be had.
#   tests/kernel/run_usb_test.sh BUILD_DIR [PHASE...]
#   (phases: asmedia jmicron realtek sata quirk)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "$1" && pwd)"
shift
phases=("$@")
[ ${#phases[@]} -gt 0 ] || phases=(asmedia jmicron realtek sata quirk)

. "$here/vm_lib.sh"
fail() { kernel_test_fail "$@"; }
kernel_test_tools
zxsim="$build/tools/zxsim/zxsim"
device="$build/tests/kernel/zx-usbip-device"
compare="$build/tests/kernel/zx-scsi-compare"
sata="$build/resources/sata-demo-package/sata-demo-package.zip"
for f in "$zxsim" "$device" "$compare" "$sata"; do
    [ -e "$f" ] || fail "$f is not built"
done

# Each phase: the disk of the default scenario, the package, the answer to the closing message
# box (none: the program only lists) and the usb-storage quirks.
declare -A disk package answer quirk
disk=([asmedia]=usb-asmedia [jmicron]=usb-jmicron [realtek]=usb-realtek [sata]=sata-usb [quirk]=usb-jmicron)
package=([asmedia]=nvme [jmicron]=nvme [realtek]=nvme [sata]=sata [quirk]=nvme)
answer=([asmedia]=cancel [jmicron]=cancel [realtek]=ok [sata]=cancel [quirk]=none)
quirk=([asmedia]= [jmicron]= [realtek]= [sata]= [quirk]=152d:0583:t)

start=$SECONDS
cache="$build/kernel-cache"
"$here/fetch_kernel.sh" "$cache" || fail "Debian's kernel cannot be had"
version=$(cat "$cache/version")
echo "kernel $version ready at $((SECONDS - start)) s"

work="$build/kernel-usb-test"
rm -rf "$work"
mkdir -p "$work/initramfs" "$work/out"
root="$work/initramfs"
make_initramfs "$root" "$cache" "$version" \
    "sd_mod sg ahci xhci-pci vhci-hcd usb-storage virtio_pci 9pnet_virtio 9p" "$zxsim" "$device"
cp "$sata" "$root/zx/"
for p in "${phases[@]}"; do
    [ -n "${disk[$p]:-}" ] || fail "no phase $p"
    echo "$p ${disk[$p]} ${package[$p]} ${answer[$p]} ${quirk[$p]}"
done >"$root/zx/phases"
cp "$here/usb_guest_init.sh" "$root/init"
pack_initramfs "$root" "$work/initramfs.gz"
echo "initramfs ready at $((SECONDS - start)) s"

# QEMU: TCG, no network; its AHCI disk and its usb-storage disk on an xHCI controller (foreign
# disks); the output folder over 9p. The bound only turns a hang into a failure.
boot=$SECONDS
timeout 900 qemu-system-x86_64 -accel tcg -cpu max -machine q35 -m 1024 -smp 1 \
    -nographic -no-reboot -nic none \
    -kernel "$cache/vmlinuz" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 quiet panic=-1" \
    -blockdev null-co,node-name=ahci0,size=34359738368,read-zeroes=on \
    -device ide-hd,drive=ahci0,bus=ide.0,serial=ZXQEMUAHCI01 \
    -device qemu-xhci,id=xhci \
    -blockdev null-co,node-name=usb0,size=34359738368,read-zeroes=on \
    -device usb-storage,drive=usb0,bus=xhci.0,serial=ZXQEMUUSB01 \
    -virtfs local,path="$work/out",mount_tag=zxout,security_model=none \
    </dev/null >"$work/console.log" 2>&1 || fail "QEMU failed (see $work/console.log)"
echo "virtual machine ran $((SECONDS - boot)) s"
[ -f "$work/out/done" ] || { tail -30 "$work/console.log" "$work/out/init.log" 2>/dev/null; fail "the guest did not finish (see $work/out/init.log)"; }
cat "$work/out/init.log"

# The same phases on the simulated PC: QEMU's disks as usb_foreign.scenario has them, and the
# phase's enclosure as the default scenario describes it (its section of sim/default_scenario.cpp).
section() {
    awk -v name="[disk $1]" '$0 == name {on = 1} on && /^$/ {exit} on {print}' \
        "$here/../../sim/default_scenario.cpp"
}
for p in "${phases[@]}"; do
    { cat "$here/usb_foreign.scenario"; echo; section "${disk[$p]}"; } >"$work/$p.scenario"
    grep -q "^\[disk ${disk[$p]}\]" "$work/$p.scenario" || fail "the default scenario has no ${disk[$p]}"
    options=(--scenario "$work/$p.scenario" --scsi-log "$work/out/$p.sim.log" --speed 2)
    [ "${package[$p]}" = sata ] && options+=(--package "$sata")
    [ "${answer[$p]}" = none ] || options+=(--select 0 --answer yes --answer "${answer[$p]}")
    "$zxsim" run "${options[@]}" >"$work/out/$p.sim.run" 2>&1 || true
done

status=0
"$here/check_usb_test.sh" "$work/out" "$compare" "${phases[@]}" || status=1
echo "kernel USB test: $((SECONDS - start)) s in all"
exit $status
