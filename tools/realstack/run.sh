#!/usr/bin/env bash
# Runs the real-stack scenarios: boots the cached Debian 12 guest under qemu (TCG) with a
# second disk holding the node and sink under test, the patched btvirt and the guest script,
# then reads the results back from that disk and checks them on the host.
#   run.sh [--ble PATH] [--sink PATH] [--out DIR] [--scenarios FILE] [--check FILE] [--minutes N]
#          [--add PATH:NAME]...
# Defaults: build/brelo-ble, build/tools/brelo_sink/brelo-sink, build/realstack, the scenarios
# of tests/realstack (scenarios.sh in the guest, check.py on the host), 10 minutes at most.
# The long runs of bench/realstack give their own scenarios and figures; --add puts another
# program on the guest's disk as /rig/NAME.
set -euo pipefail
# The guest is made with debootstrap and chroot, and its cache is root's: all of it runs as root.
[ "$(id -u)" -eq 0 ] || exec sudo "$0" "$@"
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
ble=$top/build/brelo-ble
sink=$top/build/tools/brelo_sink/brelo-sink
out=$top/build/realstack
scenarios=$top/tests/realstack/scenarios.sh
check=$top/tests/realstack/check.py
minutes=10
added=()
while [ $# -gt 0 ]; do
    case $1 in
        --ble) ble=$2; shift 2 ;;
        --sink) sink=$2; shift 2 ;;
        --out) out=$2; shift 2 ;;
        --scenarios) scenarios=$(realpath "$2"); shift 2 ;;
        --check) check=$(realpath "$2"); shift 2 ;;
        --minutes) minutes=$2; shift 2 ;;
        --add) added+=("$2"); shift 2 ;;
        *) echo "usage: run.sh [--ble PATH] [--sink PATH] [--out DIR] [--scenarios FILE] [--check FILE] [--minutes N]" \
                "[--add PATH:NAME]..." >&2
           exit 2 ;;
    esac
done

# One maker at a time: another run (another worktree) waits here until the cache is made.
cache=${BRELO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/brelo-ble}
mkdir -p "$cache"
guest=$(flock "$cache/realstack.lock" "$here/guest-root.sh")
btvirt=$(flock "$cache/realstack.lock" "$here/btvirt.sh")
rm -rf "$out"
mkdir -p "$out/disk"
install -m 0755 "$ble" "$out/disk/brelo-ble"
install -m 0755 "$sink" "$out/disk/brelo-sink"
install -m 0755 "$btvirt" "$out/disk/btvirt"
install -m 0755 "$scenarios" "$out/disk/run.sh"
for extra in "${added[@]}"; do install -m 0755 "${extra%%:*}" "$out/disk/${extra##*:}"; done
install -m 0644 "$here/guest-stack.sh" "$out/disk/stack.sh"
chmod 0755 "$out/disk"
mkfs.ext4 -q -F -L rig -d "$out/disk" "$out/rig.img" 256M >/dev/null

echo "realstack: booting the guest (console in $out/console.log)"
start=$(date +%s)
timeout $((minutes * 60)) qemu-system-x86_64 -accel tcg -m 1024 -smp 1 -nographic -no-reboot -nic none \
    -kernel "$guest/vmlinuz" -initrd "$guest/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 quiet loglevel=3 init=/sbin/rig-init" \
    -drive "file=$guest/root.img,if=virtio,format=raw,snapshot=on" \
    -drive "file=$out/rig.img,if=virtio,format=raw" \
    </dev/null >"$out/console.log" 2>&1 || echo "realstack: qemu ended with status $? (124: stopped after $minutes min)"
grep '^rig:' "$out/console.log" || true
echo "realstack: guest ran $(( $(date +%s) - start )) s"
debugfs -R "rdump /out $out" "$out/rig.img" >/dev/null 2>&1
[ -f "$out/out/events" ] || { echo "realstack: the guest left no results"; tail -n 30 "$out/console.log"; exit 1; }
python3 "$check" "$out/out"
