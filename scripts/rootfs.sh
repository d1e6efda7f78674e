#!/usr/bin/env bash
# Makes (once) a Debian root file system for running the wheel's tests where it
# will run: rootfs.sh SUITE ARCH DIR. An arm64 one runs under qemu-user, through
# binfmt_misc. Later calls find DIR complete and return at once.
set -euo pipefail
suite=$1 arch=$2 dir=$3

# Checked on every call: a kept file system still needs the emulator registered
# after the machine restarts.
if [[ $arch != "$(dpkg --print-architecture)" ]]; then
  # Foreign binaries run through qemu-user; the kernel needs binfmt_misc for that.
  [[ -e /proc/sys/fs/binfmt_misc/register ]] \
    || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  qemu=$(case $arch in arm64) echo qemu-aarch64;; *) echo "qemu-$arch";; esac)
  [[ -e /proc/sys/fs/binfmt_misc/$qemu ]] || update-binfmts --enable "$qemu"
  [[ -e /proc/sys/fs/binfmt_misc/$qemu ]] \
    || { echo "rootfs: cannot register $qemu with binfmt_misc (install qemu-user-static and binfmt-support)"; exit 1; }
fi
[[ -f $dir/.complete ]] && exit 0
command -v debootstrap >/dev/null || { echo "rootfs: install debootstrap (make setup does)"; exit 1; }

# The interpreter, and its headers: the cross build reads pyconfig.h from here.
rm -rf "$dir.partial"
mkdir -p "$(dirname "$dir")"
debootstrap --variant=minbase --arch="$arch" --include=python3,libpython3-dev \
  "$suite" "$dir.partial" http://deb.debian.org/debian
rm -rf "$dir"
mv "$dir.partial" "$dir"
touch "$dir/.complete"
