# Sourced into the guest's run.sh after the setting MINUTES by bench/realstack-long: the ear on
# a 5.x controller in a room where nothing advertises for MINUTES, then in one where the one
# advertiser is heard for a minute and goes, for MINUTES more. Counts the ear's radio steps.
set -u
. /rig/stack.sh

steps() { grep -c "$2" "$out/$1.node.log"; }

start_base
stack_up -l2 ""
start_node empty
wait_listening
btmgmt --index "$other_hci" rm-adv 1 >/dev/null 2>&1
say "empty: nothing advertising for $MINUTES min"
sleep $((MINUTES * 60))
mark "empty restarts $(steps empty 'restarting discovery') power-cycles $(steps empty ': power-cycling')"
stop_node

start_node emptied
wait_listening
advertise
sleep 60
btmgmt --index "$other_hci" rm-adv 1 >/dev/null 2>&1
mark "emptied gone"
say "emptied: the advertiser heard for a minute, then gone for $MINUTES min"
sleep $((MINUTES * 60))
mark "emptied restarts $(steps emptied 'restarting discovery') power-cycles $(steps emptied ': power-cycling')"
stop_node
stack_down
say "done"
