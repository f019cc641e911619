#!/usr/bin/env bash
# Installs, on Debian 12, the packages that building and testing zxflash need, when they are
# missing. Safe to run again: it only installs what is not there yet.
#   scripts/setup.sh            the Linux build and its tests
#   scripts/setup.sh --windows  also the mingw-w64 cross build, Wine and Xvfb
#   scripts/setup.sh --kernel   also what the kernel test needs: QEMU, busybox, kmod, cpio
#   scripts/setup.sh --fleet    also what the fleet test needs: Ansible (with its ansible.windows
#                               collection) and ansible-lint
set -euo pipefail

want_windows=0
want_kernel=0
want_fleet=0
for arg in "$@"; do
    case "$arg" in
        --windows) want_windows=1 ;;
        --kernel) want_kernel=1 ;;
        --fleet) want_fleet=1 ;;
        *) echo "usage: $0 [--windows] [--kernel] [--fleet]" >&2; exit 2 ;;
    esac
done

packages=(cmake ninja-build g++ make pkg-config git ca-certificates
          libgtest-dev libgmock-dev libbenchmark-dev
          zlib1g-dev libminizip-dev libncurses-dev libvterm-dev
          clang libclang-rt-dev clang-format cppcheck gcovr ccache python3-jsonschema)
# The kernel test (ctest -L kernel) boots Debian's kernel, which it downloads itself with
# apt-get download, under QEMU with a busybox initramfs.
if [ "$want_kernel" = 1 ]; then
    packages+=(qemu-system-x86 busybox-static kmod cpio)
fi
# The fleet test (ctest -L fleet) runs the rollout playbooks of examples/ansible/ with Debian's
# Ansible, whose collections include ansible.windows (win_package, win_command, win_reboot) for
# the Windows play that ansible-lint checks.
if [ "$want_fleet" = 1 ]; then
    packages+=(ansible ansible-lint python3-jsonschema)
fi
# The Windows packages (mingw-w64, Wine, Xvfb, ImageMagick) and minizip for mingw are the
# business of setup-windows.sh, run at the end with --windows.

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ "$(id -u)" = 0 ]; then sudo=(); else sudo=(sudo); fi
if [ "${#missing[@]}" -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
fi

here="$(cd "$(dirname "$0")" && pwd)"
if [ "$want_windows" = 1 ]; then
    "$here/setup-windows.sh"
fi
