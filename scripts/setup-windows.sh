#!/usr/bin/env bash
# Prepares, on Debian 12, the Windows cross builds (presets win32, win64 and their -sim twins) and
# the Wine tests. Safe to run again: every step is skipped when its result is already there.
#   1. the mingw-w64 compilers, their zlib, Wine, Xvfb, the X tools of the smoke test,
#      ImageMagick and debootstrap (Debian packages);
#   2, 3. minizip, which has no mingw package: its sources come with Debian's zlib source package
#      (a deb-src entry for the configured mirror, then `apt-get source zlib`), and its two
#      files ioapi.c and unzip.c are compiled with both mingw compilers into
#      third_party/mingw-<i686|x86_64>/{include,lib}. The program opens archives through its
#      own file functions, so minizip's Windows file functions (iowin32.c) are not needed.
#      third_party/ is ignored by git;
#   4. 32-bit Wine for the i686 programs: a Debian i386 root made with debootstrap in
#      third_party/i386-root, with Debian's wine and wine32 installed in it. The host's own
#      wine32:i386 would need the i386 architecture added to the host, whose package indexes
#      are at times out of step with the amd64 ones; a root of its own installs every time.
#      scripts/i386-chroot.sh runs Wine in it.
# Needs root or sudo for the package steps. Called by scripts/setup.sh --windows.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
third_party="$root/third_party"
if [ "$(id -u)" = 0 ]; then sudo=(); else sudo=(sudo); fi

log() { echo "setup-windows: $*"; }

# --- 1. packages ------------------------------------------------------------------------------

packages=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
          wine wine64 xvfb xauth x11-utils xdotool imagemagick jq dpkg-dev debootstrap)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [ "${#missing[@]}" -gt 0 ]; then
    log "installing ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
fi

# --- 2. Debian's zlib sources -------------------------------------------------------------------

src_dir="$third_party/src"
find_minizip_src() {
    local d
    for d in "$src_dir"/zlib-*/contrib/minizip; do
        if [ -f "$d/unzip.c" ] && [ -f "$d/ioapi.c" ]; then
            echo "$d"
            return 0
        fi
    done
    return 1
}

# The first "deb" entry of the main Debian archive, in either sources format.
configured_mirror() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '
            /^[ \t]*$/ { if (deb && uri != "" && uri !~ /security/) { print uri, keyring; exit }
                         deb = 0; uri = ""; keyring = "" }
            /^Types:/ { for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1 }
            /^URIs:/ { uri = $2 }
            /^Signed-By:/ { keyring = $2 }
            END { if (deb && uri != "" && uri !~ /security/) print uri, keyring }
        ' "$f" | head -n 1
    done | head -n 1
    if [ -f /etc/apt/sources.list ]; then
        awk '$1 == "deb" && $0 !~ /security/ {
                 for (i = 2; i <= NF; i++) if ($i !~ /^\[/) { print $i; exit }
             }' /etc/apt/sources.list | head -n 1
    fi
}

has_deb_src() {
    grep -rqsE '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' \
        /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null
}

if ! minizip_src="$(find_minizip_src)"; then
    if ! has_deb_src; then
        read -r mirror keyring < <(configured_mirror | head -n 1) || true
        if [ -z "${mirror:-}" ]; then
            echo "setup-windows: no Debian mirror found in /etc/apt/sources.list*" >&2
            exit 1
        fi
        codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
        log "adding a deb-src entry for $mirror ($codename)"
        {
            echo "Types: deb-src"
            echo "URIs: $mirror"
            echo "Suites: $codename"
            echo "Components: main"
            if [ -n "${keyring:-}" ]; then echo "Signed-By: $keyring"; fi
        } | "${sudo[@]}" tee /etc/apt/sources.list.d/zxflash-deb-src.sources >/dev/null
        "${sudo[@]}" apt-get update -qq
    fi
    mkdir -p "$src_dir"
    log "fetching Debian's zlib sources into $src_dir"
    (cd "$src_dir" && apt-get source -qq zlib)
    minizip_src="$(find_minizip_src)"
fi

# --- 3. minizip for both mingw targets -------------------------------------------------------------

