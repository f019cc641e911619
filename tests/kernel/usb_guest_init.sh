#!/bin/sh
# /init of the USB kernel test's virtual machine (busybox). For each phase it attaches one USB
# enclosure of the simulated PC to the kernel's vhci-hcd (zx-usbip-device), runs the program on
# the Linux backend against it, and writes what it saw into /out (the host's folder, 9p). QEMU's
# AHCI disk and its usb-storage disk are there throughout, as foreign disks.
# Every wait is for a file, a line or a process; the host bounds the whole run.
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /out /tmp
modprobe virtio_pci && modprobe 9pnet_virtio && modprobe 9p &&
    mount -t 9p -o trans=virtio,version=9p2000.L zxout /out
if ! grep -q " /out 9p " /proc/mounts; then
    echo "zx-init: the output folder cannot be mounted"
    poweroff -f
fi
exec >/out/init.log 2>&1
# The kernel's device events, as the program hears them, one line each.
uevent sh -c 'echo "$ACTION $SUBSYSTEM $DEVNAME" >>/tmp/uevents' &
# usb-storage scans a new device at once (delay_use=0) instead of a second later.
for m in sd_mod sg ahci xhci-pci vhci-hcd; do modprobe $m; done
modprobe usb-storage delay_use=0
echo "== modules at $(cut -d' ' -f1 /proc/uptime)"

wait_for() {
    while ! eval "$1"; do usleep 20000; done
}

# The SCSI disks of a kind: foreign (QEMU's) or the enclosure on vhci-hcd, each once it has its
# SCSI generic node.
disks() {
    for b in /sys/block/sd*; do
        [ -d "$b/device/scsi_generic" ] || continue
        case "$(readlink -f "$b")" in
        *vhci_hcd*) [ "$1" = enclosure ] && basename "$b" ;;
        *) [ "$1" = foreign ] && basename "$b" ;;
        esac
    done
}

wait_for '[ "$(disks foreign | wc -l)" = 2 ]'
disks foreign | tr '\n' ',' | sed 's/,$//' >/out/foreign
for d in $(disks foreign); do
    echo "foreign $d: $(cat /sys/block/$d/device/vendor) $(cat /sys/block/$d/device/model) $(readlink -f /sys/block/$d)"
done

# phase NAME DISK PACKAGE ANSWER [QUIRK]
phase() {
    name=$1 disk=$2 package=$3 answer=$4 quirk=$5
    echo "== phase $name at $(cut -d' ' -f1 /proc/uptime)"
    echo "${quirk:-}" >/sys/module/usb_storage/parameters/quirks
    /zx/zx-usbip-device --disk "$disk" --log "/out/$name.device.log" --speed 2 \
        >"/tmp/$name.device.out" 2>&1 &
    device=$!
    wait_for 'grep -qs attached /tmp/$name.device.out || ! kill -0 $device 2>/dev/null'
    wait_for '[ -n "$(disks enclosure)" ] || ! kill -0 $device 2>/dev/null'
    sd=$(disks enclosure)
    sg=$(ls /sys/block/$sd/device/scsi_generic)
    # The program starts once the kernel has announced the disk (after its partition scan).
    wait_for 'grep -q "^add block $sd$" /tmp/uevents && grep -q "^add scsi_generic $sg$" /tmp/uevents'
    echo "$name: $disk is $sd ($sg) at $(readlink -f /sys/block/$sd)"
    options="--device-backend linux --scsi-log /out/$name.backend.log --speed 2"
    [ "$package" = sata ] && options="$options --package /zx/sata-demo-package.zip"
    start=$(cut -d' ' -f1 /proc/uptime)
    if [ "$answer" = none ]; then
        /zx/zxsim run $options >"/out/$name.run" 2>&1
    else
        /zx/zxsim run $options --select 0 --answer yes --answer "$answer" >"/out/$name.run" 2>&1
    fi
    echo $? >"/out/$name.exit"
    echo "program: $start $(cut -d' ' -f1 /proc/uptime)" >"/out/$name.time"
    if [ "$name" = realtek ]; then
        # Unplugged and plugged in again: the drive starts the firmware it was given.
        kill -USR1 $device
        wait_for '[ "$(grep -c "\"event\":\"attach\"" /out/$name.device.log)" -ge 2 ]'
        wait_for '[ -n "$(disks enclosure)" ]'
        /zx/zxsim run --device-backend linux --scsi-log "/out/$name.after.backend.log" --speed 2 \
            >"/out/$name.after.run" 2>&1
    fi
    kill $device
    wait $device
    cp "/tmp/$name.device.out" "/out/$name.device.out"
    wait_for '[ -z "$(disks enclosure)" ]'
}

while read -r name disk package answer quirk; do
    phase "$name" "$disk" "$package" "$answer" "$quirk"
done </zx/phases
echo "== uptime $(cut -d' ' -f1 /proc/uptime)"
cp /tmp/uevents /out/uevents
dmesg >/out/dmesg.txt
touch /out/done
sync
umount /out
poweroff -f
