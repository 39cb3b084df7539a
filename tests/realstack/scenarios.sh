#!/bin/sh
# The real-stack scenarios, run inside the qemu guest: the node on one controller, a steady
# advertiser on the other. The host decides pass or fail from what they leave (check.py).
set -u
. /rig/stack.sh

steady() {  # steady [SECONDS]: a steady 10 Hz advertiser heard for 12 s (six 2 s windows)
    mark "$name steady-start"; sleep "${1:-12}"; mark "$name steady-end"
}
heard_after() {  # heard_after T: the sink has the advertiser from a 2 s window that began after T
    cat "$out/$name.sink.jsonl" 2>/dev/null | grep -o '"name":"Steady"[^}]*"ts":[0-9.]*' |
        awk -F'"ts":' -v t="$1" '$2 - 2 >= t { n++ } END { exit n == 0 }'
}
named() { grep -a -o "KVQ-$name" "$out/btmon.snoop" | wc -l; }
named_more() { [ "$(named)" -gt "$1" ]; }
beacon() {  # the other controller scans actively until btmon's capture has the name again
    mark "$name beacon-start"
    n=$(named)
    btmgmt --index "$other_hci" find -l >/dev/null 2>&1 &
    find_pid=$!
    until_true 8 named_more $((n + 1)); sleep 0.5
    stop_pid "$find_pid"; mark "$name beacon-end"
}
power_cycle() {
    mark "$name power-off"; btmgmt --index "$node_hci" power off >/dev/null
    until_true 10 grep -q 'status bluetooth-off' "$out/$name.node.log"
    mark "$name power-on"; t=$marked; btmgmt --index "$node_hci" power on >/dev/null
    until_true 15 heard_after "$t"; mark "$name power-end"
}
wedge() {  # the node's controller goes on scanning but reports nothing until it is reset
    mark "$name wedge"; t=$marked; touch /run/btvirt-wedge
    until_true 150 heard_after "$t"; mark "$name wedge-end"
}
restart() {  # restart [BLUETOOTHD ARGS]: bluetoothd killed and a new one started; which adapter does the node take?
    mark "$name restart-kill hci$node_hci"; t=$marked; stop_pid "$bt_pid"
    start_bluetoothd "$@"
    until_true 20 discovering && mark "$name restart-adapter hci$node_hci"
    advertise
    until_true 20 heard_after "$t"; mark "$name restart-end"
}

start_base

# Controllers with LE extended advertising (5.x); stock bluetoothd.
stack_up -l2 ""
start_node ear5
wait_listening
advertise
say "ear5 on hci$node_hci, advertiser on hci$other_hci"
steady; power_cycle; restart; beacon; wedge
stop_node

say "outsider"
start_node outsider setpriv --reuid=outsider --regid=outsider --clear-groups
until_true 20 listening && advertise; until_true 20 heard_after 0
stop_node

say "node before bluetoothd"
stop_pid "$bt_pid"; mark "bluetoothd-stopped"
start_node early
sleep 3; mark "early bluez-start"; t=$marked
start_bluetoothd
wait_listening; advertise; until_true 20 heard_after "$t"
stop_node

say "bluetoothd -E"
stack_up "" -E
start_node ear5e
wait_listening; advertise; restart -E; steady 8
stop_node

say "LE-only controllers without extended advertising (4.x)"
stack_up "-L -l2" ""
start_node ear4
wait_listening; advertise
say "ear4 on hci$node_hci, advertiser on hci$other_hci"
steady 8; beacon; power_cycle; wedge
stop_node

stack_down
say "done"
