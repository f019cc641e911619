#!/usr/bin/env bash
# Debian's own kernel for the kernel tests, downloaded and unpacked (never installed) into a
# cache folder of the build tree: CACHE/vmlinuz, CACHE/root (the package's files, its module
# index made with depmod) and CACHE/version. Fails, never skips, when it cannot be had. The
# kernel tests run side by side and share the cache: one fetches while the others wait on the
# lock CACHE.lock, then find it ready.
#   tests/kernel/fetch_kernel.sh CACHE
set -euo pipefail
cache="$1"
mkdir -p "$(dirname "$cache")"
exec 9>"$cache.lock"
flock 9
if [ -f "$cache/ready" ]; then
    exit 0
fi
for tool in apt-get apt-cache dpkg-deb depmod; do
    command -v "$tool" >/dev/null || { echo "fetch_kernel: $tool is missing (scripts/setup.sh --kernel)" >&2; exit 1; }
done
# The image package that linux-image-amd64 stands for.
image_package() {
    apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
}
package=$(image_package)
if [ -z "$package" ]; then
    apt-get update -qq >/dev/null 2>&1 || true
    package=$(image_package)
fi
if [ -z "$package" ]; then
    echo "fetch_kernel: apt-cache knows no linux-image-amd64 (apt-get update?)" >&2
    exit 1
fi
version=${package#linux-image-}
rm -rf "$cache"
mkdir -p "$cache/download"
start=$SECONDS
# apt-get download writes into the current folder; as root it warns that the download ran
# without its sandbox user, which is harmless.
download() {
    (cd "$cache/download" && apt-get download -q "$package" 2>&1 |
        grep -v "^W: Download is performed unsandboxed" >&2 || true)
    ls "$cache/download"/*.deb 2>/dev/null | head -n 1
}
deb=$(download)
if [ -z "$deb" ]; then
    # The package lists may name a version the archive no longer has.
    apt-get update -qq >/dev/null 2>&1 || true
    package=$(image_package)
    version=${package#linux-image-}
    deb=$(download)
fi
if [ -z "$deb" ]; then
    echo "fetch_kernel: apt-get download $package failed" >&2
    exit 1
fi
dpkg-deb -x "$deb" "$cache/root"
depmod -b "$cache/root" "$version"
cp "$cache/root/boot/vmlinuz-$version" "$cache/vmlinuz"
echo "$version" > "$cache/version"
rm -rf "$cache/download"
touch "$cache/ready"
echo "fetch_kernel: $package in $((SECONDS - start)) s"