stamp_text="$(basename "$(dirname "$(dirname "$minizip_src")")") $(sha256sum "$0" | cut -c1-16)"
for arch in i686 x86_64; do
    triple="$arch-w64-mingw32"
    out="$third_party/mingw-$arch"
    stamp="$out/.built"
    if [ -f "$out/lib/libminizip.a" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$stamp_text" ]; then
        continue
    fi
    log "building minizip for $triple"
    rm -rf "$out"
    mkdir -p "$out/include" "$out/lib" "$out/obj"
    for f in ioapi unzip; do
        "$triple-gcc-posix" -O2 -w -DWIN32_LEAN_AND_MEAN -c "$minizip_src/$f.c" \
            -o "$out/obj/$f.o"
    done
    "$triple-ar" rcs "$out/lib/libminizip.a" "$out/obj/ioapi.o" "$out/obj/unzip.o"
    rm -rf "$out/obj"
    cp "$minizip_src/unzip.h" "$minizip_src/ioapi.h" "$out/include/"
    echo "$stamp_text" >"$stamp"
done
log "minizip ready in $third_party/mingw-{i686,x86_64}"

# --- 4. 32-bit Wine in an i386 root -----------------------------------------------------------

i386_root="${ZX_I386_ROOT:-$third_party/i386-root}"
# A kernel without IA32 emulation runs no i386 program: no root can be made, and the i686
# programs cannot run under Wine here (scripts/ci-windows.sh says so and runs the rest).
if ! "$root/scripts/runs-i386.sh"; then
    log "no 32-bit Wine on this machine: its kernel does not run 32-bit x86 programs"
    exit 0
fi
if [ ! -x "$i386_root/usr/bin/wine" ] || [ ! -f "$i386_root/.zxflash-wine32" ]; then
    read -r mirror keyring < <(configured_mirror | head -n 1) || true
    if [ -z "${mirror:-}" ]; then
        echo "setup-windows: no Debian mirror found in /etc/apt/sources.list*" >&2
        exit 1
    fi
    codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
    # Made beside its final place and moved there when complete, so that a root that is there
    # is a whole one. debootstrap and the installation run in a mount namespace of their own:
    # what they mount inside the root (proc, sys) is gone when they end, so that removing a
    # failed attempt never reaches into the machine's /proc or /sys.
    partial="$i386_root.partial"
    rm -rf --one-file-system "$partial"
    mkdir -p "$(dirname "$i386_root")"
    started=$SECONDS
    log "making a Debian i386 root ($codename, $mirror) in $partial"
    keyring_options=()
    if [ -n "${keyring:-}" ]; then keyring_options=(--keyring "$keyring"); fi
    unshare --mount --propagation private \
        debootstrap --arch=i386 --variant=minbase "${keyring_options[@]}" "$codename" "$partial" \
        "$mirror" >"$third_party/i386-root.log" 2>&1 || {
        echo "setup-windows: debootstrap failed (see $third_party/i386-root.log); its end:" >&2
        tail -n 20 "$third_party/i386-root.log" >&2
        exit 1
    }
    log "i386 root made in $((SECONDS - started)) s; installing wine and wine32 in it"
    started=$SECONDS
    ZX_I386_ROOT="$partial" "$root/scripts/i386-chroot.sh" /bin/sh -c '
        apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wine wine32 &&
        apt-get clean' >>"$third_party/i386-root.log" 2>&1 ||
        { echo "setup-windows: installing Wine in the i386 root failed" \
               "(see $third_party/i386-root.log)" >&2; exit 1; }
    [ -x "$partial/usr/bin/wine" ] ||
        { echo "setup-windows: the i386 root has no /usr/bin/wine" >&2; exit 1; }
    echo "$codename wine wine32" >"$partial/.zxflash-wine32"
    rm -rf --one-file-system "$i386_root"
    mv "$partial" "$i386_root"
    size="$(du -sh --one-file-system "$i386_root" | cut -f1)"
    log "wine and wine32 installed in $((SECONDS - started)) s; $size in $i386_root"
fi
wine32_version="$(ZX_I386_ROOT="$i386_root" "$root/scripts/i386-chroot.sh" wine --version)" ||
    { echo "setup-windows: Wine does not start in the i386 root $i386_root" >&2; exit 1; }
log "32-bit Wine ($wine32_version) ready in $i386_root"
