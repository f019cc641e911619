# What the kernel tests share (sourced): the tools they need, Debian's kernel in the build
# tree's cache, and a busybox initramfs with modules and programs.

kernel_test_fail() {
    echo "kernel test: $*" >&2
    exit 1
}

# Fails (never skips) when QEMU, busybox, kmod or cpio is missing.
kernel_test_tools() {
    for tool in qemu-system-x86_64 cpio modprobe depmod; do
        command -v "$tool" >/dev/null || kernel_test_fail "$tool is missing (scripts/setup.sh --kernel)"
    done
    [ -x /bin/busybox ] || kernel_test_fail "busybox is missing (scripts/setup.sh --kernel)"
}

# make_initramfs ROOT CACHE VERSION "MODULE..." PROGRAM...: busybox and its applets, the modules
# with what they need (and an index), the programs in /zx with the shared libraries they load.
make_initramfs() {
    local root="$1" cache="$2" version="$3" modules="$4"
    shift 4
    mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,zx,lib,lib64,out}
    cp /bin/busybox "$root/bin/busybox"
    for applet in $(/bin/busybox --list); do
        [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
    done
    local mods="$root/lib/modules/$version"
    mkdir -p "$mods"
    for m in $modules; do
        modprobe -d "$cache/root" -S "$version" --show-depends "$m" | awk '$1 == "insmod" {print $2}'
    done | sort -u | while read -r ko; do
        rel="${ko#$cache/root/lib/modules/$version/}"
        mkdir -p "$mods/$(dirname "$rel")"
        cp "$ko" "$mods/$rel"
    done
    cp "$cache/root/lib/modules/$version"/modules.{order,builtin,builtin.modinfo} "$mods/" 2>/dev/null || true
    depmod -b "$root" "$version"
    cp "$@" "$root/zx/"
    for lib in $(ldd "$@" | grep -oE '/[^ )]+\.so[^ )]*' | sort -u); do
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
}

# pack_initramfs ROOT FILE
pack_initramfs() {
    (cd "$1" && find . | cpio -o -H newc --quiet | gzip -1) >"$2"
}
