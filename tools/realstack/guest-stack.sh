# Sourced by the scenarios inside the qemu guest: helpers that put up dbus, the kernel's
# Bluetooth, virtual controllers (btvirt), bluetoothd, an advertiser, and a node posting to a
# sink. Logs and event times ("SECONDS NAME WHAT...") go to /rig/out for the host.
out=/rig/out
mkdir -p "$out"
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
say() { echo "rig: $(cut -d" " -f1 /proc/uptime) s: $*" >/dev/console; }
# mark NAME WHAT...: an event, at the time it leaves in $marked, so that a scenario waits on
# exactly the time the host's check will judge from.
mark() { marked=$(date +%s.%N); echo "$marked $*" >>"$out/events"; }
until_true() {  # until_true SECONDS COMMAND...: poll every 0.2 s; 1 when the deadline passes
    deadline=$(($(date +%s) + $1)); shift
    while ! "$@" >/dev/null 2>&1; do
        [ "$(date +%s)" -lt $deadline ] || return 1; sleep 0.2
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

stop_pid() { kill -TERM "$1" 2>/dev/null; wait "$1" 2>/dev/null; }
controllers() { [ "$(btmgmt info 2>/dev/null | grep -c '^hci[01]:')" = 2 ]; }
start_btvirt() {  # start_btvirt ARGS...: two controllers, hci0 and hci1, that hear each other
    for try in 1 2; do
        BTVIRT_WEDGE=/run/btvirt-wedge /rig/btvirt "$@" >>"$out/btvirt.log" 2>&1 &
        btvirt_pid=$!
        # The kernel gives a new controller 2 s to answer its first command; a slow guest can
        # miss that, and the controller is never set up. Then start again.
        until_true 20 controllers && return 0
        say "btvirt $*: controllers not set up (try $try)"
        stop_pid "$btvirt_pid"; until_true 20 test ! -e /sys/class/bluetooth/hci0
    done
}
start_bluetoothd() {  # start_bluetoothd [ARGS...]
    mark "bluetoothd-start $*"
    /usr/libexec/bluetooth/bluetoothd -n "$@" >>"$out/bluetoothd.log" 2>&1 &
    bt_pid=$!
}
advertise() {  # the steady advertiser on the other controller: name, manufacturer data, a UUID
    btmgmt --index "$other_hci" rm-adv 1 >/dev/null 2>&1
    btmgmt --index "$other_hci" add-adv -u 180f -d 070953746561647905ffffff0102 1 >>"$out/btmgmt.log" 2>&1
}
start_node() {  # start_node NAME [setpriv args...]: a sink and a node (NODE_BIN) posting to it
    name=$1; shift
    # SINK_LOG=0: no JSON log of the uploads (long runs with a crowd).
    json_log=/dev/null
    [ "${SINK_LOG:-1}" = 0 ] || json_log=$out/$name.sink.jsonl
    /rig/brelo-sink --listen 127.0.0.1:8791 --quiet --json-log "$json_log" >"$out/$name.sink.log" 2>&1 &
    sink_pid=$!
    until_true 20 grep -q . "$out/$name.sink.log" || say "sink did not start"
    mark "$name node-start"
    "$@" "${NODE_BIN:-/rig/brelo-ble}" --brelo http://127.0.0.1:8791 --node "$name" >"$out/$name.node.log" 2>&1 &
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

start_base() {  # kernel modules, loopback, the system bus, btmon
    say "guest up; $(uname -r); bluetoothd $(/usr/libexec/bluetooth/bluetoothd -v)"
    ldd /rig/brelo-ble /rig/brelo-sink | grep 'not found' | while read -r l; do say "missing library: $l"; done
    modprobe bluetooth && modprobe hci_vhci || say "no Bluetooth modules"
    ip link set lo up
    mkdir -p /run/dbus
    dbus-daemon --system --fork
    # Long runs with a crowd go without the capture (BTMON=0): it would cost the guest more
    # than what it measures.
    if [ "${BTMON:-1}" = 1 ]; then
        btmon -t -C 250 -c never -w "$out/btmon.snoop" >"$out/btmon.txt" 2>&1 &
        mon_pid=$!
    fi
}
stack_up() {  # stack_up "BTVIRT ARGS" "BLUETOOTHD ARGS": new controllers and bluetoothd
    [ -z "${bt_pid:-}" ] || stop_pid "$bt_pid"
    if [ -n "$1" ]; then
        [ -z "${btvirt_pid:-}" ] || { stop_pid "$btvirt_pid"; until_true 20 test ! -e /sys/class/bluetooth/hci0; }
        start_btvirt $1
    fi
    start_bluetoothd $2
    until_true 30 powered_both || say "adapters not powered"
}
stack_down() {
    stop_pid "$bt_pid"; stop_pid "$btvirt_pid"; [ -z "${mon_pid:-}" ] || stop_pid "$mon_pid"
    dmesg >"$out/dmesg.txt"; lsmod >"$out/lsmod.txt"
}
