# Sourced into the guest's run.sh after the settings (SIZES, SETTLE_S, WINDOW_S, CONSUMERS) by
# bench/realstack-long: for each crowd size and each consumer, a crowd of synthetic
# advertisers (a fifth rotating every 60 s) heard on a 5.x controller; after SETTLE_S, over
# WINDOW_S: the CPU time of bluetoothd, dbus-daemon and the consumer, the reports btvirt sent
# to the controllers, and bluetoothd's InterfacesAdded and InterfacesRemoved.
# BTD_DEBUG=1 runs bluetoothd with -d; each consumer's bluetoothd log is kept apart.
# Consumers: ear (this build, stock bluetoothd), ear-E (bluetoothd -E), ear-old (the build in
# /rig/brelo-ble-old, when there is one), noop (an sd-bus client that starts discovery and
# counts what it gets).
set -u
. /rig/stack.sh

cpu() { awk '{print $14 + $15}' "/proc/$1/stat"; }
crowd_reports() {  # the latest total of reports btvirt sent, over every controller
    tail -n 40 "$out/btvirt.log" | awk '$1 == "crowd" { t = $2; n[$4] = $6 } END { s = 0; for (d in n) s += n[d]; print t, s }'
}
sample() {  # sample LABEL WHEN
    echo "$1 $2 $(date +%s.%N) $(cpu "$bt_pid") $(cpu "$dbus_pid") $(cpu "$consumer_pid") $(crowd_reports)" >>"$out/crowd"
}

measure() {  # measure CONSUMER SIZE
    label=$1-$2
    btd=""; [ "$1" = ear-E ] && btd=-E
    [ "${BTD_DEBUG:-0}" = 0 ] || btd="$btd -d"
    : >"$out/bluetoothd.log"
    export BTVIRT_CROWD=$2 BTVIRT_ROTATE_S=60
    stack_up -l2 "$btd"
    case $1 in
        noop)
            /rig/noop-consumer /org/bluez/hci0 >"$out/$label.noop.log" 2>&1 &
            consumer_pid=$! ;;
        ear-old)
            NODE_BIN=/rig/brelo-ble-old start_node "$label"; consumer_pid=$node_pid ;;
        *)
            start_node "$label"; consumer_pid=$node_pid ;;
    esac
    sleep "$SETTLE_S"
    dbus-monitor --system "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager'" \
        >"$out/$label.objects" 2>&1 &
    monitor_pid=$!
    sleep 1
    sample "$label" start; mark "$label measure-start"
    sleep "$WINDOW_S"
    sample "$label" end; mark "$label measure-end"
    stop_pid "$monitor_pid"
    if [ "$1" = noop ]; then stop_pid "$consumer_pid"; else stop_node; fi
    cp "$out/bluetoothd.log" "$out/$label.bluetoothd.log"
    say "crowd: $label measured"
}

BTMON=0 start_base
dbus_pid=$(pidof dbus-daemon)
for size in $SIZES; do
    for consumer in $CONSUMERS; do
        if [ "$consumer" = ear-old ] && [ ! -x /rig/brelo-ble-old ]; then continue; fi
        measure "$consumer" "$size"
    done
done
stack_down
say "done"
