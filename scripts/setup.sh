#!/usr/bin/env bash
# Installs, on Debian 12, the packages that building and testing zxflash need, when they are
# missing. Safe to run again: it only installs what is not there yet.
#   scripts/setup.sh            the Linux build and its tests
#   scripts/setup.sh --windows  also the mingw-w64 cross build, Wine and Xvfb
set -euo pipefail

want_windows=0
for arg in "$@"; do
    case "$arg" in
        --windows) want_windows=1 ;;
        *) echo "usage: $0 [--windows]" >&2; exit 2 ;;
    esac
done

packages=(cmake ninja-build g++ make pkg-config git ca-certificates
          libgtest-dev libgmock-dev libbenchmark-dev
          zlib1g-dev libminizip-dev libncurses-dev
          clang libclang-rt-dev clang-format cppcheck gcovr ccache)
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
