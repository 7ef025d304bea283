#!/usr/bin/env bash
# Builds the emulated test machine's root file system from Debian's packages:
# amd64 with i386 (so Wine runs 32-bit programs), the kernel with an initramfs,
# Wine, Python and the Chinese locale. Writes $1/root.img (ext4), $1/vmlinuz,
# $1/initrd.img. Network and CPU heavy: about 7 minutes and 2 GB.
set -euo pipefail
out=$1
here=$(cd "$(dirname "$0")" && pwd)
mapfile -t pkgs < <(grep -v '^\s*#' "$here/packages.txt" | grep -v '^\s*$')
tmp=$out/tmp
rm -rf --one-file-system "$tmp"; mkdir -p "$tmp"
trap 'rm -rf --one-file-system "$tmp"' EXIT
include=$(IFS=,; echo "${pkgs[*]}")
mmdebstrap --quiet --mode=root --variant=minbase --architectures=amd64,i386 \
  --aptopt='APT::Install-Recommends "false"' --aptopt='APT::Install-Suggests "false"' \
  --include="$include" \
  --customize-hook="\"$here/customize.sh\" \"\$1\"" \
  --customize-hook="install -m 0755 \"$here/init.sh\" \"\$1/sbin/quentra-init\"" \
  bookworm "$tmp/root" "${QUENTRA_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
cp "$tmp"/root/boot/vmlinuz-* "$out/vmlinuz.new"
cp "$tmp"/root/boot/initrd.img-* "$out/initrd.img.new"
chmod 0644 "$out/vmlinuz.new" "$out/initrd.img.new"
rm -f "$out/root.img.new"
# Room for two Wine prefixes and the runs' scratch on top of the system.
size_mb=$(( $(du -sm "$tmp/root" | cut -f1) + 2048 ))
mkfs.ext4 -q -F -L quentra-vm -d "$tmp/root" "$out/root.img.new" "${size_mb}M"
mv "$out/vmlinuz.new" "$out/vmlinuz"; mv "$out/initrd.img.new" "$out/initrd.img"
mv "$out/root.img.new" "$out/root.img"
