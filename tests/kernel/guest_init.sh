#!/bin/sh
# /init of the kernel test's virtual machine (busybox). It serves a simulated ZELTARIX drive as an
# NVMe/TCP controller on 127.0.0.1, attaches it with the kernel's nvme-tcp, runs the program on
# the Linux backend once per phase, and writes what it saw into /out (the host's folder, 9p).
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
ip link set lo up
modprobe nvme
modprobe nvme-tcp
NQN=nqn.2024-01.dev.zxflash:zeltarix

# Waits until a command succeeds (an event: a file appears, a line is written, a state is set).
wait_for() {
    while ! eval "$1"; do usleep 20000; done
}

# The NVMe controller whose transport is tcp.
tcp_controller() {
    for c in /sys/class/nvme/nvme*; do
        [ "$(cat "$c/transport" 2>/dev/null)" = tcp ] && basename "$c" && return
    done
}

# QEMU's controller is there before anything else.
wait_for '[ "$(cat /sys/class/nvme/nvme0/state 2>/dev/null)" = live ]'
wait_for '[ -e /sys/block/nvme0n1 ]'
echo "qemu controller: $(cat /sys/class/nvme/nvme0/model) $(cat /sys/class/nvme/nvme0/firmware_rev)"

# phase NAME SCENARIO TARGET_OPTIONS ZXSIM_ARGUMENTS...
phase() {
    name=$1 scenario=$2 options=$3
    shift 3
    echo "== phase $name"
    /zx/zx-nvme-tcp-target --scenario "/zx/$scenario" --disk zx --nqn $NQN \
        --log "/out/$name.target.log" $options >/tmp/$name.target.out 2>&1 &
    target=$!
    wait_for 'grep -q listening /tmp/$name.target.out || ! kill -0 $target 2>/dev/null'
    # A controller that cannot reconnect is removed after 5 s.
    if ! echo "transport=tcp,traddr=127.0.0.1,trsvcid=4420,nqn=$NQN,nr_io_queues=1,reconnect_delay=1,ctrl_loss_tmo=5" \
        >/dev/nvme-fabrics; then
        echo "the kernel did not connect the target"
        cat /tmp/$name.target.out
        kill $target 2>/dev/null
        return
    fi
    ctrl=$(tcp_controller)
    echo "tcp controller: $ctrl"
    wait_for '[ "$(cat /sys/class/nvme/$ctrl/state 2>/dev/null)" = live ]'
    wait_for '[ -e /sys/block/${ctrl}n1 ]'
    echo "$ctrl" >"/out/$name.ctrl"
    { echo "nvme0 $(cat /sys/class/nvme/nvme0/firmware_rev)"
      echo "$ctrl $(cat /sys/class/nvme/$ctrl/firmware_rev)"; } >"/out/$name.before"
    start=$(cut -d' ' -f1 /proc/uptime)
    /zx/zxsim run --device-backend linux --nvme-log "/out/$name.backend.log" "$@" \
        >"/out/$name.run" 2>&1
    echo $? >"/out/$name.exit"
    echo "program: $start $(cut -d' ' -f1 /proc/uptime)" >"/out/$name.time"
    { echo "nvme0 $(cat /sys/class/nvme/nvme0/firmware_rev)"
      echo "$ctrl $(cat /sys/class/nvme/$ctrl/firmware_rev 2>/dev/null) $(cat /sys/class/nvme/$ctrl/state 2>/dev/null)"; } \
        >"/out/$name.after"
    [ -e "/sys/class/nvme/$ctrl" ] && echo 1 >"/sys/class/nvme/$ctrl/delete_controller"
    wait_for '! [ -e /sys/class/nvme/$ctrl ]'
    kill $target
    wait $target
    cp /tmp/$name.target.out "/out/$name.target.out"
}

for p in $(cat /zx/phases); do
    case $p in
    update) phase update update.scenario "" --select 0 --answer yes --answer cancel --speed 2 ;;
    refused) phase refused refused.scenario "" --select 0 --answer yes --answer ok --speed 2 ;;
    gone) phase gone gone.scenario --gone-after-reset --select 0 --answer yes --answer ok --speed 2 ;;
    esac
done
echo "== uptime $(cut -d' ' -f1 /proc/uptime)"
dmesg >/out/dmesg.txt
touch /out/done
sync
umount /out
poweroff -f
