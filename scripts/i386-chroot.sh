#!/usr/bin/env bash
# Runs a command inside the Debian i386 root that scripts/setup-windows.sh makes for 32-bit Wine
# (third_party/i386-root, or ZX_I386_ROOT), in a mount namespace of its own, so that nothing it
# mounts outlives it or is seen by the rest of the machine:
#   - /proc, and /sys read-only;
#   - a /dev of its own with only null, zero, full, random, urandom and a private /dev/shm:
#     no disk of the machine can be opened from inside;
#   - the X server sockets (/tmp/.X11-unix), so that Wine reaches the private Xvfb display;
#   - the source tree at its own path, so that the program, the output folders and the Wine
#     prefix (.cache/wine-i686) have the same names inside as outside.
# The environment goes through unchanged (DISPLAY, WINEPREFIX, WINEARCH ...). A wineserver started
# here keeps the namespace alive until it ends; later commands reach it through the socket under
# the root's /tmp, which every namespace of this root shares. Needs root.
#
#   scripts/i386-chroot.sh COMMAND [ARGS...]     e.g. scripts/i386-chroot.sh wine prog.exe
set -euo pipefail

source_root="$(cd "$(dirname "$0")/.." && pwd)"
i386_root="${ZX_I386_ROOT:-$source_root/third_party/i386-root}"

if [ "$#" -eq 0 ]; then
    echo "usage: $0 COMMAND [ARGS...]" >&2
    exit 2
fi
if [ "$(id -u)" != 0 ]; then
    echo "i386-chroot: needs root (a mount namespace, mounts and chroot)" >&2
    exit 1
fi
if [ ! -x "$i386_root/bin/sh" ]; then
    echo "i386-chroot: no i386 root at $i386_root (scripts/setup.sh --windows makes it)" >&2
    exit 1
fi

# Enters a private mount namespace first, then mounts and changes root inside it.
if [ "${ZX_I386_NAMESPACE:-}" != "$i386_root" ]; then
    ZX_I386_NAMESPACE="$i386_root" exec unshare --mount --propagation private "$0" "$@"
fi
unset ZX_I386_NAMESPACE

mount -t proc proc "$i386_root/proc"
mount --bind /sys "$i386_root/sys"
mount -o remount,bind,ro "$i386_root/sys"

mount -t tmpfs -o mode=0755,size=1m zxdev "$i386_root/dev"
for node in null zero full random urandom; do
    touch "$i386_root/dev/$node"
    mount --bind "/dev/$node" "$i386_root/dev/$node"
done
mkdir "$i386_root/dev/shm"
mount -t tmpfs -o mode=1777 zxshm "$i386_root/dev/shm"
ln -s /proc/self/fd "$i386_root/dev/fd"
ln -s /proc/self/fd/0 "$i386_root/dev/stdin"
ln -s /proc/self/fd/1 "$i386_root/dev/stdout"
ln -s /proc/self/fd/2 "$i386_root/dev/stderr"

mkdir -p "$i386_root/tmp/.X11-unix"
if [ -d /tmp/.X11-unix ]; then
    mount --bind /tmp/.X11-unix "$i386_root/tmp/.X11-unix"
fi
mkdir -p "$i386_root$source_root"
mount --bind "$source_root" "$i386_root$source_root"

# The command starts in the same folder as outside when the root holds it, else in /.
exec chroot "$i386_root" /bin/sh -c 'cd "$0" 2>/dev/null || cd /; exec "$@"' "$PWD" "$@"
