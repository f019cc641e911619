#!/usr/bin/env bash
# The kernel test: boots Debian's kernel under QEMU (TCG) with a busybox initramfs, updates a
# simulated ZELTARIX drive through the kernel's nvme-tcp and NVMe drivers with the program on
# the Linux backend, beside QEMU's own NVMe controller, and compares each phase with the same
# run on the simulated PC. Fails (never skips) when QEMU, busybox or the kernel cannot be had.
#   tests/kernel/run_kernel_test.sh BUILD_DIR [PHASE...]      (phases: update refused gone)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "$1" && pwd)"
shift
phases=("$@")
[ ${#phases[@]} -gt 0 ] || phases=(update refused gone)

. "$here/vm_lib.sh"
fail() { kernel_test_fail "$@"; }
kernel_test_tools
zxsim="$build/tools/zxsim/zxsim"
target="$build/tests/kernel/zx-nvme-tcp-target"
compare="$build/tests/kernel/zx-nvme-compare"
for f in "$zxsim" "$target" "$compare"; do
    [ -x "$f" ] || fail "$f is not built"
done

start=$SECONDS
cache="$build/kernel-cache"
"$here/fetch_kernel.sh" "$cache" || fail "Debian's kernel cannot be had"
version=$(cat "$cache/version")
echo "kernel $version ready at $((SECONDS - start)) s"

work="$build/kernel-test"
rm -rf "$work"
mkdir -p "$work/initramfs" "$work/out"
root="$work/initramfs"

# The scenarios: the update as it is, with a refused piece, with a drive that does not come back
# (the fault of the simulated PC; the target leaves after its reset).
cp "$here/update.scenario" "$work/update.scenario"
{ cat "$here/update.scenario"; echo "faults = download_fail:8192"; } >"$work/refused.scenario"
{ cat "$here/update.scenario"; echo "faults = no_return"; } >"$work/gone.scenario"

# busybox, the NVMe host drivers and 9p for the output folder, the programs.
make_initramfs "$root" "$cache" "$version" "nvme nvme-tcp virtio_pci 9pnet_virtio 9p" "$zxsim" "$target"
cp "$work"/*.scenario "$root/zx/"
printf '%s\n' "${phases[@]}" >"$root/zx/phases"
cp "$here/guest_init.sh" "$root/init"
pack_initramfs "$root" "$work/initramfs.gz"
echo "initramfs ready at $((SECONDS - start)) s"

# QEMU: TCG, no network; its NVMe controller (a foreign disk) behind a PCIe root port; the
# output folder over 9p. The bound only turns a hang into a failure.
boot=$SECONDS
timeout 900 qemu-system-x86_64 -accel tcg -cpu max -machine q35 -m 1024 -smp 1 \
    -nographic -no-reboot -nic none \
    -kernel "$cache/vmlinuz" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 quiet panic=-1" \
    -device pcie-root-port,id=rp1,bus=pcie.0,chassis=1 \
    -blockdev null-co,node-name=qemu0,size=34359738368,read-zeroes=on \
    -device nvme,serial=ZXQEMU0001,drive=qemu0,bus=rp1 \
    -virtfs local,path="$work/out",mount_tag=zxout,security_model=none \
    </dev/null >"$work/console.log" 2>&1 || fail "QEMU failed (see $work/console.log)"
echo "virtual machine ran $((SECONDS - boot)) s"
[ -f "$work/out/done" ] || { tail -30 "$work/console.log" "$work/out/init.log" 2>/dev/null; fail "the guest did not finish (see $work/out/init.log)"; }
cat "$work/out/init.log"

# The same phases on the simulated PC.
for p in "${phases[@]}"; do
    case $p in
    update) answers=(--select 0 --answer yes --answer cancel) ;;
    *) answers=(--select 0 --answer yes --answer ok) ;;
    esac
    "$zxsim" run --scenario "$work/$p.scenario" --nvme-log "$work/out/$p.sim.log" \
        "${answers[@]}" --speed 2 >"$work/out/$p.sim.run" 2>&1 || true
done

status=0
"$here/check_kernel_test.sh" "$work/out" "$compare" "${phases[@]}" || status=1
echo "kernel test: $((SECONDS - start)) s in all"
exit $status
