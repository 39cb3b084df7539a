#!/bin/sh
# Runs inside the qemu guest: puts up dbus, the kernel's Bluetooth and virtual controllers,
# bluetoothd, and runs each scenario with the node on one controller and an advertiser on the
# other. Logs and event times go to /rig/out; the host decides pass or fail (check.py).
set -u
out=/rig/out
mkdir -p "$out"
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
say() { echo "rig: $*" >/dev/console; }
mark() { echo "$(date +%s.%N) $*" >>"$out/events"; }
until_true() {  # until_true SECONDS COMMAND...: poll every 0.2 s; 1 when the deadline passes
    n=$(($1 * 5)); shift
    while ! "$@" >/dev/null 2>&1; do
        n=$((n - 1)); [ $n -gt 0 ] || return 1; sleep 0.2
    done
}
adapter_prop() {  # adapter_prop INDEX PROPERTY: prints true/false
    dbus-send --system --print-reply=literal --dest=org.bluez "/org/bluez/hci$1" \
        org.freedesktop.DBus.Properties.Get string:org.bluez.Adapter1 "string:$2" 2>/dev/null |
        awk '{print $NF}'
}
powered_both() { [ "$(adapter_prop 0 Powered)" = true ] && [ "$(adapter_prop 1 Powered)" = true ]; }
discovering() {  # sets node_hci/other_hci from the adapter the node discovers on
    for i in 0 1; do
        if [ "$(adapter_prop $i Discovering)" = true ]; then node_hci=$i; other_hci=$((1 - i)); return 0; fi
    done
    return 1
}

start_btvirt() {  # start_btvirt ARGS...
    /rig/btvirt "$@" >>"$out/btvirt.log" 2>&1 &
    btvirt_pid=$!
    until_true 20 test -e /sys/class/bluetooth/hci1 || say "btvirt $* made no hci1"
}
stop_pid() { kill -TERM "$1" 2>/dev/null; wait "$1" 2>/dev/null; }
start_bluetoothd() {  # start_bluetoothd [ARGS...]
    mark "bluetoothd-start $*"
    /usr/libexec/bluetooth/bluetoothd -n "$@" >>"$out/bluetoothd.log" 2>&1 &
    bt_pid=$!
}
advertise() {  # the steady advertiser on the other controller: name, manufacturer data, a UUID
    btmgmt --index "$other_hci" rm-adv 1 >/dev/null 2>&1
    btmgmt --index "$other_hci" add-adv -u 180f -d 070953746561647905ffffff0102 1 >>"$out/btmgmt.log" 2>&1
}
start_node() {  # start_node NAME [setpriv args...]: a sink and a node posting to it
    name=$1; shift
    /rig/brelo-sink --listen 127.0.0.1:8791 --quiet --json-log "$out/$name.sink.jsonl" >"$out/$name.sink.log" 2>&1 &
    sink_pid=$!
    until_true 20 grep -q . "$out/$name.sink.log" || say "sink did not start"
    mark "$name node-start"
    "$@" /rig/brelo-ble --brelo http://127.0.0.1:8791 --node "$name" >"$out/$name.node.log" 2>&1 &
    node_pid=$!
}
stop_node() {
    if kill -0 "$node_pid" 2>/dev/null; then mark "$name node-alive"; fi
    stop_pid "$node_pid"; stop_pid "$sink_pid"; mark "$name node-stop"
}
listening() { grep -q 'status listening' "$out/$name.node.log" && discovering; }
wait_listening() {
    if until_true 30 listening; then mark "$name on hci$node_hci other hci$other_hci"; else say "$name: not listening after 30 s"; fi
}

steady() {  # 12 s of a steady 10 Hz advertiser: six 2 s windows
    mark "$name steady-start"; sleep 12; mark "$name steady-end"
}
beacon() {  # the other controller scans actively; btmon records what it hears
    mark "$name beacon-start"
    timeout 6 btmgmt --index "$other_hci" find -l >"$out/$name.find.txt" 2>&1
    mark "$name beacon-end"
}
power_cycle() {
    mark "$name power-off"; btmgmt --index "$node_hci" power off >/dev/null; sleep 3
    mark "$name power-on"; btmgmt --index "$node_hci" power on >/dev/null; sleep 6
    mark "$name power-end"
}
restart() {  # bluetoothd killed and a new one started; which adapter does the node take?
    mark "$name restart-kill hci$node_hci"; stop_pid "$bt_pid"
    start_bluetoothd
    until_true 20 powered_both && advertise
    until_true 20 discovering && mark "$name restart-adapter hci$node_hci"
    sleep 8; mark "$name restart-end"
}

say "guest up; $(uname -r); $(/usr/libexec/bluetooth/bluetoothd -v)"
modprobe bluetooth && modprobe hci_vhci || say "no Bluetooth modules"
ip link set lo up
mkdir -p /run/dbus
dbus-daemon --system --fork
btmon -t >"$out/btmon.txt" 2>&1 &
mon_pid=$!

# Controllers with LE extended advertising (5.x); stock bluetoothd.
start_btvirt -l2
start_bluetoothd
until_true 20 powered_both || say "adapters not powered"
start_node ear5
wait_listening
advertise
say "ear5 on hci$node_hci, advertiser on hci$other_hci"
steady; beacon; power_cycle; restart
stop_node

say "outsider"
start_node outsider setpriv --reuid=outsider --regid=outsider --clear-groups
until_true 20 listening; steady
stop_node

say "node before bluetoothd"
stop_pid "$bt_pid"; mark "bluetoothd-stopped"
start_node early
sleep 3
start_bluetoothd
until_true 20 powered_both && advertise
wait_listening; steady
stop_node

say "bluetoothd -E"
stop_pid "$bt_pid"
start_bluetoothd -E
until_true 20 powered_both || say "adapters not powered"
start_node ear5e
wait_listening; advertise; steady
stop_node

say "LE-only controllers without extended advertising (4.x)"
stop_pid "$bt_pid"; stop_pid "$btvirt_pid"
until_true 20 test ! -e /sys/class/bluetooth/hci0
start_btvirt -L -l2
start_bluetoothd
until_true 20 powered_both || say "adapters not powered"
start_node ear4
wait_listening; advertise
say "ear4 on hci$node_hci, advertiser on hci$other_hci"
steady; beacon; power_cycle
stop_node

stop_pid "$bt_pid"; stop_pid "$btvirt_pid"; stop_pid "$mon_pid"
say "done"
