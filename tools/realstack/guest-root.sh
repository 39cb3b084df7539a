#!/usr/bin/env bash
# Builds, once, the guest the real-stack scenarios boot: Debian 12 (bookworm) with its kernel,
# dbus and BlueZ, as an ext4 image with the kernel and initramfs beside it. Needs root
# (debootstrap, chroot). Prints the directory holding root.img, vmlinuz and initrd.img.
#
# The cache key is this script and the Debian versions it installs, so a new kernel or BlueZ
# in the archive, or a change here, makes a new guest; an unchanged one is reused.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
    exec sudo BRELO_CACHE="${BRELO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/brelo-ble}" "$0" "$@"
fi
cache=${BRELO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/brelo-ble}/realstack
mirror=${BRELO_MIRROR:-http://deb.debian.org/debian}

# What the node and the sink need at run time (both are built on a Debian 12 host), the stack
# under test, and the few tools the scenarios use.
packages=(linux-image-amd64 initramfs-tools kmod dbus bluez bluez-test-tools iproute2 procps
    libcurl4 libsystemd0 libuuid1 libunistring2 libstdc++6 libssl3 libcpp-httplib0.11)

versions=$(apt-cache policy "${packages[@]}" | awk '/^[^ ]/{p=$1} /Candidate:/{print p, $2}')
key=$( { cat "$0"; echo "$versions"; } | sha256sum | cut -c1-16)
out=$cache/guest-$key
if [ -f "$out/ready" ]; then
    echo "$out"
    exit 0
fi

work=$cache/guest-$key.tmp
rm -rf "$work"
mkdir -p "$work"
root=$work/root
echo "realstack: building the guest root in $work (takes minutes, once)" >&2
debootstrap --variant=minbase --include="$(IFS=,; echo "${packages[*]}")" \
    bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -n 30 "$work/debootstrap.log" >&2; exit 1; }

# A small initramfs: only what mounts the root from a virtio disk.
printf 'virtio_pci\nvirtio_blk\next4\n' >"$root/etc/initramfs-tools/modules"
echo MODULES=list >"$root/etc/initramfs-tools/conf.d/rig"
chroot "$root" update-initramfs -u -k all >"$work/initramfs.log" 2>&1
# A user outside the bluetooth group, for the access scenario.
chroot "$root" useradd -M -s /bin/sh outsider
# The guest's first process: mount the rig disk (second virtio disk), run its run.sh, power off.
cat >"$root/sbin/rig-init" <<'INIT'
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /tmp
mkdir -p /rig
mount /dev/vdb /rig && sh /rig/run.sh
sync
umount /rig
echo o >/proc/sysrq-trigger
sleep 10
INIT
chmod 0755 "$root/sbin/rig-init"
echo rig >"$root/etc/hostname"
chroot "$root" dpkg-query -W >"$work/versions.txt"
cp -L "$root/vmlinuz" "$work/vmlinuz"
cp -L "$root/initrd.img" "$work/initrd.img"
rm -rf "$root/var/cache/apt/archives/"*.deb "$root/var/lib/apt/lists/"*

size=$(( $(du -sm "$root" | cut -f1) + 200 ))
mkfs.ext4 -q -F -L rigroot -d "$root" "$work/root.img" "${size}M" >&2
rm -rf "$root"
touch "$work/ready"
rm -rf "$out"
mv "$work" "$out"
echo "$out"
