#!/bin/sh
# Runs once at the end of the guest image build, with the new root file system
# as $1: the Chinese locale the tests expect (ANSI code page 936) and a hosts
# file the run fills in at boot.
set -eu
root=$1
echo 'zh_CN.UTF-8 UTF-8' >"$root/etc/locale.gen"
echo 'en_US.UTF-8 UTF-8' >>"$root/etc/locale.gen"
chroot "$root" locale-gen >/dev/null
echo quentra-vm >"$root/etc/hostname"
printf '127.0.0.1\tlocalhost quentra-vm\n' >"$root/etc/hosts"
# Nothing of the guest's own services is needed: the run is the init process.
rm -rf "$root/var/cache/apt/archives/"*.deb "$root/var/lib/apt/lists/"* "$root/usr/share/doc/"* "$root/usr/share/man/"*
