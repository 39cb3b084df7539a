#!/usr/bin/env bash
# Builds, once, the BlueZ emulator (btvirt) the scenarios use: Debian's bluez source of the
# version the guest runs, with btvirt.patch, compiled with plain gcc (no autotools). The
# source comes from Debian's archive through apt-get with a private sources list, lists and
# cache under the cache directory, so the machine's own apt setup is left as it is.
# Prints the path of the built btvirt.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${BRELO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/brelo-ble}/realstack
mirror=${BRELO_MIRROR:-http://deb.debian.org/debian}

version=$(apt-cache policy bluez | awk '/Candidate:/{print $2}')
key=$( { cat "$0" "$here/btvirt.patch"; echo "$version"; } | sha256sum | cut -c1-16)
out=$cache/btvirt-$key
if [ -x "$out/btvirt" ]; then
    echo "$out/btvirt"
    exit 0
fi

apt=$cache/apt
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror bookworm main" >"$apt/sources.list"
aptopts=(-o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache")
# As root apt downloads as the _apt user, who cannot write under root's home.
[ "$(id -u)" -ne 0 ] || aptopts+=(-o APT::Sandbox::User=root)
src=$cache/bluez-src-$version
if [ ! -d "$src/emulator" ]; then
    echo "realstack: fetching Debian's bluez $version source" >&2
    apt-get -qq "${aptopts[@]}" update >&2
    rm -rf "$src.tmp"
    mkdir -p "$src.tmp"
    (cd "$src.tmp" && apt-get -qq "${aptopts[@]}" source --download-only "bluez=$version" >&2 &&
        dpkg-source -x ./*.dsc tree >&2)
    mv "$src.tmp/tree" "$src"
    rm -rf "$src.tmp"
fi

work=$out.tmp
rm -rf "$work"
cp -r "$src" "$work"
patch -s -d "$work" -p1 <"$here/btvirt.patch"
cd "$work"
# The emulator with the few shared and lib files it uses; no config.h from configure.
echo '#define VERSION "'"${version%%-*}"'"' >config.h
gcc -O1 -w -DHAVE_CONFIG_H -I. -o btvirt emulator/{main,serial,server,vhci,btdev,bthost,smp,le,phy,amp}.c \
    src/shared/{mainloop,mainloop-notify,io-mainloop,timeout-mainloop,util,queue,crypto,ecc,log}.c \
    lib/bluetooth.c lib/hci.c
mkdir -p "$out"
mv btvirt "$out/btvirt"
cd / && rm -rf "$work"
echo "$out/btvirt"
