# Sourced into the guest's run.sh after the settings (MINUTES, ADVERTISERS, ROTATE_S) by
# bench/realstack-long: a crowd of synthetic advertisers, a fifth of them changing address
# every ROTATE_S seconds, heard by the ear on a 5.x controller with stock bluetoothd. Every
# minute: bluetoothd's device objects, the RSS of bluetoothd, dbus-daemon and the ear, and the
# CPU time of each (clock ticks).
set -u
. /rig/stack.sh

rss() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }
objects() {
    dbus-send --system --print-reply --dest=org.bluez / org.freedesktop.DBus.ObjectManager.GetManagedObjects |
        grep -c '"org.bluez.Device1"'
}
sample() {
    echo "$(date +%s) $(objects) $(rss "$bt_pid") $(rss "$dbus_pid") $(rss "$node_pid")" \
        "$(cpu "$bt_pid") $(cpu "$dbus_pid") $(cpu "$node_pid")" >>"$out/samples"
}

BTMON=0 start_base
dbus_pid=$(pidof dbus-daemon)
export BTVIRT_CROWD=$ADVERTISERS BTVIRT_ROTATE_S=$ROTATE_S
stack_up -l2 ""
SINK_LOG=0 start_node hour
wait_listening
say "hour: $ADVERTISERS advertisers, a fifth rotating every $ROTATE_S s, $MINUTES min"
echo "# time device-objects rss-kib(bluetoothd dbus-daemon ear) cpu-ticks(bluetoothd dbus-daemon ear)" >"$out/samples"
next=$(date +%s)
for minute in $(seq 0 "$MINUTES"); do
    sample
    next=$((next + 60))
    [ "$minute" = "$MINUTES" ] || sleep $((next - $(date +%s)))
done
grep ' radio ' "$out/hour.node.log" | head -n 20 | while read -r line; do say "node: $line"; done
stop_node
stack_down
say "done"
